"""What the Python benchmarks share: one timed call, and the pause that lets OpenBLAS's
threads, which spin for a while after each product, go idle before libvexa's are timed on
the same cores."""

import time


def pause_busily(seconds=0.2):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def timed(call):
    """Seconds that call() took, and what it returned."""
    start = time.perf_counter()
    value = call()
    return time.perf_counter() - start, value
