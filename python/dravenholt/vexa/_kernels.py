"""What libvexa was built with and what this CPU lets it run."""

from typing import NamedTuple

from ._runtime import library

__all__ = ["KernelInfo", "cpu_features", "kernels", "runtime_version"]


class KernelInfo(NamedTuple):
    """One compiled kernel of libvexa.

    Attributes
    ----------
    name : str
        The kernel's name, as ``VEXA_KERNEL`` spells it.
    supported : bool
        Whether this CPU and operating system can run it. The GPU kernel ``"cuda"`` counts
        as supported only when ``VEXA_KERNEL=cuda`` asks for it and libvexa_cuda.so opens a
        CUDA device; it is never chosen unasked.
    active : bool
        Whether products use it.
    """

    name: str
    supported: bool
    active: bool


def kernels():
    """The kernels compiled into libvexa, fastest first.

    Every kernel returns the same bits; they differ only in speed. The last one, the
    exact core ``"scalar"``, runs everywhere.

    Returns
    -------
    list of KernelInfo
        In priority order; exactly one is active.

    Examples
    --------
    >>> from dravenholt.vexa import kernels
    >>> [k.name for k in kernels()][-1]
    'scalar'
    """
    lib = library()
    active = lib.vexa_kernel_active()
    return [KernelInfo(lib.vexa_kernel_name(i).decode(), lib.vexa_kernel_supported(i) == 1,
                       i == active)
            for i in range(lib.vexa_kernel_count())]


def cpu_features():
    """The instruction set features of this CPU and OS that libvexa looks for.

    Returns
    -------
    list of str
        Lower-case names such as ``"avx2"`` or ``"avx512_vnni"``, oldest first.
    """
    return library().vexa_cpu_features().decode().split()


def runtime_version():
    """libvexa's version text, with the kernel in use, e.g. ``"2.0.0 (kernel: scalar)"``."""
    return library().vexa_version().decode()
