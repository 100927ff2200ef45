"""D and compute_ground_truth against fractions.Fraction, the independent exact oracle."""

import decimal
import math
import struct
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest


def exact_sum_of_products(A, B, i, j):
    return sum((Fraction(float(A[i, k])) * Fraction(float(B[k, j])) for k in range(A.shape[1])),
               Fraction(0))


def random_doubles(count, seed):
    """Every kind of finite double: random bit patterns cover subnormals and huge values."""
    rng = np.random.default_rng(seed)
    values = rng.integers(0, 2**64, count, dtype=np.uint64).view(np.float64)
    return [float(v) for v in values if math.isfinite(v)]


@pytest.mark.parametrize("x, expected", [
    (1.1, Fraction(1.1)),
    (0.1, Fraction(0.1)),
    (-2.5, Fraction(-5, 2)),
    (5e-324, Fraction(1, 2**1074)),
    (1.7976931348623157e308, Fraction(2**1024 - 2**971)),
    (np.float64(1.1), Fraction(1.1)),
    (np.float32(0.1), Fraction(13421773, 2**27)),
    (3, Fraction(3)),
    (True, Fraction(1)),
    (2**53 + 1, Fraction(2**53)),  # float() rounds the int first
    ("0.1", Fraction(0.1)),
    ("  -1e-310 ", Fraction(-1e-310)),
])
def test_D_is_the_exact_value_of_float_x(vexa, x, expected):
    result = vexa.D(x)
    assert type(result) is Decimal
    assert Fraction(result) == expected
    assert result.as_tuple() == Decimal.from_float(float(x)).as_tuple()


def test_D_of_1_1_keeps_every_binary_digit(vexa):
    result = vexa.D(1.1)
    assert str(result) == "1.100000000000000088817841970012523233890533447265625"
    assert result != Decimal(str(1.1))
    assert len(result.as_tuple().digits) == 52 and len(vexa.D(0.1).as_tuple().digits) == 55


def test_D_of_ints_zeros_and_special_values(vexa):
    assert vexa.D(3).as_tuple() == (0, (3,), 0)
    assert vexa.D(-0.0).as_tuple() == (1, (0,), 0)
    assert vexa.D(float("inf")) == Decimal("Infinity")
    assert vexa.D(float("-inf")) == Decimal("-Infinity")
    negative_nan = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000123))[0]
    for nan in (float("nan"), negative_nan, np.float32("nan")):
        assert vexa.D(nan).is_qnan() and not vexa.D(nan).is_signed()


def test_D_is_exact_over_the_whole_double_range(vexa):
    values = random_doubles(4000, seed=11)
    values += [2.0**e for e in range(-1074, 1024)] + [-(2.0**e) * 1.75 for e in range(-1073, 1023)]
    for x in values:
        result = vexa.D(x)
        assert Fraction(result) == Fraction(x), x
        assert result.as_tuple() == Decimal.from_float(x).as_tuple(), x


@pytest.mark.parametrize("x, error", [
    (object(), TypeError), ("abc", ValueError), (10**400, OverflowError), (None, TypeError)])
def test_D_passes_float_conversion_errors_through(vexa, x, error):
    with pytest.raises(error):
        vexa.D(x)


def test_D_leaves_the_context_alone(vexa):
    context = decimal.getcontext()
    context.prec = 7
    context.clear_flags()
    vexa.D(0.1)
    vexa.D(5e-324)
    assert context.prec == 7
    assert not any(context.flags.values())


def test_D_uses_the_Decimal_global_of_the_moment(vexa, monkeypatch):
    class Recording(Decimal):
        seen = []

        @classmethod
        def from_float(cls, value):
            cls.seen.append(value)
            return "converted"

    monkeypatch.setattr(vexa, "Decimal", Recording)
    assert vexa.D(np.float32(0.5)) == "converted"
    assert Recording.seen == [0.5] and type(Recording.seen[0]) is float


# ---- compute_ground_truth ----

def test_product_of_tenths_is_the_exact_square(vexa):
    C = vexa.compute_ground_truth(np.array([[0.1]]), np.array([[0.1]]))
    assert Fraction(C[0][0]) == Fraction(0.1) ** 2
    assert len(C[0][0].as_tuple().digits) == 109
    assert C[0][0] != vexa.D(0.01) and C[0][0] != vexa.D(0.1 * 0.1)


@pytest.mark.parametrize("A, B", [
    ([[1e300, 1.0, -1e300]], [[1.0], [1.0], [1.0]]),
    ([[5e-324, 3 * 2.0**-1074, 1.0]], [[5e-324], [2.0**-1060], [-(2.0**-1000)]]),
    ([[1.7976931348623157e308, -1.7976931348623157e308, 2.0**-1074]],
     [[1.7976931348623157e308], [1.7976931348623157e308], [2.0**-1074]]),
    ([[0.1, 0.2, 0.3], [1e-200, 1e200, -1e-200]], [[0.3, 1e150], [0.2, -1e-150], [0.1, 1.0]]),
], ids=["cancelling_1e300", "subnormal_products", "extremes", "mixed"])
def test_product_is_exact_whatever_the_exponents(vexa, A, B):
    A, B = np.array(A), np.array(B)
    C = vexa.compute_ground_truth(A, B)
    assert [[Fraction(v) for v in row] for row in C] == [
        [exact_sum_of_products(A, B, i, j) for j in range(B.shape[1])] for i in range(A.shape[0])]


