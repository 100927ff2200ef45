#include "vexa_ext.h"

namespace vexa_ext::module_functions {

PyObject* test(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "test");
    return nullptr;
}

}  // namespace vexa_ext::module_functions
