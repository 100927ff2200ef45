#include "vexa_ext.h"

namespace vexa_ext::vexa_methods {

PyObject* find_dll(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "find_dll");
    return nullptr;
}

}  // namespace vexa_ext::vexa_methods
