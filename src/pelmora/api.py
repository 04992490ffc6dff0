"""The user-facing entry points: :func:`backtest` and :func:`sweep`.

Both take pandas objects (dates down, stock ids across), turn them into the exact arrays the native
engine :func:`pelmora.core.runvane.backtest_` wants, run it and wrap its results. pandas is imported
on first call, not when this module is imported.
"""

from __future__ import annotations

import inspect
import itertools
import math
import os
import threading
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, Union

import numpy as np

from pelmora import _require
from pelmora.core import runvane, swaylen

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.result import BacktestResult

    PriceInput = Union[pd.DataFrame, Mapping[str, pd.DataFrame]]
    RebalanceInput = Union[str, pd.DateOffset, Iterable[Any], None]

__all__ = ["EngineInputs", "backtest", "prepare_inputs", "rebalance_dates", "sweep"]

PRICE_FIELDS = ("open", "high", "low", "close")
"""Keys of a price mapping; ``"trade"`` may be added for an explicit trading price."""

# The engine's module state (the excursion lists, the next-period report, the two flags) is
# process-wide. One run plus the copy of its results must not interleave with another run from a
# different thread, or the copy would pick up the other run's trades.
_RUN_LOCK = threading.Lock()


def _pandas(feature: str = "pelmora.backtest") -> Any:
    return _require("pandas", feature)


# --------------------------------------------------------------------------------------------------
# Input preparation
# --------------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class EngineInputs:
    """The arrays and options handed to the native engine for one run, with the labels to map back.

    Attributes
    ----------
    arguments : dict
        Keyword arguments for :func:`pelmora.core.runvane.backtest_`, all 25 of them, in the exact
        dtypes it requires (``runvane.backtest_(**inputs.arguments)`` runs the backtest).
    price_dates : pandas.DatetimeIndex
        The dates of the price rows.
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
    """

    arguments: dict[str, Any]
    price_dates: Any
    weight_dates: Any
    stocks: Any
    price_stocks: Any
    price_column_of_stock: np.ndarray
    tz: Any = None
    options: dict[str, Any] = field(default_factory=dict)


def _dates(index: Any, what: str) -> tuple[Any, Any]:
    """Return (naive UTC DatetimeIndex in ns, time zone) for a date index; reject unusable ones."""
    pd = _pandas()
    try:
        idx = pd.DatetimeIndex(index)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"the index of {what} must hold dates, got {type(index).__name__}") from exc
    tz = idx.tz
    if tz is not None:
        idx = idx.tz_convert("UTC").tz_localize(None)
    if idx.hasnans:
        raise ValueError(f"the index of {what} has missing dates (NaT)")
    if not idx.is_unique:
        dup = idx[idx.duplicated()][0]
        raise ValueError(f"the index of {what} has duplicate dates, first {dup.date()}")
    if not idx.is_monotonic_increasing:
        raise ValueError(f"the index of {what} must be sorted in ascending order")
    return idx.as_unit("ns"), tz


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
) -> tuple[Any, dict[str, Any]]:
    """Split the price input into the close frame and the trade/high/low/open frames."""
    pd = _pandas()
    if trade_at not in (None, "close", "open"):
        raise ValueError(f'trade_at must be "close", "open" or None, got {trade_at!r}')
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
        return prices, {"trade": prices, "high": prices, "low": prices, "open": prices}
    if not isinstance(prices, Mapping):
        raise TypeError(
            "prices must be a DataFrame or a mapping of DataFrames, "
            f"got {type(prices).__name__}"
        )
    unknown = sorted(set(prices) - set(PRICE_FIELDS) - {"trade"})
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
    if trade_at is None:
        trade_key = "trade" if "trade" in prices else "close"
    else:
        trade_key = trade_at
    frames = {"trade": prices[trade_key]}
    # The engine reads high/low/open only for intraday stops; without them the close stands in.
    for key in ("high", "low", "open"):
        frames[key] = prices[key] if key in prices else close
    for key, frame in frames.items():
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f'prices["{key}"] must be a DataFrame, got {type(frame).__name__}')
    return close, frames


def _aligned(frame: Any, close: Any, what: str) -> Any:
    """``frame`` on the dates and stocks of ``close``; the frame itself when it already matches."""
    if frame is close:
        return frame
    if frame.index.equals(close.index) and frame.columns.equals(close.columns):
        return frame
    if not frame.columns.is_unique:
        raise ValueError(f"{what} has duplicate stock ids")
    return frame.reindex(index=close.index, columns=close.columns)


