"""vexa_last_phase_seconds: the fast path's record of where a product's time went."""

import ctypes
import subprocess
import sys
import time

import numpy as np
import pytest

from dravenholt.vexa._runtime import library

RECORD = 7  # planning, residues, products, reconstruction, excluded, moduli, average moduli


def _record(count, fill=-1.0):
    out = (ctypes.c_double * RECORD)(*([fill] * RECORD))
    return library().vexa_last_phase_seconds(out, count), list(out)


@pytest.fixture(scope="module")
def fast_product():
    lib = library()
    if lib.vexa_kernel_name(lib.vexa_kernel_active()) == b"scalar":
        pytest.skip("the exact core is active: no fast-path product to record")
    rng = np.random.default_rng(3)
    A, B = rng.standard_normal((256, 192)), rng.standard_normal((192, 320))
    C = [np.empty((256, 320)), np.empty((256, 320)), np.empty((256, 320), dtype=np.float32)]
    ptr = lambda X, t: X.ctypes.data_as(ctypes.POINTER(t))  # noqa: E731
    start = time.perf_counter()
    status = lib.vexa_gemm_host(ptr(A, ctypes.c_double), ptr(B, ctypes.c_double),
                                ptr(C[0], ctypes.c_double), ptr(C[1], ctypes.c_double),
                                ptr(C[2], ctypes.c_float), 256, 320, 192)
    assert status == 0
    return time.perf_counter() - start


def test_the_record_of_a_fast_product_fits_its_wall_time(fast_product):
    written, values = _record(RECORD)
    assert written == RECORD
    seconds, moduli, average = values[:5], values[5], values[6]
    assert all(t >= 0 for t in seconds)
    assert sum(seconds) <= fast_product
    assert moduli == int(moduli) and moduli >= 1
    assert 1 <= average <= moduli


@pytest.mark.parametrize("count, written", [(3, 3), (0, 0), (-2, 0), (RECORD + 5, RECORD)])
def test_only_the_asked_for_values_are_written(fast_product, count, written):
    got, values = _record(count)
    assert got == written
    assert values[written:] == [-1.0] * (RECORD - written)
    assert all(v >= 0 for v in values[:written])


def test_a_null_buffer_gets_nothing(fast_product):
    assert library().vexa_last_phase_seconds(None, RECORD) == 0


def test_a_fresh_process_has_no_record():
    code = ("import ctypes; from dravenholt.vexa._runtime import library; "
            "out = (ctypes.c_double * 7)(); print(library().vexa_last_phase_seconds(out, 7))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "0"
