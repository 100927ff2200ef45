// The exact yardstick: D(x) and compute_ground_truth(A, B).
//
// Both behave as their Python statements would: every module global is looked up when
// the statement that needs it runs, every element goes through the global D, and every
// failure is whatever Python object raised it. What differs from a naive transcription
// is where the Decimal arithmetic happens: the products and sums are formed in a
// private context wide enough that nothing rounds, so the reference is exact.
#include "python_support.h"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <vector>

namespace vexa_ext::module_functions {
namespace {

using py::lookup;
using py::Ref;

// Enough significant digits that no product or partial sum of exact float64 values rounds.
// Decimal.from_float gives a finite double m * 2**e (m odd or e = 0, |value| < 2**1024,
// e >= -1074) the exponent min(e, 0) >= -1074, so a product of two has an exponent of at
// least -2148 and a magnitude below 2**2048 < 10**616.6. Every partial sum of K products
// is then an integer multiple of 10**-2148 below K * 10**616.6 in magnitude, whose
// coefficient has at most log10(K) + 616.6 + 2148 + 1 digits: fewer than 2786 for any K
// below 2**63 (Py_ssize_t). Adjusted exponents stay within [-2148, 636], far inside the
// default limits; the limits are widened anyway so a caller's narrow Emin/Emax cannot
// make an exact value overflow or go subnormal.
constexpr long kExactPrecision = 2800;

// range(x) for a loop bound: x must be an integer; out-of-range values clip, as
// the loop could never get there anyway.
bool loop_bound(PyObject* value, Py_ssize_t* bound) {
    Ref index(PyNumber_Index(value));
    if (!index) return false;
    *bound = PyNumber_AsSsize_t(index.get(), nullptr);
    return true;
}

// The Python ints 0, 1, 2, ... that the loops hand to subscripts, made as they are needed.
class Indices {
public:
    ~Indices() {
        for (PyObject* value : values_) Py_DECREF(value);
    }
    PyObject* at(Py_ssize_t position) {
        while (static_cast<Py_ssize_t>(values_.size()) <= position) {
            PyObject* value = PyLong_FromSsize_t(static_cast<Py_ssize_t>(values_.size()));
            if (!value) return nullptr;
            values_.push_back(value);
        }
        return values_[static_cast<size_t>(position)];
    }

private:
    std::vector<PyObject*> values_;
};

// X[row, column]. The key tuple is refilled when nobody else kept it: no subscript can
// tell a refilled tuple from a fresh one, and it saves an allocation per element.
class Subscript {
public:
    ~Subscript() { Py_XDECREF(key_); }
    PyObject* get(PyObject* matrix, PyObject* row, PyObject* column) {
        if (key_ && Py_REFCNT(key_) == 1) {
            PyObject* old_row = PyTuple_GET_ITEM(key_, 0);
            PyObject* old_column = PyTuple_GET_ITEM(key_, 1);
            PyTuple_SET_ITEM(key_, 0, Py_NewRef(row));
            PyTuple_SET_ITEM(key_, 1, Py_NewRef(column));
            Py_DECREF(old_row);
            Py_DECREF(old_column);
        } else {
            Py_XDECREF(key_);
            key_ = PyTuple_Pack(2, row, column);
            if (!key_) return nullptr;
        }
        return PyObject_GetItem(matrix, key_);
    }

private:
    PyObject* key_ = nullptr;
};

// D(X[row, column]) with D looked up at the call, as the statement would.
PyObject* exact_element(PyObject* globals, const Names* c, Subscript& subscript, PyObject* matrix,
                        PyObject* row, PyObject* column) {
    Ref convert(lookup(globals, c->D));
    if (!convert) return nullptr;
    Ref element(subscript.get(matrix, row, column));
    if (!element) return nullptr;
    return PyObject_CallOneArg(convert.get(), element.get());
}

// Makes the caller's context show the signals the private context raised (an infinity
// meeting a zero leaves InvalidOperation set there, as arithmetic in the caller's own
// context would). Keeps a pending exception pending; a failure here is not reported over it.
// Returns false with an exception set only when there was none before.
bool copy_raised_flags(PyObject* from_context, PyObject* to_context, const Names* c) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    bool ok = false;
    Ref from_flags(PyObject_GetAttr(from_context, c->flags));
    Ref to_flags(from_flags ? PyObject_GetAttr(to_context, c->flags) : nullptr);
    Ref items(to_flags ? PyMapping_Items(from_flags.get()) : nullptr);
    if (items) {
        ok = true;
        for (Py_ssize_t n = 0; ok && n < PyList_GET_SIZE(items.get()); ++n) {
            PyObject* item = PyList_GET_ITEM(items.get(), n);
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) continue;
            int raised = PyObject_IsTrue(PyTuple_GET_ITEM(item, 1));
            if (raised < 0)
                ok = false;
            else if (raised)
                ok = PyObject_SetItem(to_flags.get(), PyTuple_GET_ITEM(item, 0), Py_True) == 0;
        }
    }
    if (!type) return ok;
    if (!ok) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return true;
}

