"""A progress line for long work when tqdm is not installed.

It speaks the part of tqdm's interface the sweep uses (``update``, ``set_postfix``, ``close``)
and writes one line to stderr, redrawn in place at most a few times a second, so a sweep on a
machine without tqdm still says how far it is.
"""

from __future__ import annotations

import sys
import time
from typing import Any, TextIO

__all__ = ["TextProgress"]


class TextProgress:
    """``desc: done/total unit (pct) [key=value ...]`` on one line of ``file``."""

    def __init__(
        self, total: int, desc: str, unit: str, file: TextIO | None = None, interval: float = 0.2
    ) -> None:
        self.total, self.desc, self.unit = total, desc, unit
        self.n = 0
        self.postfix: dict[str, Any] = {}
        self._file = file if file is not None else sys.stderr
        self._interval = interval
        self._shown = -float("inf")
        self._start = time.monotonic()

    def update(self, n: int = 1) -> None:
        self.n += n
        now = time.monotonic()
        if now - self._shown >= self._interval or self.n >= self.total:
            self._shown = now
            self._draw(end="")

    def set_postfix(self, refresh: bool = True, **values: Any) -> None:
        self.postfix.update(values)
        if refresh:
            self._draw(end="")

    def close(self) -> None:
        self._draw(end="\n")

    def line(self) -> str:
        """The text of the line as it stands."""
        pct = f" ({100.0 * self.n / self.total:.0f}%)" if self.total else ""
        rate = self.n / max(time.monotonic() - self._start, 1e-9)
        extra = "".join(f" {k}={v}" for k, v in self.postfix.items())
        return f"{self.desc}: {self.n}/{self.total} {self.unit}s{pct}, {rate:.1f} {self.unit}/s{extra}"

    def _draw(self, end: str) -> None:
        try:
            self._file.write("\r" + self.line() + end)
            self._file.flush()
        except (OSError, ValueError):  # a closed or broken stream: the work goes on without it
            pass
