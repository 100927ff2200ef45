// The module's function objects: what `D`, `test` and the methods of `Vexa` are.
//
// Each one behaves like a Python function as far as callers can tell (name, qualified
// name, module, doc, writable defaults, a signature for `inspect`, a `__dict__`, binding
// to instances through `__get__`), while its work is a plain C++ body. Calls arrive by
// vectorcall and go through the module's argument matching before the body sees them.
#pragma once

#include "vexa_ext.h"

namespace vexa_ext::frame {

// Everything needed to build one function object. All strings are static UTF-8 text.
struct FunctionSpec {
    const char* name;                // bare name, also the name used in argument errors
    const char* qualname;            // "name" or "Vexa.name"
    const char* const* parameters;   // parameter names in declaration order
    Py_ssize_t parameter_count;
    const char* doc;
    Body body;
    PyObject* (*make_defaults)();    // new tuple of defaults; nullptr when there are none
};

// The function type, made for `module`, whose state its calls hand to the bodies. New
// reference, or nullptr with an exception set.
PyObject* new_function_type(PyObject* module);

// A new function object of `function_type` that resolves its globals in `globals` (a
// strong reference is kept). New reference, or nullptr with an exception set.
PyObject* new_function(const FunctionSpec& spec, PyObject* function_type, PyObject* globals);

// Matches a vectorcall's arguments to parameters, filling `values` (borrowed references,
// one per parameter, defaults included). `defaults` is a tuple or nullptr. Raises the
// module's TypeError messages, naming the function `function_name`.
// 0 on success, -1 with an exception set.
int match_arguments(const char* function_name, PyObject* parameter_names, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** values);

// The most parameters any function of the module has (self, A, B / K, M, N, seed).
constexpr Py_ssize_t kMaxParameters = 8;

// The class `Vexa`, built by calling `type` on its namespace. New reference or nullptr.
PyObject* make_vexa_class(PyObject* function_type, PyObject* globals);

}  // namespace vexa_ext::frame
