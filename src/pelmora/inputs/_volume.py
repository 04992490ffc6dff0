"""The shares traded per day and stock, and the options that read them: the room of liquidity.

A run that caps its fills by volume (``max_participation``) or prices their impact (``impact``)
needs the volume of every day and stock it trades, on the rows and columns of the prices. It comes
as the ``volume`` option, as the ``"volume"`` entry of a price mapping, or as the "Volume" field of
a yfinance frame (which :func:`pelmora.frames.price_mapping` turns into that entry). This module
checks the options' values, takes the volume out of the prices, aligns it to the close and checks
its counts, naming the stock and the date. pandas is imported on first call.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Any

import numpy as np

from pelmora._checks import option_number
from pelmora.inputs._prices import Located, aligned, float_matrix
from pelmora.core.journal import OPTION_TEXTS as _TEXTS

__all__ = [
    "VOLUME_KEY",
    "check_liquidity",
    "uses_volume",
    "volume_matrix",
    "without_volume",
]

VOLUME_KEY = "volume"
"""The entry of a price mapping that holds the volume."""


def _fraction(value: Any) -> float | None:
    if value is None:
        return None
    number = option_number("max_participation", value, "number_or_none")
    if not (0.0 < number <= 1.0):
        raise ValueError(_TEXTS["max_participation"].format(value=repr(value)))
    return number


def _coefficient(value: Any) -> float:
    number = option_number("impact", value)
    if not (math.isfinite(number) and number >= 0.0):
        raise ValueError(_TEXTS["impact"].format(value=repr(value)))
    return number


def _window(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(_TEXTS["integer"].format(name="impact_window", type=type(value).__name__))
    if int(value) < 2:
        raise ValueError(_TEXTS["impact_window"].format(value=repr(int(value))))
    if int(value) > 2**31 - 1:
        # Its digits may be too many to print.
        raise ValueError(_TEXTS["impact_window_bits"].format(bits=int(value).bit_length()))
    return int(value)


def _volume(value: Any) -> Any:
    """A frame as given (its values are checked against the prices later), or None."""
    if value is None or hasattr(value, "columns") or type(value).__module__.split(".")[0] in (
        "pyarrow", "polars"
    ):
        return value
    raise TypeError(
        "volume must be a DataFrame of shares traded (dates down, stock ids across) or None, "
        f"got {type(value).__name__}"
    )


def check_liquidity(
    volume: Any, max_participation: Any, impact: Any, impact_window: Any, capital: float | None
) -> dict[str, Any]:
    """The liquidity options checked, by name; used by :class:`pelmora.options.BacktestOptions`.

    Whether a volume is there is known only with the prices (it may be their ``"volume"``
    entry): :func:`volume_matrix`'s caller refuses a cap or an impact without one.

    Raises
    ------
    ValueError, TypeError
        A value out of range or of the wrong kind, or a cap or an impact without a capital.
    """
    checked = {
        "volume": _volume(volume),
        "max_participation": _fraction(max_participation),
        "impact": _coefficient(impact),
        "impact_window": _window(impact_window),
    }
    # Both count shares against the day's volume, and shares need the account in currency.
    for name in ("max_participation", "impact"):
        if checked[name] and capital is None:
            raise ValueError(_TEXTS["volume_capital"].format(name=name))
    return checked


def uses_volume(opts: Any) -> bool:
    """Whether a run with the options ``opts`` reads the volume: a cap or an impact is set."""
    return opts.max_participation is not None or opts.impact > 0.0


def without_volume(prices: Any, volume: Any) -> tuple[Any, Any, str]:
    """The prices without their ``"volume"`` entry, the volume frame, and how messages name it.

    Raises
    ------
    ValueError
        A volume given both as the option and in the prices: one of them would be ignored.
    """
    if not isinstance(prices, Mapping) or VOLUME_KEY not in prices:
        return prices, volume, "volume"
    if volume is not None:
        raise ValueError(
            'volume is given twice, as volume= and as prices["volume"] (or the "Volume" field '
            "of a yfinance frame): give it once"
        )
    rest = {key: frame for key, frame in prices.items() if key != VOLUME_KEY}
    return rest, prices[VOLUME_KEY], f'prices["{VOLUME_KEY}"]'


def volume_matrix(
    frame: Any, close: Any, stocks: Any, used: np.ndarray, where: Located, what: str
) -> np.ndarray:
    """The volume on the rows and columns of the close, as float64, its counts checked.

    Days the frame lacks are NaN (no volume: nothing fills that day); a stock of the weights the
    frame lacks is refused, as it would never fill. Counts must be finite and 0 or more in the
    columns the weights use.

    Raises
    ------
    TypeError
        Not a DataFrame, or values that are not numbers.
    ValueError
        A stock of the weights missing, no date in common with the close, a negative or
        infinite count (named with its stock and date).
    """
    from pelmora._optional import import_optional

    pd = import_optional("pandas", caller="pelmora.backtest")
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{what} must be a DataFrame, got {type(frame).__name__}")
    matrix = float_matrix(aligned(frame, close, what, stocks), what)
    with np.errstate(invalid="ignore"):
        bad = ~(np.isnan(matrix) | ((matrix >= 0.0) & (matrix < math.inf)))
    bad &= used[None, :]
    if bad.any():
        row, col = (int(x[0]) for x in np.nonzero(bad))
        value = float(matrix[row, col])
        raise ValueError(
            f"{what} of {where.cell(row, col)} is {value!r}: shares traded must be finite and 0 "
            "or more (NaN: no volume that day)"
        )
    return matrix
