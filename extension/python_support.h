// The one helper layer of the extension: Python statements and idioms that the bodies
// share, written once with the module's exact messages.
//
// The bodies are written as the Python statements they stand for: every global is
// fetched when the statement runs and every attribute is read through ordinary lookup,
// so rebinding a module attribute or overriding a method in a subclass takes effect.
// These helpers keep the reference counting of that style short and leak-free.
#pragma once

#include <chrono>
#include <thread>

#include "owned_ref.h"
#include "vexa_ext.h"

namespace vexa_ext::py {

using vexa_ext::Ref;

// `name` as a statement of the module sees it: the module globals, then the builtins.
// New reference, or nullptr with NameError "name 'X' is not defined".
PyObject* load_global(PyObject* globals, const char* name);

// `first, second = iterable`, with the module's unpacking messages
// ("too many values to unpack (expected 2)", "need more than 1 value to unpack").
// Returns 0 and two new references, or -1 with ValueError set and nothing stored.
int unpack_pair(PyObject* iterable, PyObject** first, PyObject** second);

// A private decimal context in which sums and products of exact float64 values never
// round: `digits` significant digits, the widest exponent limits, no flags raised. With
// `like`, a copy of that context, so its traps and rounding still rule (an infinity times
// zero raises as the caller's own arithmetic would); otherwise every field that could
// change a result is given explicitly, with Python's default traps (InvalidOperation,
// DivisionByZero, Overflow), so that an edited decimal.DefaultContext changes nothing.
// The context and its limits come from the decimal module itself, whatever the module's
// globals hold. New reference, or nullptr with an exception set.
PyObject* exact_decimal_context(long digits, PyObject* like = nullptr);

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

// A global as a statement of the module sees it, by an interned name. The dict probe is
// the hot path of the element loops; load_global supplies the builtins fallback and the
// NameError, so the outcome is exactly load_global's.
inline PyObject* lookup(PyObject* globals, PyObject* interned_name) {
    PyObject* value = PyDict_GetItemWithError(globals, interned_name);
    if (value) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    return load_global(globals, PyUnicode_AsUTF8(interned_name));
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
inline PyObject* random_matrix(PyObject* globals, const Names& names, PyObject* rows,
                               PyObject* columns) {
    Ref np(lookup(globals, names.np));
    if (!np) return nullptr;
    Ref random(PyObject_GetAttr(np.get(), names.random));
    if (!random) return nullptr;
    Ref randn(PyObject_GetAttr(random.get(), names.randn));
    if (!randn) return nullptr;
    PyObject* shape[] = {rows, columns};
    Ref drawn(PyObject_Vectorcall(randn.get(), shape, 2, nullptr));
    if (!drawn) return nullptr;
    Ref astype(PyObject_GetAttr(drawn.get(), names.astype));
    if (!astype) return nullptr;
    Ref np_again(lookup(globals, names.np));
    if (!np_again) return nullptr;
    Ref float64(PyObject_GetAttr(np_again.get(), names.float64));
    if (!float64) return nullptr;
    return PyObject_CallOneArg(astype.get(), float64.get());
}

// Lets a long loop that holds the interpreter lock behave as Python code would: every
// couple of milliseconds of work it runs pending signal handlers (so Ctrl-C raises
// KeyboardInterrupt within the loop) and gives other threads a turn at the lock. Call
// step() once per iteration, holding no borrowed reference another thread could drop.
class Pacer {
public:
    // false with the handler's exception set when a signal handler raised.
    bool step() {
        if (++count_ < kStride) return true;
        count_ = 0;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < kInterval) return true;
        last_ = now;
        if (PyErr_CheckSignals() < 0) return false;
        // Releasing and at once retaking the lock would starve a waiting thread: it is
        // woken, but this one takes the lock back first, and the waiter's timed request
        // for a switch never fires because the lock keeps changing hands. A pause of a few
        // tens of microseconds (about 2% of the interval) lets it in.
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::microseconds(1));
        Py_END_ALLOW_THREADS
        return true;
    }

private:
    static constexpr int kStride = 16;  // iterations between looks at the clock
    static constexpr std::chrono::milliseconds kInterval{2};
    int count_ = 0;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace vexa_ext::py
