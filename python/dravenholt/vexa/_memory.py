"""release_memory(): give back the scratch memory libvexa keeps between products."""

from ._runtime import library


def release_memory():
    """Free at once the scratch memory that libvexa's fast kernels keep between products.

    At most ``VEXA_WORKSPACE_KEEP`` bytes (512 MiB unless set) stay allocated after a
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
