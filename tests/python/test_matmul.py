"""dravenholt.vexa.matmul, the float64 residual and the two-word entry point, against
fractions.Fraction and numpy's own shape rules."""

import ctypes
import math
from fractions import Fraction

import numpy as np
import pytest

from exact_oracle import (CASE_NAMES, expected_triple, oracle_case, round_binary, same,
                          to_double)


@pytest.fixture(scope="module")
def package():
    import dravenholt.vexa

    return dravenholt.vexa


def nearest(x):
    """The float64 nearest the Fraction x (finite here)."""
    return to_double(round_binary(x, 53, -1074, 1024), x < 0) if x else 0.0


def exact_dot(a, b):
    return sum((Fraction(float(x)) * Fraction(float(y)) for x, y in zip(a, b)), Fraction(0))


def wide(rng, shape):
    """Values from 1e-40 to 1e40 of both signs."""
    return 10.0 ** rng.uniform(-40, 40, shape) * rng.choice([-1.0, 1.0], shape)


def cancelling(rng, shape_a, shape_b):
    """Operands whose products cancel in pairs but for a last rounding bit (K = 7)."""
    a, b = wide(rng, shape_a), wide(rng, shape_b)
    a[..., 1:7:2] = -a[..., 0:6:2]
    if b.ndim == 1:
        b[1:7:2] = b[0:6:2] * (1 + 2.0**-52)
    else:
        b[..., 1:7:2, :] = b[..., 0:6:2, :] * (1 + 2.0**-52)
    return a, b


SHAPES = [((3,), (3,)), ((3,), (3, 4)), ((2, 3), (3,)), ((5, 2, 3), (3, 4)),
          ((2, 3), (5, 3, 4)), ((5, 1, 2, 3), (4, 3, 2)), ((4, 2, 3), (3,)), ((3,), (2, 3, 4)),
          ((0, 3), (3, 2)), ((2, 0), (0, 3)), ((2, 0, 3), (3, 5)), ((0, 2, 3), (1, 3, 2))]


@pytest.mark.parametrize("shape_a, shape_b", SHAPES)
def test_shapes_follow_numpy_matmul(package, shape_a, shape_b):
    rng = np.random.default_rng(len(shape_a) * 10 + len(shape_b))
    a = rng.integers(-9, 9, shape_a).astype(np.float64)
    b = rng.integers(-9, 9, shape_b).astype(np.float64)
    got, want = package.matmul(a, b), np.matmul(a, b)
    assert type(got) is type(want) and np.shape(got) == np.shape(want)
    assert np.array_equal(got, want)


@pytest.mark.parametrize("shape_a, shape_b", [((6, 3, 7), (7, 4)), ((7,), (7,)), ((2, 7), (3, 7, 1)),
                                              ((4, 1, 3, 7), (2, 7, 2))])
def test_stacks_and_vectors_are_correctly_rounded(package, shape_a, shape_b):
    a, b = cancelling(np.random.default_rng(7), shape_a, shape_b)
    got = np.asarray(package.matmul(a, b))
    a2, b2 = np.atleast_2d(a), b if b.ndim > 1 else b[:, None]
    stack = np.broadcast_shapes(a2.shape[:-2], b2.shape[:-2])
    A, B = np.broadcast_to(a2, stack + a2.shape[-2:]), np.broadcast_to(b2, stack + b2.shape[-2:])
    want = np.empty(stack + (a2.shape[-2], b2.shape[-1]))
    for index in np.ndindex(*want.shape):
        want[index] = nearest(exact_dot(A[index[:-1]], B[index[:-2]][:, index[-1]]))
    assert np.array_equal(got, want.reshape(got.shape))


def check_complex(got, a, b):
    a2, b2 = np.atleast_2d(a), np.atleast_2d(b)
    for i, row in enumerate(a2):
        for j, col in enumerate(b2.T):
            real = exact_dot(row.real, col.real) - exact_dot(row.imag, col.imag)
            imag = exact_dot(row.real, col.imag) + exact_dot(row.imag, col.real)
            assert same(got[i, j].real, nearest(real)) and same(got[i, j].imag, nearest(imag))


def test_complex_parts_are_each_rounded_once(package):
    rng = np.random.default_rng(3)
    a = wide(rng, (3, 7)) + 1j * wide(rng, (3, 7))
    b = wide(rng, (7, 2)) - 1j * wide(rng, (7, 2))
    # Row 0 against column 0: the real parts cancel exactly (ar br == ai bi).
    a[0], b[:, 0] = (1e150 + 3e-150j) * np.ones(7), (3e-150 + 1e150j) * np.ones(7)
    got = package.matmul(a, b)
    assert got.dtype == np.complex128 and got[0, 0].real == 0.0
    check_complex(got, a, b)
    check_complex(package.matmul(a.real, b), a.real, b)
    check_complex(package.matmul(a, b.real), a, b.real)


def test_out_takes_any_strides_and_is_returned(package):
    a, b = np.arange(12.0).reshape(2, 2, 3), np.arange(6.0).reshape(3, 2)
    storage = np.full((2, 4, 4), -1.0)
    out = storage[:, ::2, ::-2]
    assert package.matmul(a, b, out=out) is out
    assert np.array_equal(out, a @ b) and np.all(storage[:, 1::2] == -1)