def rebalance_dates(
    rebalance: Any, price_dates: Any, weight_dates: Any, tz: Any = None
) -> np.ndarray:
    """The rebalance dates handed to the engine, as int64 nanoseconds.

    Parameters
    ----------
    rebalance : str, pandas.DateOffset, sequence of dates or None
        A pandas frequency alias ("D", "W-FRI", "MS", "ME", "QE", ...) or offset: the last trading
        day of every period of that frequency; the last period counts only once it is over, that is
        when the business day after the last price date falls into the next period. A sequence of
        dates: each marks the last trading day on or before it. None: every date of the weights.
    price_dates, weight_dates : pandas.DatetimeIndex
        Naive dates of the price rows and of the weight rows (UTC when ``tz`` is given).
    tz : tzinfo or str, optional
        Time zone of the input dates; the periods of a frequency are taken in it.

    Returns
    -------
    numpy.ndarray
        Ascending int64 nanosecond dates.
    """
    pd = _pandas()
    if rebalance is None:
        return np.asarray(weight_dates.asi8, dtype=np.int64)
    if isinstance(rebalance, (str, pd.DateOffset)):
        if len(price_dates) == 0:
            return np.empty(0, dtype=np.int64)
        n = len(price_dates)
        local = price_dates if tz is None else price_dates.tz_localize("UTC").tz_convert(tz)
        # Row numbers per date plus one probe: the business day after the data. The last row of a
        # period is the period's rebalance day unless the probe lands in the same period (then the
        # period is still running and its last trading day is not known yet).
        probe = local[-1] + pd.offsets.BDay(1)
        rows = pd.Series(np.arange(n + 1), index=local.append(pd.DatetimeIndex([probe])))
        try:
            last = rows.resample(rebalance).last()
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
    return np.asarray(explicit.asi8, dtype=np.int64)


def _weights_matrix(weights: Any) -> tuple[np.ndarray, bool]:
    """Target weights as float64; True cells of a boolean frame share each row equally."""
    pd = _pandas()
    if len(weights.columns) and all(pd.api.types.is_bool_dtype(dt) for dt in weights.dtypes):
        mask = weights.to_numpy(dtype=np.float64, na_value=0.0)
        counts = mask.sum(axis=1, keepdims=True)
        with np.errstate(invalid="ignore", divide="ignore"):
            values = np.where(counts > 0, mask / counts, 0.0)
        return values, True
    values = _float_matrix(weights, "weights")
    if np.isinf(values).any():
        raise ValueError("weights must be finite (got an infinite weight)")
    nan = np.isnan(values)
    if nan.any():
        # A missing weight means "not held"; the engine would treat NaN as a position of its own.
        values = np.where(nan, 0.0, values)
    return values, False


