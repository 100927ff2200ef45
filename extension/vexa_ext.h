// Internal interface of the extension module dravenholt.vexa.vexa.
//
// The module frame (module.cpp, function objects, argument checking) turns Python calls
// into calls of plain C++ bodies. A body sees the module's globals and its arguments
// already matched to parameters, so it only does its own work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module_state.h"

namespace vexa_ext {

// A Python-visible function's body.
//   state:   the module's state (module_state.h).
//   globals: the module's __dict__ (borrowed); every global a statement needs is looked
//            up here when the statement runs, so rebinding a module attribute takes effect.
//   args:    one borrowed reference per parameter, in declaration order, defaults filled in.
//            For methods args[0] is self.
// Returns a new reference, or nullptr with an exception set.
using Body = PyObject* (*)(ModuleState* state, PyObject* globals, PyObject* const* args);

// ---- Bodies: module-level functions ----
namespace module_functions {
PyObject* D(ModuleState* state, PyObject* globals, PyObject* const* args);                     // (x)
PyObject* compute_ground_truth(ModuleState* state, PyObject* globals, PyObject* const* args);  // (A, B)
PyObject* verify_precision(ModuleState* state, PyObject* globals, PyObject* const* args);      // (K, M, N, seed)
PyObject* test(ModuleState* state, PyObject* globals, PyObject* const* args);                  // ()
}  // namespace module_functions

// ---- Bodies: methods of the class Vexa ----
namespace vexa_methods {
PyObject* init(ModuleState* state, PyObject* globals, PyObject* const* args);             // (self, dll_path)
PyObject* find_dll(ModuleState* state, PyObject* globals, PyObject* const* args);         // (self)
PyObject* load_dll(ModuleState* state, PyObject* globals, PyObject* const* args);         // (self, path)
PyObject* setup_functions(ModuleState* state, PyObject* globals, PyObject* const* args);  // (self)
PyObject* version(ModuleState* state, PyObject* globals, PyObject* const* args);          // (self)
PyObject* gemm_pair(ModuleState* state, PyObject* globals, PyObject* const* args);        // (self, A, B)
PyObject* gemm(ModuleState* state, PyObject* globals, PyObject* const* args);             // (self, A, B)
PyObject* gemm_decimal(ModuleState* state, PyObject* globals, PyObject* const* args);     // (self, A, B)
}  // namespace vexa_methods

}  // namespace vexa_ext
