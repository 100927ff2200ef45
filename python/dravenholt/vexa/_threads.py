"""The thread count of libvexa's products, for this process."""

import operator
import warnings

from ._runtime import library

__all__ = ["get_num_threads", "set_num_threads"]

def set_num_threads(n):
    """Set the number of threads every later libvexa product uses.

    The setting holds for the whole process and for every caller, the ``Vexa`` class
    included. Products already running keep the count they started with, so it is safe
    to change while other threads are multiplying. Results do not depend on it.

    Parameters
    ----------
    n : int or None
        Threads per product. Counts above 1024 are taken as 1024, with a
        ``RuntimeWarning``. ``0`` or ``None`` returns to the default (see Notes).

    Raises
    ------
    TypeError
        When `n` is neither an integer nor None.
    ValueError
        When `n` is negative.

    See Also
    --------
    get_num_threads : the count in force.
    threadpoolctl.threadpool_limits : limits libvexa together with BLAS and OpenMP.

    Notes
    -----
    The default, before any call and after ``set_num_threads(0)``: ``VEXA_NUM_THREADS``
    when that is a positive integer, else every CPU the process may run on.
    """
    n = 0 if n is None else operator.index(n)
    if n < 0:
        raise ValueError(f"the thread count must be at least 1 (or 0 for the default), got {n}")
    lib = library()
    # libvexa's limit: larger requests are capped, not refused.
    limit = lib.vexa_max_threads()
    if n > limit:
        warnings.warn(f"libvexa runs at most {limit} threads; {n} is taken as {limit}",
                      RuntimeWarning, stacklevel=2)
    lib.vexa_set_num_threads(min(n, limit))


def get_num_threads():
    """The number of threads the next libvexa product will use.

    Returns
    -------
    int
        At least 1: the count last given to `set_num_threads`, else ``VEXA_NUM_THREADS``,
        else the CPUs available to the process.
    """
    return library().vexa_get_num_threads()
