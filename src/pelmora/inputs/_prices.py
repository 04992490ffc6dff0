"""The price frames of a run: which frame is which field, their alignment to the close, and the
checks of their values.

A price is there (positive, finite, in a range whose products and ratios stay finite) or missing
(NaN: a suspension); a frame lines up with the close or is refused, naming the frame and the
stock. pandas is imported on first call, not when this module is imported.
"""

from __future__ import annotations

import math
import numbers
import warnings
from collections.abc import Mapping
from typing import Any

import numpy as np

from pelmora.inputs._dates import when
from pelmora._optional import import_optional
from pelmora.core.journal import _price_fault

__all__ = [
    "MODERATE",
    "PRICE_FIELDS",
    "PRICE_RANGE",
    "Located",
    "aligned",
    "check_labels",
    "check_priced",
    "check_prices",
    "float64_values",
    "float_matrix",
    "price_frames",
    "without_empty_rows",
]

PRICE_FIELDS = ("open", "high", "low", "close")
"""Keys of a price mapping; ``"trade"`` may be added for an explicit trading price."""


def _pandas() -> Any:
    return import_optional("pandas", caller="pelmora.backtest")


def check_labels(columns: Any, what: str) -> None:
    pd = _pandas()
    # An Index keeps whether it holds a missing label (``hasnans``, by the same test as pd.isna
    # below), so a frame checked again costs nothing; a MultiIndex's labels are tuples, never
    # missing, but it has no ``hasnans`` of its own.
    plain = isinstance(columns, pd.Index) and not isinstance(columns, pd.MultiIndex)
    if plain and not columns.hasnans:
        missing = None
    else:
        missing = pd.isna(np.asarray(columns, dtype=object))
    if missing is not None and missing.any():
        k = int(np.flatnonzero(missing)[0])
        raise ValueError(
            f"{what} has a missing stock id (None or NaN) in column {k}; stock ids must be labels"
        )
    if not columns.is_unique:
        dup = columns[columns.duplicated()][0]
        raise ValueError(f"{what} has duplicate stock ids, first {dup!r}")




def _check_numeric(frame: Any, what: str) -> None:
    """Refuse columns that are not numbers: pandas would turn dates into nanoseconds, durations
    into nanoseconds and text such as "10.5" into 10.5 without a word."""
    pd = _pandas()
    for col, dtype in enumerate(frame.dtypes):
        if dtype == np.float64:
            continue
        stock = frame.columns[col]
        if pd.api.types.is_bool_dtype(dtype):
            if what == "weights":
                continue  # True is 1.0: a boolean column among weights holds that weight
        elif dtype == object:
            column = frame.iloc[:, col]
            kind = pd.api.types.infer_dtype(column, skipna=True)
            if kind in ("integer", "floating", "mixed-integer-float", "decimal", "empty"):
                continue
            for row, value in enumerate(column.to_numpy()):
                if isinstance(value, (bool, np.bool_)) or not (
                    isinstance(value, numbers.Real) or pd.isna(value)
                ):
                    raise TypeError(
                        f"{what} must hold numbers: {stock!r} on {when(frame.index[row])} is "
                        f"{value!r} ({type(value).__name__})"
                    )
            continue
        elif pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype):
            continue
        raise TypeError(f"{what} must hold numbers: the column of {stock!r} holds {dtype} values")


def float64_values(frame: Any) -> np.ndarray | None:
    """The frame's values when pandas gives them as float64 (a view of one float64 block; numbers
    of other real dtypes mixed with float64 come converted), else None.

    Asking for the values is cheaper than asking for the dtypes: ``frame.dtypes`` builds a Series
    over every column, and a frame whose values are not float64 is looked at closer anyway (it
    pays for one conversion more, a rare case: prices and weights come as float64).
    """
    try:
        values: np.ndarray = frame.to_numpy(copy=False)
    except (TypeError, ValueError):
        return None  # values pandas cannot put in one array: looked at closer, and named
    return values if values.dtype == np.float64 else None


def float_matrix(frame: Any, what: str) -> np.ndarray:
    """A float64 2-D array of a DataFrame's values; a view when the frame already holds float64."""
    values = float64_values(frame)
    if values is not None:
        return values
    _check_numeric(frame, what)
    try:
        values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} must hold numbers: {exc}") from exc
    return values


