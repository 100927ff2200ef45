// verify_precision(K=256, M=8, N=8, seed=42): the precision report.
//
// Each step is the Python statement it stands for, globals and builtins looked up as the
// statement runs, so the numpy generator sees the same calls in the same order and a
// rebound global changes what runs. The one departure is "improvement" when the runtime
// is exact: IEEE division by zero instead of ZeroDivisionError.
#include "python_support.h"

#include <cmath>

namespace vexa_ext::module_functions {
namespace {

using py::formatted_line;
using py::lookup;
using py::print_line;
using py::Ref;

// builtin(argument), the builtin looked up as the statement runs.
PyObject* call_global(PyObject* globals, PyObject* name, PyObject* argument) {
    Ref function(lookup(globals, name));
    if (!function) return nullptr;
    return PyObject_CallOneArg(function.get(), argument);
}

// X[first, second] with a fresh key, as Python builds one per subscript.
PyObject* subscript(PyObject* matrix, PyObject* first, PyObject* second) {
    Ref key(PyTuple_Pack(2, first, second));
    if (!key) return nullptr;
    return PyObject_GetItem(matrix, key.get());
}

// D(C[i, j]): D is looked up before the subscript, as Python evaluates the call.
PyObject* exact_word(PyObject* globals, const Names* n, PyObject* words, PyObject* i, PyObject* j) {
    Ref D(lookup(globals, n->D));
    if (!D) return nullptr;
    Ref word(subscript(words, i, j));
    if (!word) return nullptr;
    return PyObject_CallOneArg(D.get(), word.get());
}

// abs(value - truth) / abs(truth)
PyObject* relative_error(PyObject* globals, const Names* n, PyObject* value, PyObject* truth) {
    Ref abs(lookup(globals, n->abs));
    if (!abs) return nullptr;
    Ref difference(PyNumber_Subtract(value, truth));
    if (!difference) return nullptr;
    Ref numerator(PyObject_CallOneArg(abs.get(), difference.get()));
    if (!numerator) return nullptr;
    Ref denominator(call_global(globals, n->abs, truth));
    if (!denominator) return nullptr;
    return PyNumber_TrueDivide(numerator.get(), denominator.get());
}

// errors.append(float(error))
bool append_as_float(PyObject* globals, const Names* n, PyObject* errors, PyObject* error) {
    Ref value(call_global(globals, n->float_, error));
    return value && PyList_Append(errors, value.get()) == 0;
}

// One entry's comparison: appends one float to each error list.
bool compare_entry(PyObject* globals, const Names* n, PyObject* A, PyObject* B, PyObject* C_hi,
                   PyObject* C_lo, PyObject* C_truth, PyObject* i, PyObject* j,
                   PyObject* fp64_errors, PyObject* vexa_errors) {
    Ref truth_row(PyObject_GetItem(C_truth, i));
    if (!truth_row) return false;
    Ref truth(PyObject_GetItem(truth_row.get(), j));
    if (!truth) return false;

    // fp64_val = D(np.dot(A[i, :], B[:, j]))
    Ref D(lookup(globals, n->D));
    if (!D) return false;
    Ref np(lookup(globals, n->np));
    if (!np) return false;
    Ref dot(PyObject_GetAttr(np.get(), n->dot));
    if (!dot) return false;
    Ref all(PySlice_New(nullptr, nullptr, nullptr));
    if (!all) return false;
    Ref a_row(subscript(A, i, all.get()));
    if (!a_row) return false;
    Ref b_column(subscript(B, all.get(), j));
    if (!b_column) return false;
    PyObject* vectors[] = {a_row.get(), b_column.get()};
    Ref fp64_dot(PyObject_Vectorcall(dot.get(), vectors, 2, nullptr));
    if (!fp64_dot) return false;
    Ref fp64_val(PyObject_CallOneArg(D.get(), fp64_dot.get()));
    if (!fp64_val) return false;
    Ref fp64_err(relative_error(globals, n, fp64_val.get(), truth.get()));
    if (!fp64_err || !append_as_float(globals, n, fp64_errors, fp64_err.get())) return false;

    // vexa_val = D(C_hi[i, j]) + D(C_lo[i, j])
    Ref hi(exact_word(globals, n, C_hi, i, j));
    if (!hi) return false;
    Ref lo(exact_word(globals, n, C_lo, i, j));
    if (!lo) return false;
    Ref vexa_val(PyNumber_Add(hi.get(), lo.get()));
    if (!vexa_val) return false;
    Ref vexa_err(relative_error(globals, n, vexa_val.get(), truth.get()));
    return vexa_err && append_as_float(globals, n, vexa_errors, vexa_err.get());
}

// sum(errors) / len(errors)
PyObject* mean(PyObject* globals, const Names* n, PyObject* errors) {
    Ref total(call_global(globals, n->sum, errors));
    if (!total) return nullptr;
    Ref count(call_global(globals, n->len, errors));
    if (!count) return nullptr;
    return PyNumber_TrueDivide(total.get(), count.get());
}

// fp64_max / vexa_max. An exact runtime makes every Vexa error 0.0, which must not crash
// the report: two floats divide as IEEE 754 does (x / 0.0 is an infinity of x's sign,
// 0.0 / 0.0 and nan / 0.0 are nan). Anything else is plain Python division.
PyObject* improvement_ratio(PyObject* fp64_max, PyObject* vexa_max) {
    if (PyFloat_Check(fp64_max) && PyFloat_Check(vexa_max) && PyFloat_AS_DOUBLE(vexa_max) == 0.0) {
        double numerator = PyFloat_AS_DOUBLE(fp64_max);
        double denominator_sign = std::copysign(1.0, PyFloat_AS_DOUBLE(vexa_max));
        if (numerator == 0.0 || std::isnan(numerator)) return PyFloat_FromDouble(std::nan(""));
        return PyFloat_FromDouble(std::copysign(HUGE_VAL, numerator) * denominator_sign);
    }
    return PyNumber_TrueDivide(fp64_max, vexa_max);
}

// The report, its values evaluated in the order of the dict display.
PyObject* build_report(PyObject* globals, const Names* n, PyObject* K, PyObject* M, PyObject* N,
                       PyObject* fp64_errors, PyObject* vexa_errors) {
    Ref fp64_max(call_global(globals, n->max, fp64_errors));
    if (!fp64_max) return nullptr;
    Ref fp64_mean(mean(globals, n, fp64_errors));
    if (!fp64_mean) return nullptr;
    Ref vexa_max(call_global(globals, n->max, vexa_errors));
    if (!vexa_max) return nullptr;
    Ref vexa_mean(mean(globals, n, vexa_errors));
    if (!vexa_mean) return nullptr;
    Ref numerator(call_global(globals, n->max, fp64_errors));
    if (!numerator) return nullptr;
    Ref denominator(call_global(globals, n->max, vexa_errors));
    if (!denominator) return nullptr;
    Ref improvement(improvement_ratio(numerator.get(), denominator.get()));
    if (!improvement) return nullptr;

    Ref report(PyDict_New());
    if (!report) return nullptr;
    const struct {
        PyObject* key;
        PyObject* value;
    } entries[] = {
        {n->K, K},
        {n->M, M},
        {n->N, N},
        {n->fp64_max_error, fp64_max.get()},
        {n->fp64_mean_error, fp64_mean.get()},
        {n->vexa_max_error, vexa_max.get()},
        {n->vexa_mean_error, vexa_mean.get()},
        {n->improvement, improvement.get()},
    };
    for (const auto& entry : entries)
        if (PyDict_SetItem(report.get(), entry.key, entry.value) < 0) return nullptr;
    return report.release();
}

// The four lines, the numbers read back from the report by key.
bool print_report(PyObject* globals, const Names* n, PyObject* K, PyObject* report) {
    Ref header(formatted_line("Vexa Precision Verification (K=", K, n->empty, "):"));
    if (!header || !print_line(globals, n->print, header.get())) return false;
    const struct {
        const char* prefix;
        PyObject* key;
        PyObject* spec;
        const char* suffix;
    } lines[] = {
        {"  FP64 max error:  ", n->fp64_max_error, n->three_digits, ""},
        {"  Vexa max error:  ", n->vexa_max_error, n->three_digits, ""},
        {"  Improvement:     ", n->improvement, n->two_digits, "x"},
    };
    for (const auto& line : lines) {
        Ref value(PyObject_GetItem(report, line.key));
        if (!value) return false;
        Ref text(formatted_line(line.prefix, value.get(), line.spec, line.suffix));
        if (!text || !print_line(globals, n->print, text.get())) return false;
    }
    return true;
}

}  // namespace

PyObject* verify_precision(ModuleState* state, PyObject* globals, PyObject* const* args) {
    const Names* n = &state->names;
    PyObject* K = args[0];
    PyObject* M = args[1];
    PyObject* N = args[2];
    PyObject* seed = args[3];

    // getcontext().prec = 150
    Ref getcontext(lookup(globals, n->getcontext));
    if (!getcontext) return nullptr;
    Ref context(PyObject_CallNoArgs(getcontext.get()));
    Ref precision(context ? PyLong_FromLong(150) : nullptr);
    if (!precision || PyObject_SetAttr(context.get(), n->prec, precision.get()) < 0) return nullptr;

    // np.random.seed(seed)
    {
        Ref np(lookup(globals, n->np));
        if (!np) return nullptr;
        Ref random(PyObject_GetAttr(np.get(), n->random));
        if (!random) return nullptr;
        Ref seeded(PyObject_CallMethodOneArg(random.get(), n->seed, seed));
        if (!seeded) return nullptr;
    }

    // A first, then B: the generator's draws must match Python's.
    Ref A(py::random_matrix(globals, *n, M, K));
    if (!A) return nullptr;
    Ref B(py::random_matrix(globals, *n, K, N));
    if (!B) return nullptr;

    // q = Vexa(); C_hi, C_lo = q.gemm_pair(A, B)
    Ref vexa_class(lookup(globals, n->Vexa));
    if (!vexa_class) return nullptr;
    Ref q(PyObject_CallNoArgs(vexa_class.get()));
    if (!q) return nullptr;
    PyObject* method_args[] = {q.get(), A.get(), B.get()};
    Ref pair(PyObject_VectorcallMethod(n->gemm_pair, method_args,
                                       3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!pair) return nullptr;
    PyObject *hi_words, *lo_words;
    if (py::unpack_pair(pair.get(), &hi_words, &lo_words) < 0) return nullptr;
    Ref C_hi(hi_words), C_lo(lo_words);

    // C_truth = compute_ground_truth(A, B)
    Ref ground_truth(lookup(globals, n->compute_ground_truth));
    if (!ground_truth) return nullptr;
    PyObject* operands[] = {A.get(), B.get()};
    Ref C_truth(PyObject_Vectorcall(ground_truth.get(), operands, 2, nullptr));
    if (!C_truth) return nullptr;

    // The per-entry errors, row-major.
    Ref fp64_errors(PyList_New(0));
    Ref vexa_errors(PyList_New(0));
    if (!fp64_errors || !vexa_errors) return nullptr;
    Ref rows(PyNumber_Index(M));
    if (!rows) return nullptr;
    Py_ssize_t row_count = PyNumber_AsSsize_t(rows.get(), nullptr);
    py::Pacer pacer;
    for (Py_ssize_t row = 0; row < row_count; ++row) {
        Ref i(PyLong_FromSsize_t(row));
        if (!i) return nullptr;
        Ref columns(PyNumber_Index(N));
        if (!columns) return nullptr;
        Py_ssize_t column_count = PyNumber_AsSsize_t(columns.get(), nullptr);
        for (Py_ssize_t column = 0; column < column_count; ++column) {
            if (!pacer.step()) return nullptr;
            Ref j(PyLong_FromSsize_t(column));
            if (!j) return nullptr;
            if (!compare_entry(globals, n, A.get(), B.get(), C_hi.get(), C_lo.get(), C_truth.get(),
                               i.get(), j.get(), fp64_errors.get(), vexa_errors.get()))
                return nullptr;
        }
    }

    // Nothing is printed until the report is complete.
    Ref report(build_report(globals, n, K, M, N, fp64_errors.get(), vexa_errors.get()));
    if (!report || !print_report(globals, n, K, report.get())) return nullptr;
    return report.release();
}

}  // namespace vexa_ext::module_functions
