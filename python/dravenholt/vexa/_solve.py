"""residual and solve: exact residuals, and refinement to the correctly rounded solution.

A residual ``b - A x`` is one exact product: ``[-A | B]`` times ``[X; I]``, whose first word
is the correctly rounded residual. ``solve`` factors A once and refines a two-word iterate
``x_hi + x_lo`` with such residuals (``[-A | -A | B]`` times ``[X_hi; X_lo; I]``) until a
sweep both leaves the rounded solution unchanged and proves, with the error bound of the
correction, that it is the correctly rounded one.
"""

import warnings
from typing import NamedTuple

import numpy as np

from ._triple import gemm_triple

# SciPy, imported on first use so that importing the package stays light: None where it is
# absent (the numpy fallback below).
_UNLOADED = object()
_scipy_linalg: object = _UNLOADED
_scipy_lapack: object = _UNLOADED


def _load_scipy():
    global _scipy_linalg, _scipy_lapack
    if _scipy_linalg is _UNLOADED:
        try:
            # SciPy ships no type information.
            import scipy.linalg as linalg  # type: ignore
            from scipy.linalg import lapack  # type: ignore
        except ImportError:
            linalg = lapack = None
        _scipy_linalg, _scipy_lapack = linalg, lapack
    return _scipy_linalg, _scipy_lapack

__all__ = ["SolveResult", "residual", "solve"]

_UNIT_ROUNDOFF = 2.0 ** -53
# The float32 third word is itself rounded: what it leaves is below 2**-24 of it.
_THIRD_WORD_SLACK = 1.0 + 2.0 ** -23


class SolveResult(NamedTuple):
    """What ``solve(..., full_output=True)`` returns."""

    x: np.ndarray
    """The solution, shaped as ``numpy.linalg.solve`` shapes it."""
    sweeps: int
    """Refinement sweeps run (the most that any right-hand side needed)."""
    converged: bool
    """Whether every component is proven the correctly rounded exact solution."""


def _as_float64(value, name):
    array = np.asarray(value)
    if np.iscomplexobj(array):
        raise TypeError(f"{name} is complex; only real systems are supported")
    array = np.asarray(array, dtype=np.float64)
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must not contain infs or NaNs")
    return array


def _column_blocks(count, rows):
    """Column slices of at most ``rows`` columns: the identity block of ``[X; I]`` then
    costs at most as many terms per element as the matrix itself."""
    width = max(rows, 1)
    return [slice(start, min(start + width, count)) for start in range(0, count, width)]


def _stacked(left_parts, right, rows):
    """[left_0 | left_1 | ... | right] as one C-contiguous matrix, written once."""
    width = sum(part.shape[1] for part in left_parts) + right.shape[1]
    out = np.empty((rows, width))
    column = 0
    for part in left_parts:
        out[:, column:column + part.shape[1]] = part
        column += part.shape[1]
    out[:, column:] = right
    return out


def _with_identity(parts, identity_rows, columns):
    """[parts...; E] where E holds columns ``columns`` of the identity of ``identity_rows``."""
    top = sum(part.shape[0] for part in parts)
    out = np.zeros((top + identity_rows, len(columns)))
    row = 0
    for part in parts:
        out[row:row + part.shape[0]] = part
        row += part.shape[0]
    out[top + np.asarray(columns), np.arange(len(columns))] = 1.0
    return out


def residual(a, x, b):
    """The residual ``b - a @ x`` with every element correctly rounded.

    Each element is the double nearest the exact value of ``b[i] - sum_k a[i, k] x[k]``
    (one rounding, to nearest, ties to even), computed as one exact product of
    ``[-a | b]`` by ``[x; I]``. Right-hand sides are taken up to ``a.shape[1]`` at a time,
    so the identity block never costs more terms than ``a`` itself.

    Parameters
    ----------
    a : array_like, shape (M, N)
        The matrix; converted to float64.
    x : array_like, shape (N,) or (N, K)
        One solution vector, or K of them as columns.
    b : array_like, shape (M,) or (M, K)
        The right-hand sides, shaped as ``x``: both vectors or both matrices.

    Returns
    -------
    ndarray of float64, shape (M,) or (M, K)
        The correctly rounded residual.

    Raises
    ------
    ValueError
        When the shapes do not fit, or an operand holds infs or NaNs.
    TypeError
        When an operand is complex.

    Examples
    --------
    >>> from dravenholt.vexa import residual
    >>> float(residual([[1e16, 1.0]], [1.0, 1.0], [1e16])[0])
    -1.0
    """
    a = _as_float64(a, "a")
    x = _as_float64(x, "x")
    b = _as_float64(b, "b")
    if a.ndim != 2:
        raise ValueError(f"a must be two-dimensional, got shape {a.shape}")
    m, n = a.shape
    if x.ndim not in (1, 2) or x.ndim != b.ndim:
        raise ValueError(f"x and b must both be vectors or both be matrices, got shapes "
                         f"{x.shape} and {b.shape}")
    if x.shape[0] != n:
        raise ValueError(f"x has {x.shape[0]} rows but a has {n} columns")
    if b.shape[0] != m:
        raise ValueError(f"b has {b.shape[0]} rows but a has {m} rows")
    if x.shape[1:] != b.shape[1:]:
        raise ValueError(f"x has {x.shape[1]} columns but b has {b.shape[1]}")
    X = x.reshape(n, -1)
    B = b.reshape(m, -1)
    out = np.empty(B.shape)
    negated = -a
    for block in _column_blocks(B.shape[1], n):
        width = block.stop - block.start
        left = _stacked([negated], B[:, block], m)
        right = _with_identity([X[:, block]], width, range(width))
        out[:, block] = gemm_triple(left, right)[0]
    return out.reshape(b.shape)


