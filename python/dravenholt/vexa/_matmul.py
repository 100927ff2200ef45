"""matmul: numpy.matmul's rules, every element of the result correctly rounded.

The products go to libvexa's batched two-word entry point in one call per operand pair:
its own threads then run a stack of small products side by side and a stack of large ones
one product at a time. Complex products become one real product whose exact sums are the
real and imaginary parts, so that each part is rounded once.
"""

import ctypes

import numpy as np

from ._runtime import library

__all__ = ["matmul"]

_NATIVE_INT_MAX = 2147483647
# Integer dtypes of up to 32 bits always fit in a double's 53-bit significand.
_ALWAYS_EXACT_INT_BYTES = 4


def _lossless(x, position):
    """x as a float64 or complex128 array holding exactly the same values, or an error."""
    array = np.asarray(x)
    kind = array.dtype.kind
    if kind == "b":
        return array.astype(np.float64)
    if kind in "iu":
        converted = array.astype(np.float64)
        if array.dtype.itemsize > _ALWAYS_EXACT_INT_BYTES and array.size:
            # 2**63 (2**64 for unsigned) is the first double outside the dtype; below it the
            # cast back is defined, and equal only where no rounding happened.
            limit = 2.0 ** (8 * array.dtype.itemsize - (kind == "i"))
            exact = (converted < limit) & (converted >= (-limit if kind == "i" else 0))
            with np.errstate(invalid="ignore"):
                exact &= converted.astype(array.dtype) == array
            if not exact.all():
                bad = array[~exact].flat[0]
                raise ValueError(f"matmul: operand {position} holds the integer {bad}, which "
                                 "float64 cannot hold exactly")
        return converted
    if kind in "fc":
        target = np.float64 if kind == "f" else np.complex128
        converted = array.astype(target, copy=False)
        if array.dtype.itemsize > np.dtype(target).itemsize:
            back = converted.astype(array.dtype)
            if not ((back == array) | (np.isnan(back) & np.isnan(array))).all():
                raise ValueError(f"matmul: operand {position} holds values of {array.dtype} "
                                 f"that {np.dtype(target)} cannot hold exactly")
        return converted
    raise TypeError(f"matmul: operand {position} has dtype {array.dtype}, not a number type "
                    "(bool, integer, float or complex)")


def _pointers(base, matrix_bytes, stack_shape, full_shape):
    """Start of every matrix of a C-contiguous stack, broadcast over full_shape."""
    index = np.arange(int(np.prod(stack_shape, dtype=np.int64)), dtype=np.uint64)
    index = np.broadcast_to(index.reshape(stack_shape), full_shape).ravel()
    return np.uint64(base) + index * np.uint64(matrix_bytes)


def _real_matmul(a, b):
    """Correctly rounded a @ b of real float64 stacks (..., M, K) and (..., K, N)."""
    M, K = a.shape[-2:]
    N = b.shape[-1]
    # A stack against one matrix is one taller (or wider) product, which the fast kernels
    # take where each product of the stack alone would be too small for them.
    if b.ndim == 2 and a.ndim > 2:
        return _real_matmul(a.reshape(-1, K), b).reshape(a.shape[:-1] + (N,))
    if a.ndim == 2 and b.ndim > 2:
        side_by_side = np.moveaxis(b.reshape(-1, K, N), 0, 1).reshape(K, -1)
        flat = _real_matmul(a, side_by_side).reshape(M, -1, N)
        return np.moveaxis(flat, 1, 0).reshape(b.shape[:-2] + (M, N))
    stack = np.broadcast_shapes(a.shape[:-2], b.shape[:-2])
    count = int(np.prod(stack, dtype=np.int64))
    for name, value in (("M", M), ("N", N), ("K", K), ("stack size", count)):
        if value > _NATIVE_INT_MAX:
            raise ValueError(f"matmul: {name}={value} exceeds the native int range "
                             f"({_NATIVE_INT_MAX})")
    a = np.ascontiguousarray(a)
    b = np.ascontiguousarray(b)
    hi = np.empty(stack + (M, N))
    if hi.size == 0:
        return hi
    lo = np.empty_like(hi)
    lists = [_pointers(a.ctypes.data, M * K * 8, a.shape[:-2], stack),
             _pointers(b.ctypes.data, K * N * 8, b.shape[:-2], stack),
             _pointers(hi.ctypes.data, M * N * 8, stack, stack),
             _pointers(lo.ctypes.data, M * N * 8, stack, stack)]
    as_c = [p.ctypes.data_as(ctypes.POINTER(ctypes.c_void_p)) for p in lists]
    status = library().vexa_gemm_batch_106(*as_c, count, M, N, K)
    if status != 0:
        raise RuntimeError(f"Vexa error: {status}")
    return hi


