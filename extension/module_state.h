// Everything the extension module keeps between calls, in the module's own state: the
// function type, the names it interns, the real decimal.Decimal and the table of exact
// powers of two behind D. The garbage collector
// sees it through the module's traverse and clear.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vexa_ext {

// Interned names the bodies look up by identity: (field, text).
#define VEXA_INTERNED_NAMES(X)                                                                 \
    X(D, "D") X(Decimal, "Decimal") X(getcontext, "getcontext") X(from_float, "from_float")    \
    X(shape, "shape") X(prec, "prec") X(flags, "flags") X(multiply, "multiply") X(add, "add")  \
    X(np, "np") X(random, "random") X(randn, "randn") X(seed, "seed") X(astype, "astype")      \
    X(float64, "float64") X(dot, "dot") X(Vexa, "Vexa")                                       \
    X(compute_ground_truth, "compute_ground_truth") X(verify_precision, "verify_precision")    \
    X(abs, "abs") X(float_, "float") X(max, "max") X(sum, "sum") X(len, "len")                 \
    X(print, "print") X(version, "version") X(gemm_pair, "gemm_pair") X(K, "K") X(M, "M")      \
    X(N, "N") X(fp64_max_error, "fp64_max_error") X(fp64_mean_error, "fp64_mean_error")        \
    X(vexa_max_error, "vexa_max_error") X(vexa_mean_error, "vexa_mean_error")                  \
    X(improvement, "improvement") X(empty, "") X(three_digits, ".3e") X(two_digits, ".2e")     \
    X(sixteen_digits, ".16e")

struct Names {
#define VEXA_NAME_FIELD(field, text) PyObject* field;
    VEXA_INTERNED_NAMES(VEXA_NAME_FIELD)
#undef VEXA_NAME_FIELD
};

class ExactDoubles;  // exact_reference.cpp

struct ModuleState {
    PyObject* function_type;      // the type of every function and method of the module
    Names names;
    PyTypeObject* decimal_type;   // decimal.Decimal itself, whatever the globals hold
    ExactDoubles* exact_doubles;  // made at the first D of a real double
};

// The state of the module object `module` (which must be this module's).
inline ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Fills a zeroed state for `module`. 0, or -1 with an exception set.
int init_state(PyObject* module);
// The module definition's traverse, clear and free.
int traverse_state(PyObject* module, visitproc visit, void* arg);
int clear_state(PyObject* module);
void free_state(void* module);

// Frees the table behind `D` (exact_reference.cpp).
void delete_exact_doubles(ExactDoubles* table);

}  // namespace vexa_ext
