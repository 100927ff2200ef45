// test(): the quick self-test, also what `python -m dravenholt.vexa` runs.
//
// It prints as it goes, so whatever step fails leaves the lines before it on screen.
// Unlike a bare smoke test it judges the numbers: the success line appears only when the
// K=64 report shows the runtime within 1e-28 of the exact product.
#include "python_support.h"

namespace vexa_ext::module_functions {
namespace {

using py::formatted_line;
using py::lookup;
using py::print_line;
using py::Ref;

// A correctly rounded double-word result is within about 2**-106 (1.2e-32) of the exact
// product; 1e-28 leaves room for any runtime that keeps the promised ~10^-31 precision
// while rejecting every plain float64 one (about 1e-16 at best).
constexpr double kLargestAcceptedError = 1e-28;

// matrix[0, 0]
PyObject* top_left(PyObject* matrix) {
    Ref key(Py_BuildValue("(ii)", 0, 0));
    return key ? PyObject_GetItem(matrix, key.get()) : nullptr;
}

bool print_text(PyObject* globals, const Names* n, const char* text) {
    Ref line(PyUnicode_FromString(text));
    return line && print_line(globals, n->print, line.get());
}

// "  label = " + format(matrix[0, 0], spec)
bool print_corner(PyObject* globals, const Names* n, const char* prefix, PyObject* matrix) {
    Ref corner(top_left(matrix));
    if (!corner) return false;
    Ref line(formatted_line(prefix, corner.get(), n->sixteen_digits));
    return line && print_line(globals, n->print, line.get());
}

// "  |C_lo/C_hi| = " + format(abs(C_lo[0, 0] / C_hi[0, 0]), ".2e")
bool print_ratio(PyObject* globals, const Names* n, PyObject* C_hi, PyObject* C_lo) {
    Ref abs(lookup(globals, n->abs));
    if (!abs) return false;
    Ref lo(top_left(C_lo));
    if (!lo) return false;
    Ref hi(top_left(C_hi));
    if (!hi) return false;
    Ref quotient(PyNumber_TrueDivide(lo.get(), hi.get()));
    if (!quotient) return false;
    Ref magnitude(PyObject_CallOneArg(abs.get(), quotient.get()));
    if (!magnitude) return false;
    Ref line(formatted_line("  |C_lo/C_hi| = ", magnitude.get(), n->two_digits));
    return line && print_line(globals, n->print, line.get());
}

// verify_precision(K=64), then the verdict on its "vexa_max_error".
bool precision_acceptable(PyObject* globals, const Names* n) {
    Ref verify(lookup(globals, n->verify_precision));
    if (!verify) return false;
    Ref sixty_four(PyLong_FromLong(64));
    Ref keyword_names(sixty_four ? PyTuple_Pack(1, n->K) : nullptr);
    if (!keyword_names) return false;
    PyObject* keyword_values[] = {sixty_four.get()};
    Ref report(PyObject_Vectorcall(verify.get(), keyword_values, 0, keyword_names.get()));
    if (!report) return false;
    Ref error(PyObject_GetItem(report.get(), n->vexa_max_error));
    if (!error) return false;
    Ref limit(PyFloat_FromDouble(kLargestAcceptedError));
    if (!limit) return false;
    Ref comparison(PyObject_RichCompare(error.get(), limit.get(), Py_LE));
    if (!comparison) return false;
    int acceptable = PyObject_IsTrue(comparison.get());
    if (acceptable < 0) return false;
    if (acceptable) return true;
    Ref shown(PyObject_Format(error.get(), n->empty));
    if (!shown) return false;
    PyErr_Format(PyExc_RuntimeError,
                 "Vexa self-test failed: vexa_max_error %U exceeds the limit of 1e-28 (K=64)",
                 shown.get());
    return false;
}

}  // namespace

PyObject* test(ModuleState* state, PyObject* globals, PyObject* const*) {
    const Names* n = &state->names;
    if (!print_text(globals, n, "Vexa Quick Test") ||
        !print_text(globals, n, "=================================================="))
        return nullptr;

    Ref vexa_class(lookup(globals, n->Vexa));
    if (!vexa_class) return nullptr;
    Ref q(PyObject_CallNoArgs(vexa_class.get()));
    if (!q) return nullptr;
    Ref version(PyObject_GetAttr(q.get(), n->version));
    if (!version) return nullptr;
    Ref version_line(formatted_line("Version: ", version.get(), n->empty));
    if (!version_line || !print_line(globals, n->print, version_line.get())) return nullptr;

    Ref four(PyLong_FromLong(4));
    if (!four) return nullptr;
    Ref A(py::random_matrix(globals, *n, four.get(), four.get()));
    if (!A) return nullptr;
    Ref B(py::random_matrix(globals, *n, four.get(), four.get()));
    if (!B) return nullptr;
    PyObject* method_args[] = {q.get(), A.get(), B.get()};
    Ref pair(PyObject_VectorcallMethod(n->gemm_pair, method_args,
                                       3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!pair) return nullptr;
    PyObject *hi_words, *lo_words;
    if (py::unpack_pair(pair.get(), &hi_words, &lo_words) < 0) return nullptr;
    Ref C_hi(hi_words), C_lo(lo_words);

    if (!print_text(globals, n, "Test GEMM: 4x4 @ 4x4") ||
        !print_corner(globals, n, "  C_hi[0,0] = ", C_hi.get()) ||
        !print_corner(globals, n, "  C_lo[0,0] = ", C_lo.get()) ||
        !print_ratio(globals, n, C_hi.get(), C_lo.get()) ||
        !print_line(globals, n->print, nullptr))
        return nullptr;

    // A failing verdict leaves the report on screen and raises before the closing lines.
    if (!precision_acceptable(globals, n)) return nullptr;
    if (!print_line(globals, n->print, nullptr) ||
        !print_text(globals, n, "Vexa working correctly!"))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace vexa_ext::module_functions
