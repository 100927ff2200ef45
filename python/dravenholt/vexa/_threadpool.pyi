from typing import Any, Optional

__all__ = ["register"]

def register() -> Optional[type[Any]]: ...
