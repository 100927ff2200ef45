from typing import NamedTuple

__all__ = ["KernelInfo", "cpu_features", "kernels", "runtime_version"]

class KernelInfo(NamedTuple):
    name: str
    supported: bool
    active: bool

def kernels() -> list[KernelInfo]: ...
def cpu_features() -> list[str]: ...
def runtime_version() -> str: ...
