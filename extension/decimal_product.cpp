// Vexa.gemm_decimal: the double-word product as rows of exact Decimal sums.
//
// Each element is D(C_hi[i, j]) + D(C_lo[i, j]) formed exactly. Adding under the caller's
// decimal context would round the ~32-digit result to that context's precision (28 digits
// by default) and touch its flags, so the sums are taken with the `add` of a private
// context that is wide enough for any two doubles; the caller's context is never read
// or changed.
#include "python_support.h"

namespace vexa_ext::vexa_methods {
namespace {

using py::Ref;

// Every double is an integer multiple of 2**-1074 below 2**1024 in magnitude, so the sum
// of two is k * 2**-1074 with |k| < 2**1025 * 2**1074 = 2**2099. As a decimal that is
// k * 5**1074 * 10**-1074, and k * 5**1074 < 2**2099 * 5**1074 < 10**1383: at most 1383
// significant digits (reached, e.g., by the largest double plus the smallest subnormal).
// 1400 leaves headroom; an exact sum costs the same whatever the precision allows.
constexpr long kExactDoubleSumDigits = 1400;

// D(words[index]), with D looked up in the module globals at this use.
Ref exact_word(PyObject* globals, PyObject* words, PyObject* index) {
    Ref to_decimal = py::global(globals, "D");
    if (!to_decimal) return Ref();
    Ref word(PyObject_GetItem(words, index));
    if (!word) return Ref();
    return Ref(PyObject_CallOneArg(to_decimal.get(), word.get()));
}

// range(count) accepts anything with __index__; negative counts give no iterations.
int loop_count(PyObject* count, Py_ssize_t* out) {
    Ref index(PyNumber_Index(count));
    if (!index) return -1;
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    if (value == -1 && PyErr_Occurred()) return -1;
    *out = value < 0 ? 0 : value;
    return 0;
}

}  // namespace

PyObject* gemm_decimal(ModuleState* /*state*/, PyObject* globals, PyObject* const* args) {
    Ref pair = py::call_method(args[0], "gemm_pair", args[1], args[2]);
    if (!pair) return nullptr;
    PyObject *C_hi_raw, *C_lo_raw;
    if (py::unpack_pair(pair.get(), &C_hi_raw, &C_lo_raw) < 0) return nullptr;
    Ref C_hi(C_hi_raw), C_lo(C_lo_raw);

    Ref shape = py::attribute(C_hi.get(), "shape");
    if (!shape) return nullptr;
    PyObject *M_raw, *N_raw;
    if (py::unpack_pair(shape.get(), &M_raw, &N_raw) < 0) return nullptr;
    Ref M(M_raw), N(N_raw);
    Py_ssize_t rows = 0, columns = 0;
    if (loop_count(M.get(), &rows) < 0 || loop_count(N.get(), &columns) < 0) return nullptr;

    Ref context(py::exact_decimal_context(kExactDoubleSumDigits));
    if (!context) return nullptr;
    Ref add = py::attribute(context.get(), "add");
    if (!add) return nullptr;

    Ref result(PyList_New(0));
    if (!result) return nullptr;
    py::Pacer pacer;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        Ref row(PyList_New(0));
        if (!row) return nullptr;
        for (Py_ssize_t j = 0; j < columns; ++j) {
            if (!pacer.step()) return nullptr;
            Ref index(Py_BuildValue("(nn)", i, j));
            if (!index) return nullptr;
            Ref high = exact_word(globals, C_hi.get(), index.get());
            if (!high) return nullptr;
            Ref low = exact_word(globals, C_lo.get(), index.get());
            if (!low) return nullptr;
            PyObject* operands[] = {high.get(), low.get()};
            Ref sum(PyObject_Vectorcall(add.get(), operands, 2, nullptr));
            if (!sum || PyList_Append(row.get(), sum.get()) < 0) return nullptr;
        }
        if (PyList_Append(result.get(), row.get()) < 0) return nullptr;
    }
    return result.release();
}

}  // namespace vexa_ext::vexa_methods
