"""test(): the self-test's output line by line, against stand-in runtimes and the real one."""

import decimal
import math
import os
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest

TITLE = ["Vexa Quick Test", "=" * 50]


@pytest.fixture
def pin_runtime(vexa, monkeypatch):
    def pin(path):
        class Pinned(vexa.Vexa):
            def __init__(self, dll_path=None):
                super().__init__(path if dll_path is None else dll_path)

        monkeypatch.setattr(vexa, "Vexa", Pinned)

    return pin


def expected_example_lines(seed, exact_words):
    """The three element lines for the 4x4 example drawn after np.random.seed(seed)."""
    np.random.seed(seed)
    A = np.random.randn(4, 4)
    B = np.random.randn(4, 4)
    if exact_words:
        truth = sum(Fraction(float(A[0, k])) * Fraction(float(B[k, 0])) for k in range(4))
        hi = float(truth)
        lo = float(truth - Fraction(hi))
    else:
        hi = 0.0
        for k in range(4):  # the fake's loop, rounding after every addition (sum() may not)
            hi += float(A[0, k]) * float(B[k, 0])
        lo = 0.0
    return [f"  C_hi[0,0] = {hi:.16e}", f"  C_lo[0,0] = {lo:.16e}",
            f"  |C_lo/C_hi| = {abs(lo / hi):.2e}"]


def own_report(vexa, capsys):
    """verify_precision(K=64) called on its own: the lines it prints and its report."""
    report = vexa.verify_precision(K=64)
    return capsys.readouterr().out.splitlines(), report


def test_success_output_line_by_line(vexa, pin_runtime, yardstick_runtimes, capsys):
    pin_runtime(yardstick_runtimes.exact)
    report, _ = own_report(vexa, capsys)
    np.random.seed(2024)
    assert vexa.test() is None
    assert capsys.readouterr().out.splitlines() == [
        *TITLE,
        "Version: fake-exact 1.0",
        "Test GEMM: 4x4 @ 4x4",
        *expected_example_lines(2024, exact_words=True),
        "",
        *report,
        "",
        "Vexa working correctly!",
    ]
    assert report[0] == "Vexa Precision Verification (K=64):"
    assert decimal.getcontext().prec == 150


def test_float64_runtime_fails_after_printing_the_report(vexa, pin_runtime, yardstick_runtimes,
                                                         capsys):
    pin_runtime(yardstick_runtimes.float64)
    report, figures = own_report(vexa, capsys)
    measured = figures["vexa_max_error"]

    np.random.seed(5)
    with pytest.raises(RuntimeError) as raised:
        vexa.test()
    assert str(measured) in str(raised.value)
    assert capsys.readouterr().out.splitlines() == [
        *TITLE,
        "Version: fake-float64 1.0",
        "Test GEMM: 4x4 @ 4x4",
        *expected_example_lines(5, exact_words=False),
        "",
        *report,
    ]


@pytest.mark.parametrize("error, passes", [
    (0.0, True), (1e-28, True), (9.99e-29, True), (math.nextafter(1e-28, 1.0), False),
    (float("nan"), False), (float("inf"), False), (2e-16, False)])
def test_verdict_threshold(vexa, pin_runtime, yardstick_runtimes, monkeypatch, capsys, error,
                           passes):
    pin_runtime(yardstick_runtimes.exact)
    seen = []

    def stub_report(*args, **kwargs):
        seen.append((args, kwargs))
        return {"vexa_max_error": error}

    monkeypatch.setattr(vexa, "verify_precision", stub_report)
    if passes:
        vexa.test()
        assert capsys.readouterr().out.splitlines()[-3:] == ["", "", "Vexa working correctly!"]
    else:
        with pytest.raises(RuntimeError) as raised:
            vexa.test()
        assert str(error) in str(raised.value)
        assert capsys.readouterr().out.splitlines()[-1] == ""
    assert seen == [((), {"K": 64})]


def test_missing_runtime_prints_title_and_rule_only(vexa, monkeypatch, capsys):
    def no_library():
        raise FileNotFoundError("no runtime")

    monkeypatch.setattr(vexa, "Vexa", no_library)
    with pytest.raises(FileNotFoundError, match="no runtime"):
        vexa.test()
    assert capsys.readouterr().out.splitlines() == TITLE


def test_unbound_verify_precision_raises_nameerror(vexa, pin_runtime, yardstick_runtimes,
                                                   monkeypatch, capsys):
    pin_runtime(yardstick_runtimes.exact)
    monkeypatch.delattr(vexa, "verify_precision")
    with pytest.raises(NameError, match="verify_precision"):
        vexa.test()
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 8 and lines[3] == "Test GEMM: 4x4 @ 4x4" and lines[-1] == ""


@pytest.mark.parametrize("call", [lambda f: f(1), lambda f: f(x=1), lambda f: f(1, K=2)])
def test_arguments_are_refused_before_anything_prints(vexa, call, capsys):
    with pytest.raises(TypeError):
        call(vexa.test)
    assert capsys.readouterr().out == ""


def test_python_dash_m_runs_the_self_test_with_the_real_runtime(vexa):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    completed = subprocess.run([sys.executable, "-m", "dravenholt.vexa"], env=env,
                               capture_output=True, text=True, timeout=300)
    lines = completed.stdout.splitlines()
    assert lines[:2] == TITLE
    assert lines[2].startswith("Version: ")
    assert lines[3] == "Test GEMM: 4x4 @ 4x4"
    assert lines[7:9] == ["", "Vexa Precision Verification (K=64):"]
    assert completed.returncode == 0, completed.stderr
    assert lines[12:14] == ["", "Vexa working correctly!"]
    # The demo after the self-test: float64 loses the sum to cancellation, Vexa does not.
    assert lines[-1] == "  Vexa    C_hi  = 4.0, C_lo = 0.0"
