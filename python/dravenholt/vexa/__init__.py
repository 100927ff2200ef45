"""dravenholt.vexa: float64 matrix products to about 130 bits, correctly rounded.

The work is done by the extension module :mod:`dravenholt.vexa.vexa` and the native
runtime ``libvexa`` that it loads; this package only re-exports their public names.
"""

from .vexa import D, Vexa, __version__, compute_ground_truth, test, verify_precision

__all__ = ["D", "Vexa", "compute_ground_truth", "test", "verify_precision", "__version__"]
