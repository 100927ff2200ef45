"""Vexa.gemm and Vexa.gemm_decimal: the double-word product folded to float64 or kept exact."""

import decimal
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

# Word pairs (hi, lo) for a 2 x 3 product whose exact sums need far more than 28 digits.
WORDS = [
    (1.0, 2.0**-80),
    (0.1, -0.1 * 2.0**-60),
    (sys.float_info.max, 5e-324),        # the widest exact sum of two doubles: 1383 digits
    (-1e300, 1e-300),
    (1.0 / 3.0, (1.0 / 3.0) * 2.0**-54),
    (2.0**-1022, -(2.0**-1074)),
]
HIGH = [hi for hi, _ in WORDS]
LOW = [lo for _, lo in WORDS]


@pytest.fixture
def scripted(vexa_module, fake_runtime):
    """A Vexa on the fake runtime, which answers every 2 x 3 product with WORDS."""
    fake_runtime.script_outputs(HIGH, LOW)
    return vexa_module.Vexa(fake_runtime.path)


def operands_2x3():
    return np.ones((2, 4)), np.ones((4, 3))


def test_gemm_folds_the_words_in_float64(scripted):
    C = scripted.gemm(*operands_2x3())
    assert C.dtype == np.float64 and C.shape == (2, 3)
    expected = np.array(HIGH).reshape(2, 3) + np.array(LOW).reshape(2, 3)
    assert np.array_equal(C, expected)
    C_hi, C_lo = scripted.gemm_pair(*operands_2x3())
    assert np.array_equal(C, C_hi + C_lo)


def test_gemm_rounds_a_low_word_that_changes_the_last_bit(vexa_module, fake_runtime):
    fake_runtime.script_outputs([1.0], [0.75 * 2.0**-52])
    assert vexa_module.Vexa(fake_runtime.path).gemm(np.ones((1, 1)), np.ones((1, 1)))[0, 0] == \
        1.0 + 2.0**-52


@pytest.mark.parametrize("precision", [28, 150, 5])
def test_gemm_decimal_sums_are_exact_and_leave_the_context_alone(scripted, precision):
    with decimal.localcontext() as context:
        context.prec = precision
        context.rounding = decimal.ROUND_DOWN
        context.clear_flags()
        before = repr(context)
        result = scripted.gemm_decimal(*operands_2x3())
        assert repr(decimal.getcontext()) == before  # flags included
    assert [len(row) for row in result] == [3, 3]
    assert result[0] is not result[1]
    flat = [value for row in result for value in row]
    assert all(type(value) is Decimal for value in flat)
    assert [Fraction(value) for value in flat] == [Fraction(hi) + Fraction(lo) for hi, lo in WORDS]


def test_gemm_decimal_converts_every_word_with_the_module_D(scripted, vexa_module, monkeypatch):
    seen = []
    original_D = vexa_module.D

    def recording_D(x):
        seen.append(float(x))
        return original_D(x)

    monkeypatch.setattr(vexa_module, "D", recording_D)
    scripted.gemm_decimal(*operands_2x3())
    assert seen == [word for pair in WORDS for word in pair]  # hi before lo, row by row

    monkeypatch.setattr(vexa_module, "D", lambda x: Decimal(7))
    assert scripted.gemm_decimal(*operands_2x3()) == [[Decimal(14)] * 3] * 2


@pytest.mark.parametrize("A_shape, B_shape, expected", [
    ((0, 3), (3, 4), []),
    ((3, 2), (2, 0), [[], [], []]),
    ((2, 0), (0, 2), [[Decimal(0)] * 2] * 2),
])
def test_gemm_decimal_empty_shapes(vexa_module, fake_runtime, A_shape, B_shape, expected):
    vexa = vexa_module.Vexa(fake_runtime.path)
    result = vexa.gemm_decimal(np.zeros(A_shape), np.zeros(B_shape))
    assert result == expected
    assert len({id(row) for row in result}) == len(result)
    assert vexa.gemm(np.zeros(A_shape), np.zeros(B_shape)).shape == (A_shape[0], B_shape[1])


@pytest.mark.parametrize("method", ["gemm", "gemm_decimal"])
def test_errors_of_gemm_pair_pass_through(vexa_module, fake_runtime, method):
    vexa = vexa_module.Vexa(fake_runtime.path)
    with pytest.raises(ValueError) as raised:
        getattr(vexa, method)(np.zeros((2, 3)), np.zeros((4, 5)))
    assert raised.value.args == ("Matrix dimension mismatch: A is 2x3, B is 4x5",)
    fake_runtime.set_status(-2)
    with pytest.raises(RuntimeError, match="^Vexa error: -2$"):
        getattr(vexa, method)(np.zeros((2, 3)), np.zeros((3, 5)))


class TestOverriddenGemmPair:
    @staticmethod
    def vexa_returning(vexa_module, fake_runtime, pair):
        class Fixed(vexa_module.Vexa):
            def gemm_pair(self, A, B):
                self.received = (A, B)
                return pair

        return Fixed(fake_runtime.path)

    def test_changes_both_results(self, vexa_module, fake_runtime):
        high, low = np.array([[2.0, 4.0]]), np.array([[2.0**-70, -(2.0**-60)]])
        vexa = self.vexa_returning(vexa_module, fake_runtime, (high, low))
        A, B = object(), object()
        assert np.array_equal(vexa.gemm(A, B), high + low)
        assert vexa.received[0] is A and vexa.received[1] is B
        assert [Fraction(v) for v in vexa.gemm_decimal(A, B)[0]] == [
            Fraction(2) + Fraction(1, 2**70), Fraction(4) - Fraction(1, 2**60)]
        assert fake_runtime.call_count() == 0

    @pytest.mark.parametrize("method", ["gemm", "gemm_decimal"])
    @pytest.mark.parametrize("pair, message", [
        ((1, 2, 3), "too many values to unpack (expected 2)"),
        ((1,), "need more than 1 value to unpack"),
    ])
    def test_result_must_be_a_pair(self, vexa_module, fake_runtime, method, pair, message):
        vexa = self.vexa_returning(vexa_module, fake_runtime, pair)
        with pytest.raises(ValueError) as raised:
            getattr(vexa, method)(None, None)
        assert raised.value.args == (message,)
