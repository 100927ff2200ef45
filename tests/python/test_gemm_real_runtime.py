"""The multiply front end against the real libvexa.

Operands are chosen so that the exact product is a float64 (small integers and dyadic
fractions): then the double-word result is fully determined, C_hi equals the exact
product and C_lo is zero, whatever kernel computes it.
"""

import copy
import threading
from fractions import Fraction

import numpy as np
import pytest


@pytest.fixture(scope="module")
def vexa(vexa_module):
    return vexa_module.Vexa()


def exact_product(A, B):
    """The product in Fractions, from the operands' exact values."""
    A_rows = [[Fraction(float(x)) for x in row] for row in np.asarray(A, dtype=np.float64)]
    B_rows = [[Fraction(float(x)) for x in row] for row in np.asarray(B, dtype=np.float64)]
    return [[sum((a * b for a, b in zip(row, column)), Fraction(0)) for column in zip(*B_rows)]
            for row in A_rows]


def assert_exact(pair, A, B):
    C_hi, C_lo = pair
    assert C_hi.dtype == C_lo.dtype == np.float64
    assert C_hi.shape == C_lo.shape == (np.shape(A)[0], np.shape(B)[1])
    assert [[Fraction(float(x)) for x in row] for row in C_hi] == exact_product(A, B)
    assert not C_lo.any()


@pytest.mark.parametrize("M, K, N", [(1, 1, 1), (3, 5, 7), (8, 64, 8), (17, 33, 9)])
def test_integer_and_dyadic_products_are_exact(vexa, M, K, N):
    rng = np.random.default_rng(M * 1000 + K * 10 + N)
    A = rng.integers(-1000, 1001, size=(M, K)).astype(np.float64)
    B = rng.integers(-1000, 1001, size=(K, N)) / 64.0
    assert_exact(vexa.gemm_pair(A, B), A, B)


BASE_A = np.arange(-8.0, 16.0).reshape(4, 6)
BASE_B = np.arange(18.0).reshape(6, 3) - 5.0


@pytest.mark.parametrize("convert", [
    lambda X: X.tolist(),
    lambda X: X.astype(np.int64).tolist(),
    lambda X: X.astype(np.float32),
    lambda X: X.astype(np.int32),
    np.asfortranarray,
    lambda X: np.repeat(X, 2, axis=1)[:, ::2],  # strided view
], ids=["float-lists", "int-lists", "float32", "int32", "fortran", "strided"])
def test_converted_operands_match_contiguous_float64(vexa, convert):
    A, B = convert(BASE_A.copy()), convert(BASE_B.copy())
    layouts = [(X.dtype, X.strides) if isinstance(X, np.ndarray) else None for X in (A, B)]
    A_before, B_before = copy.deepcopy(A), copy.deepcopy(B)
    C_hi, C_lo = vexa.gemm_pair(A, B)
    reference_hi, reference_lo = vexa.gemm_pair(BASE_A, BASE_B)
    assert np.array_equal(C_hi, reference_hi) and np.array_equal(C_lo, reference_lo)
    assert_exact((C_hi, C_lo), BASE_A, BASE_B)
    for after, before, layout in zip((A, B), (A_before, B_before), layouts):
        assert type(after) is type(before)
        if isinstance(after, np.ndarray):
            assert (after.dtype, after.strides) == layout
            assert np.array_equal(after, before)
        else:
            assert after == before


def test_contiguous_float64_operands_are_left_unchanged(vexa):
    A, B = BASE_A.copy(), BASE_B.copy()
    vexa.gemm_pair(A, B)
    assert np.array_equal(A, BASE_A) and np.array_equal(B, BASE_B)


@pytest.mark.parametrize("M, K, N", [(0, 3, 4), (3, 0, 4), (3, 4, 0), (0, 0, 0)])
def test_zero_dimensions(vexa, M, K, N):
    C_hi, C_lo = vexa.gemm_pair(np.ones((M, K)), np.ones((K, N)))
    assert C_hi.shape == C_lo.shape == (M, N)
    assert not C_hi.any() and not C_lo.any()
    assert vexa.gemm(np.ones((M, K)), np.ones((K, N))).shape == (M, N)
    assert vexa.gemm_decimal(np.ones((M, K)), np.ones((K, N))) == [[0] * N for _ in range(M)]


def test_gemm_decimal_of_an_exact_product(vexa):
    A, B = BASE_A / 8.0, BASE_B
    result = vexa.gemm_decimal(A, B)
    assert [[Fraction(x) for x in row] for row in result] == exact_product(A, B)


def test_threads_sharing_one_instance_get_their_own_products(vexa):
    rng = np.random.default_rng(7)
    jobs = [(rng.integers(-50, 51, size=(12, 40)).astype(np.float64),
             rng.integers(-50, 51, size=(40, 10)).astype(np.float64)) for _ in range(8)]
    expected = [A.astype(np.int64) @ B.astype(np.int64) for A, B in jobs]  # exact integers
    failures = []
    start = threading.Barrier(len(jobs))

    def work(index):
        A, B = jobs[index]
        start.wait()
        for _ in range(25):
            C_hi, C_lo = vexa.gemm_pair(A, B)
            if not (np.array_equal(C_hi, expected[index]) and not C_lo.any()):
                failures.append(index)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
