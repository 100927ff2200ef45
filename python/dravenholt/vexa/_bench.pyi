from typing import Callable, Iterable, NamedTuple, Optional

__all__ = ["BenchRow", "best_time", "measure"]

class BenchRow(NamedTuple):
    n: int
    numpy_seconds: float
    vexa_seconds: float
    @property
    def ratio(self) -> float: ...

def best_time(function: Callable[[], object], repeat: int) -> float: ...
def measure(
    sizes: Iterable[int],
    repeat: int = 3,
    seed: int = 0,
    on_start: Optional[Callable[[int, int], object]] = None,
    on_done: Optional[Callable[[BenchRow], object]] = None,
) -> list[BenchRow]: ...
