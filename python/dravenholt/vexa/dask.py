"""Exact products of Dask arrays, on a Dask cluster or on one machine.

A rounded partial product cannot be added to another and stay correctly rounded, so no
output element may be split along K: every output block is computed by one task, in one
libvexa call, from a whole row panel of A and a whole column panel of B. The results are
then bit-identical to the one-machine products, whatever the chunking.

Install with ``pip install 'dravenholt.vexa[dask]'``.
"""

import math

import dask.array as da
import numpy as np
from dask.base import tokenize

from . import gemm_triple as _gemm_triple_numpy

__all__ = ["DEFAULT_MEMORY_BUDGET", "block_shape", "gemm", "gemm_pair", "gemm_triple"]

DEFAULT_MEMORY_BUDGET = 1 << 30
"""Bytes one task may use by default: 1 GiB."""

# The largest dimension libvexa's C int carries intact.
_NATIVE_INT_MAX = 2**31 - 1

# One element of a task's result: the three words together, so that the three output
# arrays share one task per block.
_TRIPLE = np.dtype([("hi", np.float64), ("lo", np.float64), ("res", np.float32)])


def task_bytes(rows, columns, K):
    """What one task holds for a rows x columns block over K, in bytes (an upper estimate).

    The two panels (8 bytes an element) with as much again for libvexa's workspace, the
    three words (20 bytes an element) and their packed copy.
    """
    return 16 * K * (rows + columns) + 2 * _TRIPLE.itemsize * rows * columns


def _largest_square_side(K, budget):
    # The largest b with task_bytes(b, b, K) <= budget: 40 b^2 + 32 K b - budget <= 0.
    a, b = 2 * _TRIPLE.itemsize, 32 * K
    side = int((-b + math.sqrt(b * b + 4 * a * budget)) / (2 * a))
    while side > 1 and task_bytes(side, side, K) > budget:
        side -= 1
    return max(side, 1)


def _largest_other_side(fixed, K, budget):
    # The largest c with task_bytes(fixed, c, K) <= budget.
    return (budget - 16 * K * fixed) // (16 * K + 2 * _TRIPLE.itemsize * fixed)


