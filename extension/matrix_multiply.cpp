#include "vexa_ext.h"

namespace vexa_ext::vexa_methods {

PyObject* gemm_pair(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "gemm_pair");
    return nullptr;
}

PyObject* gemm(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "gemm");
    return nullptr;
}

PyObject* gemm_decimal(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "gemm_decimal");
    return nullptr;
}

}  // namespace vexa_ext::vexa_methods
