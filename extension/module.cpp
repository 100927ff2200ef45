// Module frame: replaced by the multi-phase initialisation.
#include "vexa_ext.h"

static PyModuleDef vexa_module = {PyModuleDef_HEAD_INIT, "vexa", nullptr, 0, nullptr};

PyMODINIT_FUNC PyInit_vexa(void) { return PyModuleDef_Init(&vexa_module); }
