// The helper layer's out-of-line part (python_support.h): global lookup and unpacking.
#include "python_support.h"

#include <initializer_list>

namespace vexa_ext::py {
namespace {

// The builtins module, found in sys.modules.
PyObject* builtins_module() { return PyImport_ImportModule("builtins"); }

int raise_need_more_values(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    return -1;
}

int raise_too_many_values() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return -1;
}

// The next item, or nullptr: with an exception set for a real error, without one once the
// iterator is exhausted (a StopIteration it raised counts as exhaustion).
PyObject* next_item(PyObject* iterator) {
    PyObject* item = PyIter_Next(iterator);
    if (!item && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_StopIteration))
        PyErr_Clear();
    return item;
}

// decimal.Context(prec=digits, Emin=MIN_EMIN, Emax=MAX_EMAX,
//                 traps=[InvalidOperation, DivisionByZero, Overflow])
PyObject* new_decimal_context(PyObject* decimal_module, long digits) {
    Ref context_type(PyObject_GetAttrString(decimal_module, "Context"));
    Ref min_emin(context_type ? PyObject_GetAttrString(decimal_module, "MIN_EMIN") : nullptr);
    Ref max_emax(min_emin ? PyObject_GetAttrString(decimal_module, "MAX_EMAX") : nullptr);
    Ref traps(max_emax ? PyList_New(0) : nullptr);
    if (!traps) return nullptr;
    for (const char* signal : {"InvalidOperation", "DivisionByZero", "Overflow"}) {
        Ref signal_type(PyObject_GetAttrString(decimal_module, signal));
        if (!signal_type || PyList_Append(traps.get(), signal_type.get()) < 0) return nullptr;
    }
    Ref keywords(Py_BuildValue("{s:l,s:O,s:O,s:O}", "prec", digits, "Emin", min_emin.get(), "Emax",
                               max_emax.get(), "traps", traps.get()));
    Ref no_positional(keywords ? PyTuple_New(0) : nullptr);
    if (!no_positional) return nullptr;
    return PyObject_Call(context_type.get(), no_positional.get(), keywords.get());
}

// A copy of `like` with `digits` digits, the widest limits and its flags cleared.
PyObject* widened_copy(PyObject* decimal_module, PyObject* like, long digits) {
    Ref context(PyObject_CallMethod(like, "copy", nullptr));
    Ref precision(context ? PyLong_FromLong(digits) : nullptr);
    Ref min_emin(precision ? PyObject_GetAttrString(decimal_module, "MIN_EMIN") : nullptr);
    Ref max_emax(min_emin ? PyObject_GetAttrString(decimal_module, "MAX_EMAX") : nullptr);
    if (!max_emax) return nullptr;
    if (PyObject_SetAttrString(context.get(), "prec", precision.get()) < 0 ||
        PyObject_SetAttrString(context.get(), "Emax", max_emax.get()) < 0 ||
        PyObject_SetAttrString(context.get(), "Emin", min_emin.get()) < 0)
        return nullptr;
    Ref cleared(PyObject_CallMethod(context.get(), "clear_flags", nullptr));
    return cleared ? context.release() : nullptr;
}

}  // namespace

PyObject* exact_decimal_context(long digits, PyObject* like) {
    Ref decimal_module(PyImport_ImportModule("decimal"));
    if (!decimal_module) return nullptr;
    return like ? widened_copy(decimal_module.get(), like, digits)
                : new_decimal_context(decimal_module.get(), digits);
}

PyObject* load_global(PyObject* globals, const char* name) {
    Ref key(PyUnicode_FromString(name));
    if (!key) return nullptr;
    PyObject* value = PyDict_GetItemWithError(globals, key.get());
    if (value || PyErr_Occurred()) return Py_XNewRef(value);
    Ref builtins(builtins_module());
    if (!builtins) return nullptr;
    value = PyDict_GetItemWithError(PyModule_GetDict(builtins.get()), key.get());
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    return Py_XNewRef(value);
}

int unpack_pair(PyObject* iterable, PyObject** first, PyObject** second) {
    if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
        if (size > 2) return raise_too_many_values();
        if (size < 2) return raise_need_more_values(size);
        PyObject** items = PySequence_Fast_ITEMS(iterable);
        *first = Py_NewRef(items[0]);
        *second = Py_NewRef(items[1]);
        return 0;
    }
    PyObject* iterator = PyObject_GetIter(iterable);
    if (!iterator) return -1;
    PyObject* items[2] = {nullptr, nullptr};
    int status = 0;
    for (Py_ssize_t i = 0; i < 2 && status == 0; ++i) {
        items[i] = next_item(iterator);
        if (!items[i]) status = PyErr_Occurred() ? -1 : raise_need_more_values(i);
    }
    if (status == 0) {
        PyObject* extra = next_item(iterator);
        if (extra) {
            Py_DECREF(extra);
            status = raise_too_many_values();
        } else if (PyErr_Occurred()) {
            status = -1;
        }
    }
    Py_DECREF(iterator);
    if (status < 0) {
        Py_XDECREF(items[0]);
        Py_XDECREF(items[1]);
        return -1;
    }
    *first = items[0];
    *second = items[1];
    return 0;
}

}  // namespace vexa_ext::py
