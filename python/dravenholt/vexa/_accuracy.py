"""Accuracy against condition number: float64 ``A @ B`` next to ``gemm_pair``.

Every element of the measured products is a dot product built to have a chosen condition
number ``sum|a*b| / |sum a*b|``, after Ogita, Rump and Oishi's GenDot: half the terms
spread over a wide exponent range, the other half chosen to cancel the running sum. The
exact value comes from ``fractions.Fraction``, so the errors are measured, not estimated.
"""

import math
import random
from fractions import Fraction
from typing import NamedTuple

import numpy as np

__all__ = ["AccuracyPoint", "measure", "plot"]

# Where an error is exactly zero, the picture draws it here (a log axis has no zero).
ZERO_ERROR_FLOOR = 1e-40


class AccuracyPoint(NamedTuple):
    """The errors measured at one target condition number.

    Attributes
    ----------
    target : float
        The condition number the dot products were built for.
    condition : float
        The median of their exact condition numbers.
    float64_error : float
        The largest relative error of float64 ``A @ B``.
    vexa_error : float
        The largest relative error of ``C_hi + C_lo`` from ``gemm_pair``, summed exactly.
    """

    target: float
    condition: float
    float64_error: float
    vexa_error: float


def ill_conditioned_dot(length, condition, rng):
    """Two float lists whose dot product has about the given condition number."""
    length -= 1  # the tail term comes last
    half = length // 2
    bits = math.log2(condition)
    exponents = [round(rng.random() * bits / 2) for _ in range(half)]
    exponents[0] = round(bits / 2) + 1
    exponents[-1] = 0
    x = [(2 * rng.random() - 1) * 2.0 ** e for e in exponents]
    y = [(2 * rng.random() - 1) * 2.0 ** e for e in exponents]
    partial = sum((Fraction(a) * Fraction(b) for a, b in zip(x, y)), Fraction(0))
    for i in range(half, length):
        e = round(bits / 2 * (1 - (i - half) / (length - half)))
        a = (2 * rng.random() - 1) * 2.0 ** e
        b = ((2 * rng.random() - 1) * 2.0 ** e - float(partial)) / a
        x.append(a)
        y.append(b)
        partial += Fraction(a) * Fraction(b)
    # The sum is about 1; this product is about 2^-54, and its last bit about 2^-160.
    x.append((1 + rng.random()) * 2.0 ** -27)
    y.append((1 + rng.random()) * 2.0 ** -27)
    order = list(range(length + 1))
    rng.shuffle(order)
    return [x[i] for i in order], [y[i] for i in order]


def block_operands(dots):
    """A (S x S*K) and B (S*K x 1) whose product's element s is the s-th dot product.

    Row s of A holds x_s in its own K columns and zeros elsewhere; the zeros add nothing,
    exactly, so every element is exactly one of the built dot products.
    """
    count, length = len(dots), len(dots[0][0])
    A = np.zeros((count, count * length))
    B = np.empty((count * length, 1))
    for s, (x, y) in enumerate(dots):
        A[s, s * length:(s + 1) * length] = x
        B[s * length:(s + 1) * length, 0] = y
    return A, B


def relative_error(approximation, exact):
    if exact == 0:
        return 0.0 if approximation == 0 else math.inf
    return float(abs(approximation - exact) / abs(exact))


def measure_point(condition, samples, length, rng, gemm_pair):
    dots = [ill_conditioned_dot(length, condition, rng) for _ in range(samples)]
    A, B = block_operands(dots)
    plain = A @ B
    C_hi, C_lo = gemm_pair(A, B)
    conditions, plain_errors, vexa_errors = [], [], []
    for s, (x, y) in enumerate(dots):
        terms = [Fraction(a) * Fraction(b) for a, b in zip(x, y)]
        exact = sum(terms, Fraction(0))
        magnitude = sum((abs(t) for t in terms), Fraction(0))
        conditions.append(float(magnitude / abs(exact)) if exact else math.inf)
        plain_errors.append(relative_error(Fraction(float(plain[s, 0])), exact))
        vexa_errors.append(relative_error(Fraction(float(C_hi[s, 0])) +
                                          Fraction(float(C_lo[s, 0])), exact))
    return AccuracyPoint(condition, float(np.median(conditions)), max(plain_errors),
                         max(vexa_errors))


def measure(exponents=range(0, 61, 2), samples=8, length=32, seed=0, gemm_pair=None,
            progress=None):
    """Largest relative errors of float64 and of ``gemm_pair`` per condition number.

    Parameters
    ----------
    exponents : iterable of int
        Target condition numbers as powers of ten; by default 1e0, 1e2, ..., 1e60.
    samples : int
        Dot products per target, each one element of the product.
    length : int
        Terms per dot product (K), at least 3.
    seed : int
        Seed of the generator that builds the operands.
    gemm_pair : callable, optional
        ``gemm_pair(A, B) -> (C_hi, C_lo)``; by default ``Vexa().gemm_pair``.
    progress : callable, optional
        Called with each point as it is measured.

    Returns
    -------
    list of AccuracyPoint
    """
    if gemm_pair is None:
        from .vexa import Vexa

        gemm_pair = Vexa().gemm_pair
    rng = random.Random(seed)
    points = []
    for exponent in exponents:
        point = measure_point(10.0 ** exponent, samples, length, rng, gemm_pair)
        points.append(point)
        if progress is not None:
            progress(point)
    return points


def plot(points, path):
    """Draw the errors against condition number into a PNG file.

    Parameters
    ----------
    points : list of AccuracyPoint
        As `measure` returns them.
    path : str or os.PathLike
        The PNG file to write.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn (closed by then): its axes hold the float64 line first, then the
        Vexa line, with the measured condition numbers as x data.

    Raises
    ------
    ImportError
        When matplotlib is not installed (the ``plot`` extra).
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    conditions = [p.condition for p in points]
    floor = lambda values: [max(v, ZERO_ERROR_FLOOR) for v in values]  # noqa: E731
    figure, axes = plt.subplots(figsize=(7, 4.5), dpi=120)
    axes.loglog(conditions, floor(p.float64_error for p in points), "o-", color="tab:red",
                label="float64 A @ B")
    axes.loglog(conditions, floor(p.vexa_error for p in points), "s-", color="tab:blue",
                label="Vexa gemm_pair (C_hi + C_lo)")
    axes.loglog(conditions, [c * 2.0 ** -53 for c in conditions], ":", color="gray",
                label="condition × 2⁻⁵³")
    axes.axhline(2.0 ** -106, linestyle="--", color="tab:blue", linewidth=0.8,
                 label="2⁻¹⁰⁶")
    axes.set_xlim(min([1.0, *conditions]), max([1e60, *conditions]))
    axes.set_xlabel("condition number  Σ|aᵢbᵢ| / |Σaᵢbᵢ|")
    axes.set_ylabel("maximum relative error")
    axes.set_title("Accuracy of C = A·B against an exact rational reference")
    axes.grid(True, which="major", alpha=0.3)
    axes.legend(loc="upper left", fontsize="small")
    figure.tight_layout()
    figure.savefig(path, format="png")
    plt.close(figure)
    return figure
