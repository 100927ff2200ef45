"""Time Vexa().gemm_pair against numpy's float64 A @ B, side by side, in one run.

Run it as (the environment may set OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE, which would pin
numpy's baseline to a slower kernel; both are unset for a fair comparison):

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OMP_NUM_THREADS=2 OPENBLAS_NUM_THREADS=2 \\
        VEXA_NUM_THREADS=2 PYTHONPATH=build-runtime/python python3 bench/bench_gemm.py

For n = 256, 512, 1024, 2048 (M = N = K, random normal inputs) it prints the min and the
median wall time of each over --repeat runs (after one warm-up), their ratio, the kernel
libvexa chose (from its version string) and the thread counts. Nothing in the environment
is changed by the script itself; what numpy's BLAS is, and how it was configured, is printed
first so the baseline is known.
"""

import argparse
import contextlib
import ctypes
import io
import os
import statistics
import time

import numpy as np

from dravenholt.vexa import Vexa
from timing import pause_busily


def blas_description():
    try:
        import threadpoolctl  # optional
    except ImportError:
        buffer = io.StringIO()
        with contextlib.redirect_stdout(buffer):
            np.show_config()
        return buffer.getvalue().rstrip()
    lines = []
    for pool in threadpoolctl.threadpool_info():
        lines.append(", ".join(f"{key}={pool.get(key)}" for key in
                               ("internal_api", "version", "architecture", "num_threads",
                                "filepath")))
    return "\n".join(lines) or "threadpoolctl found no BLAS"


def openblas_core():
    """The kernel OpenBLAS picked at run time (e.g. SkylakeX, Zen), where it can be asked."""
    np.ones((2, 2)) @ np.ones((2, 2))  # make sure the library is loaded
    try:
        with open("/proc/self/maps") as maps:
            paths = {line.split()[-1] for line in maps if "openblas" in line.lower()}
    except OSError:
        return "unknown"
    for path in sorted(paths):
        try:
            library = ctypes.CDLL(path)
        except OSError:
            continue
        for name in ("openblas_get_corename", "openblas_get_corename64_",
                     "scipy_openblas_get_corename64_", "scipy_openblas_get_corename"):
            function = getattr(library, name, None)
            if function is not None:
                function.restype = ctypes.c_char_p
                return function().decode()
    return "unknown"


def timings(function, repeat):
    function()  # warm-up: page faults, thread start, library loading
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[256, 512, 1024, 2048])
    parser.add_argument("--repeat", type=int, default=0,
                        help="runs per size (default: 7 below n = 1024, else 3)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    vexa = Vexa()
    print("numpy", np.__version__, "BLAS:")
    print(blas_description())
    print(f"OpenBLAS core in use: {openblas_core()}")
    print()
    for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OMP_NUM_THREADS",
                 "OPENBLAS_NUM_THREADS", "VEXA_NUM_THREADS", "VEXA_KERNEL"):
        print(f"{name}={os.environ.get(name, '(unset)')}")
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    requested = os.environ.get("VEXA_NUM_THREADS", "")
    threads = int(requested) if requested.isdigit() and int(requested) > 0 else cpus
    print(f"libvexa: {vexa.version}   threads: {threads}   cpus available: {cpus}")
    print()
    header = (f"{'n':>5} {'vexa min':>10} {'vexa med':>10} {'numpy min':>10} {'numpy med':>10}"
              f" {'ratio min':>9} {'ratio med':>9}")
    print(header)
    rng = np.random.default_rng(args.seed)
    for n in args.sizes:
        A = rng.standard_normal((n, n))
        B = rng.standard_normal((n, n))
        repeat = args.repeat or (7 if n < 1024 else 3)
        pause_busily()
        v_min, v_med = timings(lambda: vexa.gemm_pair(A, B), repeat)
        n_min, n_med = timings(lambda: A @ B, repeat)
        print(f"{n:>5} {v_min:>9.4f}s {v_med:>9.4f}s {n_min:>9.4f}s {n_med:>9.4f}s"
              f" {v_min / n_min:>8.2f}x {v_med / n_med:>8.2f}x", flush=True)


if __name__ == "__main__":
    main()