def price_frames(
    prices: Any, trade_at: str | None, intraday_stops: bool
) -> tuple[Any, dict[str, Any], dict[str, str]]:
    """The close frame, the trade/high/low/open frames, and the fields the engine reads from the
    user's frames (engine name to the user's field: the trading price may be "trade", "open" or
    "close")."""
    pd = _pandas()
    if isinstance(prices, pd.DataFrame):
        if intraday_stops:
            raise ValueError(
                "intraday_stops needs open, high and low prices: pass prices as a mapping with "
                '"open", "high", "low" and "close" DataFrames'
            )
        if trade_at == "open":
            raise ValueError(
                'trade_at="open" needs open prices: pass prices as a mapping with "open" and '
                '"close" DataFrames'
            )
        frames = {"trade": prices, "high": prices, "low": prices, "open": prices}
        return prices, frames, {"trade": "close", "close": "close"}
    if not isinstance(prices, Mapping):
        raise TypeError(
            "prices must be a DataFrame or a mapping of DataFrames, "
            f"got {type(prices).__name__}"
        )
    unknown = sorted(set(prices) - set(PRICE_FIELDS) - {"trade"}, key=str)
    if unknown:
        raise ValueError(
            f"unknown price fields {unknown}; expected some of {list(PRICE_FIELDS) + ['trade']}"
        )
    if "close" not in prices:
        raise ValueError('prices must have "close" prices')
    close = prices["close"]
    if not isinstance(close, pd.DataFrame):
        raise TypeError(f'prices["close"] must be a DataFrame, got {type(close).__name__}')
    if intraday_stops:
        missing = [k for k in ("open", "high", "low") if k not in prices]
        if missing:
            raise ValueError(
                "intraday_stops needs open, high and low prices; prices has no "
                + ", ".join(f'"{k}"' for k in missing)
            )
    if trade_at == "open" and "open" not in prices:
        raise ValueError('trade_at="open" needs "open" prices')
    trade_key = trade_at if trade_at is not None else ("trade" if "trade" in prices else "close")
    frames = {"trade": prices[trade_key]}
    # The engine reads high/low/open only for intraday stops; without them the close stands in.
    for key in ("high", "low", "open"):
        frames[key] = prices[key] if key in prices else close
    for key, frame in frames.items():
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f'prices["{key}"] must be a DataFrame, got {type(frame).__name__}')
    read = {"trade": trade_key, "close": "close"}
    if intraday_stops:
        read.update(open="open", high="high", low="low")
    return close, frames, read


def aligned(frame: Any, close: Any, what: str, stocks: Any) -> Any:
    """``frame`` on the dates and stocks of ``close``; the frame itself when it already matches.

    A frame without a date of the close, or without a stock of the weights, would come out of
    the alignment as a column of NaN: a suspension that lasts the whole run, the holding frozen
    at its entry value. Both are refused, naming the frame and the stock.
    """
    if frame is close:
        return frame
    if frame.index.equals(close.index) and frame.columns.equals(close.columns):
        return frame
    check_labels(frame.columns, what)
    absent = stocks[~stocks.isin(frame.columns)]
    if len(absent):
        more = f" (and {len(absent) - 1} more)" if len(absent) > 1 else ""
        raise ValueError(
            f"{what} has no column for {absent[0]!r}{more}, which weights hold; every price "
            'frame needs the stocks of the weights'
        )
    if len(close.index) and not close.index.isin(frame.index).any():
        shown = (
            f"its dates run from {when(frame.index[0])} to {when(frame.index[-1])}"
            if len(frame.index) else "it has no rows"
        )
        raise ValueError(
            f'{what} shares no date with prices["close"] ({when(close.index[0])} to '
            f"{when(close.index[-1])}); {shown}"
        )
    return frame.reindex(index=close.index, columns=close.columns)


