"""gemm_triple: the product as all three words, over the package's libvexa handle."""

import ctypes
import operator

import numpy as np

from ._runtime import library

__all__ = ["gemm_triple"]

# The largest dimension a C int carries intact.
_NATIVE_INT_MAX = 2147483647


def _shape_pair(shape):
    count = len(shape)
    if count > 2:
        raise ValueError("too many values to unpack (expected 2)")
    if count < 2:
        raise ValueError(f"need more than {count} value{'' if count == 1 else 's'} to unpack")
    return shape


def _check_native_range(name, value):
    if value > _NATIVE_INT_MAX:
        raise ValueError(f"Matrix dimension {name}={value} exceeds the native int range "
                         f"({_NATIVE_INT_MAX})")


def _pointer(array, ctype):
    return array.ctypes.data_as(ctypes.POINTER(ctype))


def gemm_triple(A, B, residual=np.float32, *, threads=None):
    """Multiply two float64 matrices, returning every element as three words.

    Each element x of the exact product ``A @ B`` comes back as ``C_hi = RN(x)``,
    ``C_lo = RN(x - C_hi)`` and ``C_res = RN_float32(x - C_hi - C_lo)``, each correctly
    rounded to nearest, ties to even.

    With the default float32 residual the three words carry about 130 bits where
    |x| lies between about 1e-6 and 1e70; outside that range the residual turns
    subnormal (and 0 below about 1e-13) or overflows (and is set to 0), leaving the 106
    bits of ``C_hi + C_lo``. With ``residual=np.float64`` it is ``RN(x - C_hi - C_lo)``
    as a double: about 160 bits for |x| above about 1e-276, where it turns subnormal.
    That form rounds in the portable (not vectorised) CRT of the fast kernels, so it is
    slower.

    Parameters
    ----------
    A : array_like, shape (M, K)
        Left operand; anything numpy converts to float64.
    B : array_like, shape (K, N)
        Right operand; anything numpy converts to float64.
    residual : {numpy.float32, numpy.float64}, optional
        The type of the third word.
    threads : int or None, optional
        Threads for this product alone, leaving the process-wide count (`set_num_threads`)
        untouched: for callers that share the CPUs out among threads of their own. Counts
        above 1024 are taken as 1024; None or 0 takes the process-wide count. The result
        does not depend on it.

    Returns
    -------
    C_hi : ndarray of float64, shape (M, N)
        The double nearest each exact element.
    C_lo : ndarray of float64, shape (M, N)
        The double nearest what ``C_hi`` leaves.
    C_res : ndarray of float32 (or float64), shape (M, N)
        The float32 (float64) nearest what ``C_hi + C_lo`` leaves.

    Raises
    ------
    ValueError
        When an operand is not two-dimensional, the inner dimensions differ, a
        dimension exceeds the native int range, ``residual`` is neither type, or
        `threads` is negative.
    TypeError
        When `threads` is neither an integer nor None.
    RuntimeError
        When libvexa reports a failure ("Vexa error: " and its status).
    FileNotFoundError
        When no libvexa lies beside the package.

    See Also
    --------
    dravenholt.vexa.vexa.Vexa.gemm_pair : the first two words only.

    Examples
    --------
    >>> import numpy as np
    >>> from dravenholt.vexa import gemm_triple
    >>> C_hi, C_lo, C_res = gemm_triple([[1.0, 2.0**-60, 2.0**-130]], np.ones((3, 1)))
    >>> float(C_hi[0, 0]), float(C_lo[0, 0]) == 2.0**-60, float(C_res[0, 0]) == 2.0**-130
    (1.0, True, True)
    """
    if residual not in (np.float32, np.float64):
        raise ValueError(f"residual must be numpy.float32 or numpy.float64, not {residual!r}")
    threads = 0 if threads is None else operator.index(threads)
    if threads < 0:
        raise ValueError(f"the thread count must be at least 1 (or 0 or None for the "
                         f"process-wide count), got {threads}")
    A = np.ascontiguousarray(A, dtype=np.float64)
    B = np.ascontiguousarray(B, dtype=np.float64)
    M, K = _shape_pair(A.shape)
    K2, N = _shape_pair(B.shape)
    if K != K2:
        raise ValueError(f"Matrix dimension mismatch: A is {M}x{K}, B is {K2}x{N}")
    for name, value in (("M", M), ("N", N), ("K", K)):
        _check_native_range(name, value)
    lib = library()
    C_hi = np.zeros((M, N), dtype=np.float64)
    C_lo = np.zeros((M, N), dtype=np.float64)
    C_res = np.zeros((M, N), dtype=residual)
    name = "vexa_gemm_host_f64res" if residual is np.float64 else "vexa_gemm_host"
    res_type = ctypes.c_double if residual is np.float64 else ctypes.c_float
    # The entry points with a count of their own only where one was given.
    count = (min(threads, lib.vexa_max_threads()),) if threads else ()
    gemm = getattr(lib, name + "_threads" if threads else name)
    status = gemm(_pointer(A, ctypes.c_double), _pointer(B, ctypes.c_double),
                  _pointer(C_hi, ctypes.c_double), _pointer(C_lo, ctypes.c_double),
                  _pointer(C_res, res_type), M, N, K, *count)
    if status != 0:
        raise RuntimeError(f"Vexa error: {status}")
    return C_hi, C_lo, C_res
