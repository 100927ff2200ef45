"""libvexa's C ABI called directly through ctypes, on the library staged beside the module.

Every output word, C_res included, is checked against the exact oracle of exact_oracle.py,
written with fractions.Fraction: the three words must be the correctly rounded triple of
the exact sum.
"""

import ctypes
import math
import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from exact_oracle import CASE_NAMES, oracle_case, oracle_mismatches

VEXA_OK = 0
VEXA_ERROR_NEGATIVE_DIMENSION = -1
VEXA_ERROR_NULL_POINTER = -2


@pytest.fixture(scope="module")
def libvexa_path(vexa_module):
    path = Path(vexa_module.__file__).parent / (
        "libvexa.dll" if sys.platform == "win32" else "libvexa.so")
    if not path.exists():
        pytest.skip(f"no staged runtime at {path}")
    return path


@pytest.fixture(scope="module")
def lib(libvexa_path):
    library = ctypes.CDLL(str(libvexa_path))
    double_p = ctypes.POINTER(ctypes.c_double)
    float_p = ctypes.POINTER(ctypes.c_float)
    library.vexa_gemm_host.argtypes = [double_p, double_p, double_p, double_p, float_p,
                                       ctypes.c_int, ctypes.c_int, ctypes.c_int]
    library.vexa_gemm_host.restype = ctypes.c_int
    library.vexa_version.argtypes = []
    library.vexa_version.restype = ctypes.c_char_p
    return library


def _ptr(array, ctype):
    return None if array is None else array.ctypes.data_as(ctypes.POINTER(ctype))


def call(lib, A, B, M=None, N=None, K=None, out=None):
    """Runs vexa_gemm_host; returns (status, hi, lo, res), outputs pre-filled with a guard."""
    M = A.shape[0] if M is None else M
    K = A.shape[1] if K is None else K
    N = B.shape[1] if N is None else N
    if out is None:
        cells = max(M, 0) * max(N, 0)
        out = (np.full(cells, -7.75), np.full(cells, -7.75), np.full(cells, -7.75, np.float32))
    hi, lo, res = out
    status = lib.vexa_gemm_host(_ptr(A, ctypes.c_double), _ptr(B, ctypes.c_double),
                                _ptr(hi, ctypes.c_double), _ptr(lo, ctypes.c_double),
                                _ptr(res, ctypes.c_float), M, N, K)
    return status, hi, lo, res


def check_against_oracle(lib, A, B):
    status, hi, lo, res = call(lib, A, B)
    assert status == VEXA_OK
    shape = (A.shape[0], B.shape[1])
    assert oracle_mismatches(A, B, hi.reshape(shape), lo.reshape(shape), res.reshape(shape)) == []


# ---- Accuracy ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", CASE_NAMES)
def test_every_word_is_correctly_rounded(lib, name):
    A, B = oracle_case(name)
    check_against_oracle(lib, np.ascontiguousarray(A), np.ascontiguousarray(B))


def test_res_carries_the_bits_below_lo(lib):
    """x = 1 + 2^-60 + 2^-130: hi = 1, lo = 2^-60, res = 2^-130 exactly."""
    A = np.array([[1.0, 2.0 ** -60, 2.0 ** -130]])
    status, hi, lo, res = call(lib, A, np.ones((3, 1)))
    assert status == VEXA_OK
    assert (hi[0], lo[0], float(res[0])) == (1.0, 2.0 ** -60, 2.0 ** -130)


def test_k_zero_gives_positive_zeros(lib):
    out = (np.full(6, -0.0), np.full(6, -0.0), np.full(6, -0.0, np.float32))
    status, hi, lo, res = call(lib, np.zeros((2, 0)), np.zeros((0, 3)), out=out)
    assert status == VEXA_OK
    for word in (*hi, *lo, *res):
        assert word == 0 and math.copysign(1, word) == 1


# ---- Status codes and nothing written on error --------------------------------------------

@pytest.mark.parametrize("dims", [(-1, 2, 2), (2, -1, 2), (2, 2, -1)])
def test_negative_dimensions(lib, dims):
    A = np.ones((2, 2))
    out = (np.full(4, -7.75), np.full(4, -7.75), np.full(4, -7.75, np.float32))
    status, hi, lo, res = call(lib, A, A, *dims, out=out)
    assert status == VEXA_ERROR_NEGATIVE_DIMENSION
    assert np.all(hi == -7.75) and np.all(lo == -7.75) and np.all(res == -7.75)


@pytest.mark.parametrize("missing", ["A", "B", "C_hi", "C_lo", "C_res"])
def test_null_pointers(lib, missing):
    A = np.ones((2, 3))
    B = np.ones((3, 2))
    out = [np.full(4, -7.75), np.full(4, -7.75), np.full(4, -7.75, np.float32)]
    names = ["C_hi", "C_lo", "C_res"]
    ptrs = [None if n == missing else o for n, o in zip(names, out)]
    status = lib.vexa_gemm_host(_ptr(None if missing == "A" else A, ctypes.c_double),
                                _ptr(None if missing == "B" else B, ctypes.c_double),
                                _ptr(ptrs[0], ctypes.c_double), _ptr(ptrs[1], ctypes.c_double),
                                _ptr(ptrs[2], ctypes.c_float), 2, 2, 3)
    assert status == VEXA_ERROR_NULL_POINTER
    for o in out:
        assert np.all(o == -7.75)