// The loops of compute_ground_truth, once shapes and contexts are settled.
PyObject* exact_product(PyObject* globals, const ModuleState* state, PyObject* A, PyObject* B,
                        PyObject* M, PyObject* K, PyObject* N, PyObject* context) {
    const Names* c = &state->names;
    Ref multiply(PyObject_GetAttr(context, c->multiply));
    Ref add(multiply ? PyObject_GetAttr(context, c->add) : nullptr);
    if (!add) return nullptr;
    PyTypeObject* decimal = state->decimal_type;
    Ref zero(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Indices indices;
    Subscript a_subscript, b_subscript;
    py::Pacer pacer;

    Ref result(PyList_New(0));
    if (!result) return nullptr;
    Py_ssize_t rows, columns = 0, depth = 0;
    if (!loop_bound(M, &rows)) return nullptr;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        PyObject* i_index = indices.at(i);
        Ref row(i_index ? PyList_New(0) : nullptr);
        if (!row) return nullptr;
        if (!loop_bound(N, &columns)) return nullptr;
        for (Py_ssize_t j = 0; j < columns; ++j) {
            PyObject* j_index = indices.at(j);
            if (!j_index) return nullptr;
            Ref decimal_class(lookup(globals, c->Decimal));
            if (!decimal_class) return nullptr;
            Ref acc(PyObject_CallOneArg(decimal_class.get(), zero.get()));
            if (!acc) return nullptr;
            if (!loop_bound(K, &depth)) return nullptr;
            for (Py_ssize_t k = 0; k < depth; ++k) {
                if (!pacer.step()) return nullptr;
                PyObject* k_index = indices.at(k);
                if (!k_index) return nullptr;
                Ref a(exact_element(globals, c, a_subscript, A, i_index, k_index));
                if (!a) return nullptr;
                Ref b(exact_element(globals, c, b_subscript, B, k_index, j_index));
                if (!b) return nullptr;
                // Real Decimals go through the private context; anything a rebound D
                // returns instead gets Python's own operators, as the statement would.
                Ref product;
                if (Py_IS_TYPE(a.get(), decimal) && Py_IS_TYPE(b.get(), decimal)) {
                    PyObject* operands[] = {a.get(), b.get()};
                    product.reset(PyObject_Vectorcall(multiply.get(), operands, 2, nullptr));
                } else {
                    product.reset(PyNumber_Multiply(a.get(), b.get()));
                }
                if (!product) return nullptr;
                if (Py_IS_TYPE(acc.get(), decimal) && Py_IS_TYPE(product.get(), decimal)) {
                    PyObject* operands[] = {acc.get(), product.get()};
                    acc.reset(PyObject_Vectorcall(add.get(), operands, 2, nullptr));
                } else {
                    acc.reset(PyNumber_InPlaceAdd(acc.get(), product.get()));
                }
                if (!acc) return nullptr;
            }
            if (PyList_Append(row.get(), acc.get()) < 0) return nullptr;
        }
        if (PyList_Append(result.get(), row.get()) < 0) return nullptr;
    }
    return result.release();
}

// str() of a shape entry, as the mismatch message renders it.
PyObject* rendered(PyObject* value, const Names* c) {
    return PyObject_Format(value, c->empty);
}