def prepare_inputs(
    weights: pd.DataFrame,
    prices: PriceInput,
    *,
    rebalance: RebalanceInput = None,
    fee: float = 0.001425,
    tax: float = 0.003,
    stop_loss: float | None = None,
    take_profit: float | None = None,
    trailing_stop: float | None = None,
    trailing_activation: float = 0.0,
    intraday_stops: bool = False,
    position_limit: float = 1.0,
    retain_cost: bool = False,
    stop_trading_next_period: bool = True,
    split_trades: bool = True,
    excursion_window: int = 20,
    excursion_step: int = 1,
    delistings: pd.Series | Mapping[Any, Any] | None = None,
    trade_at: Literal["close", "open"] | None = None,
) -> EngineInputs:
    """Align and convert the inputs of :func:`backtest` without running it.

    Takes the same arguments as :func:`backtest` (see there) and returns the 25 engine arguments
    with the labels needed to map results back, so that the arrays can be inspected or handed to
    :func:`pelmora.core.runvane.backtest_` directly.

    Returns
    -------
    EngineInputs

    Raises
    ------
    ValueError
        Stocks in ``weights`` without prices, unsorted or duplicate dates, duplicate stock ids,
        infinite weights, missing price fields for ``intraday_stops`` or ``trade_at``, an
        ``excursion_window`` below 0 or an ``excursion_step`` below 1.
    TypeError
        Inputs of the wrong kind (not DataFrames, indexes without dates, non-numeric values).
    """
    pd = _pandas()
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"weights must be a DataFrame, got {type(weights).__name__}")
    close, frames = _price_frames(prices, trade_at, intraday_stops)
    if not close.columns.is_unique:
        raise ValueError("prices has duplicate stock ids")
    if not weights.columns.is_unique:
        raise ValueError("weights has duplicate stock ids")
    if len(close.index) == 0:
        raise ValueError("prices has no rows")
    if len(weights.index) == 0:
        raise ValueError("weights has no rows")
    excursion_window = int(excursion_window)
    excursion_step = int(excursion_step)
    if excursion_window < 0:
        raise ValueError(f"excursion_window must be 0 or more, got {excursion_window}")
    if excursion_step < 1:
        raise ValueError(f"excursion_step must be 1 or more, got {excursion_step}")

    price_dates, price_tz = _dates(close.index, "prices")
    weight_dates, weight_tz = _dates(weights.index, "weights")
    if (price_tz is None) != (weight_tz is None):
        raise ValueError("prices and weights must both have time-zone-aware dates or both naive")

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

    price_values = _float_matrix(_aligned(frames["trade"], close, "trade prices"), "trade prices")
    close_values = _float_matrix(close, "close prices")
    high_values = _float_matrix(_aligned(frames["high"], close, "high prices"), "high prices")
    low_values = _float_matrix(_aligned(frames["low"], close, "low prices"), "low prices")
    open_values = _float_matrix(_aligned(frames["open"], close, "open prices"), "open prices")

    pos_values, _ = _weights_matrix(weights)
    price_index = np.asarray(price_dates.asi8, dtype=np.int64)
    pos_index = np.asarray(weight_dates.asi8, dtype=np.int64)
    resample = rebalance_dates(rebalance, price_dates, weight_dates, price_tz)

    delisting_bars = None
    if delistings is not None:
        series = pd.Series(delistings) if not isinstance(delistings, pd.Series) else delistings
        series = series[series.index.isin(weights.columns)]
        last_dates = pd.DatetimeIndex(pd.to_datetime(series.reindex(weights.columns)))
        if last_dates.tz is not None:
            last_dates = last_dates.tz_convert("UTC").tz_localize(None)
        last_ns = last_dates.as_unit("ns").asi8
        known = ~last_dates.isna()
        # The stock is sold on its last trading row: the last price row on or before its date.
        rows = np.searchsorted(price_index, last_ns, side="right") - 1
        delisting_bars = np.where(known & (rows >= 0), rows, -1).astype(np.int64)
        delisting_bars[known & (rows < 0)] = 0
        delisting_bars[known & (last_ns > price_index[-1])] = -1
        if known.any():
            # A weight row dated on or after a stock's last day is traded after the stock is gone;
            # the stock can no longer be bought.
            dead = known[None, :] & (pos_index[:, None] >= np.where(known, last_ns, 0)[None, :])
            if (dead & (pos_values != 0)).any():
                pos_values = np.where(dead, 0.0, pos_values)

    arguments: dict[str, Any] = {
        "price_values": price_values,
        "close_values": close_values,
        "high_values": high_values,
        "low_values": low_values,
        "open_values": open_values,
        "price_index": price_index,
        "price_columns": price_columns,
        "pos_values": pos_values,
        "pos_index": pos_index,
        "pos_columns": pos_columns,
        "resample": resample,
        "fee_ratio": float(fee),
        "tax_ratio": float(tax),
        "stop_loss": math.inf if stop_loss is None else float(stop_loss),
        "take_profit": math.inf if take_profit is None else float(take_profit),
        "trail_stop": math.inf if trailing_stop is None else float(trailing_stop),
        "trail_stop_activation": float(trailing_activation),
        "touched_exit": bool(intraday_stops),
        "position_limit": float(position_limit),
        "retain_cost_when_rebalance": bool(retain_cost),
        "stop_trading_next_period": bool(stop_trading_next_period),
        "swaylen_window": excursion_window,
        "swaylen_window_step": excursion_step,
        "periodically_rebalance": bool(split_trades),
        "delisting_bars": delisting_bars,
    }
    options = {
        "rebalance": rebalance,
        "fee": fee,
        "tax": tax,
        "stop_loss": stop_loss,
        "take_profit": take_profit,
        "trailing_stop": trailing_stop,
        "trailing_activation": trailing_activation,
        "intraday_stops": intraday_stops,
        "position_limit": position_limit,
        "retain_cost": retain_cost,
        "stop_trading_next_period": stop_trading_next_period,
        "split_trades": split_trades,
        "excursion_window": excursion_window,
        "excursion_step": excursion_step,
        "trade_at": trade_at,
    }
    return EngineInputs(
        arguments=arguments,
        price_dates=price_dates,
        weight_dates=weight_dates,
        stocks=weights.columns,
        price_stocks=close.columns,
        price_column_of_stock=np.asarray(price_column_of_stock, dtype=np.intp),
        tz=price_tz,
        options=options,
    )