class _Factors:
    """PA = LU once, with what the correction's error bound needs: the estimate of
    ``||A^-1||_inf`` and ``|L|`` and ``|U|``."""

    def __init__(self, a):
        n = a.shape[0]
        self._linalg, self._lapack = _load_scipy()
        if self._linalg is not None:
            with warnings.catch_warnings():  # an exact zero pivot is reported below
                warnings.simplefilter("ignore")
                self._lu = self._linalg.lu_factor(a, check_finite=False)
            lu = self._lu[0]
        else:
            lu, self._perm = _lu_numpy(a)
        if n and not np.all(np.diagonal(lu)):
            raise np.linalg.LinAlgError("Singular matrix")
        self._lu_packed = lu
        self.abs_lower = np.abs(np.tril(lu, -1)) + np.eye(n)
        self.abs_upper = np.abs(np.triu(lu))
        self.inverse_norm = self._inverse_norm(a, lu)

    def _inverse_norm(self, a, lu):
        norm = np.abs(a).sum(axis=1).max() if a.size else 0.0
        if self._lapack is not None:
            rcond, info = self._lapack.dgecon(lu, norm, norm="I")
            return np.inf if info != 0 or rcond == 0 else 1.0 / (rcond * norm)
        with np.errstate(all="ignore"):
            return float(np.abs(np.linalg.inv(a)).sum(axis=1).max()) if a.size else 0.0

    def solve(self, rhs):
        if self._linalg is not None:
            return self._linalg.lu_solve(self._lu, rhs, check_finite=False)
        return _lu_solve_numpy(self._lu_packed, self._perm, rhs)

    def lu_bound(self, d):
        """Per column, the largest element of |L| |U| |d|."""
        return (self.abs_lower @ (self.abs_upper @ np.abs(d))).max(axis=0)


def _lu_numpy(a):
    """Partial-pivoting LU in numpy, outer-product form: the fallback without SciPy."""
    lu = np.array(a, dtype=np.float64)
    n = lu.shape[0]
    perm = np.arange(n)
    for k in range(n):
        pivot = k + int(np.argmax(np.abs(lu[k:, k])))
        if lu[pivot, k] == 0:
            raise np.linalg.LinAlgError("Singular matrix")
        if pivot != k:
            lu[[k, pivot]] = lu[[pivot, k]]
            perm[[k, pivot]] = perm[[pivot, k]]
        lu[k + 1:, k] /= lu[k, k]
        lu[k + 1:, k + 1:] -= np.outer(lu[k + 1:, k], lu[k, k + 1:])
    return lu, perm


def _lu_solve_numpy(lu, perm, rhs):
    y = np.array(rhs[perm], dtype=np.float64)
    n = lu.shape[0]
    for i in range(1, n):
        y[i] -= lu[i, :i] @ y[:i]
    for i in range(n - 1, -1, -1):
        y[i] = (y[i] - lu[i, i + 1:] @ y[i + 1:]) / lu[i, i]
    return y


def _two_sum(a, b):
    s = a + b
    bb = s - a
    return s, (a - (s - bb)) + (b - bb)


