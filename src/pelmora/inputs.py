"""From pandas inputs to the engine's arrays: alignment, conversion and validation.

Everything a run needs is checked here, before the engine sees it, and an error names the argument,
the stock and the date concerned: the engine itself only knows row and column numbers. pandas is
imported on first call, not when this module is imported.
"""

from __future__ import annotations

import math
import numbers
import warnings
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

import numpy as np

from pelmora import _require
from pelmora.frames import as_pandas_inputs, price_mapping
from pelmora.options import BacktestOptions, make_options, with_options

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    PriceInput = Union[pd.DataFrame, Mapping[str, pd.DataFrame]]
    RebalanceInput = Union[str, pd.DateOffset, Iterable[Any], None]

__all__ = [
    "ARRAY_NAMES",
    "ARRAY_OPTIONS",
    "PRICE_FIELDS",
    "EngineInputs",
    "check_equity",
    "engine_options",
    "prepare_inputs",
    "rebalance_dates",
]

PRICE_FIELDS = ("open", "high", "low", "close")
"""Keys of a price mapping; ``"trade"`` may be added for an explicit trading price."""


def _pandas(feature: str = "pelmora.backtest") -> Any:
    return _require("pandas", feature)


@dataclass(frozen=True)
class EngineInputs:
    """The arrays and options handed to the native engine for one run, with the labels to map back.

    Attributes
    ----------
    arguments : dict
        Keyword arguments for :func:`pelmora.core.runvane.backtest_` (and
        :func:`pelmora.core.journal.run`), all 25 of them, in the exact dtypes they require.
    price_dates : pandas.DatetimeIndex
        The dates of the price rows (naive UTC when the input had a time zone).
    weight_dates : pandas.DatetimeIndex
        The dates of the weight rows.
    stocks : pandas.Index
        The stock ids of the weight columns, as the user gave them (position column ``i`` of the
        engine is ``stocks[i]``).
    price_stocks : pandas.Index
        The stock ids of the price columns.
    price_column_of_stock : numpy.ndarray
        For every weight column, the index of its price column.
    tz : object
        The time zone of the input dates (``None`` for naive dates); the engine's dates are UTC
        nanoseconds.
    options : BacktestOptions
        The options of the run, as checked.
    """

    arguments: dict[str, Any]
    price_dates: Any
    weight_dates: Any
    stocks: Any
    price_stocks: Any
    price_column_of_stock: np.ndarray
    tz: Any = None
    options: BacktestOptions = BacktestOptions()

    def dates_of(self, ns: Any) -> Any:
        """Engine dates (UTC nanoseconds) as the user's dates, in the input's time zone."""
        pd = _pandas()
        dates = pd.DatetimeIndex(np.asarray(ns, dtype="datetime64[ns]"))
        return dates if self.tz is None else dates.tz_localize("UTC").tz_convert(self.tz)

    def user_dates(self) -> Any:
        """The price dates, in the input's time zone: the index of every result series."""
        return self.dates_of(self.arguments["price_index"])

    def date_text(self, row: int) -> str:
        """The date of price row ``row`` as a user reads it (in the input's time zone)."""
        return _when(self.price_dates[row], self.tz)


def _when(stamp: Any, tz: Any = None) -> str:
    """A date for messages: the day alone at midnight, else the full time, in the input's zone."""
    pd = _pandas()
    stamp = pd.Timestamp(stamp)
    if tz is not None and stamp.tz is None:
        stamp = stamp.tz_localize("UTC").tz_convert(tz)
    if stamp == stamp.normalize():
        return str(stamp.date())
    return str(stamp)


# --------------------------------------------------------------------------------------- labels


def _dates(index: Any, what: str) -> tuple[Any, Any]:
    """Return (naive UTC DatetimeIndex in ns, time zone) for a date index; reject unusable ones."""
    pd = _pandas()
    if not isinstance(index, pd.DatetimeIndex):
        # Numbers would be read as nanoseconds since 1970: a RangeIndex is not a date index.
        if len(index) and (
            pd.api.types.is_numeric_dtype(index.dtype) or pd.api.types.is_bool_dtype(index.dtype)
        ):
            raise TypeError(
                f"the index of {what} must hold dates, got {type(index).__name__} of "
                f"{index.dtype} values"
            )
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # pandas' note on guessing a format
                index = pd.DatetimeIndex(pd.to_datetime(index))
        except (TypeError, ValueError) as exc:
            raise TypeError(
                f"the index of {what} must hold dates, got {type(index).__name__}: {exc}"
            ) from exc
    idx = index
    tz = idx.tz
    if tz is not None:
        idx = idx.tz_convert("UTC").tz_localize(None)
    if idx.hasnans:
        raise ValueError(f"the index of {what} has missing dates (NaT)")
    if not idx.is_unique:
        dup = idx[idx.duplicated()][0]
        raise ValueError(f"the index of {what} has duplicate dates, first {_when(dup, tz)}")
    if not idx.is_monotonic_increasing:
        raise ValueError(f"the index of {what} must be sorted in ascending order")
    return idx.as_unit("ns"), tz