# --------------------------------------------------------------------------------------------------
# backtest
# --------------------------------------------------------------------------------------------------


def backtest(
    weights: pd.DataFrame,
    prices: PriceInput,
    *,
    rebalance: RebalanceInput = None,
    fee: float = 0.001425,
    tax: float = 0.003,
    stop_loss: float | None = None,
    take_profit: float | None = None,
    trailing_stop: float | None = None,
    trailing_activation: float = 0.0,
    intraday_stops: bool = False,
    position_limit: float = 1.0,
    retain_cost: bool = False,
    stop_trading_next_period: bool = True,
    split_trades: bool = True,
    excursion_window: int = 20,
    excursion_step: int = 1,
    delistings: pd.Series | Mapping[Any, Any] | None = None,
    trade_at: Literal["close", "open"] | None = None,
) -> BacktestResult:
    """Backtest a target-weight strategy with stops, fees, delistings and per-trade excursions.

    The portfolio starts with a value of 1.0 in cash. A weight row dated ``t`` is decided with the
    information of ``t``; on a rebalance day the book moves to the latest weight row dated before
    the next trading day, and the trades execute on that next trading day at its trading price.

    Parameters
    ----------
    weights : pandas.DataFrame
        Target weights, dates down and stock ids across; a weight is a signed fraction of the
        portfolio value (negative for a short). Rows whose absolute weights add up to more than 1
        are scaled down to a gross of 1. NaN means 0. A boolean frame means equal weights among
        the True cells of each row.
    prices : pandas.DataFrame or mapping of str to pandas.DataFrame
        One DataFrame of prices (used as trading price and close), or a mapping with ``"close"``
        and any of ``"open"``, ``"high"``, ``"low"`` and ``"trade"`` (an explicit trading price).
        Dates down, stock ids across; NaN marks a missing price (a suspension): the holding keeps
        its value. Extra stocks are fine; the other frames are aligned to the close.
    rebalance : str, pandas.DateOffset, sequence of dates or None, default None
        When the book moves to the target weights. A pandas frequency alias ("D", "W-FRI", "MS",
        "ME", "QE", ...): on the last trading day of each period (the final period only once it is
        over). A sequence of dates: each marks the last trading day on or before it. None: every
        date of ``weights``. The trades themselves happen on the following trading day.
    fee : float, default 0.001425
        Fee rate on the traded value, charged on buys and sells.
    tax : float, default 0.003
        Tax rate on the traded value when a holding is reduced or closed.
    stop_loss : float or None, default None
        Exit a holding when it has lost this fraction of its entry value (0.1 = 10 %); None: never.
    take_profit : float or None, default None
        Exit a holding when it has gained this fraction; None: never.
    trailing_stop : float or None, default None
        Exit when the return falls this far below the best return since entry (0.1 with a best of
        +50 % exits at +40 %); None: no trailing stop.
    trailing_activation : float, default 0.0
        Gain the holding must have reached before the trailing stop is armed.
    intraday_stops : bool, default False
        False: stops are checked on the close and executed on the next trading day at its trading
        price. True: stops trigger intraday on open/high/low and execute at the stop level (or at
        the open when the day opens beyond it); needs "open", "high" and "low" prices.
    position_limit : float, default 1.0
        Largest absolute weight of a single stock.
    retain_cost : bool, default False
        Keep a held stock's entry (its stop levels and its trade record) across rebalances that keep
        it on the same side, instead of restarting them at each rebalance.
    stop_trading_next_period : bool, default True
        A stock that was stopped out stays out until the next rebalance, even if the weights keep
        it.
    split_trades : bool, default True
        Start a new trade record for every held stock that a rebalance resizes or keeps (only when
        ``retain_cost`` is False); False: one record from entry to exit.
    excursion_window : int, default 20
        Number of trading days after each entry over which excursions are sampled
        (see :attr:`BacktestResult.excursions`); 0 keeps only the per-trade summary.
    excursion_step : int, default 1
        Sampling step within the excursion window.
    delistings : pandas.Series or mapping, optional
        Last trading date per stock id. A delisted holding is sold on its last trading day at its
        value, and weight rows dated on or after that day give the stock 0.
    trade_at : {"close", "open"} or None, default None
        Which price trades: None uses ``prices["trade"]`` if given, else the close.

    Returns
    -------
    BacktestResult
        Equity curve, trades with excursions, next-period orders and statistics; independent of any
        later run.

    Raises
    ------
    ValueError
        For inputs that cannot be aligned (a stock in ``weights`` without prices is named), and for
        a trading price that is zero, negative or infinite on a day a stock is held.
    TypeError
        For inputs of the wrong kind.

    Examples
    --------
    >>> import pelmora
    >>> from pelmora.datasets import synthetic_market
    >>> from pelmora.strategies import momentum_weights
    >>> market = synthetic_market(n_stocks=30, n_days=300, seed=1)
    >>> weights = momentum_weights(market["close"], lookback=60, top_n=5)
    >>> result = pelmora.backtest(weights, market, rebalance="ME", stop_loss=0.1)
    >>> float(result.equity.iloc[0])
    1.0
    >>> list(result.stats().index[:4])
    ['start', 'end', 'total_return', 'cagr']
    """
    inputs = prepare_inputs(
        weights,
        prices,
        rebalance=rebalance,
        fee=fee,
        tax=tax,
        stop_loss=stop_loss,
        take_profit=take_profit,
        trailing_stop=trailing_stop,
        trailing_activation=trailing_activation,
        intraday_stops=intraday_stops,
        position_limit=position_limit,
        retain_cost=retain_cost,
        stop_trading_next_period=stop_trading_next_period,
        split_trades=split_trades,
        excursion_window=excursion_window,
        excursion_step=excursion_step,
        delistings=delistings,
        trade_at=trade_at,
    )
    from pelmora.result import BacktestResult, RunRecord

    args = inputs.arguments
    with _RUN_LOCK:
        creturn = runvane.backtest_(**args)
        # The lists and the report belong to the modules and are emptied by the next run: copy.
        rows, operations = runvane.get_trade_stocks(
            args["pos_columns"], args["price_index"], args["touched_exit"]
        )
        record = RunRecord(
            creturn=creturn,
            trade_rows=[list(r) for r in rows],
            trade_records=[list(t) for t in swaylen.trades],
            excursion_arrays=list(swaylen.swaylen),
            operations={
                k: (dict(v) if isinstance(v, dict) else v) for k, v in dict(operations).items()
            },
        )
    return BacktestResult(inputs, record)


