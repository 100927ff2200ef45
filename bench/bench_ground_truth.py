"""Time verify_precision() with its defaults (K=256, M=N=8) next to plain-Python versions.

    PYTHONPATH=<build>/python python3 bench/bench_ground_truth.py [--repeat 7]

Three contenders run the same steps on the same seeded matrices and the same runtime:
  extension    dravenholt.vexa.vexa.verify_precision, the C++ module
  python-150   the steps written out in Python, products and sums rounded to 150 digits
  python-exact the same, with the sums formed in a local context wide enough to be exact,
               which is what the extension computes
Each is run --repeat times after one warm-up; the best and the median wall time are shown.
The reports are checked to agree before anything is timed.
"""

import argparse
import contextlib
import decimal
import io
import statistics
import time

import numpy as np
from decimal import Decimal, getcontext

from dravenholt.vexa import vexa as extension


def D(x):
    return Decimal.from_float(float(x))


def ground_truth_150(A, B):
    getcontext().prec = 150
    M, K = A.shape
    _, N = B.shape
    C = []
    for i in range(M):
        row = []
        for j in range(N):
            acc = Decimal(0)
            for k in range(K):
                acc += D(A[i, k]) * D(B[k, j])
            row.append(acc)
        C.append(row)
    return C


def ground_truth_exact(A, B):
    getcontext().prec = 150
    M, K = A.shape
    _, N = B.shape
    exact = decimal.Context(prec=2800, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)
    multiply, add = exact.multiply, exact.add
    C = []
    for i in range(M):
        row = []
        for j in range(N):
            acc = Decimal(0)
            for k in range(K):
                acc = add(acc, multiply(D(A[i, k]), D(B[k, j])))
            row.append(acc)
        C.append(row)
    return C


def python_verify_precision(ground_truth, K=256, M=8, N=8, seed=42):
    getcontext().prec = 150
    np.random.seed(seed)
    A = np.random.randn(M, K).astype(np.float64)
    B = np.random.randn(K, N).astype(np.float64)
    q = extension.Vexa()
    C_hi, C_lo = q.gemm_pair(A, B)
    C_truth = ground_truth(A, B)
    fp64_errors, vexa_errors = [], []
    for i in range(M):
        for j in range(N):
            truth = C_truth[i][j]
            fp64_val = D(np.dot(A[i, :], B[:, j]))
            fp64_errors.append(float(abs(fp64_val - truth) / abs(truth)))
            vexa_val = D(C_hi[i, j]) + D(C_lo[i, j])
            vexa_errors.append(float(abs(vexa_val - truth) / abs(truth)))
    vexa_max = max(vexa_errors)
    results = {
        "K": K, "M": M, "N": N,
        "fp64_max_error": max(fp64_errors),
        "fp64_mean_error": sum(fp64_errors) / len(fp64_errors),
        "vexa_max_error": vexa_max,
        "vexa_mean_error": sum(vexa_errors) / len(vexa_errors),
        "improvement": (max(fp64_errors) / vexa_max if vexa_max
                        else float("inf") if max(fp64_errors) else float("nan")),
    }
    print(f"Vexa Precision Verification (K={K}):")
    print(f"  FP64 max error:  {results['fp64_max_error']:.3e}")
    print(f"  Vexa max error:  {results['vexa_max_error']:.3e}")
    print(f"  Improvement:     {results['improvement']:.2e}x")
    return results


CONTENDERS = {
    "extension": extension.verify_precision,
    "python-150": lambda: python_verify_precision(ground_truth_150),
    "python-exact": lambda: python_verify_precision(ground_truth_exact),
}


def timed(function, repeat):
    times = []
    for _ in range(repeat + 1):
        with contextlib.redirect_stdout(io.StringIO()):
            start = time.perf_counter()
            function()
            times.append(time.perf_counter() - start)
    return times[1:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    with contextlib.redirect_stdout(io.StringIO()):
        reports = {name: function() for name, function in CONTENDERS.items()}
    if reports["extension"] != reports["python-exact"]:
        raise SystemExit(f"reports differ:\n{reports['extension']}\n{reports['python-exact']}")
    print(f"runtime: {extension.Vexa().version}")
    print(f"report:  {reports['extension']}")

    baseline = None
    print(f"{'contender':<14}{'best ms':>10}{'median ms':>11}{'vs extension':>14}")
    for name, function in CONTENDERS.items():
        times = timed(function, args.repeat)
        best, median = min(times) * 1e3, statistics.median(times) * 1e3
        baseline = baseline or best
        print(f"{name:<14}{best:>10.1f}{median:>11.1f}{best / baseline:>13.2f}x")


if __name__ == "__main__":
    main()