_DAY_NS = 86_400 * 10**9


class _RowDates:
    """Where a date falls among the price rows, by the rule the README's Conventions state.

    When the prices have at most one row per calendar date (daily data, whatever its time of
    day), a weight, rebalance or delisting date is compared by its calendar date in the prices'
    time zone: a weight row stamped at midnight belongs to the price row of 16:00 that day, not
    to the day before. With several rows per date (intraday bars) instants are compared.
    """

    def __init__(self, price_dates: Any, tz: Any) -> None:
        self.tz = tz
        self.index = np.asarray(price_dates.asi8, dtype=np.int64)
        days = self._days(price_dates)
        self.daily = bool(len(days) < 2 or (np.diff(days) > 0).all())
        self.keys = days if self.daily else self.index

    def _days(self, dates: Any) -> np.ndarray:
        """Local midnight of each naive UTC date, as int64 nanoseconds (wall clock)."""
        if self.tz is not None:
            dates = dates.tz_localize("UTC").tz_convert(self.tz).tz_localize(None)
        ns = np.asarray(dates.as_unit("ns").asi8, dtype=np.int64)
        return ns - ns % _DAY_NS  # floor, also before 1970

    def keys_of(self, dates: Any) -> np.ndarray:
        """The comparison keys of naive UTC ``dates``: calendar days or instants."""
        return self._days(dates) if self.daily else np.asarray(dates.asi8, dtype=np.int64)

    def rows(self, keys: np.ndarray) -> np.ndarray:
        """The last price row whose key is on or before each key (-1 before the data)."""
        return np.searchsorted(self.keys, keys, side="right") - 1

    def onto_rows(self, dates: Any, *, lift_only: bool = False) -> np.ndarray:
        """``dates`` as int64 nanoseconds, each inside the data moved onto its price row.

        The engine skips the rows before the first weight date, and takes a weight or rebalance
        date to belong to the last row on or before its instant: a weight row of a Sunday (a
        month end from ``resample("ME")``) would skip its Friday, one of midnight before a 16:00
        close would belong to the day before. Each is put on its row. ``lift_only`` moves only
        the dates that lie before their row (the engine finds the row of the others itself), so
        a rebalance date given as a Saturday stays one. Dates before the first or after the last
        price date keep their instants.
        """
        ns = np.array(dates.asi8, dtype=np.int64)
        keys = self.keys_of(dates)
        rows = self.rows(keys)
        inside = (rows >= 0) & (keys <= self.keys[-1])
        row_ns = self.index[rows[inside]]
        ns[inside] = np.maximum(ns[inside], row_ns) if lift_only else row_ns
        return ns


def _check_labels(columns: Any, what: str) -> None:
    pd = _pandas()
    missing = pd.isna(np.asarray(columns, dtype=object))
    if missing.any():
        k = int(np.flatnonzero(missing)[0])
        raise ValueError(
            f"{what} has a missing stock id (None or NaN) in column {k}; stock ids must be labels"
        )
    if not columns.is_unique:
        dup = columns[columns.duplicated()][0]
        raise ValueError(f"{what} has duplicate stock ids, first {dup!r}")


# --------------------------------------------------------------------------------------- prices


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
                        f"{what} must hold numbers: {stock!r} on {_when(frame.index[row])} is "
                        f"{value!r} ({type(value).__name__})"
                    )
            continue
        elif pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype):
            continue
        raise TypeError(f"{what} must hold numbers: the column of {stock!r} holds {dtype} values")


def _float_matrix(frame: Any, what: str) -> np.ndarray:
    """A float64 2-D array of a DataFrame's values; a view when the frame already holds float64."""
    values: np.ndarray
    if all(dt == np.float64 for dt in frame.dtypes):
        # One float64 block converts without a copy; several blocks are stacked (a copy).
        values = frame.to_numpy(dtype=np.float64, copy=False)
        return values
    _check_numeric(frame, what)
    try:
        values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} must hold numbers: {exc}") from exc
    return values