def _even_split(length, most):
    """Block length for `length` items cut into as few blocks of at most `most` as can be,
    all about the same size."""
    if length == 0:
        return 1
    blocks = -(-length // most)
    return -(-length // blocks)


def _cut_for_parallelism(M, N, rows, columns, min_blocks):
    # Halve the longer side until there are enough blocks for every worker thread.
    while -(-M // rows) * -(-N // columns) < min_blocks and max(rows, columns) > 1:
        if rows >= columns:
            rows = -(-rows // 2)
        else:
            columns = -(-columns // 2)
    return rows, columns


def block_shape(M, N, K, memory_budget=DEFAULT_MEMORY_BUDGET, min_blocks=1):
    """The output block (rows, columns) each task computes.

    Blocks are as large as `memory_budget` allows, square where both M and N need more
    than one block, then halved along their longer side until there are at least
    `min_blocks` of them (where the product has that many elements), and cut evenly.

    Parameters
    ----------
    M, N, K : int
        The product's dimensions: A is M x K, B is K x N.
    memory_budget : int
        Bytes one task may use (see `task_bytes`).
    min_blocks : int
        Blocks wanted at least, so that every worker thread gets work.

    Returns
    -------
    tuple of int

    Raises
    ------
    ValueError
        When even one row of A and one column of B over all of K exceed the budget.
    """
    if task_bytes(1, 1, K) > memory_budget:
        raise ValueError(
            f"memory_budget={memory_budget} bytes cannot hold one row of A and one column "
            f"of B over all of K={K} (at least {task_bytes(1, 1, K)} bytes): no output "
            f"element can be computed in one task; raise the budget")
    side = min(_largest_square_side(K, memory_budget), _NATIVE_INT_MAX)
    rows, columns = min(M, side), min(N, side)
    if rows == M and columns < N:
        columns = min(N, _largest_other_side(max(rows, 1), K, memory_budget), _NATIVE_INT_MAX)
    elif columns == N and rows < M:
        rows = min(M, _largest_other_side(max(columns, 1), K, memory_budget), _NATIVE_INT_MAX)
    rows, columns = _cut_for_parallelism(M, N, max(rows, 1), max(columns, 1), min_blocks)
    return _even_split(M, rows), _even_split(N, columns)


def _as_float64_dask(X):
    if isinstance(X, da.Array):
        return X.astype(np.float64)
    return da.from_array(np.asarray(X, dtype=np.float64))


def _cluster_threads():
    """Worker threads of the current ``distributed`` client, or 1 without one."""
    try:
        from distributed import default_client

        return max(1, sum(default_client().nthreads().values()))
    except (ImportError, ValueError):
        return 1


def _task_threads():
    """Threads for the task running now: 1 on a Dask worker, None (the process-wide count)
    elsewhere.

    A worker runs as many tasks at once as it has threads, each on one of them; a task that
    took more would multiply the worker's threads by its own.
    """
    try:
        from distributed import get_worker

        get_worker()
    except (ImportError, ValueError):
        return None
    return 1


def _dimensions(shape):
    """(rows, columns) of a two-dimensional shape, failing as ``gemm_triple`` does."""
    if len(shape) > 2:
        raise ValueError("too many values to unpack (expected 2)")
    if len(shape) < 2:
        raise ValueError(f"need more than {len(shape)} value{'' if len(shape) == 1 else 's'} "
                         f"to unpack")
    return shape


def _triple_block(a, b):
    C_hi, C_lo, C_res = _gemm_triple_numpy(a, b, threads=_task_threads())
    block = np.empty(C_hi.shape, dtype=_TRIPLE)
    block["hi"], block["lo"], block["res"] = C_hi, C_lo, C_res
    return block


def _triple_array(A, B, memory_budget):
    A, B = _as_float64_dask(A), _as_float64_dask(B)
    M, K = _dimensions(A.shape)
    K2, N = _dimensions(B.shape)
    if any(math.isnan(d) for d in (M, K, K2, N)):
        raise ValueError("operands with unknown dimensions: call compute_chunk_sizes() first")
    if K != K2:
        raise ValueError(f"Matrix dimension mismatch: A is {M}x{K}, B is {K2}x{N}")
    if K > _NATIVE_INT_MAX:
        raise ValueError(f"Matrix dimension K={K} exceeds the native int range "
                         f"({_NATIVE_INT_MAX})")
    rows, columns = block_shape(M, N, K, memory_budget, _cluster_threads())
    A = A.rechunk((rows, -1))
    B = B.rechunk((-1, columns))
    return da.blockwise(_triple_block, "ij", A, "ik", B, "kj", dtype=_TRIPLE,
                        concatenate=True, name="vexa-gemm-triple-" + tokenize(
                            A, B, rows, columns))


def gemm_triple(A, B, memory_budget=DEFAULT_MEMORY_BUDGET):
    """The exact product of two Dask arrays as three words, lazily.

    Parameters
    ----------
    A : dask.array.Array or array_like, shape (M, K)
        Left operand; numpy arrays and anything numpy converts are wrapped.
    B : dask.array.Array or array_like, shape (K, N)
        Right operand, likewise.
    memory_budget : int, optional
        Bytes one task may use; decides the output blocks (`block_shape`). Default 1 GiB.
        Blocks are made smaller still where that gives each worker thread of the current
        ``distributed`` client a block.

    Returns
    -------
    C_hi, C_lo : dask.array.Array of float64, shape (M, N)
    C_res : dask.array.Array of float32, shape (M, N)
        The words of `dravenholt.vexa.gemm_triple`, bit for bit. The three share their
        tasks: ``dask.compute(C_hi, C_lo, C_res)`` multiplies once.

    Raises
    ------
    ValueError
        Before any work is scheduled: an operand not two-dimensional, mismatched inner
        dimensions, K beyond the native int range, unknown chunk sizes, or a budget too
        small for one row of A and one column of B over all of K.

    Notes
    -----
    A is rechunked to row panels over all of K, B to column panels; each output block is
    one task and one libvexa call. On a ``distributed`` worker each task multiplies on the
    one worker thread that runs it (a worker runs ``threads_per_worker`` tasks at once),
    without changing libvexa's process-wide thread count; elsewhere (the threaded or
    synchronous scheduler) on libvexa's thread count.
    """
    triple = _triple_array(A, B, memory_budget)
    return triple["hi"], triple["lo"], triple["res"]


def gemm_pair(A, B, memory_budget=DEFAULT_MEMORY_BUDGET):
    """The exact product as the pair ``(C_hi, C_lo)`` of float64 Dask arrays, lazily.

    See `gemm_triple` for the parameters, the blocks and the errors.
    """
    triple = _triple_array(A, B, memory_budget)
    return triple["hi"], triple["lo"]


def gemm(A, B, memory_budget=DEFAULT_MEMORY_BUDGET):
    """``C_hi + C_lo`` in float64, as a Dask array, lazily: ``Vexa.gemm`` for Dask arrays.

    See `gemm_triple` for the parameters, the blocks and the errors.
    """
    triple = _triple_array(A, B, memory_budget)
    return triple["hi"] + triple["lo"]
