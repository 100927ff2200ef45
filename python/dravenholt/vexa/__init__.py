"""dravenholt.vexa: float64 matrix products to about 130 bits, correctly rounded.

The work is done by the extension module :mod:`dravenholt.vexa.vexa` and the native
runtime ``libvexa`` that it loads; this package re-exports their public names and adds
the functions that reach libvexa directly: ``matmul`` (numpy's rules, correctly
rounded), all three words of a product, the thread count, the kernel list, and
``release_memory``.
"""

# The extension module first: it refuses a second interpreter before anything else loads.
from .vexa import D, Vexa, __version__, compute_ground_truth, test, verify_precision

from ._kernels import KernelInfo, kernels
from ._matmul import matmul
from ._memory import parked_memory, release_memory
from ._solve import SolveResult, residual, solve
from ._threadpool import register as _register_with_threadpoolctl
from ._threads import get_num_threads, set_num_threads
from ._triple import gemm_triple

__all__ = ["D", "Vexa", "compute_ground_truth", "test", "verify_precision", "__version__",
           "KernelInfo", "SolveResult", "gemm_triple", "get_num_threads", "kernels", "matmul",
           "parked_memory", "release_memory", "residual", "set_num_threads", "solve"]

_register_with_threadpoolctl()
