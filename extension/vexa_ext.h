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

// ---- Bodies (each a Body; the comment lists its Python parameters) ----

// Module-level functions
namespace module_functions {
PyObject* D(ModuleState*, PyObject*, PyObject* const*);                     // (x)
PyObject* compute_ground_truth(ModuleState*, PyObject*, PyObject* const*);  // (A, B)
PyObject* verify_precision(ModuleState*, PyObject*, PyObject* const*);      // (K, M, N, seed)
PyObject* test(ModuleState*, PyObject*, PyObject* const*);                  // ()
}  // namespace module_functions

// Methods of the class Vexa
namespace vexa_methods {
PyObject* init(ModuleState*, PyObject*, PyObject* const*);                  // (self, dll_path)
PyObject* find_dll(ModuleState*, PyObject*, PyObject* const*);              // (self)
PyObject* load_dll(ModuleState*, PyObject*, PyObject* const*);              // (self, path)
PyObject* setup_functions(ModuleState*, PyObject*, PyObject* const*);       // (self)
PyObject* version(ModuleState*, PyObject*, PyObject* const*);               // (self)
PyObject* gemm_pair(ModuleState*, PyObject*, PyObject* const*);             // (self, A, B)
PyObject* gemm(ModuleState*, PyObject*, PyObject* const*);                  // (self, A, B)
PyObject* gemm_decimal(ModuleState*, PyObject*, PyObject* const*);          // (self, A, B)
}  // namespace vexa_methods

}  // namespace vexa_ext