PyObject* dimension_mismatch(PyObject* M, PyObject* K, PyObject* K2, PyObject* N, const Names* c) {
    Ref m(rendered(M, c));
    Ref k(m ? rendered(K, c) : nullptr);
    Ref k2(k ? rendered(K2, c) : nullptr);
    Ref n(k2 ? rendered(N, c) : nullptr);
    if (!n) return nullptr;
    PyErr_Format(PyExc_ValueError, "Matrix dimension mismatch: A is %Ux%U, B is %Ux%U", m.get(),
                 k.get(), k2.get(), n.get());
    return nullptr;
}

}  // namespace
}  // namespace vexa_ext::module_functions

namespace vexa_ext {

// Decimal.from_float(value) for the real decimal.Decimal, about twice as fast for typical
// doubles and up to ten times for extreme exponents: from_float builds 5**k from Python
// ints on every call. A finite double is m * 2**e, with m odd whenever e < 0, and
// from_float's result is the exact product of the integer m with the Decimal 2**e
// (coefficient 5**-e and exponent e when e < 0, the integer 2**e otherwise). With the
// powers of two kept in a table, that product is all that is left to form.
class ExactDoubles {
public:
    ExactDoubles() = default;
    ExactDoubles(const ExactDoubles&) = delete;
    ExactDoubles& operator=(const ExactDoubles&) = delete;
    ~ExactDoubles() {
        for (PyObject* special : {nan_, infinity_, minus_infinity_, zero_, minus_zero_}) Py_XDECREF(special);
        for (PyObject* power : powers_) Py_XDECREF(power);
    }

    // New reference, or nullptr with an exception set.
    PyObject* convert(PyObject* decimal_type, double value) {
        if (!ready_ && !prepare(decimal_type)) return nullptr;
        if (std::isnan(value)) return Py_NewRef(nan_);  // from_float drops sign and payload
        if (std::isinf(value)) return Py_NewRef(std::signbit(value) ? minus_infinity_ : infinity_);
        if (value == 0.0) return Py_NewRef(std::signbit(value) ? minus_zero_ : zero_);
        int exponent;
        const double fraction = std::frexp(value, &exponent);  // value = fraction * 2**exponent
        // 53 bits of fraction as an integer; subnormals have fewer, the rest are zeros.
        uint64_t m = static_cast<uint64_t>(std::ldexp(std::fabs(fraction), 53));
        exponent -= 53;
        for (; exponent < 0 && (m & 1) == 0; ++exponent) m >>= 1;  // m odd when e < 0
        PyObject* power = power_of_two(decimal_type, exponent);
        if (!power) return nullptr;
        const long long magnitude = static_cast<long long>(m);  // below 2**53
        Ref integer(PyLong_FromLongLong(value < 0 ? -magnitude : magnitude));
        if (!integer) return nullptr;
        PyObject* operands[] = {power, integer.get()};
        return PyObject_Vectorcall(multiply_.get(), operands, 2, nullptr);
    }

private:
    static constexpr int kLowestExponent = -1074;  // of the last bit of the smallest subnormal
    static constexpr int kHighestExponent = 971;   // of the last bit of the largest double

    bool prepare(PyObject* decimal_type) {
        // A coefficient m * 5**1074 has at most 767 digits, so 800 never rounds.
        Ref context(py::exact_decimal_context(800));
        if (!context) return false;
        multiply_.reset(PyObject_GetAttrString(context.get(), "multiply"));
        if (!multiply_) return false;
        const struct {
            PyObject** slot;
            const char* text;
        } specials[] = {{&nan_, "NaN"},
                        {&infinity_, "Infinity"},
                        {&minus_infinity_, "-Infinity"},
                        {&zero_, "0"},
                        {&minus_zero_, "-0"}};
        for (const auto& special : specials) {
            Ref text(PyUnicode_FromString(special.text));
            *special.slot = text ? PyObject_CallOneArg(decimal_type, text.get()) : nullptr;
            if (!*special.slot) return false;
        }
        powers_.assign(kHighestExponent - kLowestExponent + 1, nullptr);
        ready_ = true;
        return true;
    }

