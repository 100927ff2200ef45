#include "vexa_ext.h"

namespace vexa_ext::module_functions {

PyObject* D(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "D");
    return nullptr;
}

PyObject* compute_ground_truth(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "compute_ground_truth");
    return nullptr;
}

}  // namespace vexa_ext::module_functions