def _refine_block(factors, negated, B, maxiter):
    """Refine the solutions of A X = B (B of at most n columns). Returns the solution, the
    sweeps run and, per column, whether it was proven correctly rounded."""
    n, k = B.shape
    gamma = 3 * n * _UNIT_ROUNDOFF / max(1.0 - 3 * n * _UNIT_ROUNDOFF, _UNIT_ROUNDOFF)
    left = _stacked([negated, negated], B, n)
    x_hi = factors.solve(B)
    x_lo = np.zeros_like(x_hi)
    best, pending = x_hi.copy(), x_hi.copy()
    best_estimate, pending_estimate, last_size = np.full((3, k), np.inf)
    converged = np.zeros(k, dtype=bool)
    active = np.flatnonzero(np.isfinite(x_hi).all(axis=0))
    sweeps = 0
    while active.size and sweeps < maxiter:
        sweeps += 1
        hi, lo = x_hi[:, active], x_lo[:, active]
        r_hi, r_lo, r_res = gemm_triple(left, _with_identity([hi, lo], k, active))
        exact = ~(r_hi.any(axis=0) | r_lo.any(axis=0) | r_res.any(axis=0))
        d = factors.solve(r_hi)
        tail = (np.abs(r_lo).max(axis=0) + np.abs(r_res).max(axis=0)) * _THIRD_WORD_SLACK
        with np.errstate(all="ignore"):
            # d - d_computed = A^-1 ((r - r_hi) + F d_computed), |F| <= gamma |L||U|.
            error = factors.inverse_norm * (tail + gamma * factors.lu_bound(d)) * (1 + 2 * gamma)
            s, e = _two_sum(hi, d)
            q = e + lo
            new_hi, new_lo = _two_sum(s, q)
            # The error of x_hi is about d + x_lo: the candidate for the best iterate.
            size = np.abs(d).max(axis=0)
            estimate = size + np.abs(lo).max(axis=0)
            better = estimate < best_estimate[active]
            best[:, active[better]] = hi[:, better]
            best_estimate[active[better]] = estimate[better]
            # The new x_hi's error, until the next sweep measures it: the correction
            # extrapolated at the rate the last two showed (at the first, the bound E).
            rate_known = np.isfinite(last_size[active])
            pending[:, active] = new_hi
            pending_estimate[active] = np.abs(new_lo).max(axis=0) + np.where(
                rate_known, size * size / last_size[active], error)
            last_size[active] = size
            up = np.nextafter(new_hi, np.inf) - new_hi
            down = new_hi - np.nextafter(new_hi, -np.inf)
            margin = error + _UNIT_ROUNDOFF * np.abs(q)
            proven = ((margin < up / 2 - new_lo) & (margin < down / 2 + new_lo)).all(axis=0)
        unchanged = (new_hi == hi).all(axis=0)
        finite = np.isfinite(new_hi).all(axis=0) & np.isfinite(error)
        done = (exact | (proven & unchanged)) & finite
        x_hi[:, active], x_lo[:, active] = new_hi, new_lo
        best[:, active[done]] = new_hi[:, done]
        converged[active[done]] = True
        active = active[~done & finite]
    take = ~converged & (pending_estimate < best_estimate)
    best[:, take] = pending[:, take]
    return best, sweeps, converged


def _solve_matrix(a, B, maxiter, factors=None):
    n = a.shape[0]
    factors = factors or _Factors(a)
    out = np.empty(B.shape)
    sweeps, converged = 0, True
    negated = -a
    for block in _column_blocks(B.shape[1], n):
        x, block_sweeps, block_converged = _refine_block(factors, negated, B[:, block], maxiter)
        out[:, block] = x
        sweeps = max(sweeps, block_sweeps)
        converged = converged and bool(block_converged.all())
    return out, sweeps, converged


