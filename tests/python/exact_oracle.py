"""An exact oracle for libvexa's three words, written with fractions.Fraction.

For a row of A and a column of B it gives the (hi, lo, res) the runtime must return:
the correctly rounded triple of the exact sum of products, with every rule for
overflow, specials and signed zeros.
"""

import math
import struct
import zlib
from fractions import Fraction

import numpy as np


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


def oracle_mismatches(A, B, hi, lo, res):
    """Every (i, j, got, want) where the words (M x N arrays) differ from the oracle's."""
    found = []
    for i in range(A.shape[0]):
        for j in range(B.shape[1]):
            want = expected_triple(A[i].tolist(), B[:, j].tolist())
            got = (float(hi[i, j]), float(lo[i, j]), float(res[i, j]))
            if not all(same(g, w) for g, w in zip(got, want)):
                found.append((i, j, got, want))
    return found


# ---- Named operand cases ------------------------------------------------------------

CASE_NAMES = ["normal", "wide rows 1e-300..1e300", "cancellation", "subnormals",
              "residue ranges", "overflow", "specials"]


def _wide(rng, shape, low, high):
    values = 10.0 ** rng.uniform(low, high, size=shape) * rng.uniform(1, 2, size=shape)
    return np.where(rng.random(shape) < 0.5, -values, values)


def oracle_case(name):
    """The operands (A, B) of the named case, the same on every run."""
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
