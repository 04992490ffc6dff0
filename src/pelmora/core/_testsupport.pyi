"""Private test support; not a public API."""

from typing import Any

def __getattr__(name: str) -> Any: ...
