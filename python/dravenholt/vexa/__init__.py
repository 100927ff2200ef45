"""dravenholt.vexa: float64 matrix products to about 130 bits, correctly rounded.

The work is done by the extension module :mod:`dravenholt.vexa.vexa` and the native
runtime ``libvexa`` that it loads; this package re-exports their public names and adds
``release_memory``.
"""

from ._memory import release_memory
from .vexa import D, Vexa, __version__, compute_ground_truth, test, verify_precision

__all__ = ["D", "Vexa", "compute_ground_truth", "release_memory", "test", "verify_precision",
           "__version__"]
