#include "vexa_ext.h"

namespace vexa_ext::vexa_methods {

PyObject* init(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "init");
    return nullptr;
}

PyObject* load_dll(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "load_dll");
    return nullptr;
}

PyObject* setup_functions(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "setup_functions");
    return nullptr;
}

PyObject* version(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "version");
    return nullptr;
}

}  // namespace vexa_ext::vexa_methods
