"""Vexa.gemm_pair against the recording fake runtime: what crosses the C ABI, and the errors."""

import numpy as np
import pytest

NATIVE_INT_MAX = 2147483647


@pytest.fixture
def vexa(vexa_module, fake_runtime):
    return vexa_module.Vexa(fake_runtime.path)


def test_call_protocol_for_contiguous_float64(vexa, fake_runtime):
    A = np.arange(6.0).reshape(2, 3)
    B = np.arange(15.0).reshape(3, 5)
    C_hi, C_lo = vexa.gemm_pair(A, B)

    assert fake_runtime.call_count() == 1
    assert fake_runtime.last_dimensions() == (2, 5, 3)  # M, N, K
    A_ptr, B_ptr, hi_ptr, lo_ptr, res_ptr = fake_runtime.last_pointers()
    assert (A_ptr, B_ptr) == (A.ctypes.data, B.ctypes.data)  # the caller's buffers, no copy
    assert (hi_ptr, lo_ptr) == (C_hi.ctypes.data, C_lo.ctypes.data)
    assert res_ptr not in (A_ptr, B_ptr, hi_ptr, lo_ptr, 0)
    assert fake_runtime.outputs_were_zero()

    for C in (C_hi, C_lo):
        assert C.dtype == np.float64 and C.shape == (2, 5) and C.flags.c_contiguous
        assert not np.shares_memory(C, A) and not np.shares_memory(C, B)
    assert not np.shares_memory(C_hi, C_lo)


@pytest.mark.parametrize("convert", [
    lambda X: X.tolist(), lambda X: X.astype(np.float32), np.asfortranarray,
    lambda X: X.astype(np.int64)], ids=["list", "float32", "fortran", "int64"])
def test_converted_operands_are_passed_as_new_buffers(vexa, fake_runtime, convert):
    A = convert(np.arange(6.0).reshape(2, 3))
    B = convert(np.arange(12.0).reshape(3, 4))
    vexa.gemm_pair(A, B)
    assert fake_runtime.last_dimensions() == (2, 4, 3)
    A_ptr, B_ptr = fake_runtime.last_pointers()[:2]
    for original, pointer in ((A, A_ptr), (B, B_ptr)):
        if isinstance(original, np.ndarray):
            assert pointer != original.ctypes.data


@pytest.mark.parametrize("status", [1, -1, -4, 7, NATIVE_INT_MAX, -NATIVE_INT_MAX - 1])
def test_nonzero_status_raises_and_instance_stays_usable(vexa, fake_runtime, status):
    fake_runtime.set_status(status)
    with pytest.raises(RuntimeError) as raised:
        vexa.gemm_pair(np.ones((2, 2)), np.ones((2, 2)))
    assert raised.value.args == ("Vexa error: " + str(status),)
    fake_runtime.set_status(0)
    C_hi, C_lo = vexa.gemm_pair(np.ones((2, 2)), np.ones((2, 2)))
    assert C_hi.shape == C_lo.shape == (2, 2)


@pytest.mark.parametrize("A_shape, B_shape, dimensions", [
    ((0, 3), (3, 4), (0, 4, 3)),
    ((2, 0), (0, 4), (2, 4, 0)),
    ((2, 3), (3, 0), (2, 0, 3)),
    ((0, 0), (0, 0), (0, 0, 0)),
    ((NATIVE_INT_MAX, 0), (0, 0), (NATIVE_INT_MAX, 0, 0)),
])
def test_empty_dimensions_still_reach_the_runtime(vexa, fake_runtime, A_shape, B_shape, dimensions):
    C_hi, C_lo = vexa.gemm_pair(np.zeros(A_shape), np.zeros(B_shape))
    assert fake_runtime.call_count() == 1
    assert fake_runtime.last_dimensions() == dimensions
    assert C_hi.shape == C_lo.shape == (A_shape[0], B_shape[1])


@pytest.mark.parametrize("A, B, message", [
    (np.zeros((2, 3)), np.zeros((4, 5)), "Matrix dimension mismatch: A is 2x3, B is 4x5"),
    (np.zeros(3), np.zeros((3, 1)), "need more than 1 value to unpack"),
    # ascontiguousarray makes a scalar one-dimensional
    (np.float64(1.0), np.zeros((1, 1)), "need more than 1 value to unpack"),
    (np.zeros((2, 3, 1)), np.zeros((3, 1)), "too many values to unpack (expected 2)"),
    # B's shape is reported before the mismatch with A
    (np.zeros((2, 3)), np.zeros(5), "need more than 1 value to unpack"),
    (np.zeros((2, 3)), np.zeros((4, 5, 6)), "too many values to unpack (expected 2)"),
    # the mismatch is reported before any dimension is range-checked
    (np.zeros((2**31, 0)), np.zeros((1, 1)),
     "Matrix dimension mismatch: A is 2147483648x0, B is 1x1"),
    # dimensions a C int cannot carry, found before any output is allocated
    (np.zeros((2**31, 0)), np.zeros((0, 1)),
     "Matrix dimension M=2147483648 exceeds the native int range (2147483647)"),
    (np.zeros((0, 0)), np.zeros((0, 2**31)),
     "Matrix dimension N=2147483648 exceeds the native int range (2147483647)"),
    (np.zeros((0, 2**31)), np.zeros((2**31, 0)),
     "Matrix dimension K=2147483648 exceeds the native int range (2147483647)"),
    (np.zeros((2**32 + 1, 0)), np.zeros((0, 2**31)),
     "Matrix dimension M=4294967297 exceeds the native int range (2147483647)"),
], ids=["mismatch", "A-1d", "A-scalar", "A-3d", "B-1d", "B-3d", "mismatch-first", "M", "N", "K",
        "M-before-N"])
def test_rejected_operands_never_reach_the_runtime(vexa, fake_runtime, A, B, message):
    with pytest.raises(ValueError) as raised:
        vexa.gemm_pair(A, B)
    assert raised.value.args == (message,)
    assert fake_runtime.call_count() == 0


def test_unconvertible_operand_raises_numpy_error(vexa, fake_runtime):
    with pytest.raises(ValueError, match="could not convert string to float"):
        vexa.gemm_pair([["x"]], np.ones((1, 1)))
    assert fake_runtime.call_count() == 0


def test_native_call_runs_without_the_interpreter_lock(vexa, fake_runtime, run_on_threads):
    # The fake holds each caller until both are inside it at once (or ~10 s pass), which
    # only happens when the first one let go of the interpreter lock.
    fake_runtime.require_concurrent_callers(2)
    assert run_on_threads(lambda: vexa.gemm_pair(np.ones((2, 2)), np.ones((2, 2))), 2) == []
    assert fake_runtime.concurrent_callers_met()
