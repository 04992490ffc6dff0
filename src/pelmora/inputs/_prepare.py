"""From pandas inputs to the engine's arrays: alignment, conversion and validation.

Everything a run needs is checked here, before the engine sees it, and an error names the argument,
the stock and the date concerned: the engine itself only knows row and column numbers. The checks of
the price frames are in :mod:`pelmora.inputs._prices`, those of the weights in
:mod:`pelmora.inputs._weights`, the rebalance schedule in :mod:`pelmora.schedule`, the engine's
argument names in :mod:`pelmora.engine._vocabulary`. pandas is imported on first call, not when this
module is imported.
"""

from __future__ import annotations

import dataclasses
import numbers
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

import numpy as np

from pelmora.inputs._dates import RowDates, dates_of, index_dates, when
from pelmora.engine._vocabulary import (
    ARRAY_NAMES,
    ARRAY_OPTIONS,
    check_equity,
    engine_options,
    execution_options,
)
from pelmora._optional import import_optional
from pelmora.inputs._prices import (
    PRICE_FIELDS,
    Located,
    aligned,
    check_labels,
    check_priced,
    check_prices,
    float64_values,
    float_matrix,
    price_frames,
    without_empty_rows,
)
from pelmora.inputs.frames import as_pandas_inputs, price_mapping, to_pandas_frame
from pelmora.inputs._layout import engine_prices, worth_copying
from pelmora.inputs._lots import check_lots_cover
from pelmora.inputs.options import BacktestOptions, make_options, with_options
from pelmora.inputs.schedule import _rebalance_dates, rebalance_dates
from pelmora.inputs._volume import volume_matrix, without_volume
from pelmora.inputs._weights import ScannedWeights, weights_matrix

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
    "lot_sizes",
    "prepare_inputs",
    "rebalance_dates",
]

def _pandas() -> Any:
    return import_optional("pandas", caller="pelmora.backtest")


@dataclass(frozen=True)
class EngineInputs:
    """The arrays and options handed to the native engine for one run, with the labels to map back.

    Attributes
    ----------
    arguments : dict
        Keyword arguments for :func:`pelmora.core.runvane.backtest_` (and
        :func:`pelmora.core.journal.run`), all 25 of them, in the exact dtypes they require. The
        price matrices are the frames' own values, except for a run that trades many stocks on most
        rows: its trade price and close are row-major copies (see :mod:`pelmora.inputs._layout`).
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
    execution : dict
        The journal's execution keywords (capital, lots per position column, slippage, ...)
        that :func:`pelmora.core.runvane.backtest_` does not take: only those away from their
        defaults, so ``journal.run(**arguments, **execution)`` makes the run.
    volume : numpy.ndarray or None
        The shares traded on the price rows and columns (float64, NaN: no volume), kept
        whether or not the options read it, so that variants may; None without a volume.
    """

    arguments: dict[str, Any]
    price_dates: Any
    weight_dates: Any
    stocks: Any
    price_stocks: Any
    price_column_of_stock: np.ndarray
    tz: Any = None
    options: BacktestOptions = BacktestOptions()
    execution: dict[str, Any] = dataclasses.field(default_factory=dict)
    volume: np.ndarray | None = None

    def with_options(self, opts: BacktestOptions) -> EngineInputs:
        """These arrays with the scalar and execution options of ``opts``.

        Only options that change no array may differ (those outside ``ARRAY_OPTIONS``).

        Raises
        ------
        ValueError
            A per-stock ``lot_size`` without a lot for a stock of the weights; a cap or an
            impact without a volume.
        """
        n_rows = len(self.arguments["price_index"])
        return dataclasses.replace(
            self,
            arguments={**self.arguments, **engine_options(opts, n_rows)},
            options=opts,
            execution=execution_options(
                opts, lot_sizes(opts.lot_size, self.stocks), self.volume
            ),
        )

    def dates_of(self, ns: Any) -> Any:
        """Engine dates (UTC nanoseconds) as the user's dates, in the input's time zone."""
        return dates_of(ns, self.tz)

    def user_dates(self) -> Any:
        """The price dates, in the input's time zone: the index of every result series."""
        return self.dates_of(self.arguments["price_index"])

    def date_text(self, row: int) -> str:
        """The date of price row ``row`` as a user reads it (in the input's time zone)."""
        return when(self.price_dates[row], self.tz)


# -------------------------------------------------------------------------------------- weights


