"""The scratch memory libvexa keeps between products: how much, and giving it back."""

from ._runtime import library

__all__ = ["parked_memory", "release_memory"]


def release_memory():
    """Free at once the scratch memory that libvexa's fast kernels keep between products.

    At most ``VEXA_WORKSPACE_KEEP`` bytes (64 MiB unless set) stay allocated after a
    product so that the next one of a similar size starts faster; later products allocate
    it again as they need it. The library is the one beside the package.

    Raises
    ------
    RuntimeError
        ``"Vexa error: N"`` when the runtime reports a failure.
    """
    status = library().vexa_release_workspace()
    if status != 0:
        raise RuntimeError(f"Vexa error: {status}")


def parked_memory():
    """Bytes of scratch memory libvexa keeps now, and the most it keeps.

    Returns
    -------
    tuple of int
        ``(parked, limit)``: the bytes held now between products (0 after
        `release_memory`), and the largest block kept, ``VEXA_WORKSPACE_KEEP`` when that
        is a number of bytes, else 64 MiB. Larger blocks go back when their product ends.
    """
    lib = library()
    return lib.vexa_workspace_parked_bytes(), lib.vexa_workspace_keep_limit()
