from typing import Any, Optional

import numpy as np
import numpy.typing as npt

__all__ = ["gemm_triple"]

def gemm_triple(
    A: npt.ArrayLike,
    B: npt.ArrayLike,
    residual: type[np.floating[Any]] = ...,
    *,
    threads: Optional[int] = ...,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.floating[Any]]]: ...