def solve(a, b, *, maxiter=10, full_output=False):
    """Solve ``a @ x = b`` to the correctly rounded solution, by refinement with exact
    residuals.

    Shapes follow ``numpy.linalg.solve``: ``a`` is ``(..., M, M)``; ``b`` is ``(M,)`` (one
    right-hand side) or ``(..., M, K)`` (K of them), the ``...`` broadcast against ``a``'s.

    How. ``a`` is factored once, ``PA = LU`` with partial pivoting: SciPy's ``lu_factor``
    and ``lu_solve`` when SciPy is installed, else a partial-pivoting LU written in numpy
    (outer-product form; slower, same error bound). The first solution is refined as a
    two-word iterate ``p = x_hi + x_lo``: each sweep computes the residual ``r = b - A p``
    as one exact product (``[-A | -A | b]`` times ``[x_hi; x_lo; 1]``, its words
    ``r_hi + r_lo + r_res``), the correction ``d`` from ``LU d = P r_hi``, and ``p + d``
    renormalised; the rounded solution is ``x_hi``.

    Why the result is correctly rounded. The exact solution is ``p + A^-1 r``. The
    computed ``d`` satisfies ``(A + F) d = r_hi`` with ``|F| <= gamma_3M |L||U|``
    (Higham, *Accuracy and Stability of Numerical Algorithms*, Thm 9.4), so
    ``|A^-1 r - d| <= ||A^-1|| (||r - r_hi|| + gamma_3M || |L||U||d| ||) = E`` in the
    infinity norm, with ``||r - r_hi||`` known from ``r_lo`` and ``r_res``. A right-hand
    side is accepted when a sweep (1) leaves its rounded solution unchanged and (2) puts
    every component of ``p + d``, widened by ``E``, strictly inside the interval of reals
    that round to that component. Then each component is the exact solution rounded to
    nearest. A residual that is exactly zero proves the pair exact, and its rounding
    (ties to even included) is then correct as well. Conditions: ``||A^-1||_inf`` comes
    from LAPACK's estimator ``dgecon`` (``numpy.linalg.inv`` without SciPy), which in
    rare cases underestimates; and ``E`` is a norm bound, so it shrinks below a
    component's half-ulp only when that component is no smaller than about
    ``cond(A) * M * eps`` times the largest one, and only when ``cond(A) * M * eps``
    is well below 1 (about ``cond(A) < 1e13`` for M = 60). An exactly zero component
    is proven only when the residual becomes exactly zero. Otherwise the sweeps stop at
    ``maxiter`` with a ``RuntimeWarning``, and each right-hand side gets the iterate
    whose estimated error (the size of the correction computed from it) is smallest.

    Parameters
    ----------
    a : array_like, shape (..., M, M)
        The square matrices; converted to float64.
    b : array_like, shape (M,) or (..., M, K)
        The right-hand sides; converted to float64.
    maxiter : int, optional
        The most refinement sweeps per right-hand side (default 10; 0 returns the LU
        solution).
    full_output : bool, optional
        Return a :class:`SolveResult` (``x``, ``sweeps``, ``converged``) instead of ``x``
        alone, as SciPy's solvers do with ``full_output``.

    Returns
    -------
    x : ndarray of float64, shape (..., M) or (..., M, K)
        The solution. Only with ``full_output=False``.
    result : SolveResult
        Only with ``full_output=True``.

    Raises
    ------
    numpy.linalg.LinAlgError
        When a matrix is exactly singular (a zero pivot), or not square.
    ValueError
        When ``b`` does not fit ``a``, ``maxiter`` is negative, or an operand holds infs
        or NaNs.
    TypeError
        When an operand is complex.

    Warns
    -----
    RuntimeWarning
        When some right-hand side was not proven correctly rounded within ``maxiter``
        sweeps (a condition near or beyond ``1/eps``).

    Examples
    --------
    >>> import numpy as np
    >>> from dravenholt.vexa import solve
    >>> a = 1.0 / (np.arange(1, 9)[:, None] + np.arange(8))   # Hilbert, cond 1.5e10
    >>> result = solve(a, np.ones(8), full_output=True)
    >>> result.converged, float(result.x[0])
    (True, -7.999999949964206)
    """
    if int(maxiter) != maxiter or maxiter < 0:
        raise ValueError(f"maxiter must be a non-negative integer, got {maxiter!r}")
    a = _as_float64(a, "a")
    b = _as_float64(b, "b")
    if a.ndim < 2 or a.shape[-1] != a.shape[-2]:
        raise np.linalg.LinAlgError("Last 2 dimensions of the array must be square")
    n = a.shape[-1]
    vector = b.ndim == 1
    B = b[:, None] if vector else b
    if B.ndim < 2 or B.shape[-2] != n:
        raise ValueError(f"b of shape {b.shape} does not fit a of shape {a.shape}: it needs "
                         f"{n} rows")
    try:
        batch = np.broadcast_shapes(a.shape[:-2], B.shape[:-2])
    except ValueError:
        raise ValueError(f"the stacks of a {a.shape} and b {b.shape} do not broadcast") from None
    a_all = np.broadcast_to(a, batch + (n, n))
    B_all = np.broadcast_to(B, batch + B.shape[-2:])
    out = np.empty(B_all.shape)
    sweeps, converged = 0, True
    empty = n == 0 or B.shape[-1] == 0
    shared = _Factors(a) if a.ndim == 2 and not empty else None
    for index in np.ndindex(*batch):
        if empty:
            out[...] = 0.0
            break
        x, count, done = _solve_matrix(a_all[index], B_all[index], int(maxiter), shared)
        out[index] = x
        sweeps = max(sweeps, count)
        converged = converged and done
    if not converged:
        warnings.warn("solve: the refinement did not prove the correctly rounded solution "
                      f"within {maxiter} sweeps (the matrix is too ill-conditioned); "
                      "returning the iterate with the smallest error bound",
                      RuntimeWarning, stacklevel=2)
    x = out[..., 0] if vector else out
    return SolveResult(x, sweeps, converged) if full_output else x
