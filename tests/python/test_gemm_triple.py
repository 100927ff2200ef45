"""dravenholt.vexa.gemm_triple: all three words, against the exact Fraction oracle, and
the same operand handling and errors as Vexa.gemm_pair."""

import copy
import ctypes
import math

import numpy as np
import pytest

from exact_oracle import CASE_NAMES, oracle_case, oracle_mismatches


@pytest.fixture(scope="module")
def package():
    import dravenholt.vexa

    return dravenholt.vexa


# Rows 1 + 2^-60 + r against ones: hi = 1 and lo = 2^-60, so C_res is RN_float32(r).
RESIDUAL_ROWS = {
    "exact below lo": [1.0, 2.0 ** -60, 2.0 ** -130],
    "rounded to 24 bits": [1.0, 2.0 ** -60, 2.0 ** -120, 2.0 ** -150],
    "tie to even, down": [1.0, 2.0 ** -60, 2.0 ** -120, 2.0 ** -144],
    "tie to even, up": [1.0, 2.0 ** -60, 2.0 ** -120 + 2.0 ** -143, 2.0 ** -144],
    "float32 subnormal tie": [1.0, 2.0 ** -60, 2.0 ** -148, 2.0 ** -150],
    "below float32 range": [1.0, 2.0 ** -60, 2.0 ** -151],
    "negative residual": [1.0, 2.0 ** -60, -(2.0 ** -120) * (1 + 2.0 ** -30)],
    "float32 overflow": [2.0 ** 1000, 2.0 ** 940, 2.0 ** 880 * (1 + 2.0 ** -30)],
}


def residual_case(name):
    row = RESIDUAL_ROWS[name]
    return np.array([row + [0.0] * (4 - len(row))]), np.ones((4, 1))


@pytest.mark.parametrize("name", CASE_NAMES + [f"residual: {n}" for n in RESIDUAL_ROWS])
def test_every_word_matches_the_exact_oracle(package, name):
    if name.startswith("residual: "):
        A, B = residual_case(name.removeprefix("residual: "))
    else:
        A, B = oracle_case(name)
    C_hi, C_lo, C_res = package.gemm_triple(A, B)
    assert (C_hi.dtype, C_lo.dtype, C_res.dtype) == (np.float64, np.float64, np.float32)
    assert C_hi.shape == C_lo.shape == C_res.shape == (A.shape[0], B.shape[1])
    assert oracle_mismatches(A, B, C_hi, C_lo, C_res) == []


def test_the_residual_keeps_what_the_pair_drops(package):
    A, B = np.array([[1.0, 2.0 ** -60, 2.0 ** -130]]), np.ones((3, 1))
    C_hi, C_lo, C_res = package.gemm_triple(A, B)
    assert (C_hi[0, 0], C_lo[0, 0], float(C_res[0, 0])) == (1.0, 2.0 ** -60, 2.0 ** -130)
    pair_hi, pair_lo = package.Vexa().gemm_pair(A, B)
    assert pair_hi[0, 0] + pair_lo[0, 0] == C_hi[0, 0] + C_lo[0, 0]


BASE_A = np.arange(-8.0, 16.0).reshape(4, 6) / 3
BASE_B = np.arange(18.0).reshape(6, 3) - 5.0


@pytest.mark.parametrize("convert", [
    lambda X: X.tolist(),
    lambda X: X.astype(np.float32),
    np.asfortranarray,
    lambda X: np.repeat(X, 2, axis=1)[:, ::2],  # strided view
], ids=["lists", "float32", "fortran", "strided"])
def test_converted_operands_are_multiplied_as_float64_and_left_unchanged(package, convert):
    A, B = convert(BASE_A.copy()), convert(BASE_B.copy())
    A_before, B_before = copy.deepcopy(A), copy.deepcopy(B)
    got = package.gemm_triple(A, B)
    want = package.gemm_triple(np.asarray(A, np.float64), np.asarray(B, np.float64))
    assert all(np.array_equal(g, w) for g, w in zip(got, want))
    for after, before in ((A, A_before), (B, B_before)):
        assert np.array_equal(np.asarray(after), np.asarray(before))