# ---- Version and kernel choice -------------------------------------------------------------

def _version_in_subprocess(libvexa_path, **env_changes):
    env = dict(os.environ)
    for name in ("VEXA_KERNEL", "VEXA_NUM_THREADS", "VEXA_WORKSPACE_KEEP"):
        env.pop(name, None)
    env.update(env_changes)
    code = ("import ctypes, sys; lib = ctypes.CDLL(sys.argv[1]); "
            "lib.vexa_version.restype = ctypes.c_char_p; print(lib.vexa_version().decode())")
    done = subprocess.run([sys.executable, "-c", code, str(libvexa_path)], env=env,
                          capture_output=True, text=True, timeout=60, check=True)
    return done.stdout.strip()


def test_version_names_library_and_kernel(lib):
    version = lib.vexa_version().decode("utf-8")
    assert version.startswith("2.0.0 (kernel: ") and version.endswith(")")


def test_one_version_from_the_build_file_everywhere(lib, vexa_module):
    from importlib import metadata

    cmake_file = Path(__file__).resolve().parents[2] / "CMakeLists.txt"
    version = re.search(r"project\(vexa VERSION ([0-9.]+)", cmake_file.read_text()).group(1)
    assert lib.vexa_version().decode("utf-8").startswith(version + " (kernel: ")
    assert vexa_module.__version__ == version
    try:
        installed = metadata.version("dravenholt.vexa")
    except metadata.PackageNotFoundError:
        pytest.skip("the package is not installed, so it has no metadata")
    assert installed == version


def test_forcing_the_scalar_kernel_shows_in_the_version(libvexa_path):
    assert _version_in_subprocess(libvexa_path, VEXA_KERNEL="scalar") == "2.0.0 (kernel: scalar)"


@pytest.mark.parametrize("name", ["no-such-kernel", "avx512_vnni_typo", "AVX2"])
def test_an_unusable_kernel_name_falls_back_and_says_so(libvexa_path, name):
    normal = _version_in_subprocess(libvexa_path)
    assert normal.endswith(")")
    want = normal[:-1] + f"; VEXA_KERNEL={name} is not available here)"
    assert _version_in_subprocess(libvexa_path, VEXA_KERNEL=name) == want


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the loader's message is the Linux one")
def test_asking_for_cuda_without_its_library_says_why(libvexa_path, tmp_path):
    # A copy of libvexa alone in a folder: no libvexa_cuda.so beside it to open.
    lone = tmp_path / Path(libvexa_path).name
    lone.write_bytes(Path(libvexa_path).read_bytes())
    normal = _version_in_subprocess(lone)
    want = normal[:-1] + (f"; VEXA_KERNEL=cuda is not available here: {tmp_path}/libvexa_cuda.so could not "
                          "be loaded (libvexa was built without VEXA_CUDA, or the file is missing))")
    assert _version_in_subprocess(lone, VEXA_KERNEL="cuda") == want


@pytest.mark.parametrize("name, value, note", [
    ("VEXA_NUM_THREADS", "abc", "is not a positive integer"),
    ("VEXA_NUM_THREADS", "0", "is not a positive integer"),
    ("VEXA_NUM_THREADS", "-3", "is not a positive integer"),
    ("VEXA_NUM_THREADS", "1e3", "is not a positive integer"),
    ("VEXA_NUM_THREADS", "4 threads", "is not a positive integer"),
    ("VEXA_NUM_THREADS", "5000", "is capped at 1024"),
    ("VEXA_WORKSPACE_KEEP", "64M", "is not a number of bytes"),
    ("VEXA_WORKSPACE_KEEP", "-1", "is not a number of bytes"),
    ("VEXA_WORKSPACE_KEEP", "1e9", "is not a number of bytes"),
])
def test_an_unusable_setting_is_named_in_the_version(libvexa_path, name, value, note):
    normal = _version_in_subprocess(libvexa_path)
    assert _version_in_subprocess(libvexa_path, **{name: value}) == \
        normal[:-1] + f"; {name}={value} {note})"


@pytest.mark.parametrize("name, value", [("VEXA_NUM_THREADS", "7"), ("VEXA_NUM_THREADS", "1024"),
                                         ("VEXA_WORKSPACE_KEEP", "0"),
                                         ("VEXA_WORKSPACE_KEEP", "1048576")])
def test_a_usable_setting_leaves_the_version_alone(libvexa_path, name, value):
    assert _version_in_subprocess(libvexa_path, **{name: value}) == _version_in_subprocess(libvexa_path)