    // The Decimal equal to 2**exponent, made once by from_float itself.
    PyObject* power_of_two(PyObject* decimal_type, int exponent) {
        PyObject*& power = powers_[static_cast<size_t>(exponent - kLowestExponent)];
        if (!power) {
            Ref value(PyFloat_FromDouble(std::ldexp(1.0, exponent)));
            if (!value) return nullptr;
            Ref name(PyUnicode_FromString("from_float"));
            if (!name) return nullptr;
            power = PyObject_CallMethodOneArg(decimal_type, name.get(), value.get());
        }
        return power;
    }

    bool ready_ = false;
    Ref multiply_;
    PyObject *nan_ = nullptr, *infinity_ = nullptr, *minus_infinity_ = nullptr, *zero_ = nullptr,
             *minus_zero_ = nullptr;
    std::vector<PyObject*> powers_;  // owned
};

void delete_exact_doubles(ExactDoubles* table) { delete table; }

}  // namespace vexa_ext

namespace vexa_ext::module_functions {

PyObject* D(ModuleState* state, PyObject* globals, PyObject* const* args) {
    const Names* c = &state->names;
    PyObject* x = args[0];
    // float(x): an exact float as it is, anything else (numpy scalars, ints, strings,
    // __float__ objects) through the same conversion the builtin uses.
    Ref value(PyFloat_CheckExact(x) ? Py_NewRef(x) : PyNumber_Float(x));
    if (!value) return nullptr;
    Ref decimal_class(lookup(globals, c->Decimal));
    if (!decimal_class) return nullptr;
    // decimal.Decimal is an immutable type, so when the global is that very type its
    // from_float is known; a rebound Decimal gets its own from_float called.
    if (decimal_class.get() == reinterpret_cast<PyObject*>(state->decimal_type)) {
        if (!state->exact_doubles) state->exact_doubles = new (std::nothrow) ExactDoubles;
        if (!state->exact_doubles) return PyErr_NoMemory();
        return state->exact_doubles->convert(decimal_class.get(), PyFloat_AS_DOUBLE(value.get()));
    }
    return PyObject_CallMethodOneArg(decimal_class.get(), c->from_float, value.get());
}

PyObject* compute_ground_truth(ModuleState* state, PyObject* globals, PyObject* const* args) {
    const Names* c = &state->names;
    PyObject* A = args[0];
    PyObject* B = args[1];

    Ref getcontext(lookup(globals, c->getcontext));
    if (!getcontext) return nullptr;
    Ref caller_context(PyObject_CallNoArgs(getcontext.get()));
    if (!caller_context) return nullptr;
    Ref precision(PyLong_FromLong(150));
    if (!precision || PyObject_SetAttr(caller_context.get(), c->prec, precision.get()) < 0) return nullptr;

    PyObject *M, *K, *K2, *N;
    Ref a_shape(PyObject_GetAttr(A, c->shape));
    if (!a_shape || py::unpack_pair(a_shape.get(), &M, &K) < 0) return nullptr;
    Ref rows(M), depth(K);
    Ref b_shape(PyObject_GetAttr(B, c->shape));
    if (!b_shape || py::unpack_pair(b_shape.get(), &K2, &N) < 0) return nullptr;
    Ref b_rows(K2), columns(N);
    // K != K2 as Python spells it: no identity shortcut, so a NaN-like entry still differs.
    Ref inequality(PyObject_RichCompare(K, K2, Py_NE));
    if (!inequality) return nullptr;
    int differ = PyObject_IsTrue(inequality.get());
    if (differ < 0) return nullptr;
    if (differ) return dimension_mismatch(M, K, K2, N, c);

    // A copy of the caller's context (same traps) that never rounds: see kExactPrecision.
    Ref context(py::exact_decimal_context(kExactPrecision, caller_context.get()));
    if (!context) return nullptr;
    Ref result(exact_product(globals, state, A, B, M, K, N, context.get()));
    if (!copy_raised_flags(context.get(), caller_context.get(), c)) return nullptr;
    return result.release();
}

}  // namespace vexa_ext::module_functions
