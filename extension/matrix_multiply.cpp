// Vexa.gemm_pair and Vexa.gemm: numpy operands in, the native double-word product out.
//
// The native multiply is reached through `self._lib.vexa_gemm_host`, a ctypes foreign
// function, so the interpreter lock is released while it runs and other threads go on.
// Contiguous float64 operands are handed over without a copy: the runtime reads the
// caller's own buffers.
#include "python_support.h"

namespace vexa_ext::vexa_methods {
namespace {

using py::Ref;

// The largest value a ctypes.c_int carries intact; larger dimensions would silently wrap.
constexpr long long kNativeIntMax = 2147483647;

// X = np.ascontiguousarray(X, dtype=np.float64)
Ref as_contiguous_float64(PyObject* globals, PyObject* operand) {
    Ref np = py::global(globals, "np");
    if (!np) return Ref();
    Ref ascontiguousarray = py::attribute(np.get(), "ascontiguousarray");
    if (!ascontiguousarray) return Ref();
    Ref np_again = py::global(globals, "np");
    if (!np_again) return Ref();
    Ref float64 = py::attribute(np_again.get(), "float64");
    if (!float64) return Ref();
    return py::call_with_dtype(ascontiguousarray.get(), operand, float64.get());
}

// np.zeros((rows, columns), dtype=np.<element_type>)
Ref zero_matrix(PyObject* globals, PyObject* rows, PyObject* columns, const char* element_type) {
    Ref np = py::global(globals, "np");
    if (!np) return Ref();
    Ref zeros = py::attribute(np.get(), "zeros");
    if (!zeros) return Ref();
    Ref shape(PyTuple_Pack(2, rows, columns));
    if (!shape) return Ref();
    Ref np_again = py::global(globals, "np");
    if (!np_again) return Ref();
    Ref dtype = py::attribute(np_again.get(), element_type);
    if (!dtype) return Ref();
    return py::call_with_dtype(zeros.get(), shape.get(), dtype.get());
}

// Raises the ValueError and returns -1 when `value` cannot pass through a C int.
int check_native_int_range(const char* name, PyObject* value) {
    Ref limit(PyLong_FromLongLong(kNativeIntMax));
    if (!limit) return -1;
    const int too_large = py::compare_true(value, limit.get(), Py_GT);
    if (too_large <= 0) return too_large;
    Ref shown = py::format_plain(value);
    if (!shown) return -1;
    Ref message(PyUnicode_FromFormat("Matrix dimension %s=%U exceeds the native int range (%lld)",
                                     name, shown.get(), kNativeIntMax));
    if (message) py::raise_with_message(PyExc_ValueError, message.get());
    return -1;
}

// array.ctypes.data_as(self.<pointer_type>)
Ref data_pointer(PyObject* self, PyObject* array, const char* pointer_type) {
    Ref array_ctypes = py::attribute(array, "ctypes");
    if (!array_ctypes) return Ref();
    Ref data_as = py::attribute(array_ctypes.get(), "data_as");
    if (!data_as) return Ref();
    Ref type = py::attribute(self, pointer_type);
    if (!type) return Ref();
    return Ref(PyObject_CallOneArg(data_as.get(), type.get()));
}

// self._I(value)
Ref native_int(PyObject* self, PyObject* value) {
    Ref int_type = py::attribute(self, "_I");
    if (!int_type) return Ref();
    return Ref(PyObject_CallOneArg(int_type.get(), value));
}

}  // namespace

PyObject* gemm_pair(ModuleState* /*state*/, PyObject* globals, PyObject* const* args) {
    PyObject* self = args[0];
    Ref A = as_contiguous_float64(globals, args[1]);
    if (!A) return nullptr;
    Ref B = as_contiguous_float64(globals, args[2]);
    if (!B) return nullptr;

    PyObject *M_raw, *K_raw, *K2_raw, *N_raw;
    Ref A_shape = py::attribute(A.get(), "shape");
    if (!A_shape || py::unpack_pair(A_shape.get(), &M_raw, &K_raw) < 0) return nullptr;
    Ref M(M_raw), K(K_raw);
    Ref B_shape = py::attribute(B.get(), "shape");
    if (!B_shape || py::unpack_pair(B_shape.get(), &K2_raw, &N_raw) < 0) return nullptr;
    Ref K2(K2_raw), N(N_raw);

    const int mismatch = py::compare_true(K.get(), K2.get(), Py_NE);
    if (mismatch < 0) return nullptr;
    if (mismatch) {
        PyObject* const shown[4] = {M.get(), K.get(), K2.get(), N.get()};
        Ref text[4];
        for (int i = 0; i < 4; ++i) {
            text[i] = py::format_plain(shown[i]);
            if (!text[i]) return nullptr;
        }
        Ref message(PyUnicode_FromFormat("Matrix dimension mismatch: A is %Ux%U, B is %Ux%U",
                                         text[0].get(), text[1].get(), text[2].get(),
                                         text[3].get()));
        if (message) py::raise_with_message(PyExc_ValueError, message.get());
        return nullptr;
    }

    // Checked before anything is allocated: huge zero-byte operands are cheap to make, and
    // a wrapped dimension would reach the runtime as a different (possibly negative) size.
    if (check_native_int_range("M", M.get()) < 0 || check_native_int_range("N", N.get()) < 0 ||
        check_native_int_range("K", K.get()) < 0)
        return nullptr;

    Ref C_hi = zero_matrix(globals, M.get(), N.get(), "float64");
    if (!C_hi) return nullptr;
    Ref C_lo = zero_matrix(globals, M.get(), N.get(), "float64");
    if (!C_lo) return nullptr;
    Ref C_res = zero_matrix(globals, M.get(), N.get(), "float32");
    if (!C_res) return nullptr;

    Ref lib = py::attribute(self, "_lib");
    if (!lib) return nullptr;
    Ref gemm_host = py::attribute(lib.get(), "vexa_gemm_host");
    if (!gemm_host) return nullptr;
    // The eight arguments in the native order, built left to right: five buffers, then
    // the dimensions as M, N, K (not the M, K, N in which the shapes name them).
    PyObject* const buffers[5] = {A.get(), B.get(), C_hi.get(), C_lo.get(), C_res.get()};
    const char* const pointer_types[5] = {"_P_D", "_P_D", "_P_D", "_P_D", "_P_F"};
    PyObject* const dimensions[3] = {M.get(), N.get(), K.get()};
    Ref native_args[8];
    for (int i = 0; i < 5; ++i) {
        native_args[i] = data_pointer(self, buffers[i], pointer_types[i]);
        if (!native_args[i]) return nullptr;
    }
    for (int i = 0; i < 3; ++i) {
        native_args[5 + i] = native_int(self, dimensions[i]);
        if (!native_args[5 + i]) return nullptr;
    }
    PyObject* call_args[8];
    for (int i = 0; i < 8; ++i) call_args[i] = native_args[i].get();
    Ref status(PyObject_Vectorcall(gemm_host.get(), call_args, 8, nullptr));
    if (!status) return nullptr;

    Ref success(PyLong_FromLong(0));
    if (!success) return nullptr;
    const int failed = py::compare_true(status.get(), success.get(), Py_NE);
    if (failed < 0) return nullptr;
    if (failed) {
        Ref shown = py::format_plain(status.get());
        if (!shown) return nullptr;
        Ref message(PyUnicode_FromFormat("Vexa error: %U", shown.get()));
        if (message) py::raise_with_message(PyExc_RuntimeError, message.get());
        return nullptr;
    }
    return PyTuple_Pack(2, C_hi.get(), C_lo.get());
}

PyObject* gemm(ModuleState* /*state*/, PyObject* /*globals*/, PyObject* const* args) {
    Ref pair = py::call_method(args[0], "gemm_pair", args[1], args[2]);
    if (!pair) return nullptr;
    PyObject *C_hi_raw, *C_lo_raw;
    if (py::unpack_pair(pair.get(), &C_hi_raw, &C_lo_raw) < 0) return nullptr;
    Ref C_hi(C_hi_raw), C_lo(C_lo_raw);
    return PyNumber_Add(C_hi.get(), C_lo.get());
}

}  // namespace vexa_ext::vexa_methods
