// Small helpers for the Vexa method bodies that talk to libvexa through ctypes.
//
// The bodies are written as the Python statements they stand for: every global is
// fetched when the statement runs and every attribute is read through ordinary lookup,
// so rebinding a module attribute or overriding a method in a subclass takes effect.
// These helpers only keep the reference counting of that style short and leak-free.
#pragma once

#include "owned_ref.h"
#include "vexa_ext.h"

namespace vexa_ext::binding {

using vexa_ext::Ref;

inline Ref global(PyObject* globals, const char* name) { return Ref(load_global(globals, name)); }

inline Ref attribute(PyObject* object, const char* name) {
    return Ref(PyObject_GetAttrString(object, name));
}

// `object.name` looked up first, then called with the given positional arguments.
template <typename... Args>
Ref call_method(PyObject* object, const char* name, Args... args) {
    Ref method = attribute(object, name);
    if (!method) return Ref();
    PyObject* call_args[] = {nullptr, args...};
    return Ref(PyObject_Vectorcall(method.get(), call_args + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `function(positional..., dtype=dtype)`.
inline Ref call_with_dtype(PyObject* function, PyObject* positional, PyObject* dtype) {
    Ref keywords(Py_BuildValue("(s)", "dtype"));
    if (!keywords) return Ref();
    PyObject* call_args[] = {positional, dtype};
    return Ref(PyObject_Vectorcall(function, call_args, 1, keywords.get()));
}

// `str(value)` as format(value, "") spells it.
inline Ref format_plain(PyObject* value) {
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    if (!empty) return Ref();
    return Ref(PyObject_Format(value, empty.get()));
}

// Python's truth test of `left <op> right`; -1 with an exception set on failure.
inline int compare_true(PyObject* left, PyObject* right, int op) {
    Ref outcome(PyObject_RichCompare(left, right, op));
    if (!outcome) return -1;
    return PyObject_IsTrue(outcome.get());
}

// `raise exception_type(message)`, with the message as the single argument.
inline void raise_with_message(PyObject* exception_type, PyObject* message) {
    Ref exception(PyObject_CallOneArg(exception_type, message));
    if (!exception) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

}  // namespace vexa_ext::binding
