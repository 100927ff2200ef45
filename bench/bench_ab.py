"""Two builds of libvexa side by side in one process: is a change faster, and does it give
the same bits?

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OMP_NUM_THREADS=2 OPENBLAS_NUM_THREADS=2 \\
        VEXA_NUM_THREADS=2 python3 bench/bench_ab.py OLD/libvexa.so NEW/libvexa.so \\
        --shapes 1024 2048 4096 512x8x512 --repeat 9

Keep a copy of the old library before rebuilding (cp build/python/dravenholt/vexa/libvexa.so
/tmp/old/); both copies load at once under their own paths. Each round takes, after a busy
pause apiece, numpy's A @ B and then vexa_gemm_host of the two libraries in alternating
order, on output arrays touched before (fresh outputs would add the same page faults to
both), so that a drift of the machine's speed falls on both alike. Operands are random
normal. Per shape it prints the min and median of each library's whole call and of every
phase it timed itself (vexa_last_phase_seconds), new over old for each, both libraries'
ratios to numpy, and whether the three output words of the last call of each were
identical byte for byte.

With --hot, each timed call follows an untimed one of the same library, as in a loop of
products (bench_gemm.py times sizes below 1024 so): the pause then parks both libraries'
threads, and the timed call finds its own still awake. With --fresh, every call gets new
output arrays from np.zeros, as gemm_pair's do (their allocation is timed too), instead of
the same touched ones.
"""

import argparse
import ctypes
import os
import statistics
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from timing import pause_busily, timed  # noqa: E402

PHASES = ("planning", "residues", "products", "reconstruction", "excluded")


def load(path):
    lib = ctypes.CDLL(os.path.abspath(path), mode=ctypes.RTLD_LOCAL)
    lib.vexa_gemm_host.restype = ctypes.c_int
    lib.vexa_gemm_host.argtypes = [ctypes.c_void_p] * 5 + [ctypes.c_int] * 3
    lib.vexa_last_phase_seconds.restype = ctypes.c_int
    lib.vexa_last_phase_seconds.argtypes = [ctypes.POINTER(ctypes.c_double), ctypes.c_int]
    lib.vexa_version.restype = ctypes.c_char_p
    return lib


def shape_of(text):
    parts = [int(p) for p in text.lower().split("x")]
    if len(parts) == 1:
        return parts * 3
    if len(parts) != 3 or min(parts) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is neither N nor MxNxK")
    return parts


class Side:
    """One library's outputs, call and times."""

    def __init__(self, lib, A, B, fresh):
        M, K = A.shape
        N = B.shape[1]
        self.lib, self.A, self.B, self.shape, self.fresh = lib, A, B, (M, N, K), fresh
        self.hi, self.lo = np.zeros((M, N)), np.zeros((M, N))
        self.res = np.zeros((M, N), dtype=np.float32)
        self.times = {name: [] for name in ("whole",) + PHASES}

    def call(self):
        if self.fresh:
            M, N, _ = self.shape
            self.hi, self.lo = np.zeros((M, N)), np.zeros((M, N))
            self.res = np.zeros((M, N), dtype=np.float32)
        arrays = (self.A, self.B, self.hi, self.lo, self.res)
        status = self.lib.vexa_gemm_host(*(x.ctypes.data for x in arrays), *self.shape)
        if status != 0:
            raise RuntimeError(f"vexa_gemm_host returned {status}")

    def timed_call(self):
        seconds, _ = timed(self.call)
        self.times["whole"].append(seconds)
        phases = (ctypes.c_double * len(PHASES))()
        written = self.lib.vexa_last_phase_seconds(phases, len(PHASES))
        for i, name in enumerate(PHASES):
            if i < written:
                self.times[name].append(phases[i])

    def words(self):
        return [w.view(np.uint8).tobytes() for w in (self.hi, self.lo, self.res)]


def ratio(new, old):
    return f"{new / old:.3f}" if old > 0 else "-"


def compare(old, new, shape, repeat, rng, hot, fresh):
    M, N, K = shape
    A, B = rng.standard_normal((M, K)), rng.standard_normal((K, N))
    sides = [Side(old, A, B, fresh), Side(new, A, B, fresh)]
    for side in sides:
        side.call()  # warm-up: the workspace parked, the outputs touched
    numpy_times = []
    for r in range(repeat):
        pause_busily()
        if hot:
            A @ B
        numpy_times.append(timed(lambda: A @ B)[0])
        for side in (sides if r % 2 == 0 else sides[::-1]):
            pause_busily()
            if hot:
                side.call()
            side.timed_call()
    same = sides[0].words() == sides[1].words()
    numpy_min, numpy_med = min(numpy_times), statistics.median(numpy_times)
    print(f"\n{M}x{N}x{K}: numpy {numpy_min:.5f}s (median {numpy_med:.5f}s), outputs identical: {same}")
    print(f"  {'':16}{'old min':>10}{'median':>10}{'new min':>10}{'median':>10}{'new/old':>9}{'median':>8}")
    for name in ("whole",) + PHASES:
        o, n = sides[0].times[name], sides[1].times[name]
        if not o or not n or max(o + n) < 5e-6:  # a phase this product did not have
            continue
        o_min, o_med, n_min, n_med = min(o), statistics.median(o), min(n), statistics.median(n)
        print(f"  {name:16}{o_min:10.5f}{o_med:10.5f}{n_min:10.5f}{n_med:10.5f}"
              f"{ratio(n_min, o_min):>9}{ratio(n_med, o_med):>8}")
    o, n = sides[0].times["whole"], sides[1].times["whole"]
    print(f"  over numpy: old {min(o) / numpy_min:.2f}x (median {statistics.median(o) / numpy_med:.2f}x),"
          f" new {min(n) / numpy_min:.2f}x (median {statistics.median(n) / numpy_med:.2f}x)")
    return same


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old", help="the reference libvexa")
    parser.add_argument("new", help="the changed libvexa")
    parser.add_argument("--shapes", type=shape_of, nargs="+", default=[shape_of(s) for s in ("1024", "2048")],
                        help="N for N x N x N, or MxNxK")
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--hot", action="store_true",
                        help="time each call right after an untimed one of the same library")
    parser.add_argument("--fresh", action="store_true",
                        help="new np.zeros outputs for every call, as gemm_pair makes them")
    args = parser.parse_args()
    if os.path.realpath(args.old) == os.path.realpath(args.new):
        parser.error("the two libraries are one file: copy the old one elsewhere first")
    old, new = load(args.old), load(args.new)
    print(f"old: {args.old}: {old.vexa_version().decode()}")
    print(f"new: {args.new}: {new.vexa_version().decode()}")
    rng = np.random.default_rng(args.seed)
    differ = [s for s in args.shapes if not compare(old, new, s, args.repeat, rng, args.hot, args.fresh)]
    if differ:
        print("\noutputs differ at " + ", ".join("x".join(map(str, s)) for s in differ))
        sys.exit(1)


if __name__ == "__main__":
    main()
