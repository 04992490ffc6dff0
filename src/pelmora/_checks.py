"""Argument checks for plain numbers, shared by the selection statistics: every message names
the argument."""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np

__all__ = ["count", "real"]


def real(name: str, value: Any) -> float:
    """``value`` as a finite float; a bool, or anything but a real number, is refused."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    out = float(value)
    if not math.isfinite(out):
        raise ValueError(f"{name} must be finite, got {out!r}")
    return out


def count(name: str, value: Any, minimum: int) -> int:
    """``value`` as an int of at least ``minimum``; a bool, or anything but an integer, is
    refused."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    out = int(value)
    if out < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {out}")
    return out

