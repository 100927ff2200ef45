"""verify_precision against stand-in runtimes, its figures recomputed with fractions.Fraction."""

import decimal
import math
from fractions import Fraction

import numpy as np
import pytest

REPORT_KEYS = ["K", "M", "N", "fp64_max_error", "fp64_mean_error", "vexa_max_error",
               "vexa_mean_error", "improvement"]


@pytest.fixture
def use_runtime(vexa, monkeypatch):
    """Points the module's Vexa() at a library; returns what gemm_pair saw and gave back."""
    calls = []

    def use(path):
        base = vexa.Vexa

        class Pinned(base):
            def __init__(self, dll_path=None):
                super().__init__(path if dll_path is None else dll_path)

            def gemm_pair(self, A, B):
                words = super().gemm_pair(A, B)
                calls.append((A, B, words))
                return words

        monkeypatch.setattr(vexa, "Vexa", Pinned)
        return calls

    return use


def relative_errors(A, B, C_hi, C_lo):
    """The per-entry errors of the float64 dot products and of the two words, row-major."""
    fp64, words = [], []
    for i in range(A.shape[0]):
        for j in range(B.shape[1]):
            truth = sum((Fraction(float(A[i, k])) * Fraction(float(B[k, j]))
                         for k in range(A.shape[1])), Fraction(0))
            fp64_value = Fraction(float(np.dot(A[i, :], B[:, j])))
            fp64.append(float(abs(fp64_value - truth) / abs(truth)))
            vexa_value = Fraction(float(C_hi[i, j])) + Fraction(float(C_lo[i, j]))
            words.append(float(abs(vexa_value - truth) / abs(truth)))
    return fp64, words


@pytest.mark.parametrize("runtime", ["exact", "float64"])
def test_report_figures_match_an_exact_recomputation(vexa, use_runtime, yardstick_runtimes,
                                                     runtime, capsys):
    calls = use_runtime(getattr(yardstick_runtimes, runtime))
    report = vexa.verify_precision(K=16, M=3, N=4, seed=5)
    assert list(report) == REPORT_KEYS
    assert all(type(report[key]) is float for key in REPORT_KEYS[3:])

    (A, B, (C_hi, C_lo)), = calls
    fp64, words = relative_errors(A, B, C_hi, C_lo)
    assert report["fp64_max_error"] == pytest.approx(max(fp64), rel=1e-14)
    assert report["fp64_mean_error"] == pytest.approx(sum(fp64) / 12, rel=1e-14)
    assert report["vexa_max_error"] == pytest.approx(max(words), rel=1e-14)
    assert report["vexa_mean_error"] == pytest.approx(sum(words) / 12, rel=1e-14)
    assert report["improvement"] == report["fp64_max_error"] / report["vexa_max_error"]
    if runtime == "exact":
        assert report["vexa_max_error"] < 1e-31 < 1e-17 < report["fp64_max_error"]
    else:
        assert report["vexa_max_error"] > 1e-17
    capsys.readouterr()


def test_printed_lines_and_formats(vexa, use_runtime, yardstick_runtimes, capsys):
    use_runtime(yardstick_runtimes.exact)
    report = vexa.verify_precision(32, 2, 5, 9)
    assert capsys.readouterr().out.splitlines() == [
        "Vexa Precision Verification (K=32):",
        "  FP64 max error:  " + format(report["fp64_max_error"], ".3e"),
        "  Vexa max error:  " + format(report["vexa_max_error"], ".3e"),
        "  Improvement:     " + format(report["improvement"], ".2e") + "x",
    ]


def test_K_M_N_are_the_objects_passed_in(vexa, use_runtime, yardstick_runtimes, capsys):
    use_runtime(yardstick_runtimes.float64)
    K, M, N = np.int64(6), np.int16(1), np.uint8(1)
    report = vexa.verify_precision(K=K, M=M, N=N, seed=np.int32(1))
    assert report["K"] is K and report["M"] is M and report["N"] is N
    assert report["fp64_mean_error"] == report["fp64_max_error"]  # one entry
    assert report["vexa_mean_error"] == report["vexa_max_error"]
    assert capsys.readouterr().out.splitlines()[0] == f"Vexa Precision Verification (K={K}):"


def test_matrices_are_the_seeded_draws_of_the_global_generator(vexa, use_runtime,
                                                               yardstick_runtimes, capsys):
    calls = use_runtime(yardstick_runtimes.exact)
    np.random.seed(1234)  # overwritten by the call's own seeding
    vexa.verify_precision(K=7, M=3, N=2, seed=77)
    after_call = np.random.randn(5)

    np.random.seed(77)
    A = np.random.randn(3, 7)
    B = np.random.randn(7, 2)
    after_python = np.random.randn(5)
    (A_seen, B_seen, _), = calls
    assert A_seen.dtype == B_seen.dtype == np.float64
    np.testing.assert_array_equal(A_seen, A)
    np.testing.assert_array_equal(B_seen, B)
    np.testing.assert_array_equal(after_call, after_python)
    capsys.readouterr()


