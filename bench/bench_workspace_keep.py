"""What keeping the workspace between products buys: repeated products of one size, each
timed either right after the previous one (its block parked) or after release_memory()
(a fresh block, its page faults and zeroing paid again), alternating in one process.

    VEXA_NUM_THREADS=2 PYTHONPATH=build/python python3 bench/bench_workspace_keep.py \\
        --sizes 256 512 1024 2048 --repeat 7

Prints, per size, the block parked after one product, and min and median seconds of
both kinds of call with the cost of a fresh block as a share of the kept-block time.
"""

import argparse
import os
import statistics
import time

# Keep any block, so that both cases can be timed in this one process.
os.environ.setdefault("VEXA_WORKSPACE_KEEP", str(1 << 40))

import numpy as np  # noqa: E402

import dravenholt.vexa as vx  # noqa: E402
from dravenholt.vexa._runtime import library  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[256, 512, 1024, 2048])
    parser.add_argument("--repeat", type=int, default=7)
    arguments = parser.parse_args()
    print(f"libvexa {vx.Vexa().version}, {vx.get_num_threads()} threads")
    print(f"{'n':>6} {'parked':>9} {'kept min':>10} {'median':>8} {'fresh min':>10} {'median':>8}"
          f" {'fresh/kept - 1':>15}")
    rng = np.random.default_rng(1)
    for n in arguments.sizes:
        A = rng.standard_normal((n, n))
        B = rng.standard_normal((n, n))
        vx.gemm_triple(A, B)  # warm-up, parks the block
        parked = library().vexa_workspace_parked_bytes()
        kept, fresh = [], []
        for _ in range(arguments.repeat):
            start = time.perf_counter()
            vx.gemm_triple(A, B)
            kept.append(time.perf_counter() - start)
            vx.release_memory()
            start = time.perf_counter()
            vx.gemm_triple(A, B)
            fresh.append(time.perf_counter() - start)
        print(f"{n:>6} {parked / 2**20:>6.0f} MiB {min(kept):>9.4f}s {statistics.median(kept):>7.4f}s"
              f" {min(fresh):>9.4f}s {statistics.median(fresh):>7.4f}s"
              f" {min(fresh) / min(kept) - 1:>+8.1%} (min) {statistics.median(fresh) / statistics.median(kept) - 1:>+6.1%} (median)",
              flush=True)


if __name__ == "__main__":
    main()