def _price_frames(
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


def _aligned(frame: Any, close: Any, what: str, stocks: Any) -> Any:
    """``frame`` on the dates and stocks of ``close``; the frame itself when it already matches.

    A frame without a date of the close, or without a stock of the weights, would come out of
    the alignment as a column of NaN: a suspension that lasts the whole run, the holding frozen
    at its entry value. Both are refused, naming the frame and the stock.
    """
    if frame is close:
        return frame
    if frame.index.equals(close.index) and frame.columns.equals(close.columns):
        return frame
    _check_labels(frame.columns, what)
    absent = stocks[~stocks.isin(frame.columns)]
    if len(absent):
        more = f" (and {len(absent) - 1} more)" if len(absent) > 1 else ""
        raise ValueError(
            f"{what} has no column for {absent[0]!r}{more}, which weights hold; every price "
            'frame needs the stocks of the weights'
        )
    if len(close.index) and not close.index.isin(frame.index).any():
        shown = (
            f"its dates run from {_when(frame.index[0])} to {_when(frame.index[-1])}"
            if len(frame.index) else "it has no rows"
        )
        raise ValueError(
            f'{what} shares no date with prices["close"] ({_when(close.index[0])} to '
            f"{_when(close.index[-1])}); {shown}"
        )
    return frame.reindex(index=close.index, columns=close.columns)


def _without_empty_rows(
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
    empty = np.array(close.iloc[:, 0].isna(), dtype=bool)
    if not empty.any():
        return close, frames, None
    candidates = np.flatnonzero(empty)
    empty[candidates] = close.iloc[candidates].isna().to_numpy().all(axis=1)
    if not empty.any():
        return close, frames, None
    if empty.all():
        raise ValueError('prices["close"] has no price at all: every row is missing (NaN)')
    n = int(empty.sum())
    warnings.warn(
        f'prices["close"] has {n} row{"s" if n > 1 else ""} where every stock is missing (NaN), '
        f"first on {_when(close.index[np.flatnonzero(empty)[0]])}: not trading days, dropped",
        UserWarning,
        stacklevel=4,
    )
    kept = close[~empty]
    return kept, {key: kept if frame is close else frame for key, frame in frames.items()}, ~empty


def _check_priced(
    pos_values: np.ndarray,
    stocks: Any,
    weight_dates: Any,
    price_column_of_stock: np.ndarray,
    matrices: Mapping[str, np.ndarray],
    tz: Any,
) -> None:
    """Refuse a stock with a weight but not a single price: the engine would hold it at the value
    it entered with, for the whole run, as if suspended from the first day."""
    weighted = np.flatnonzero((pos_values != 0).any(axis=0))
    if len(weighted) == 0:
        return
    for field, values in matrices.items():
        # Only columns missing their first price can be empty: the rest is read only there.
        candidates = weighted[np.isnan(values[0, price_column_of_stock[weighted]])]
        unpriced = np.isnan(values[:, price_column_of_stock[candidates]]).all(axis=0)
        if unpriced.any():
            k = int(candidates[np.flatnonzero(unpriced)[0]])
            row = int(np.flatnonzero(pos_values[:, k])[0])
            raise ValueError(
                f"prices[{field!r}] has no price for {stocks[k]!r}, which weights hold "
                f"({float(pos_values[row, k])!r} on {_when(weight_dates[row], tz)}): every "
                "weighted stock needs at least one price"
            )


class _Located:
    """Turns a cell of a price matrix into the words of a message."""

    def __init__(self, dates: Any, stocks: Any, tz: Any) -> None:
        self.dates, self.stocks, self.tz = dates, stocks, tz

    def cell(self, row: int, col: int) -> str:
        return f"{self.stocks[col]!r} on {_when(self.dates[row], self.tz)}"


def _first_bad_cell(bad: np.ndarray, used: np.ndarray) -> tuple[int, int] | None:
    """The first (row, column) of ``bad`` in a used column, scanning the used columns in order."""
    columns = np.flatnonzero(bad.any(axis=0) & used)
    if len(columns) == 0:
        return None
    rows = np.flatnonzero(bad[:, columns].any(axis=1))
    row = int(rows[0])
    col = int(columns[np.flatnonzero(bad[row, columns])[0]])
    return row, col


def _check_price_values(
    values: np.ndarray, field: str, used: np.ndarray, where: _Located
) -> np.ndarray:
    """Refuse a price that is not usable; return the used columns with prices far from 1.

    NaN marks a missing price (a suspension); every price that is there must be usable as a
    divisor and as a value: positive and finite, and far enough from the ends of the double range
    that the products and ratios of a run stay finite and keep their precision. Prices from
    ``MODERATE[0]`` to below ``MODERATE[1]`` cannot be ``PRICE_RANGE[1]`` apart: only columns with
    others need :func:`_check_price_span`, and in the common case one pass over the matrix does.
    """
    with np.errstate(invalid="ignore"):
        moderate = np.isnan(values) | ((values >= MODERATE[0]) & (values < MODERATE[1]))
    far = np.flatnonzero(~moderate.all(axis=0) & used)
    if len(far) == 0:
        return far
    part = values[:, far]
    with np.errstate(invalid="ignore"):
        bad = ~(np.isnan(part) | ((part >= PRICE_RANGE[0]) & (part < PRICE_RANGE[1])))
    found = _first_bad_cell(bad, np.ones(len(far), dtype=bool))
    if found is not None:
        row, col = found[0], int(far[found[1]])
        value = float(values[row, col])
        if value > 0.0 and value < math.inf:
            raise ValueError(
                f"prices[{field!r}] of {where.cell(row, col)} is {value!r}: prices must lie from "
                f"{PRICE_RANGE[0]!r} to below {PRICE_RANGE[1]!r}; beyond, the run's arithmetic "
                "leaves the finite range"
            )
        raise ValueError(
            f"prices[{field!r}] of {where.cell(row, col)} is {value!r}: prices must "
            "be positive and finite (NaN marks a missing price)"
        )
    return far


PRICE_RANGE = (float(np.finfo(np.float64).tiny), 1e150)
"""Prices a run accepts: normal doubles below 1e150, so that a value times a price ratio stays
finite (a subnormal price has lost its precision already)."""

MODERATE = (1e-75, 1e75)
"""Prices that cannot be ``PRICE_RANGE[1]`` apart from each other."""


def _check_price_span(matrices: list[np.ndarray], columns: np.ndarray, where: _Located) -> None:
    """Refuse a stock whose prices (trade and close together) rise or fall by a factor of 1e150
    or more: a holding's value follows the ratio of its prices, and such a ratio leaves the
    finite range. ``columns`` are the only ones that can: see :func:`_check_price_values`."""
    limit = PRICE_RANGE[1]
    for col in np.unique(columns):
        cells = np.concatenate([values[:, col] for values in matrices])
        if np.isnan(cells).all():
            continue
        hi, lo = int(np.nanargmax(cells)), int(np.nanargmin(cells))
        if cells[hi] / cells[lo] >= limit:
            n = len(where.dates)
            raise ValueError(
                f"the prices of {where.stocks[col]!r} run from {float(cells[lo])!r} on "
                f"{_when(where.dates[lo % n], where.tz)} to {float(cells[hi])!r} on "
                f"{_when(where.dates[hi % n], where.tz)}: a ratio of {limit:g} or more between "
                "two prices of a stock leaves the finite range of the run's arithmetic"
            )


def _check_high_low(high: np.ndarray, low: np.ndarray, used: np.ndarray, where: _Located) -> None:
    with np.errstate(invalid="ignore"):
        bad = high < low
    found = _first_bad_cell(bad, used)
    if found is not None:
        row, col = found
        raise ValueError(
            f"prices['high'] of {where.cell(row, col)} is {float(high[row, col])!r}, below "
            f"prices['low'] {float(low[row, col])!r}"
        )


# ------------------------------------------------------------------------------------ rebalance


def rebalance_dates(
    rebalance: Any,
    price_dates: Any,
    weight_dates: Any,
    tz: Any = None,
    calendar: Any = None,
) -> np.ndarray:
    """The rebalance dates handed to the engine, as int64 nanoseconds.

    Parameters
    ----------
    rebalance : str, pandas.DateOffset, sequence of dates or None
        A pandas frequency alias ("D", "W-FRI", "MS", "ME", "QE", ...) or offset: the last trading
        day of every period of that frequency. Without ``calendar`` the last period counts only
        once it is over, that is when the business day after the last price date falls into the
        next period; with it, once the calendar's last session of the period is in the data. A
        sequence of dates: each marks the last trading day on or before it. None: every date of
        the weights. Dates are compared by calendar date in ``tz`` when the prices have at most
        one row per date, by instant otherwise; a date that lies before its row (midnight before
        a 16:00 close) is moved onto it.
    price_dates, weight_dates : pandas.DatetimeIndex
        Naive dates of the price rows and of the weight rows (UTC when ``tz`` is given).
    tz : tzinfo or str, optional
        Time zone of the input dates; the periods of a frequency are taken in it.
    calendar : str or calendar object, optional
        See :class:`pelmora.options.BacktestOptions`; checked always, used with a frequency only.

    Returns
    -------
    numpy.ndarray
        Ascending int64 nanosecond dates.

    Raises
    ------
    ValueError
        A date before the first price date, a frequency pandas does not know, or an unknown
        calendar name.
    TypeError
        Something that is neither a frequency, dates nor None.
    """
    pd = _pandas()
    if calendar is not None:
        from pelmora.calendars import resolve_calendar

        # Checked whatever ``rebalance`` is: a misspelt name must not pass unnoticed.
        calendar = resolve_calendar(calendar)
    if rebalance is None:
        if len(price_dates) == 0:
            return np.asarray(weight_dates.asi8, dtype=np.int64)
        return _RowDates(price_dates, tz).onto_rows(weight_dates, lift_only=True)
    if isinstance(rebalance, (str, pd.offsets.BaseOffset)):
        n = len(price_dates)
        if n == 0:
            return np.empty(0, dtype=np.int64)
        local = price_dates if tz is None else price_dates.tz_localize("UTC").tz_convert(tz)
        if calendar is not None:
            from pelmora.calendars import period_end_rows

            naive_local = local if tz is None else local.tz_localize(None)
            rows = period_end_rows(rebalance, naive_local, calendar)
            return np.asarray(price_dates.asi8[rows], dtype=np.int64)
        # Row numbers per date plus one probe: the business day after the data. The last row of a
        # period is the period's rebalance day unless the probe lands in the same period (then the
        # period is still running and its last trading day is not known yet).
        probe = local[-1] + pd.offsets.BDay(1)
        numbered = pd.Series(np.arange(n + 1), index=local.append(pd.DatetimeIndex([probe])))
        try:
            last = numbered.resample(rebalance).last()
        except (ValueError, TypeError) as exc:
            raise ValueError(f"rebalance={rebalance!r} is not a pandas frequency: {exc}") from exc
        last = last.dropna().to_numpy(dtype=np.int64)
        return np.asarray(price_dates.asi8[last[last < n]], dtype=np.int64)
    if isinstance(rebalance, (bool, int, float)):
        raise TypeError(
            "rebalance must be a frequency alias, a sequence of dates or None, "
            f"got {type(rebalance).__name__}"
        )
    try:
        given = pd.DatetimeIndex(rebalance)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"rebalance dates must be dates: {exc}") from exc
    if (given.tz is None) != (tz is None):
        raise ValueError("rebalance dates and prices must both be time-zone-aware or both naive")
    explicit, _ = _dates(given.dropna().unique().sort_values(), "rebalance")
    if len(explicit) == 0 or len(price_dates) == 0:
        return np.asarray(explicit.asi8, dtype=np.int64)
    on_rows = _RowDates(price_dates, tz)
    if on_rows.keys_of(explicit[:1])[0] < on_rows.keys[0]:
        # The engine would move such a date to the first row: a schedule that is not the one given.
        raise ValueError(
            f"rebalance date {_when(explicit[0], tz)} is before the first price date "
            f"{_when(price_dates[0], tz)}"
        )
    return on_rows.onto_rows(explicit, lift_only=True)


# -------------------------------------------------------------------------------------- weights


def _weights_matrix(weights: Any) -> np.ndarray:
    """Target weights as float64; True cells of a boolean frame share each row equally."""
    pd = _pandas()
    if len(weights.columns) and all(pd.api.types.is_bool_dtype(dt) for dt in weights.dtypes):
        mask = weights.to_numpy(dtype=np.float64, na_value=0.0)
        counts = mask.sum(axis=1, keepdims=True)
        with np.errstate(invalid="ignore", divide="ignore"):
            values: np.ndarray = np.where(counts > 0, mask / counts, 0.0)
        return values
    values = _float_matrix(weights, "weights")
    inf = np.isinf(values)
    if inf.any():
        row, col = (int(x[0]) for x in np.nonzero(inf))
        raise ValueError(
            f"weights must be finite: the weight of {weights.columns[col]!r} on "
            f"{_when(weights.index[row])} is {float(values[row, col])!r}"
        )
    nan = np.isnan(values)
    if nan.any():
        empty = np.flatnonzero(nan.all(axis=1)) if values.shape[1] else np.empty(0, np.intp)
        if len(empty):
            # Most often a signal not yet defined (a rolling window's first rows, a weekend of a
            # calendar-day frame); as zeros it sells the whole book, which deserves a word.
            rows = f"{len(empty)} rows" if len(empty) > 1 else "1 row"
            warnings.warn(
                f"weights has {rows} where every weight is NaN, first on "
                f"{_when(weights.index[empty[0]])}: treated as all zeros: the book is sold",
                UserWarning,
                stacklevel=4,
            )
        # A missing weight means "not held"; the engine would treat NaN as a position of its own.
        values = np.where(nan, 0.0, values)
    with np.errstate(over="ignore"):
        gross = np.abs(values).sum(axis=1)
    over = np.flatnonzero(~np.isfinite(gross))
    if len(over):
        row = int(over[0])
        col = int(np.argmax(np.abs(values[row])))
        raise ValueError(
            f"weights on {_when(weights.index[row])} add up to {float(gross[row])!r}: the sum of "
            f"the row's absolute weights overflows (the weight of {weights.columns[col]!r} is "
            f"{float(values[row, col])!r}); weights must add up to a finite number"
        )
    return values


def _delisting_bars(
    delistings: Any,
    stocks: Any,
    on_rows: _RowDates,
    pos_keys: np.ndarray,
    pos_values: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    """The engine's delisting row per weight column, and the weights with dead stocks zeroed.

    ``pos_keys`` are the weight dates as :meth:`_RowDates.keys_of` gives them.
    """
    pd = _pandas()
    series = delistings if isinstance(delistings, pd.Series) else pd.Series(dict(delistings))
    if len(series):
        _check_labels(series.index, "delistings")
    series = series[series.index.isin(stocks)]
    # pandas reads a number as nanoseconds since 1970: 20240105 would be a date in 1970.
    for stock, value in series.items():
        if isinstance(value, (numbers.Number, np.bool_)) and not pd.isna(value):
            raise TypeError(
                f"delistings must map stock ids to dates: {stock!r} has {value!r} "
                f"({type(value).__name__}), a number, not a date"
            )
    try:
        last_dates = pd.DatetimeIndex(pd.to_datetime(series.reindex(stocks)))
    except (TypeError, ValueError) as exc:
        raise TypeError(f"delistings must map stock ids to dates: {exc}") from exc
    if last_dates.tz is not None:
        last_dates = last_dates.tz_convert("UTC").tz_localize(None)
    elif on_rows.tz is not None:
        # Naive dates are read in the prices' time zone.
        last_dates = last_dates.tz_localize(on_rows.tz).tz_convert("UTC").tz_localize(None)
    known = ~np.asarray(last_dates.isna())
    last_dates = last_dates.as_unit("ns")
    # Missing dates stand at the first price date until they are masked out below.
    filled = last_dates.where(known, pd.Timestamp(on_rows.index[0]))
    last_keys = on_rows.keys_of(pd.DatetimeIndex(filled))
    # The stock is sold on its last trading row: the last price row on or before its date.
    rows = on_rows.rows(last_keys)
    bars = np.where(known & (rows >= 0), rows, -1).astype(np.int64)
    bars[known & (rows < 0)] = 0
    bars[known & (last_keys > on_rows.keys[-1])] = -1
    if known.any():
        # A weight row dated on or after a stock's last day is traded after the stock is gone;
        # the stock can no longer be bought.
        dead = known[None, :] & (pos_keys[:, None] >= np.where(known, last_keys, 0)[None, :])
        if (dead & (pos_values != 0)).any():
            pos_values = np.where(dead, 0.0, pos_values)
    return bars, pos_values


def check_equity(creturn: np.ndarray, inputs: EngineInputs) -> None:
    """Refuse a run whose equity left the finite range.

    The checks of the inputs keep every price, and every ratio of two prices of a stock, within
    1e150; a strategy that compounds several such ratios can still overflow. Its equity would be
    inf or NaN from some date on: no figure of it is usable, so it is an error, not a result.

    Raises
    ------
    ValueError
        Naming the first date whose equity is not finite.
    """
    values = np.asarray(creturn, dtype=np.float64)
    if np.isfinite(values).all():
        return
    row = int(np.flatnonzero(~np.isfinite(values))[0])
    raise ValueError(
        f"the equity is {float(values[row])!r} on {inputs.date_text(row)} (it was "
        f"{float(values[row - 1]) if row else 1.0!r} the day before): the prices' ratios compound "
        "beyond the finite range of the run's arithmetic; check the prices for a wrong scale"
    )


# ------------------------------------------------------------------------------------------ all

ARRAY_NAMES = (
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample", "delisting_bars",
)
"""The engine arguments that are arrays, made from the data and the array options."""

ARRAY_OPTIONS = (
    "rebalance", "calendar", "delistings", "trade_at", "intraday_stops", "price_field", "index",
)
"""Options that change the engine's arrays (or which prices are checked), not only its scalars."""


def engine_options(opts: BacktestOptions, n_rows: int) -> dict[str, Any]:
    """The engine's scalar arguments for ``opts`` on data of ``n_rows`` price rows."""

    def off_if_none(value: float | None) -> float:
        return math.inf if value is None else value

    return {
        "fee_ratio": opts.fee,
        "tax_ratio": opts.tax,
        "stop_loss": off_if_none(opts.stop_loss),
        "take_profit": off_if_none(opts.take_profit),
        "trail_stop": off_if_none(opts.trailing_stop),
        "trail_stop_activation": opts.trailing_activation,
        "touched_exit": opts.intraday_stops,
        "position_limit": opts.position_limit,
        "retain_cost_when_rebalance": opts.retain_cost,
        "stop_trading_next_period": opts.stop_trading_next_period,
        # The window runs over price rows: more rows than the data has would only be filler.
        "swaylen_window": min(opts.excursion_window, n_rows),
        "swaylen_window_step": opts.excursion_step,
        "periodically_rebalance": opts.split_trades,
    }




@with_options(("weights", "prices"))
def prepare_inputs(
    weights: pd.DataFrame,
    prices: PriceInput,
    *,
    options: BacktestOptions | None = None,
    **kwargs: Any,
) -> EngineInputs:
    """Check, align and convert the inputs of :func:`pelmora.backtest` without running it.

    Takes the same arguments as :func:`pelmora.backtest` and returns the 25 engine arguments with
    the labels needed to map results back, so that the arrays can be inspected or handed to
    :func:`pelmora.core.runvane.backtest_` or :func:`pelmora.core.journal.run` directly.

    Parameters
    ----------
    weights, prices
        As for :func:`pelmora.backtest`.
    options : BacktestOptions, optional
        The options as one object; keywords given as well replace its fields.
    {parameters}

    Returns
    -------
    EngineInputs

    Raises
    ------
    ValueError
        A value that would give a wrong run, named with its stock and date: a price that is zero,
        negative or infinite (NaN marks a missing price), from 1e150 up or subnormal, or 1e150
        times another price of its stock, a high below the low, an infinite weight, a row of
        weights whose sum overflows, weights without a date inside the price dates, unsorted or
        duplicate dates, duplicate or missing stock ids, stocks in ``weights`` without prices or
        without a single price, a price frame that lacks a stock of the weights or shares no date
        with the close, a rebalance date before the data, price fields that ``intraday_stops`` or
        ``trade_at`` need, an unknown calendar, and the option values :class:`BacktestOptions`
        refuses.
    TypeError
        Inputs of the wrong kind: not DataFrames, indexes without dates, values that are not
        numbers (dates, durations, text), delistings that are not a Series or mapping of dates or
        that hold numbers, an unknown keyword.

    Warns
    -----
    UserWarning
        Rows of prices where every close is missing (dropped: not trading days) and rows of
        weights where every weight is NaN (all zeros: the book is sold).
    """
    opts = make_options(options, kwargs, "prepare_inputs")
    weights, prices = as_pandas_inputs(weights, prices, index=opts.index)
    prices = price_mapping(prices, opts.price_field)
    pd = _pandas()
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"weights must be a DataFrame, got {type(weights).__name__}")
    close, frames, read = _price_frames(prices, opts.trade_at, opts.intraday_stops)
    _check_labels(close.columns, "prices")
    _check_labels(weights.columns, "weights")
    if len(close.index) == 0:
        raise ValueError("prices has no rows")
    if len(weights.index) == 0:
        raise ValueError("weights has no rows")
    given_dates, price_tz = _dates(close.index, "prices")
    close, frames, kept = _without_empty_rows(close, frames)
    price_dates = given_dates if kept is None else given_dates[kept]
    weight_dates, weight_tz = _dates(weights.index, "weights")
    if (price_tz is None) != (weight_tz is None):
        raise ValueError("prices and weights must both have time-zone-aware dates or both naive")
    on_rows = _RowDates(price_dates, price_tz)
    weight_keys = on_rows.keys_of(weight_dates)
    # Inside the dates the user gave: a weight row on an empty first day is not out of the data.
    span = on_rows.keys_of(given_dates[[0, -1]])
    inside = (weight_keys >= span[0]) & (weight_keys <= span[1])
    if not inside.any():
        raise ValueError(
            "weights has no date inside the price dates "
            f"({_when(given_dates[0], price_tz)} to {_when(given_dates[-1], price_tz)}); its "
            f"dates run from {_when(weight_dates[0], price_tz)} to "
            f"{_when(weight_dates[-1], price_tz)}"
        )

    price_column_of_stock = close.columns.get_indexer(weights.columns)
    if (price_column_of_stock < 0).any():
        missing = [str(c) for c in weights.columns[price_column_of_stock < 0]]
        more = f" and {len(missing) - 20} more" if len(missing) > 20 else ""
        shown = ", ".join(missing[:20]) + more
        raise ValueError(f"weights has stocks without prices: {shown}")

    # The engine matches the two tables by the text of their stock ids; text ids that are unique
    # per price column keep that match exact whatever the labels' types.
    price_names = [str(c) for c in close.columns]
    if len(set(price_names)) != len(price_names):
        raise ValueError("prices has stock ids that print the same; use unique string ids")
    price_columns = np.array(price_names, dtype=object)
    pos_columns = price_columns[price_column_of_stock]

    # One array per distinct frame: a frame standing in for several fields is converted and
    # checked once.
    by_frame: dict[int, np.ndarray] = {}
    matrices: dict[str, np.ndarray] = {}
    for key, frame in (("close", close), *frames.items()):
        if id(frame) not in by_frame:
            # Named by the user's field: the trade frame may be "open".
            what = f'prices["{read.get(key, key)}"]'
            by_frame[id(frame)] = _float_matrix(
                _aligned(frame, close, what, weights.columns), what
            )
        matrices[key] = by_frame[id(frame)]
    used = np.zeros(len(close.columns), dtype=bool)
    used[price_column_of_stock] = True
    where = _Located(price_dates, close.columns, price_tz)
    checked: set[int] = set()
    far: list[np.ndarray] = []
    for key, field in read.items():
        if id(matrices[key]) not in checked:
            far.append(_check_price_values(matrices[key], field, used, where))
            checked.add(id(matrices[key]))
    _check_price_span([matrices[key] for key in read], np.concatenate(far), where)
    if opts.intraday_stops:
        _check_high_low(matrices["high"], matrices["low"], used, where)

    pos_values = _weights_matrix(weights)
    price_index = np.asarray(price_dates.asi8, dtype=np.int64)
    # Each weight row on the price row it belongs to (see _RowDates); the user's dates stay in
    # ``weight_dates``.
    pos_index = on_rows.onto_rows(weight_dates)
    resample = rebalance_dates(opts.rebalance, price_dates, weight_dates, price_tz, opts.calendar)

    delisting_bars = None
    if opts.delistings is not None:
        delisting_bars, pos_values = _delisting_bars(
            opts.delistings, weights.columns, on_rows, weight_keys, pos_values
        )
    _check_priced(pos_values, weights.columns, weight_dates, price_column_of_stock,
                  {read[key]: matrices[key] for key in ("trade", "close")}, price_tz)

    arguments: dict[str, Any] = {
        "price_values": matrices["trade"],
        "close_values": matrices["close"],
        "high_values": matrices["high"],
        "low_values": matrices["low"],
        "open_values": matrices["open"],
        "price_index": price_index,
        "price_columns": price_columns,
        "pos_values": pos_values,
        "pos_index": pos_index,
        "pos_columns": pos_columns,
        "resample": resample,
        **engine_options(opts, len(price_index)),
        "delisting_bars": delisting_bars,
    }
    return EngineInputs(
        arguments=arguments,
        price_dates=price_dates,
        weight_dates=weight_dates,
        stocks=weights.columns,
        price_stocks=close.columns,
        price_column_of_stock=np.asarray(price_column_of_stock, dtype=np.intp),
        tz=price_tz,
        options=opts,
    )