def test_same_arguments_same_report(vexa, use_runtime, yardstick_runtimes, capsys):
    use_runtime(yardstick_runtimes.exact)
    reports = [vexa.verify_precision(), vexa.verify_precision(256, 8, 8, 42),
               vexa.verify_precision(K=256)]
    assert reports[0] == reports[1] == reports[2]
    assert reports[0]["K"] == 256 and reports[0]["M"] == reports[0]["N"] == 8
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 12 and out[:4] == out[4:8] == out[8:]


def test_exact_runtime_gives_infinite_improvement(vexa, use_runtime, yardstick_runtimes, capsys):
    # One term: the runtime's two words hold the product exactly, float64 rounds it.
    use_runtime(yardstick_runtimes.exact)
    report = vexa.verify_precision(K=1, M=2, N=2, seed=42)
    assert report["vexa_max_error"] == 0.0 and report["vexa_mean_error"] == 0.0
    assert report["fp64_max_error"] > 0.0
    assert report["improvement"] == math.inf
    assert capsys.readouterr().out.splitlines()[3] == "  Improvement:     infx"


class IntegerValuedNumpy:
    """numpy, except that randn draws small integers: every product is exact in float64."""

    def __init__(self):
        self.random = type("random", (), {
            "seed": staticmethod(np.random.seed),
            "randn": staticmethod(lambda *shape: np.round(np.random.randn(*shape) * 4))})()

    def __getattr__(self, name):
        return getattr(np, name)


def test_both_errors_zero_gives_nan_improvement(vexa, use_runtime, yardstick_runtimes,
                                                monkeypatch, capsys):
    use_runtime(yardstick_runtimes.exact)
    monkeypatch.setattr(vexa, "np", IntegerValuedNumpy())
    report = vexa.verify_precision(K=5, M=2, N=2, seed=8)
    assert report["fp64_max_error"] == report["vexa_max_error"] == 0.0
    assert math.isnan(report["improvement"])
    assert capsys.readouterr().out.splitlines()[1:] == [
        "  FP64 max error:  0.000e+00", "  Vexa max error:  0.000e+00", "  Improvement:     nanx"]


def test_zero_rows_fail_in_max_and_print_nothing(vexa, use_runtime, yardstick_runtimes, capsys):
    use_runtime(yardstick_runtimes.exact)
    decimal.getcontext().prec = 20
    with pytest.raises(ValueError, match="empty"):
        vexa.verify_precision(K=3, M=0, N=2)
    assert capsys.readouterr().out == ""
    assert decimal.getcontext().prec == 150


def test_failing_construction_prints_nothing(vexa, monkeypatch, capsys):
    def no_library():
        raise FileNotFoundError("no runtime here")

    monkeypatch.setattr(vexa, "Vexa", no_library)
    decimal.getcontext().prec = 44
    with pytest.raises(FileNotFoundError, match="no runtime here"):
        vexa.verify_precision(K=4, M=2, N=2)
    assert capsys.readouterr().out == ""
    assert decimal.getcontext().prec == 150


def test_globals_are_looked_up_when_used(vexa, use_runtime, yardstick_runtimes, monkeypatch,
                                         capsys):
    calls = use_runtime(yardstick_runtimes.exact)
    printed, truths = [], []

    def recording_print(*args, **kwargs):
        printed.append((args, kwargs))

    def recording_truth(A, B):
        truths.append((A, B))
        return original_truth(A, B)

    original_truth = vexa.compute_ground_truth
    monkeypatch.setattr(vexa, "print", recording_print, raising=False)
    monkeypatch.setattr(vexa, "compute_ground_truth", recording_truth)
    report = vexa.verify_precision(K=8, M=2, N=3, seed=0)
    assert capsys.readouterr().out == ""
    assert [kwargs for _, kwargs in printed] == [{}] * 4
    assert [args[0] for args, _ in printed] == [
        "Vexa Precision Verification (K=8):",
        "  FP64 max error:  " + format(report["fp64_max_error"], ".3e"),
        "  Vexa max error:  " + format(report["vexa_max_error"], ".3e"),
        "  Improvement:     " + format(report["improvement"], ".2e") + "x"]
    (A, B), = truths
    assert A is calls[0][0] and B is calls[0][1]
