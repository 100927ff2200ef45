"""`python -m dravenholt.vexa`: the self-test, then a short demonstration."""

import numpy as np

from dravenholt.vexa.vexa import Vexa, test


def demo():
    # A dot product whose float64 result is pure cancellation noise.
    A = np.array([[1e16, 1.0, -1e16, 3.0]])
    B = np.array([[1.0], [1.0], [1.0], [1.0]])
    C_hi, C_lo = Vexa().gemm_pair(A, B)
    print()
    print("Demo: [1e16, 1, -1e16, 3] . [1, 1, 1, 1]  (exact value 4)")
    print(f"  float64 A @ B = {float((A @ B)[0, 0])!r}")
    print(f"  Vexa    C_hi  = {float(C_hi[0, 0])!r}, C_lo = {float(C_lo[0, 0])!r}")


test()
demo()
