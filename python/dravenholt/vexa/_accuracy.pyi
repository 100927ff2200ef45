import os
import random
from typing import Any, Callable, Iterable, NamedTuple, Optional, Union

import numpy as np
import numpy.typing as npt

__all__ = ["AccuracyPoint", "measure", "plot"]

ZERO_ERROR_FLOOR: float

class AccuracyPoint(NamedTuple):
    target: float
    condition: float
    float64_error: float
    vexa_error: float

def ill_conditioned_dot(
    length: int, condition: float, rng: random.Random
) -> tuple[list[float], list[float]]: ...
def block_operands(
    dots: list[tuple[list[float], list[float]]]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def measure(
    exponents: Iterable[int] = ...,
    samples: int = 8,
    length: int = 32,
    seed: int = 0,
    gemm_pair: Optional[Callable[[Any, Any], tuple[Any, Any]]] = None,
    progress: Optional[Callable[[AccuracyPoint], object]] = None,
) -> list[AccuracyPoint]: ...
def plot(points: list[AccuracyPoint], path: Union[str, os.PathLike[str]]) -> Any: ...
