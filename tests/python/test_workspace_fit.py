"""A product whose one-block workspace would exceed the keep limit splits its columns until
the block fits, so that the next product of its shape finds it parked; its words stay
those of the exact core."""

import os
import subprocess
import sys

import pytest

PROGRAM = """
import ctypes, hashlib, sys
import numpy as np
from dravenholt.vexa._runtime import library
lib = library()
M, K, N = (int(v) for v in sys.argv[1:4])
rng = np.random.default_rng(5)
A, B = rng.standard_normal((M, K)), rng.standard_normal((K, N))
C = [np.empty((M, N)), np.empty((M, N)), np.empty((M, N), dtype=np.float32)]
ptr = lambda X, t: X.ctypes.data_as(ctypes.POINTER(t))
status = lib.vexa_gemm_host(ptr(A, ctypes.c_double), ptr(B, ctypes.c_double),
                            ptr(C[0], ctypes.c_double), ptr(C[1], ctypes.c_double),
                            ptr(C[2], ctypes.c_float), M, N, K)
name = lib.vexa_kernel_name(lib.vexa_kernel_active()).decode()
digest = hashlib.sha256(b"".join(X.tobytes() for X in C)).hexdigest()
print(status, name, lib.vexa_workspace_parked_bytes(), digest)
"""


# Wide products (N much larger than M) whose one block would hold the gathered columns of
# B alone, K * N * 8 bytes, well over the 4 MiB limit; a block of 256 columns fits it.
@pytest.mark.parametrize("M, K, N", [(128, 256, 2048), (96, 200, 3000)])
def test_a_wide_product_parks_its_workspace_under_a_small_limit(M, K, N):
    def run(**settings):
        env = dict(os.environ, **settings)
        result = subprocess.run([sys.executable, "-c", PROGRAM, str(M), str(K), str(N)], env=env,
                                capture_output=True, text=True, check=True)
        return result.stdout.split()

    # Two threads: a block keeps at least a panel per thread.
    status, kernel, parked, digest = run(VEXA_WORKSPACE_KEEP=str(4 << 20), VEXA_NUM_THREADS="2")
    assert status == "0"
    if kernel == "scalar":
        pytest.skip("the exact core keeps no workspace")
    assert 0 < int(parked) <= 4 << 20
    exact_status, exact_kernel, _, exact_digest = run(VEXA_KERNEL="scalar")
    assert (exact_status, exact_kernel) == ("0", "scalar")
    assert digest == exact_digest