# --------------------------------------------------------------------------------------------------
# sweep
# --------------------------------------------------------------------------------------------------

_BACKTEST_OPTIONS = frozenset(
    name
    for name, p in inspect.signature(backtest).parameters.items()
    if p.kind is inspect.Parameter.KEYWORD_ONLY
)

# Data of a process-pool worker, installed once per process by the pool's initializer.
_WORKER_DATA: dict[str, Any] = {}


def _install_worker_data(weights: Any, prices: Any, fixed: dict[str, Any]) -> None:
    _WORKER_DATA.update(weights=weights, prices=prices, fixed=fixed)


def _stats_of(
    combination: dict[str, Any], weights: Any, prices: Any, fixed: dict[str, Any]
) -> dict[str, Any]:
    result = backtest(weights, prices, **fixed, **combination)
    return dict(result.stats())


def _worker_stats(combination: dict[str, Any]) -> dict[str, Any]:
    data = _WORKER_DATA
    return _stats_of(combination, data["weights"], data["prices"], data["fixed"])


def _combinations(grid: Mapping[str, Sequence[Any]]) -> list[dict[str, Any]]:
    if not isinstance(grid, Mapping) or not grid:
        raise ValueError("grid must be a non-empty mapping of option name to a list of values")
    names = list(grid)
    for name in names:
        if name not in _BACKTEST_OPTIONS:
            raise TypeError(f"grid names an unknown backtest option {name!r}")
        values = grid[name]
        if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
            raise TypeError(f"grid[{name!r}] must be a list of values, got {values!r}")
    return [dict(zip(names, combo)) for combo in itertools.product(*(list(grid[n]) for n in names))]