def without_empty_rows(
    close: Any, frames: dict[str, Any]
) -> tuple[Any, dict[str, Any], np.ndarray | None]:
    """The prices without the rows where the close of every stock is missing, and the mask of
    the rows kept (None: all of them).

    A calendar-day frame has such rows on weekends and holidays: they are not trading days, and
    as flat days of the equity they would dilute volatility and Sharpe. Without them the run is
    the one on the trading days alone. The other frames follow the close when they are aligned
    to it.
    """
    if len(close.columns) == 0:
        return close, frames, None
    # Only rows missing the first stock can be empty: the whole frame is looked at only there.
    # A float64 frame is read through its array (a view).
    values = float64_values(close)
    if values is not None:
        empty = np.isnan(values[:, 0])
    else:
        empty = np.array(close.iloc[:, 0].isna(), dtype=bool)
    if not empty.any():
        return close, frames, None
    candidates = np.flatnonzero(empty)
    if values is not None:
        # Scattered gaps rarely share a row: a few more columns leave the rows worth a look
        # at whole, without pandas selecting the rows of every candidate.
        for col in range(1, min(values.shape[1], 8)):
            candidates = candidates[np.isnan(values[candidates, col])]
        empty[:] = False
        empty[candidates] = True
    if len(candidates):
        empty[candidates] = close.iloc[candidates].isna().to_numpy().all(axis=1)
    if not empty.any():
        return close, frames, None
    if empty.all():
        raise ValueError('prices["close"] has no price at all: every row is missing (NaN)')
    n = int(empty.sum())
    warnings.warn(
        f'prices["close"] has {n} row{"s" if n > 1 else ""} where every stock is missing (NaN), '
        f"first on {when(close.index[np.flatnonzero(empty)[0]])}: not trading days, dropped",
        UserWarning,
        stacklevel=4,
    )
    kept = close[~empty]
    return kept, {key: kept if frame is close else frame for key, frame in frames.items()}, ~empty


def check_priced(
    pos_values: np.ndarray,
    stocks: Any,
    weight_dates: Any,
    price_column_of_stock: np.ndarray,
    matrices: Mapping[str, np.ndarray],
    tz: Any,
    held: np.ndarray | None = None,
    unpriced: Mapping[str, np.ndarray] | None = None,
) -> None:
    """Refuse a stock with a weight but not a single price: the engine would hold it at the value
    it entered with, for the whole run, as if suspended from the first day.

    ``held`` marks the columns of ``pos_values`` with a weight other than zero, and ``unpriced``
    the price columns of each field without a price at all (as :func:`check_prices` returns
    them), when passes over the weights and the prices found them already.
    """
    if held is None:
        held = (pos_values != 0).any(axis=0)
    weighted = np.flatnonzero(held)
    if len(weighted) == 0:
        return
    for field, values in matrices.items():
        if unpriced is not None:
            candidates = weighted
            empty = unpriced[field][price_column_of_stock[weighted]]
        else:
            # Only columns missing their first price can be empty: the rest is read only there.
            candidates = weighted[np.isnan(values[0, price_column_of_stock[weighted]])]
            empty = np.isnan(values[:, price_column_of_stock[candidates]]).all(axis=0)
        if empty.any():
            k = int(candidates[np.flatnonzero(empty)[0]])
            row = int(np.flatnonzero(pos_values[:, k])[0])
            raise ValueError(
                f"prices[{field!r}] has no price for {stocks[k]!r}, which weights hold "
                f"({float(pos_values[row, k])!r} on {when(weight_dates[row], tz)}): every "
                "weighted stock needs at least one price"
            )


class Located:
    """Turns a cell of a price matrix into the words of a message."""

    def __init__(self, dates: Any, stocks: Any, tz: Any) -> None:
        self.dates, self.stocks, self.tz = dates, stocks, tz

    def cell(self, row: int, col: int) -> str:
        return f"{self.stocks[col]!r} on {when(self.dates[row], self.tz)}"


PRICE_RANGE = (float(np.finfo(np.float64).tiny), 1e150)
"""Prices a run accepts: normal doubles below 1e150, so that a value times a price ratio stays
finite (a subnormal price has lost its precision already)."""

MODERATE = (1e-75, 1e75)
"""Prices that cannot be ``PRICE_RANGE[1]`` apart from each other."""


