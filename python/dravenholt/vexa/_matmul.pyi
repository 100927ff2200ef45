from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["matmul"]

def matmul(a: npt.ArrayLike, b: npt.ArrayLike, /, out: npt.NDArray[Any] | None = None) -> Any: ...
