"""Time dravenholt.vexa.matmul against Vexa().gemm_pair (2-D) and numpy's matmul (a stack).

Run it as (unset the OpenBLAS overrides so numpy's baseline picks its own kernel):

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OMP_NUM_THREADS=2 OPENBLAS_NUM_THREADS=2 \\
        VEXA_NUM_THREADS=2 PYTHONPATH=build/python python3 bench/bench_matmul.py

Prints the min and median wall time of each over --repeat runs (after a warm-up), in
alternation, and the ratios: matmul / gemm_pair for n x n @ n x n, and matmul / np.matmul
for a (S, m, m) @ (S, m, m) stack. After each numpy call it spins for 0.2 s, so that
OpenBLAS's spinning threads are idle before libvexa is timed.
"""

import argparse
import statistics

import numpy as np

from dravenholt.vexa import Vexa, matmul
from timing import pause_busily, timed


def compare(name, ours, theirs, repeat, pause_after_theirs):
    ours(), theirs()
    t_ours, t_theirs = [], []
    for _ in range(repeat):
        t_theirs.append(timed(theirs)[0])
        if pause_after_theirs:
            pause_busily()
        t_ours.append(timed(ours)[0])
    for label, times in (("matmul", t_ours), (name, t_theirs)):
        print(f"  {label:>10}: min {min(times) * 1e3:9.2f} ms  median "
              f"{statistics.median(times) * 1e3:9.2f} ms")
    print(f"  ratio min {min(t_ours) / min(t_theirs):.3f}  median "
          f"{statistics.median(t_ours) / statistics.median(t_theirs):.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1024)
    parser.add_argument("--stack", type=int, nargs=2, default=[256, 64], metavar=("S", "m"))
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    vexa = Vexa()
    print(vexa.version)
    A, B = rng.standard_normal((args.n, args.n)), rng.standard_normal((args.n, args.n))
    print(f"{args.n} x {args.n} @ {args.n} x {args.n}")
    compare("gemm_pair", lambda: matmul(A, B), lambda: vexa.gemm_pair(A, B), args.repeat, False)
    S, m = args.stack
    X, Y = rng.standard_normal((S, m, m)), rng.standard_normal((S, m, m))
    print(f"({S}, {m}, {m}) @ ({S}, {m}, {m})")
    compare("np.matmul", lambda: matmul(X, Y), lambda: np.matmul(X, Y), args.repeat, True)


if __name__ == "__main__":
    main()
