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

// np.random.randn(rows, columns).astype(np.float64), in the order Python evaluates it:
// `np` is looked up again for np.float64 after the draw, as the statement would.
inline PyObject* random_matrix(PyObject* globals, PyObject* rows, PyObject* columns) {
    static PyObject *np_name, *random_name, *randn_name, *astype_name, *float64_name;
    static const bool interned = [] {
        const InternedName names[] = {{&np_name, "np"},         {&random_name, "random"},
                                      {&randn_name, "randn"},   {&astype_name, "astype"},
                                      {&float64_name, "float64"}};
        return intern_all(names);
    }();
    if (!interned) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    Ref np(lookup(globals, np_name));
    if (!np) return nullptr;
    Ref random(PyObject_GetAttr(np.get(), random_name));
    if (!random) return nullptr;
    Ref randn(PyObject_GetAttr(random.get(), randn_name));
    if (!randn) return nullptr;
    PyObject* shape[] = {rows, columns};
    Ref drawn(PyObject_Vectorcall(randn.get(), shape, 2, nullptr));
    if (!drawn) return nullptr;
    Ref astype(PyObject_GetAttr(drawn.get(), astype_name));
    if (!astype) return nullptr;
    Ref np_again(lookup(globals, np_name));
    if (!np_again) return nullptr;
    Ref float64(PyObject_GetAttr(np_again.get(), float64_name));
    if (!float64) return nullptr;
    return PyObject_CallOneArg(astype.get(), float64.get());
}

}  // namespace vexa_ext::yardstick
