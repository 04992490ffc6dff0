"""From pandas inputs to the engine's arrays: alignment, conversion and validation.

Everything a run needs is checked here, before the engine sees it, and an error names the argument,
the stock and the date concerned: the engine itself only knows row and column numbers. pandas is
imported on first call, not when this module is imported.
"""

from __future__ import annotations

import math
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


def _float_matrix(frame: Any, what: str) -> np.ndarray:
    """A float64 2-D array of a DataFrame's values; a view when the frame already holds float64."""
    values: np.ndarray
    if all(dt == np.float64 for dt in frame.dtypes):
        # One float64 block converts without a copy; several blocks are stacked (a copy).
        values = frame.to_numpy(dtype=np.float64, copy=False)
        return values
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


def _aligned(frame: Any, close: Any, what: str) -> Any:
    """``frame`` on the dates and stocks of ``close``; the frame itself when it already matches."""
    if frame is close:
        return frame
    if frame.index.equals(close.index) and frame.columns.equals(close.columns):
        return frame
    _check_labels(frame.columns, what)
    return frame.reindex(index=close.index, columns=close.columns)


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
) -> None:
    # NaN marks a missing price (a suspension); every price that is there must be usable as a
    # divisor and as a value: positive and finite.
    with np.errstate(invalid="ignore"):
        bad = ~(np.isnan(values) | ((values > 0.0) & (values < math.inf)))
    found = _first_bad_cell(bad, used)
    if found is not None:
        row, col = found
        raise ValueError(
            f"prices[{field!r}] of {where.cell(row, col)} is {float(values[row, col])!r}: prices must "
            "be positive and finite (NaN marks a missing price)"
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
        the weights.
    price_dates, weight_dates : pandas.DatetimeIndex
        Naive dates of the price rows and of the weight rows (UTC when ``tz`` is given).
    tz : tzinfo or str, optional
        Time zone of the input dates; the periods of a frequency are taken in it.
    calendar : str or calendar object, optional
        See :class:`pelmora.options.BacktestOptions`; used with a frequency only.

    Returns
    -------
    numpy.ndarray
        Ascending int64 nanosecond dates.

    Raises
    ------
    ValueError
        A date before the first price date, or a frequency pandas does not know.
    TypeError
        Something that is neither a frequency, dates nor None.
    """
    pd = _pandas()
    if rebalance is None:
        return np.asarray(weight_dates.asi8, dtype=np.int64)
    if isinstance(rebalance, (str, pd.DateOffset)):
        n = len(price_dates)
        if n == 0:
            return np.empty(0, dtype=np.int64)
        local = price_dates if tz is None else price_dates.tz_localize("UTC").tz_convert(tz)
        if calendar is not None:
            from pelmora.calendars import period_end_rows, resolve_calendar

            naive_local = local if tz is None else local.tz_localize(None)
            rows = period_end_rows(rebalance, naive_local, resolve_calendar(calendar))
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
    if len(explicit) and len(price_dates) and explicit[0] < price_dates[0]:
        # The engine would move such a date to the first row: a schedule that is not the one given.
        raise ValueError(
            f"rebalance date {_when(explicit[0], tz)} is before the first price date "
            f"{_when(price_dates[0], tz)}"
        )
    return np.asarray(explicit.asi8, dtype=np.int64)


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
        # A missing weight means "not held"; the engine would treat NaN as a position of its own.
        values = np.where(nan, 0.0, values)
    return values


def _delisting_bars(
    delistings: Any,
    stocks: Any,
    price_index: np.ndarray,
    pos_index: np.ndarray,
    pos_values: np.ndarray,
    tz: Any,
) -> tuple[np.ndarray, np.ndarray]:
    """The engine's delisting row per weight column, and the weights with dead stocks zeroed."""
    pd = _pandas()
    series = delistings if isinstance(delistings, pd.Series) else pd.Series(dict(delistings))
    if len(series):
        _check_labels(series.index, "delistings")
    series = series[series.index.isin(stocks)]
    try:
        last_dates = pd.DatetimeIndex(pd.to_datetime(series.reindex(stocks)))
    except (TypeError, ValueError) as exc:
        raise TypeError(f"delistings must map stock ids to dates: {exc}") from exc
    if last_dates.tz is not None:
        last_dates = last_dates.tz_convert("UTC").tz_localize(None)
    elif tz is not None:
        # Naive dates are read in the prices' time zone.
        last_dates = last_dates.tz_localize(tz).tz_convert("UTC").tz_localize(None)
    last_ns = last_dates.as_unit("ns").asi8
    known = ~last_dates.isna()
    # The stock is sold on its last trading row: the last price row on or before its date.
    rows = np.searchsorted(price_index, last_ns, side="right") - 1
    bars = np.where(known & (rows >= 0), rows, -1).astype(np.int64)
    bars[known & (rows < 0)] = 0
    bars[known & (last_ns > price_index[-1])] = -1
    if known.any():
        # A weight row dated on or after a stock's last day is traded after the stock is gone;
        # the stock can no longer be bought.
        dead = known[None, :] & (pos_index[:, None] >= np.where(known, last_ns, 0)[None, :])
        if (dead & (pos_values != 0)).any():
            pos_values = np.where(dead, 0.0, pos_values)
    return bars, pos_values


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
        negative or infinite (NaN marks a missing price), a high below the low, an infinite
        weight, weights without a date inside the price dates, unsorted or duplicate dates,
        duplicate or missing stock ids, stocks in ``weights`` without prices, a rebalance date
        before the data, price fields that ``intraday_stops`` or ``trade_at`` need, and the option
        values :class:`BacktestOptions` refuses.
    TypeError
        Inputs of the wrong kind: not DataFrames, indexes without dates, non-numeric values,
        delistings that are not a Series or mapping of dates, an unknown keyword.
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

    price_dates, price_tz = _dates(close.index, "prices")
    weight_dates, weight_tz = _dates(weights.index, "weights")
    if (price_tz is None) != (weight_tz is None):
        raise ValueError("prices and weights must both have time-zone-aware dates or both naive")
    inside = (weight_dates >= price_dates[0]) & (weight_dates <= price_dates[-1])
    if not inside.any():
        raise ValueError(
            "weights has no date inside the price dates "
            f"({_when(price_dates[0], price_tz)} to {_when(price_dates[-1], price_tz)}); its "
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
            what = f'prices["{key}"]'
            by_frame[id(frame)] = _float_matrix(_aligned(frame, close, what), what)
        matrices[key] = by_frame[id(frame)]
    used = np.zeros(len(close.columns), dtype=bool)
    used[price_column_of_stock] = True
    where = _Located(price_dates, close.columns, price_tz)
    checked: set[int] = set()
    for key, field in read.items():
        if id(matrices[key]) not in checked:
            _check_price_values(matrices[key], field, used, where)
            checked.add(id(matrices[key]))
    if opts.intraday_stops:
        _check_high_low(matrices["high"], matrices["low"], used, where)

    pos_values = _weights_matrix(weights)
    price_index = np.asarray(price_dates.asi8, dtype=np.int64)
    pos_index = np.asarray(weight_dates.asi8, dtype=np.int64)
    resample = rebalance_dates(opts.rebalance, price_dates, weight_dates, price_tz, opts.calendar)

    delisting_bars = None
    if opts.delistings is not None:
        delisting_bars, pos_values = _delisting_bars(
            opts.delistings, weights.columns, price_index, pos_index, pos_values, price_tz
        )

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
