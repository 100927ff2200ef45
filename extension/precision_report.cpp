#include "vexa_ext.h"

namespace vexa_ext::module_functions {

PyObject* verify_precision(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "verify_precision");
    return nullptr;
}

}  // namespace vexa_ext::module_functions
