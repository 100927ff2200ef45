from typing import Literal, NamedTuple, overload

import numpy as np
import numpy.typing as npt

__all__ = ["SolveResult", "residual", "solve"]

class SolveResult(NamedTuple):
    x: npt.NDArray[np.float64]
    sweeps: int
    converged: bool

def residual(a: npt.ArrayLike, x: npt.ArrayLike, b: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
@overload
def solve(
    a: npt.ArrayLike, b: npt.ArrayLike, *, maxiter: int = ..., full_output: Literal[False] = ...
) -> npt.NDArray[np.float64]: ...
@overload
def solve(
    a: npt.ArrayLike, b: npt.ArrayLike, *, maxiter: int = ..., full_output: Literal[True]
) -> SolveResult: ...
@overload
def solve(
    a: npt.ArrayLike, b: npt.ArrayLike, *, maxiter: int = ..., full_output: bool = ...
) -> npt.NDArray[np.float64] | SolveResult: ...
