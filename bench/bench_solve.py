"""Time dravenholt.vexa.solve against numpy.linalg.solve, side by side, in one run.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OMP_NUM_THREADS=2 OPENBLAS_NUM_THREADS=2 \\
        VEXA_NUM_THREADS=2 PYTHONPATH=build/python python3 bench/bench_solve.py [--sizes 500 2000]

For each n: a random normal n x n system with one right-hand side; min and median wall
time of each over --repeat runs (after one warm-up), their ratio, and solve's sweep count.
After each numpy call the script spins for 0.2 s so OpenBLAS's spinning threads do not
steal from the next timing.
"""

import argparse
import statistics

import numpy as np

import dravenholt.vexa as vx
from timing import pause_busily, timed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[500, 2000])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"libvexa threads: {vx.get_num_threads()}, kernel: "
          f"{next(k.name for k in vx.kernels() if k.active)}")
    print("| n | numpy min | numpy median | solve min | solve median | ratio (min) "
          "| ratio (median) | sweeps |")
    print("|---|---|---|---|---|---|---|---|")
    rng = np.random.default_rng(0)
    for n in args.sizes:
        a = rng.standard_normal((n, n))
        b = rng.standard_normal(n)
        ours, theirs = [], []
        for attempt in range(args.repeat + 1):
            numpy_time, _ = timed(lambda: np.linalg.solve(a, b))
            pause_busily()
            our_time, result = timed(lambda: vx.solve(a, b, full_output=True))
            if attempt:  # the first round warms both up
                theirs.append(numpy_time)
                ours.append(our_time)
        print(f"| {n} | {min(theirs):.4f} s | {statistics.median(theirs):.4f} s "
              f"| {min(ours):.4f} s | {statistics.median(ours):.4f} s "
              f"| {min(ours) / min(theirs):.1f}x "
              f"| {statistics.median(ours) / statistics.median(theirs):.1f}x | {result.sweeps} |",
              flush=True)


if __name__ == "__main__":
    main()