def check_prices(
    matrices: Mapping[str, np.ndarray],
    read: Mapping[str, str],
    used: np.ndarray,
    where: Located,
    intraday_stops: bool,
    weights: np.ndarray | None = None,
    first_traded: int = 0,
    copies: tuple[str, ...] = (),
) -> tuple[
    dict[str, np.ndarray], tuple[bool, np.ndarray, np.ndarray | None] | None, dict[str, np.ndarray]
]:
    """Refuse a price that a run cannot use, naming the field, the stock and the date.

    ``matrices`` maps the engine's names to the aligned matrices, ``read`` the names the engine
    reads to the user's fields; ``used`` marks the price columns of the weights' stocks. The
    checks run in this order, each reporting its first cell in row-major order:

    - NaN marks a missing price (a suspension); every price that is there must be usable as a
      divisor and as a value: positive and finite, and far enough from the ends of the double
      range that the products and ratios of a run stay finite and keep their precision
      (``PRICE_RANGE``), field by field in the order of ``read``;
    - a holding's value follows the ratio of its prices: a stock whose prices (every field read,
      together) rise or fall by a factor of ``PRICE_RANGE[1]`` or more is refused, the first
      such stock by column;
    - with ``intraday_stops``, a high below its low.

    Each matrix is read once, in native code without the interpreter lock and without a
    temporary matrix; only the words of the message are made here.

    Returns, for each engine name of ``read``, a mask over the price columns: True where a used
    column of that field has no price at all (for :func:`check_priced`); and, given the float64
    ``weights``, what the weights' native pass found (as ``_weights_scan`` returns it, from row
    ``first_traded`` on), made on the same threads while the prices are read: the weights' own
    checks come after the prices' all the same; and row-major copies of the matrices named in
    ``copies`` (engine names, when ``used`` marks every column), each band of columns copied
    right after its check, while it is still in the cache.
    """
    distinct: list[np.ndarray] = []
    fields: list[str] = []
    for key, field in read.items():
        if not any(matrices[key] is m for m in distinct):
            distinct.append(matrices[key])
            fields.append(field)
    index = {id(m): k for k, m in enumerate(distinct)}
    high = index[id(matrices["high"])] if intraday_stops else -1
    low = index[id(matrices["low"])] if intraday_stops else -1
    columns = np.flatnonzero(used).astype(np.int64, copy=False)
    # A matrix standing in for several names is copied once.
    wanted = list(dict.fromkeys(index[id(matrices[key])] for key in copies))
    fault, empty, scanned, made = _price_fault(
        distinct, columns, high, low, (*PRICE_RANGE, *MODERATE), True, weights, first_traded,
        tuple(wanted),
    )
    if fault is None:
        masks = np.zeros((len(distinct), len(used)), dtype=bool)
        masks[:, columns] = empty
        copy_of = dict(zip(wanted, made))
        return ({key: masks[index[id(matrices[key])]] for key in read}, scanned,
                {key: copy_of[index[id(matrices[key])]] for key in copies})
    if fault[0] == "outside":
        k, row, col = fault[1:]
        value = float(distinct[k][row, col])
        if value > 0.0 and value < math.inf:
            raise ValueError(
                f"prices[{fields[k]!r}] of {where.cell(row, col)} is {value!r}: prices must lie "
                f"from {PRICE_RANGE[0]!r} to below {PRICE_RANGE[1]!r}; beyond, the run's "
                "arithmetic leaves the finite range"
            )
        raise ValueError(
            f"prices[{fields[k]!r}] of {where.cell(row, col)} is {value!r}: prices must "
            "be positive and finite (NaN marks a missing price)"
        )
    if fault[0] == "span":
        col, lo_k, lo_row, hi_k, hi_row = fault[1:]
        lo, hi = float(distinct[lo_k][lo_row, col]), float(distinct[hi_k][hi_row, col])
        raise ValueError(
            f"the prices of {where.stocks[col]!r} run from {lo!r} on "
            f"{when(where.dates[lo_row], where.tz)} to {hi!r} on "
            f"{when(where.dates[hi_row], where.tz)}: a ratio of {PRICE_RANGE[1]:g} or more "
            "between two prices of a stock leaves the finite range of the run's arithmetic"
        )
    row, col = fault[1:]
    high_values, low_values = matrices["high"], matrices["low"]
    raise ValueError(
        f"prices['high'] of {where.cell(row, col)} is {float(high_values[row, col])!r}, below "
        f"prices['low'] {float(low_values[row, col])!r}"
    )
