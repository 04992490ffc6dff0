"""Argument checks for plain numbers, shared by the selection statistics and the options: every
message names the argument."""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np

from pelmora.core.journal import OPTION_TEXTS

__all__ = ["count", "option_number", "real"]


def option_number(name: str, value: Any, kind: str = "number") -> float:
    """An option's ``value`` as a float: a bool (NumPy's included), or anything but a real number,
    is refused.

    The texts are the journal's (``OPTION_TEXTS``; ``kind`` names the TypeError's, e.g.
    ``"number_or_none"``), so that ``pelmora.backtest`` and ``pelmora.core.journal.run`` refuse
    an option in the same words.
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(OPTION_TEXTS[kind].format(name=name, type=type(value).__name__))
    try:
        return float(value)
    except OverflowError:
        # An int beyond the float range (10**400): its digits may be too many to print.
        raise ValueError(
            OPTION_TEXTS["float_range"].format(name=name, bits=int(value).bit_length())
        ) from None


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