def _delisting_bars(
    delistings: Any,
    stocks: Any,
    on_rows: RowDates,
    pos_keys: np.ndarray,
    pos_values: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    """The engine's delisting row per weight column, and the weights with dead stocks zeroed.

    ``pos_keys`` are the weight dates as :meth:`RowDates.keys_of` gives them.
    """
    pd = _pandas()
    series = delistings if isinstance(delistings, pd.Series) else pd.Series(dict(delistings))
    if len(series):
        check_labels(series.index, "delistings")
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
        # the stock can no longer be bought. A stock gone before the first price row cannot be
        # bought by any row.
        gone = known & (last_keys < on_rows.keys[0])
        dead = known[None, :] & (pos_keys[:, None] >= np.where(known, last_keys, 0)[None, :])
        dead |= gone[None, :]
        if (dead & (pos_values != 0)).any():
            pos_values = np.where(dead, 0.0, pos_values)
    return bars, pos_values


def lot_sizes(lot_size: Any, stocks: Any) -> float | np.ndarray | None:
    """The lots of ``stocks`` (the weights' columns) as the journal takes them.

    None and one number stay as they are; a Series or mapping per stock becomes a float64 array
    with one lot per stock, NaN where the user gave NaN or None (no lots for that stock).

    Raises
    ------
    ValueError
        A stock of the weights without an entry, named: left out silently it would trade
        without lots while the run looks lot-exact.
    """
    if lot_size is None or isinstance(lot_size, numbers.Number):
        return lot_size
    pd = _pandas()
    series = lot_size if isinstance(lot_size, pd.Series) else pd.Series(dict(lot_size),
                                                                          dtype=object)
    if len(series):
        check_labels(series.index, "lot_size")
    check_lots_cover(series.index, stocks)
    values = series.reindex(stocks).to_numpy(dtype=object)
    return np.array([np.nan if v is None else float(v) for v in values], dtype=np.float64)


def _frame_dates(frame: Any, what: str) -> tuple[Any, Any]:
    """:func:`index_dates` of a frame's index; when the index holds no dates but a column does,
    the message says how to read the frame (``index=`` or :func:`pelmora.from_long`)."""
    try:
        return index_dates(frame.index, what)
    except TypeError as exc:
        hint = date_column_hint(frame)
        if not hint:
            raise
        raise TypeError(f"{exc}; {hint}") from None


def date_column_hint(frame: Any) -> str:
    """How to read a pandas frame that keeps its dates in a column, or "" when none does.

    A column of dates whose values repeat is a long table (one row per date and stock), which
    :func:`pelmora.from_long` turns wide; a column of unique dates is the index of a wide frame.
    """
    pd = _pandas()
    for name in frame.columns:
        column = frame[name]
        if not isinstance(column, pd.Series):
            continue  # a label shared by several columns
        is_dates = pd.api.types.is_datetime64_any_dtype(column.dtype) or (
            str(name).lower() in ("date", "datetime", "time", "timestamp")
        )
        if not is_dates:
            continue
        if column.duplicated().any():
            stock = next(
                (
                    c
                    for c in frame.columns
                    if c != name and pd.api.types.is_string_dtype(frame[c].dtype)
                ),
                "stock",
            )
            value = next(
                (
                    c
                    for c in frame.columns
                    if c not in (name, stock) and pd.api.types.is_numeric_dtype(frame[c].dtype)
                ),
                "value",
            )
            return (
                f"its column {name!r} repeats dates, as a long table (one row per date and "
                f"stock) does: make it wide with pelmora.from_long(frame, date={name!r}, "
                f"stock={stock!r}, value={value!r})"
            )
        return f"its column {name!r} holds the dates: pass index={name!r}"
    return ""


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
        ``trade_at`` need, an unknown calendar, a stock of the weights without an entry in a
        per-stock ``lot_size``, a volume count that is negative or infinite or a volume without
        a stock of the weights (or given twice), a cap or an impact without a volume, and the
        option values :class:`BacktestOptions` refuses.
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
    prices, volume, volume_name = without_volume(
        prices, to_pandas_frame(opts.volume, "volume", opts.index)
    )
    pd = _pandas()
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"weights must be a DataFrame, got {type(weights).__name__}")
    close, frames, read = price_frames(prices, opts.trade_at, opts.intraday_stops)
    check_labels(close.columns, "prices")
    check_labels(weights.columns, "weights")
    if len(close.index) == 0:
        raise ValueError("prices has no rows")
    if len(weights.index) == 0:
        raise ValueError("weights has no rows")
    given_dates, price_tz = _frame_dates(close, "prices")
    close, frames, kept = without_empty_rows(close, frames)
    price_dates = given_dates if kept is None else given_dates[kept]
    weight_dates, weight_tz = _frame_dates(weights, "weights")
    if (price_tz is None) != (weight_tz is None):
        raise ValueError("prices and weights must both have time-zone-aware dates or both naive")
    on_rows = RowDates(price_dates, price_tz)
    weight_keys = on_rows.keys_of(weight_dates)
    # Inside the dates the user gave: a weight row on an empty first day is not out of the data.
    # Without empty rows those are the price rows, whose keys are known already.
    span = on_rows.keys[[0, -1]] if kept is None else on_rows.keys_of(given_dates[[0, -1]])
    inside = (weight_keys >= span[0]) & (weight_keys <= span[1])
    if not inside.any():
        raise ValueError(
            "weights has no date inside the price dates "
            f"({when(given_dates[0], price_tz)} to {when(given_dates[-1], price_tz)}); its "
            f"dates run from {when(weight_dates[0], price_tz)} to "
            f"{when(weight_dates[-1], price_tz)}"
        )

    price_column_of_stock = close.columns.get_indexer(weights.columns)
    if (price_column_of_stock < 0).any():
        missing = [str(c) for c in weights.columns[price_column_of_stock < 0]]
        more = f" and {len(missing) - 20} more" if len(missing) > 20 else ""
        shown = ", ".join(missing[:20]) + more
        raise ValueError(f"weights has stocks without prices: {shown}")

    # The engine matches the two tables by the text of their stock ids; text ids that are unique
    # per price column keep that match exact whatever the labels' types.
    if isinstance(close.columns.dtype, pd.StringDtype):
        # Unique strings (check_labels refused a missing or repeated one) are their own text.
        price_columns = close.columns.to_numpy(dtype=object)
    else:
        # tolist() boxes the labels at once; iterating the Index boxes them one call at a time.
        price_names = [str(c) for c in close.columns.tolist()]
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
            by_frame[id(frame)] = float_matrix(
                aligned(frame, close, what, weights.columns), what
            )
        matrices[key] = by_frame[id(frame)]
    used = np.zeros(len(close.columns), dtype=bool)
    used[price_column_of_stock] = True
    where = Located(price_dates, close.columns, price_tz)
    # Rows older than the last one on or before the first price row are never traded (a
    # rebalance takes the latest row): a stock weighted only there needs no price in this data,
    # as in a walk-forward span that starts after the stock stopped trading.
    first_traded = max(int(np.searchsorted(weight_keys, on_rows.keys[0], side="right")) - 1, 0)
    # float64 weights are read by the price checks' threads while they read the prices; their
    # checks come after the prices' all the same (in weights_matrix).
    weight_values = float64_values(weights)
    # The engine's row-major copies of the prices are made by the same pass, when it reads
    # every column (each band is copied while the checks left it in the cache).
    fused = (used.all() and weight_values is not None
             and worth_copying(matrices["trade"], matrices["close"], weight_values))
    unpriced, weights_found, copies = check_prices(
        matrices, read, used, where, opts.intraday_stops, weight_values, first_traded,
        ("trade", "close") if fused else (),
    )
    volume_values = None if volume is None else volume_matrix(
        volume, close, weights.columns, used, where, volume_name
    )

    scanned = weights_matrix(weights, first_traded, weight_values, weights_found)
    pos_values = scanned.values
    price_index = np.asarray(price_dates.asi8, dtype=np.int64)
    # Each weight row on the price row it belongs to (see RowDates); the user's dates stay in
    # ``weight_dates``.
    pos_index = on_rows.onto_rows(weight_dates, keys=weight_keys)
    resample = _rebalance_dates(opts.rebalance, price_dates, weight_dates, price_tz, opts.calendar,
                                on_rows, weight_keys)

    delisting_bars = None
    if opts.delistings is not None:
        delisting_bars, pos_values = _delisting_bars(
            opts.delistings, weights.columns, on_rows, weight_keys, pos_values
        )
    if pos_values is not scanned.values:
        scanned = ScannedWeights(pos_values)  # delistings zeroed some weights: the scan is stale
    check_priced(pos_values[first_traded:], weights.columns, weight_dates[first_traded:],
                 price_column_of_stock,
                 {read[key]: matrices[key] for key in ("trade", "close")}, price_tz,
                 held=scanned.held,
                 unpriced={read[key]: unpriced[key] for key in ("trade", "close")})

    # The engine's pos_values (row-major), as below.
    pos_rows = np.ascontiguousarray(pos_values) if scanned.rows is None else scanned.rows
    trade_values, close_values = engine_prices(matrices["trade"], matrices["close"], pos_rows,
                                               copies)
    arguments: dict[str, Any] = {
        "price_values": trade_values,
        "close_values": close_values,
        "high_values": matrices["high"],
        "low_values": matrices["low"],
        "open_values": matrices["open"],
        "price_index": price_index,
        "price_columns": price_columns,
        # The engine reads a whole weight row at every rebalance: row-major, it is one run of
        # memory instead of a cache line per stock (a frame's values are column-major).
        "pos_values": pos_rows,
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
        execution=execution_options(
            opts, lot_sizes(opts.lot_size, weights.columns), volume_values
        ),
        volume=volume_values,
    )