@pytest.mark.parametrize("A_shape, B_shape", [((0, 3), (3, 4)), ((2, 0), (0, 4)),
                                              ((2, 3), (3, 0))])
def test_empty_dimensions(package, A_shape, B_shape):
    words = package.gemm_triple(np.ones(A_shape), np.ones(B_shape))
    for word in words:
        assert word.shape == (A_shape[0], B_shape[1]) and word.flags.c_contiguous
        assert all(x == 0 and math.copysign(1, x) == 1 for x in word.ravel())


def test_outputs_are_new_and_distinct(package):
    A = np.ones((3, 3))
    words = package.gemm_triple(A, A)
    assert len({id(w) for w in words} | {id(A)}) == 4
    assert not any(np.shares_memory(x, y) for x in (*words, A) for y in words if x is not y)


@pytest.mark.parametrize("A, B", [
    (np.zeros((2, 3)), np.zeros((4, 5))),
    (np.zeros(3), np.zeros((3, 1))),
    (np.float64(1.0), np.zeros((1, 1))),
    (np.zeros((2, 3, 1)), np.zeros((3, 1))),
    (np.zeros((2, 3)), np.zeros(5)),
    (np.zeros((2, 3)), np.zeros((4, 5, 6))),
    (np.zeros((2**31, 0)), np.zeros((1, 1))),
    (np.zeros((2**31, 0)), np.zeros((0, 1))),
    (np.zeros((0, 0)), np.zeros((0, 2**31))),
    (np.zeros((0, 2**31)), np.zeros((2**31, 0))),
    ([["x"]], np.ones((1, 1))),
], ids=["mismatch", "A-1d", "A-scalar", "A-3d", "B-1d", "B-3d", "mismatch-first", "M", "N",
        "K", "unconvertible"])
def test_rejections_are_those_of_gemm_pair(package, A, B):
    with pytest.raises(Exception) as from_pair:
        package.Vexa().gemm_pair(A, B)
    with pytest.raises(Exception) as from_triple:
        package.gemm_triple(A, B)
    assert type(from_triple.value) is type(from_pair.value)
    assert from_triple.value.args == from_pair.value.args


@pytest.fixture
def fake_library(package, fake_runtime, monkeypatch):
    """gemm_triple routed to the recording stand-in for libvexa."""
    lib = ctypes.CDLL(fake_runtime.path)
    double_p, float_p = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_float)
    lib.vexa_gemm_host.argtypes = [double_p] * 4 + [float_p] + [ctypes.c_int] * 3
    lib.vexa_gemm_host.restype = ctypes.c_int
    monkeypatch.setattr(package._triple, "library", lambda: lib)
    return fake_runtime


@pytest.mark.parametrize("status", [-1, -3, 7])
def test_a_failure_status_raises_runtime_error(package, fake_library, status):
    fake_library.set_status(status)
    with pytest.raises(RuntimeError) as raised:
        package.gemm_triple(np.ones((2, 3)), np.ones((3, 4)))
    assert raised.value.args == (f"Vexa error: {status}",)


def test_buffers_and_dimensions_reach_the_runtime_in_order(package, fake_library):
    A, B = np.ones((2, 3)), np.ones((3, 5))
    C_hi, C_lo, C_res = package.gemm_triple(A, B)
    assert fake_library.last_dimensions() == (2, 5, 3)
    assert fake_library.last_pointers() == tuple(x.ctypes.data for x in (A, B, C_hi, C_lo, C_res))
    assert fake_library.outputs_were_zero()


def test_the_product_runs_without_the_interpreter_lock(package, fake_library, run_on_threads):
    fake_library.require_concurrent_callers(2)
    assert run_on_threads(lambda: package.gemm_triple(np.ones((2, 2)), np.ones((2, 2))), 2) == []
    assert fake_library.concurrent_callers_met()


def test_no_library_beside_the_package(package, monkeypatch, tmp_path):
    missing = str(tmp_path / "libvexa.so")
    monkeypatch.setattr(package._runtime, "_library", None)
    monkeypatch.setattr(package._runtime, "library_path", lambda: missing)
    with pytest.raises(FileNotFoundError, match="libvexa not found beside the package") as raised:
        package.gemm_triple(np.ones((1, 1)), np.ones((1, 1)))
    assert missing in str(raised.value)
