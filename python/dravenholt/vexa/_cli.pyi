import argparse
from typing import Optional, Sequence

__all__ = ["build_parser", "main"]

DESCRIPTION: str

def build_parser() -> argparse.ArgumentParser: ...
def main(argv: Optional[Sequence[str]] = None) -> int: ...