def sweep(
    grid: Mapping[str, Sequence[Any]],
    weights: pd.DataFrame,
    prices: PriceInput,
    *,
    backend: Literal["processes", "dask"] = "processes",
    client: Any = None,
    progress: bool = True,
    max_workers: int | None = None,
    **fixed: Any,
) -> pd.DataFrame:
    """Run :func:`backtest` for every combination of a parameter grid, in parallel.

    Parameters
    ----------
    grid : mapping of str to list
        Backtest options and the values to try, for example
        ``{"stop_loss": [0.05, 0.1], "rebalance": ["ME", "QE"]}``; the cartesian product is run.
    weights, prices
        As for :func:`backtest`, shared by every run.
    backend : {"processes", "dask"}, default "processes"
        "processes": a local process pool. "dask": a Dask distributed client, ``client`` if given
        (a cluster of any size), otherwise a LocalCluster started for this sweep and closed after.
        The engine's state is per process, so every worker runs one backtest at a time: the
        LocalCluster has one thread per worker.
    client : distributed.Client, optional
        Client for the "dask" backend.
    progress : bool, default True
        Show a tqdm progress bar.
    max_workers : int, optional
        Number of worker processes (default: the number of CPUs, at most one per combination).
        Ignored when ``client`` is given.
    **fixed
        Backtest options shared by every run (for example ``fee=0.0``).

    Returns
    -------
    pandas.DataFrame
        One row per combination, in grid order: the grid's options, then the columns of
        :meth:`BacktestResult.stats`.

    Raises
    ------
    TypeError
        A grid or fixed option that :func:`backtest` does not have.
    ValueError
        An empty grid or an unknown backend.
    ImportError
        When the backend's packages (extra ``sweep``) are missing.
    """
    pandas = _pandas("pelmora.sweep")
    combos = _combinations(grid)
    for name in fixed:
        if name not in _BACKTEST_OPTIONS:
            raise TypeError(f"sweep() got an unknown backtest option {name!r}")
        if name in grid:
            raise TypeError(f"option {name!r} is both in the grid and fixed")
    if backend not in ("processes", "dask"):
        raise ValueError(f'backend must be "processes" or "dask", got {backend!r}')
    workers = max_workers or min(os.cpu_count() or 1, len(combos))
    if workers < 1:
        raise ValueError(f"max_workers must be at least 1, got {max_workers}")
    bar = _progress_bar(len(combos), progress)
    try:
        if backend == "processes":
            results = _sweep_processes(combos, weights, prices, fixed, workers, bar)
        else:
            results = _sweep_dask(combos, weights, prices, fixed, workers, client, bar)
    finally:
        if bar is not None:
            bar.close()
    rows = [{**combo, **stats} for combo, stats in zip(combos, results)]
    table: pd.DataFrame = pandas.DataFrame(rows, columns=list(grid) + list(results[0]))
    return table


def _progress_bar(total: int, progress: bool) -> Any:
    if not progress:
        return None
    tqdm = _require("tqdm", "pelmora.sweep(progress=True)")
    return tqdm.tqdm(total=total, desc="sweep", unit="run")


def _sweep_processes(
    combos: list[dict[str, Any]],
    weights: Any,
    prices: Any,
    fixed: dict[str, Any],
    workers: int,
    bar: Any,
) -> list[dict[str, Any]]:
    from concurrent.futures import ProcessPoolExecutor, as_completed

    results: list[dict[str, Any] | None] = [None] * len(combos)
    # The data goes to each worker once, through the initializer, not with every task.
    with ProcessPoolExecutor(
        max_workers=workers, initializer=_install_worker_data, initargs=(weights, prices, fixed)
    ) as pool:
        futures = {pool.submit(_worker_stats, combo): i for i, combo in enumerate(combos)}
        for future in as_completed(futures):
            results[futures[future]] = future.result()
            if bar is not None:
                bar.update(1)
    return results  # type: ignore[return-value]


def _sweep_dask(
    combos: list[dict[str, Any]],
    weights: Any,
    prices: Any,
    fixed: dict[str, Any],
    workers: int,
    client: Any,
    bar: Any,
) -> list[dict[str, Any]]:
    distributed = _require("distributed", "pelmora.sweep(backend='dask')")
    own_cluster = None
    own_client = None
    if client is None:
        own_cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
        own_client = client = distributed.Client(own_cluster)
    try:
        data = client.scatter([weights, prices], broadcast=True)
        futures = [
            client.submit(_stats_of, combo, data[0], data[1], fixed, pure=False) for combo in combos
        ]
        index = {f.key: i for i, f in enumerate(futures)}
        results: list[dict[str, Any] | None] = [None] * len(combos)
        for future in distributed.as_completed(futures):
            results[index[future.key]] = future.result()
            if bar is not None:
                bar.update(1)
        return results  # type: ignore[return-value]
    finally:
        if own_client is not None:
            own_client.close()
        if own_cluster is not None:
            own_cluster.close()
