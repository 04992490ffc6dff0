"""Read access by name to a frozen dataclass's fields, as to a dict of them.

``result.options`` was once a dict of the options; it is now the :class:`BacktestOptions` the
run used, and code written for the dict (``options["fee"]``, ``options.items()``) keeps working.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterator
from typing import Any

__all__ = ["FieldAccess"]


class FieldAccess:
    """``obj[name]``, ``keys()``, ``items()``, ``values()`` and ``get()`` over a dataclass's
    fields, in field order. Not iterable itself, so it is never mistaken for a sequence."""

    __slots__ = ()

    def _names(self) -> Iterator[str]:
        return (f.name for f in dataclasses.fields(self))  # type: ignore[arg-type]

    def __getitem__(self, name: str) -> Any:
        if not isinstance(name, str) or name not in set(self._names()):
            raise KeyError(name)
        return getattr(self, name)

    def keys(self) -> list[str]:
        return list(self._names())

    def values(self) -> list[Any]:
        return [getattr(self, n) for n in self._names()]

    def items(self) -> list[tuple[str, Any]]:
        return [(n, getattr(self, n)) for n in self._names()]

    def get(self, name: str, default: Any = None) -> Any:
        try:
            return self[name]
        except KeyError:
            return default