@pytest.mark.parametrize("out, error", [
    (np.zeros((2, 3)), ValueError), (np.zeros((2, 2), np.float32), ValueError),
    (np.zeros((2, 2), np.complex128), ValueError), ([[0.0, 0.0], [0.0, 0.0]], TypeError)])
def test_a_wrong_out_raises_and_stays_untouched(package, out, error):
    before = np.array(out, copy=True)
    with pytest.raises(error):
        package.matmul(np.ones((2, 3)), np.ones((3, 2)), out=out)
    assert np.array_equal(np.asarray(out), before)


def test_a_read_only_out_raises(package):
    out = np.zeros((2, 2))
    out.flags.writeable = False
    with pytest.raises(ValueError):
        package.matmul(np.ones((2, 3)), np.ones((3, 2)), out=out)


@pytest.mark.parametrize("value, dtype", [(2**60, np.int64), (-2**63, np.int64), (2**53, np.uint64),
                                          (1.5, np.float16), (0.1, np.float32), (True, np.bool_)])
def test_inputs_float64_holds_are_taken_exactly(package, value, dtype):
    a = np.array([[value, 1]], dtype=dtype)
    want = Fraction(int(value)) if dtype in (np.int64, np.uint64) else Fraction(float(a[0, 0]))
    assert package.matmul(a, np.array([1.0, 0.0])) == float(want)


@pytest.mark.parametrize("a, error", [
    (np.array([[2**53 + 1]], np.int64), ValueError), (np.array([[2**64 - 1]], np.uint64), ValueError),
    (np.array([[1]], object), TypeError), (np.array([["1"]]), TypeError),
    (np.array([["2020-01-01"]], "datetime64[D]"), TypeError), (np.array(1.0), ValueError),
    (np.ones((1, 2)), ValueError), (np.ones((3, 1, 1)), ValueError)])
def test_refusals(package, a, error):
    with pytest.raises(error):
        package.matmul(a, np.ones((2, 1, 1)))


def expected_f64_words(a_row, b_col):
    hi, lo, _ = expected_triple(a_row, b_col)
    if not math.isfinite(hi) or hi == 0:
        return hi, lo, 0.0
    rest = exact_dot(a_row, b_col) - Fraction(hi) - Fraction(lo)
    return hi, lo, nearest(rest)


@pytest.mark.parametrize("scale", [0, -900, 600])
@pytest.mark.parametrize("name", CASE_NAMES)
def test_float64_residual_matches_fractions(package, name, scale):
    A, B = oracle_case(name)
    with np.errstate(over="ignore"):  # operands that overflow to inf are cases too
        A = A * 2.0**scale
    words = package.gemm_triple(A, B, residual=np.float64)
    assert words[2].dtype == np.float64
    for i, j in np.ndindex(A.shape[0], B.shape[1]):
        want = expected_f64_words(A[i].tolist(), B[:, j].tolist())
        assert all(same(float(w[i, j]), x) for w, x in zip(words, want)), (i, j)


def test_the_two_word_entry_point_is_gemm_pair(package, vexa_module):
    lib, P = package._runtime.library(), (lambda x: x.ctypes.data_as(ctypes.POINTER(ctypes.c_double)))
    rng = np.random.default_rng(5)
    for A, B in [oracle_case(n) for n in CASE_NAMES] + [cancelling(rng, (70, 39), (39, 80))]:
        A, B = np.ascontiguousarray(A), np.ascontiguousarray(B)
        hi, lo = np.empty((A.shape[0], B.shape[1])), np.empty((A.shape[0], B.shape[1]))
        assert lib.vexa_gemm_host_106(P(A), P(B), P(hi), P(lo), *hi.shape, A.shape[1]) == 0
        pair = vexa_module.Vexa().gemm_pair(A, B)
        assert all(np.array_equal(x.view(np.int64), y.view(np.int64)) for x, y in zip((hi, lo), pair))
    assert lib.vexa_gemm_host_106(None, None, None, None, -1, 1, 1) == -1
    assert lib.vexa_gemm_host_106(None, P(B), P(hi), P(lo), 1, 1, 1) == -2
    assert lib.vexa_gemm_batch_106(None, None, None, None, -1, 1, 1, 1) == -5


@pytest.mark.parametrize("scale", [-1000, -900, 600])
def test_float64_residual_on_the_fast_path_sizes(package, scale):
    # Large enough for the fast kernels (M*N*K >= 2^21), whose CRT rounds every element.
    rng = np.random.default_rng(11)
    A, B = rng.standard_normal((64, 520)) * 2.0**scale, rng.standard_normal((520, 64))
    words = package.gemm_triple(A, B, residual=np.float64)
    for i, j in [(i, 7) for i in range(64)] + [(5, j) for j in range(64)]:
        want = expected_f64_words(A[i].tolist(), B[:, j].tolist())
        assert all(same(float(w[i, j]), x) for w, x in zip(words, want)), (i, j)