def test_random_matrices_with_wide_exponent_spread(vexa):
    rng = np.random.default_rng(3)
    A = rng.standard_normal((3, 17)) * 2.0 ** rng.integers(-1040, 980, (3, 17))
    B = rng.standard_normal((17, 4)) * 2.0 ** rng.integers(-1070, 20, (17, 4))
    A[0, :] = random_doubles(40, seed=4)[:17]
    C = vexa.compute_ground_truth(A, B)
    for i in range(3):
        for j in range(4):
            assert Fraction(C[i][j]) == exact_sum_of_products(A, B, i, j), (i, j)


def test_exactness_does_not_depend_on_the_callers_traps(vexa):
    # At 150 digits the 1e300 sum rounds; a trapped Inexact would fire there.
    decimal.getcontext().traps[decimal.Inexact] = True
    C = vexa.compute_ground_truth(np.array([[1e300, 1.0, -1e300]]), np.ones((3, 1)))
    assert C == [[Decimal(1)]]


@pytest.mark.parametrize("A_shape, B_shape, expected", [
    ((2, 0), (0, 3), [[Decimal(0)] * 3] * 2),
    ((0, 2), (2, 3), []),
    ((0, 0), (0, 0), []),
    ((2, 2), (2, 0), [[], []]),
])
def test_empty_dimensions(vexa, A_shape, B_shape, expected):
    C = vexa.compute_ground_truth(np.zeros(A_shape), np.zeros(B_shape))
    assert C == expected
    for row in C:
        for value in row:
            assert value.as_tuple() == (0, (0,), 0)


@pytest.mark.parametrize("before", [28, 400])
def test_precision_is_left_at_150(vexa, before):
    decimal.getcontext().prec = before
    C = vexa.compute_ground_truth(np.ones((2, 2)), np.ones((2, 1)))
    assert type(C) is list and all(type(row) is list for row in C) and type(C[0][0]) is Decimal
    assert decimal.getcontext().prec == 150


@pytest.mark.parametrize("A, B, error, message", [
    (np.zeros((2, 3)), np.zeros((4, 5)), ValueError,
     "Matrix dimension mismatch: A is 2x3, B is 4x5"),
    (np.zeros(3), np.zeros((3, 1)), ValueError, "need more than 1 value to unpack"),
    (np.zeros(()), np.zeros((3, 1)), ValueError, "need more than 0 values to unpack"),
    (np.zeros((1, 3)), np.zeros((4, 5, 6)), ValueError, "too many values to unpack (expected 2)"),
    ([[1.0]], np.zeros((1, 1)), AttributeError, "shape"),
])
def test_bad_operands_raise_and_leave_precision_at_150(vexa, A, B, error, message):
    decimal.getcontext().prec = 33
    with pytest.raises(error) as raised:
        vexa.compute_ground_truth(A, B)
    assert message in str(raised.value)
    assert decimal.getcontext().prec == 150


def test_mismatch_uses_str_of_the_shape_entries(vexa):
    class Shaped:
        def __init__(self, *shape):
            self.shape = shape

    with pytest.raises(ValueError) as raised:
        vexa.compute_ground_truth(Shaped(np.int64(2), 3), Shaped(4.5, "n"))
    assert str(raised.value) == "Matrix dimension mismatch: A is 2x3, B is 4.5xn"


def test_infinity_times_zero_follows_the_callers_traps(vexa):
    A, B = np.array([[np.inf, 1.0]]), np.array([[0.0], [1.0]])
    with pytest.raises(decimal.InvalidOperation):
        vexa.compute_ground_truth(A, B)
    with pytest.raises(decimal.InvalidOperation):
        vexa.compute_ground_truth(np.array([[np.inf, -np.inf]]), np.ones((2, 1)))
    context = decimal.getcontext()
    context.traps[decimal.InvalidOperation] = False
    context.clear_flags()
    C = vexa.compute_ground_truth(A, B)
    assert C[0][0].is_nan()
    assert context.flags[decimal.InvalidOperation]


def test_nan_and_infinity_inputs_carry_through(vexa):
    C = vexa.compute_ground_truth(np.array([[np.nan, 1.0], [np.inf, 2.0]]), np.ones((2, 1)))
    assert C[0][0].is_qnan()
    assert C[1][0] == Decimal("Infinity")


def test_every_element_goes_through_the_D_global(vexa, monkeypatch):
    converted = []

    def counting_D(x):
        converted.append(float(x))
        return Decimal.from_float(float(x))

    monkeypatch.setattr(vexa, "D", counting_D)
    A = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    B = np.array([[7.0, 8.0], [9.0, 10.0], [11.0, 12.0]])
    assert vexa.compute_ground_truth(A, B) == [[58, 64], [139, 154]]
    # A[i, k] then B[k, j] for every term, i, j, k nested in that order.
    assert converted == [x for i in range(2) for j in range(2) for k in range(3)
                         for x in (A[i, k], B[k, j])]


def test_a_D_returning_ints_gets_python_arithmetic(vexa, monkeypatch):
    monkeypatch.setattr(vexa, "D", lambda x: int(x) * 10**30)
    C = vexa.compute_ground_truth(np.array([[1.0, 2.0]]), np.array([[3.0], [4.0]]))
    assert C == [[Decimal(11 * 10**60)]]
    assert type(C[0][0]) is Decimal