def _complex_matmul(a, b):
    """a @ b with at least one complex operand, each part one exact sum rounded once."""
    if a.dtype.kind != "c":  # a (B_re | B_im): the parts side by side
        parts = _real_matmul(a, np.concatenate([b.real, b.imag], axis=-1))
        N = b.shape[-1]
        return _joined(parts[..., :N], parts[..., N:])
    if b.dtype.kind != "c":  # (A_re ; A_im) b: the parts stacked
        parts = _real_matmul(np.concatenate([a.real, a.imag], axis=-2), b)
        M = a.shape[-2]
        return _joined(parts[..., :M, :], parts[..., M:, :])
    # (A_re | A_im) @ [[B_re, B_im], [-B_im, B_re]]: real part sum(ar br - ai bi), imaginary
    # part sum(ar bi + ai br), each over 2K exact products.
    left = np.concatenate([a.real, a.imag], axis=-1)
    right = np.concatenate([np.concatenate([b.real, b.imag], axis=-1),
                            np.concatenate([-b.imag, b.real], axis=-1)], axis=-2)
    parts = _real_matmul(left, right)
    N = b.shape[-1]
    return _joined(parts[..., :N], parts[..., N:])


def _joined(real, imag):
    # Written part by part: real + 1j * imag would turn an infinite part into NaNs.
    result = np.empty(real.shape, dtype=np.complex128)
    result.real = real
    result.imag = imag
    return result


def matmul(a, b, /, out=None):
    """Matrix product with numpy.matmul's rules, every element correctly rounded.

    Each element of the result is the float64 nearest the exact sum of products (round to
    nearest, ties to even), the same on every machine and thread count. For complex
    operands the real and imaginary parts are each the nearest float64 to their exact sum.

    Parameters
    ----------
    a, b : array_like
        Operands of at least one dimension. Shapes follow numpy.matmul: a 1-D operand is
        promoted to a matrix (a row for ``a``, a column for ``b``) and the added axis is
        removed from the result; leading axes broadcast as a stack of matrices. Accepted
        dtypes are bool, integers, float16/32/64 and complex, converted without loss.
    out : ndarray, optional
        Where to write the result: the result's shape and dtype (float64, or complex128
        when an operand is complex), any strides. Left untouched when anything fails.

    Returns
    -------
    ndarray or numpy scalar
        The product; ``out`` when given. Two 1-D operands give a scalar.

    Raises
    ------
    ValueError
        For a 0-d operand, core dimensions that differ, stacks that do not broadcast, an
        integer (or long double) that float64 cannot hold exactly, or a wrong ``out``.
    TypeError
        For object, string, datetime or other non-numeric operands, or ``out`` not an
        ndarray.
    RuntimeError
        When libvexa reports a failure ("Vexa error: " and its status).

    Notes
    -----
    The precision is that of one correctly rounded float64 (53 bits) at every magnitude,
    subnormals included; an exact sum of 2**1024 or more gives inf. Non-finite products
    follow ``vexa_gemm_host``'s rules; a complex operand's parts are taken as real
    products, so inf times a zero part gives NaN in that part only.

    Examples
    --------
    >>> import numpy as np
    >>> from dravenholt.vexa import matmul
    >>> x = np.array([1e16, 1.0, -1e16])
    >>> float(matmul(x, np.ones(3))), float(x @ np.ones(3))
    (1.0, 0.0)
    >>> matmul(np.ones((4, 2, 3)), np.ones(3)).shape
    (4, 2)
    """
    a = _lossless(a, 0)
    b = _lossless(b, 1)
    for position, operand in enumerate((a, b)):
        if operand.ndim == 0:
            raise ValueError(f"matmul: operand {position} is 0-d; it needs at least one "
                             "dimension")
    a2 = a[np.newaxis, :] if a.ndim == 1 else a
    b2 = b[:, np.newaxis] if b.ndim == 1 else b
    if a2.shape[-1] != b2.shape[-2]:
        raise ValueError(f"matmul: core dimensions differ: {a.shape} @ {b.shape} "
                         f"({a2.shape[-1]} != {b2.shape[-2]})")
    try:
        stack = np.broadcast_shapes(a2.shape[:-2], b2.shape[:-2])
    except ValueError:
        raise ValueError(f"matmul: stacks {a.shape[:-2]} and {b.shape[:-2]} do not "
                         "broadcast") from None
    shape = stack + a2.shape[-2:-1] * (a.ndim > 1) + b2.shape[-1:] * (b.ndim > 1)
    dtype = np.complex128 if np.complex128 in (a.dtype, b.dtype) else np.float64
    if out is not None:
        if not isinstance(out, np.ndarray):
            raise TypeError(f"matmul: out must be an ndarray, not {type(out).__name__}")
        if out.shape != shape or out.dtype != dtype:
            raise ValueError(f"matmul: out has shape {out.shape} and dtype {out.dtype}; the "
                             f"result needs {shape} and {np.dtype(dtype)}")
        if not out.flags.writeable:
            raise ValueError("matmul: out is read-only")
    if dtype == np.complex128:
        result = _complex_matmul(a2, b2)
    else:
        result = _real_matmul(a2, b2)
    result = result.reshape(shape)
    if out is None:
        return result[()] if result.ndim == 0 else result
    out[...] = result
    return out
