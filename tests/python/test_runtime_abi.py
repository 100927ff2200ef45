"""libvexa's C ABI called directly through ctypes, on the library staged beside the module.

Every output word, C_res included, is checked against an exact oracle written here with
fractions.Fraction: the three words must be the correctly rounded triple of the exact sum.
"""

import ctypes
import math
import os
import struct
import subprocess
import sys
import zlib
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

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


# ---- The oracle ---------------------------------------------------------------------

def round_binary(x, precision, min_exponent, overflow_exponent):
    """x (a nonzero Fraction) to nearest, ties to even, with `precision` significand bits and
    smallest ulp 2**min_exponent. Returns the rounded Fraction, or None on overflow
    (a rounded magnitude of 2**overflow_exponent or more)."""
    magnitude = abs(x)
    top = magnitude.numerator.bit_length() - magnitude.denominator.bit_length()
    if Fraction(2) ** top > magnitude:  # make 2**top <= magnitude < 2**(top + 1)
        top -= 1
    elif Fraction(2) ** (top + 1) <= magnitude:
        top += 1
    ulp = Fraction(2) ** max(top - precision + 1, min_exponent)
    whole = magnitude // ulp
    rest = magnitude - whole * ulp
    if rest * 2 > ulp or (rest * 2 == ulp and whole % 2 == 1):
        whole += 1
    rounded = whole * ulp
    if rounded >= Fraction(2) ** overflow_exponent:
        return None
    return rounded if x > 0 else -rounded


def to_double(value, negative):
    result = float(value)  # exact: value is representable
    return -0.0 if result == 0 and negative else result


def to_float32(value, negative):
    result = struct.unpack("f", struct.pack("f", float(value)))[0]
    assert Fraction(result) == value
    return -0.0 if result == 0 and negative else result


def expected_triple(a_row, b_col):
    """(hi, lo, res) the runtime must produce for sum(a * b), every rule included."""
    nan = plus_inf = minus_inf = False
    all_minus_zero = len(a_row) > 0
    for a, b in zip(a_row, b_col):
        if math.isnan(a) or math.isnan(b) or (math.isinf(a) and b == 0) or (a == 0 and math.isinf(b)):
            nan = True
        elif math.isinf(a) or math.isinf(b):
            if math.copysign(1, a) * math.copysign(1, b) < 0:
                minus_inf = True
            else:
                plus_inf = True
        is_zero = a == 0 or b == 0
        all_minus_zero = all_minus_zero and is_zero and (
            math.copysign(1, a) * math.copysign(1, b) < 0)
    if nan or (plus_inf and minus_inf):
        return (math.nan, 0.0, 0.0)
    if plus_inf or minus_inf:
        return (-math.inf if minus_inf else math.inf, 0.0, 0.0)
    x = sum((Fraction(a) * Fraction(b) for a, b in zip(a_row, b_col)), Fraction(0))
    if x == 0:
        return (-0.0 if all_minus_zero else 0.0, 0.0, 0.0)
    hi = round_binary(x, 53, -1074, 1024)
    if hi is None:
        return (math.inf if x > 0 else -math.inf, 0.0, 0.0)
    r1 = x - hi
    lo = round_binary(r1, 53, -1074, 1024) if r1 else Fraction(0)
    r2 = r1 - lo
    res = round_binary(r2, 24, -149, 128) if r2 else Fraction(0)
    res_word = 0.0 if res is None else to_float32(res, r2 < 0)
    return (to_double(hi, x < 0), to_double(lo, r1 < 0), res_word)


def same(x, y):
    if math.isnan(x) or math.isnan(y):
        return math.isnan(x) and math.isnan(y)
    return x == y and math.copysign(1, x) == math.copysign(1, y)


def check_against_oracle(lib, A, B):
    status, hi, lo, res = call(lib, A, B)
    assert status == VEXA_OK
    M, N = A.shape[0], B.shape[1]
    for i in range(M):
        for j in range(N):
            want = expected_triple(A[i].tolist(), B[:, j].tolist())
            got = (hi[i * N + j], lo[i * N + j], float(res[i * N + j]))
            assert all(same(g, w) for g, w in zip(got, want)), (i, j, got, want)


# ---- Accuracy ---------------------------------------------------------------------------

def _wide(rng, shape, low, high):
    values = 10.0 ** rng.uniform(low, high, size=shape) * rng.uniform(1, 2, size=shape)
    return np.where(rng.random(shape) < 0.5, -values, values)


def _case(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    if name == "normal":
        return rng.standard_normal((7, 9)), rng.standard_normal((9, 5))
    if name == "wide rows 1e-300..1e300":
        return _wide(rng, (5, 12), -300, 300), _wide(rng, (12, 4), -300, 300)
    if name == "cancellation":
        v = _wide(rng, (3, 4), -50, 50)
        A = np.concatenate([v, -v], axis=1)
        w = _wide(rng, (4, 2), -50, 50)
        return A, np.concatenate([w, w], axis=0)
    if name == "subnormals":
        tiny = 5e-324
        A = np.array([[tiny, 2.2250738585072014e-308, -3 * tiny], [1.0, 2.0 ** -1060, 2.0 ** -550]])
        return A, np.array([[1.0, 0.5], [3.0, -1.0], [2.0 ** -550, 2.0 ** -520]])
    if name == "residue ranges":
        A = np.array([[2.0 ** 1000, 2.0 ** 900, 2.0 ** 800],
                      [2.0 ** -20, 2.0 ** -80, 3 * 2.0 ** -148],
                      [1.0, 2.0 ** -60, 2.0 ** -140]])
        return A, np.ones((3, 1))
    if name == "overflow":
        big = 1.7976931348623157e308
        A = np.array([[big, big, 0.0], [big, 2.0 ** 970, 0.0], [big, big, -big], [-big, -big, 1.0]])
        return A, np.ones((3, 1))
    if name == "specials":
        A = np.array([[math.inf, 1.0], [math.inf, math.inf], [math.nan, 1.0], [-0.0, 0.0], [0.0, 2.0]])
        return A, np.array([[2.0, 0.0], [-1.0, -0.0]])
    raise KeyError(name)


@pytest.mark.parametrize("name", ["normal", "wide rows 1e-300..1e300", "cancellation", "subnormals",
                                  "residue ranges", "overflow", "specials"])
def test_every_word_is_correctly_rounded(lib, name):
    A, B = _case(name)
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
    env.pop("VEXA_KERNEL", None)
    env.update(env_changes)
    code = ("import ctypes, sys; lib = ctypes.CDLL(sys.argv[1]); "
            "lib.vexa_version.restype = ctypes.c_char_p; print(lib.vexa_version().decode())")
    done = subprocess.run([sys.executable, "-c", code, str(libvexa_path)], env=env,
                          capture_output=True, text=True, timeout=60, check=True)
    return done.stdout.strip()


def test_version_names_library_and_kernel(lib):
    version = lib.vexa_version().decode("utf-8")
    assert version.startswith("2.0.0 (kernel: ") and version.endswith(")")


def test_forcing_the_scalar_kernel_shows_in_the_version(libvexa_path):
    assert _version_in_subprocess(libvexa_path, VEXA_KERNEL="scalar") == "2.0.0 (kernel: scalar)"


def test_an_unknown_kernel_name_falls_back_to_the_normal_choice(libvexa_path):
    normal = _version_in_subprocess(libvexa_path)
    assert _version_in_subprocess(libvexa_path, VEXA_KERNEL="no-such-kernel") == (
        normal[:-1] + "; VEXA_KERNEL=no-such-kernel is not available here)")
