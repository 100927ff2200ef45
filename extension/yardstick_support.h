// Small helpers shared by the exact reference, the precision report and the self-test.
#pragma once

#include "owned_ref.h"
#include "vexa_ext.h"

namespace vexa_ext::yardstick {

using vexa_ext::Ref;

// A global as a statement of the module sees it, by an interned name. The dict probe is
// the hot path of the element loops; load_global supplies the builtins fallback and the
// NameError, so the outcome is exactly load_global's.
inline PyObject* lookup(PyObject* globals, PyObject* interned_name) {
    PyObject* value = PyDict_GetItemWithError(globals, interned_name);
    if (value) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    return load_global(globals, PyUnicode_AsUTF8(interned_name));
}

// Interns every (slot, text) pair; false with an exception set when one fails.
struct InternedName {
    PyObject** slot;
    const char* text;
};
template <size_t count>
bool intern_all(const InternedName (&names)[count]) {
    for (const InternedName& name : names) {
        *name.slot = PyUnicode_InternFromString(name.text);
        if (!*name.slot) return false;
    }
    return true;
}

// print(line) through whatever `print` the module sees now; one call per printed line.
inline bool print_line(PyObject* globals, PyObject* print_name, PyObject* line) {
    Ref print(lookup(globals, print_name));
    if (!print) return false;
    Ref result(line ? PyObject_CallOneArg(print.get(), line) : PyObject_CallNoArgs(print.get()));
    return static_cast<bool>(result);
}

// prefix + format(value, spec) + suffix, as the f-string field {value:spec} renders it.
inline PyObject* formatted_line(const char* prefix, PyObject* value, PyObject* spec,
                                const char* suffix = "") {
    Ref text(PyObject_Format(value, spec));
    if (!text) return nullptr;
    return PyUnicode_FromFormat("%s%U%s", prefix, text.get(), suffix);
}

}  // namespace vexa_ext::yardstick
