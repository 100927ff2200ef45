"""Wall time of libvexa's product against numpy's float64 ``A @ B``, size by size."""

import time
from typing import NamedTuple

import numpy as np

from ._triple import gemm_triple

__all__ = ["BenchRow", "best_time", "measure"]


class BenchRow(NamedTuple):
    """The best wall times, in seconds, for square operands of size n."""

    n: int
    numpy_seconds: float
    vexa_seconds: float

    @property
    def ratio(self):
        """How many times longer libvexa takes than numpy."""
        return self.vexa_seconds / self.numpy_seconds


def best_time(function, repeat):
    """The shortest of `repeat` wall times of ``function()``, after one warm-up call."""
    function()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def measure(sizes, repeat=3, seed=0, on_start=None, on_done=None):
    """Time ``A @ B`` and `gemm_triple` on random normal n x n operands.

    Parameters
    ----------
    sizes : iterable of int
        The n to measure, in order.
    repeat : int
        Timed runs of each, after a warm-up; the best counts.
    seed : int
        Seed of the operands.
    on_start : callable, optional
        Called with ``(index, n)`` before each size is measured.
    on_done : callable, optional
        Called with each `BenchRow` once measured.

    Returns
    -------
    list of BenchRow
    """
    rng = np.random.default_rng(seed)
    rows = []
    for index, n in enumerate(sizes):
        if on_start is not None:
            on_start(index, n)
        A = rng.standard_normal((n, n))
        B = rng.standard_normal((n, n))
        row = BenchRow(n, best_time(lambda: A @ B, repeat),
                       best_time(lambda: gemm_triple(A, B), repeat))
        rows.append(row)
        if on_done is not None:
            on_done(row)
    return rows
