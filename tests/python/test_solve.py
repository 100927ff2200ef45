"""residual and solve against exact rational arithmetic, bit for bit."""

import warnings
from fractions import Fraction

import numpy as np
import pytest

import dravenholt.vexa as vx
from dravenholt.vexa import _solve


def exact_solve(a, b):
    """Gauss-Jordan elimination in Fractions; the columns of b solved at once."""
    n = a.shape[0]
    rows = [[Fraction(float(v)) for v in a[i]] + [Fraction(float(v)) for v in b[i]]
            for i in range(n)]
    for k in range(n):
        pivot = next(i for i in range(k, n) if rows[i][k] != 0)
        rows[k], rows[pivot] = rows[pivot], rows[k]
        for i in range(n):
            if i != k and rows[i][k] != 0:
                factor = rows[i][k] / rows[k][k]
                rows[i] = [x - factor * y for x, y in zip(rows[i], rows[k])]
    return np.array([[float(v / rows[i][i]) for v in rows[i][n:]] for i in range(n)])


def conditioned(n, condition, seed):
    rng = np.random.default_rng(seed)
    u, _ = np.linalg.qr(rng.standard_normal((n, n)))
    v, _ = np.linalg.qr(rng.standard_normal((n, n)))
    return (u * np.logspace(0, -np.log10(condition), n)) @ v.T, rng


def hilbert(n):
    return 1.0 / (np.arange(1, n + 1)[:, None] + np.arange(n))


@pytest.fixture(params=["scipy", "numpy"])
def backend(request, monkeypatch):
    if request.param == "scipy":
        pytest.importorskip("scipy.linalg", reason="SciPy is not installed")
    else:
        monkeypatch.setattr(_solve, "_scipy_linalg", None)
        monkeypatch.setattr(_solve, "_scipy_lapack", None)
    return request.param


@pytest.mark.parametrize("condition", [1e4, 1e8, 1e10, 1e12])
@pytest.mark.parametrize("n,k,seed", [(5, 1, 1), (8, 3, 2), (12, 2, 3)])
def test_random_systems_give_the_correctly_rounded_solution(backend, condition, n, k, seed):
    a, rng = conditioned(n, condition, seed)
    b = rng.standard_normal((n, k))
    result = vx.solve(a, b, full_output=True)
    assert result.converged and result.sweeps >= 1
    assert result.x.tobytes() == exact_solve(a, b).tobytes()


@pytest.mark.parametrize("n", [4, 7, 10])
def test_hilbert_systems_vector_right_hand_side(backend, n):
    b = np.arange(1.0, n + 1)
    x = vx.solve(hilbert(n), b)
    assert x.shape == (n,) and x.tobytes() == exact_solve(hilbert(n), b[:, None])[:, 0].tobytes()


def test_stacks_broadcast_as_numpy_does():
    a = np.stack([hilbert(6), conditioned(6, 1e9, 4)[0]])
    b = np.arange(6.0)
    expected = np.stack([exact_solve(m, b[:, None])[:, 0] for m in a])
    assert vx.solve(a, b).tobytes() == expected.tobytes()
    assert vx.solve(a, b[None, :, None])[..., 0].tobytes() == expected.tobytes()


def test_an_exact_solution_is_found_and_kept():
    a = np.array([[2.0, 1.0], [1.0, 3.0]])
    result = vx.solve(a, a @ np.array([0.5, -0.25]), full_output=True)
    assert result.converged and result.x.tolist() == [0.5, -0.25]


@pytest.mark.parametrize("a", [[[1.0, 2.0], [2.0, 4.0]], np.zeros((3, 3)),
                               [[1.0, 1.0, 0.0], [1.0, 1.0, 0.0], [0.0, 0.0, 1.0]]])
def test_singular_matrices_raise(backend, a):
    with pytest.raises(np.linalg.LinAlgError):
        vx.solve(a, np.ones(len(a)))


@pytest.mark.parametrize("n", [13, 15])
def test_hopeless_systems_warn_and_return_the_best_iterate(n):
    scipy_linalg = pytest.importorskip("scipy.linalg", reason="compares with SciPy's LU")
    a, b = hilbert(n), np.ones(n)
    with pytest.warns(RuntimeWarning, match="did not prove"):
        result = vx.solve(a, b, full_output=True)
    assert not result.converged and result.sweeps == 10
    exact = exact_solve(a, b[:, None])[:, 0]
    lu_solution = scipy_linalg.lu_solve(scipy_linalg.lu_factor(a), b)
    assert np.abs(result.x - exact).max() <= np.abs(lu_solution - exact).max()
    with pytest.warns(RuntimeWarning):
        assert vx.solve(a, b, maxiter=0).tobytes() == lu_solution.tobytes()


@pytest.mark.parametrize("call,error", [
    (lambda: vx.solve(np.ones((2, 3)), np.ones(2)), np.linalg.LinAlgError),
    (lambda: vx.solve(np.ones(3), np.ones(3)), np.linalg.LinAlgError),
    (lambda: vx.solve(np.eye(3), np.ones(2)), ValueError),
    (lambda: vx.solve(np.eye(3), np.ones((2, 3, 1))[:, :2]), ValueError),
    (lambda: vx.solve(np.ones((2, 3, 3)), np.ones((4, 3, 1))), ValueError),
    (lambda: vx.solve(np.eye(2), [np.nan, 1.0]), ValueError),
    (lambda: vx.solve(np.eye(2), np.ones(2), maxiter=-1), ValueError),
    (lambda: vx.solve(np.eye(2) * 1j, np.ones(2)), TypeError),
    (lambda: vx.residual(np.ones((2, 3)), np.ones(2), np.ones(2)), ValueError),
    (lambda: vx.residual(np.ones((2, 3)), np.ones(3), np.ones(3)), ValueError),
    (lambda: vx.residual(np.ones((2, 3)), np.ones((3, 2)), np.ones(2)), ValueError),
    (lambda: vx.residual(np.ones((2, 3)), np.ones((3, 2)), np.ones((2, 1))), ValueError),
    (lambda: vx.residual(np.ones(3), np.ones(3), np.ones(1)), ValueError),
])
def test_bad_arguments_raise(call, error):
    with pytest.raises(error):
        call()


def exact_residual(a, x, b):
    def element(i, j):
        products = (Fraction(float(a[i, l])) * Fraction(float(x[l, j])) for l in range(a.shape[1]))
        return float(Fraction(float(b[i, j])) - sum(products))
    return [[element(i, j) for j in range(b.shape[1])] for i in range(a.shape[0])]


@pytest.mark.parametrize("m,n,k", [(5, 3, 1), (4, 4, 3), (3, 2, 5)])
def test_residual_is_correctly_rounded(m, n, k):
    rng = np.random.default_rng(m * 100 + k)
    a = rng.standard_normal((m, n)) * 2.0 ** rng.integers(-40, 40, (m, n))
    x = rng.standard_normal((n, k))
    b = a @ x  # cancels to a few ulps: float64 b - a @ x is mostly noise here
    expected = np.array(exact_residual(a, x, b))
    assert vx.residual(a, x, b).tobytes() == expected.tobytes()
    assert vx.residual(a, x[:, 0], b[:, 0]).tobytes() == expected[:, 0].tobytes()


def test_empty_systems():
    assert vx.solve(np.zeros((0, 0)), np.zeros(0)).shape == (0,)
    assert vx.solve(np.eye(3), np.zeros((3, 0))).shape == (3, 0)
