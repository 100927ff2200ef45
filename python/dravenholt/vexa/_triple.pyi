from typing import overload

import numpy as np
import numpy.typing as npt

__all__ = ["gemm_triple"]

@overload
def gemm_triple(
    A: npt.ArrayLike, B: npt.ArrayLike, residual: type[np.float32] = ...
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float32]]: ...
@overload
def gemm_triple(
    A: npt.ArrayLike, B: npt.ArrayLike, residual: type[np.float64]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
