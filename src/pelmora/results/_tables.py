"""The tables of a run: the journal's columns labelled with the user's dates and stock ids.

Each function takes the inputs of a run and what the journal recorded, and builds one table of
:class:`pelmora.result.BacktestResult` (whose properties document the columns). Nothing here
computes what the engine knows: values, prices and rows are the journal's; only the labels, and
sums of them, are added.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.engine._vocabulary import (
    EXCURSION_FIELDS, FINANCING_FIELDS, ORDERS, REASONS, RunRecord,
)
from pelmora.statistics._figures import round_trip_pnl, trade_figures_of
from pelmora._optional import import_optional
from pelmora.core.journal import _start_figures, _turnover

if TYPE_CHECKING:  # pragma: no cover
    from pelmora.inputs._prepare import EngineInputs

__all__ = [
    "RunFigures",
    "excursion_summary",
    "excursions_table",
    "exposure_table",
    "fills_table",
    "financing_table",
    "next_period_table",
    "positions_table",
    "start_figures",
    "trades_table",
    "turnover_per_row",
]

BLOCK = len(EXCURSION_FIELDS)
"""Values per excursion sample."""
_INTRADAY_EXITS = frozenset(REASONS.index(r) for r in ("stop_loss", "take_profit", "trailing_stop"))


def _pandas() -> Any:
    return import_optional("pandas", caller="pelmora.BacktestResult")


def _row_dates(inputs: EngineInputs, rows: np.ndarray, valid: np.ndarray | None = None) -> Any:
    """The dates of price rows; NaT where ``valid`` is False."""
    index = inputs.arguments["price_index"]
    rows = np.asarray(rows, dtype=np.int64)
    ok = np.ones(len(rows), dtype=bool) if valid is None else np.asarray(valid, dtype=bool)
    nat = np.datetime64("NaT", "ns").astype(np.int64)
    ns = np.full(len(rows), nat, dtype=np.int64)
    ns[ok] = index[rows[ok]]
    return inputs.dates_of(ns)


def _stocks(inputs: EngineInputs, sid: np.ndarray) -> np.ndarray:
    stocks: np.ndarray = np.asarray(inputs.stocks, dtype=object)[np.asarray(sid, np.intp)]
    return stocks


def fills_table(inputs: EngineInputs, record: RunRecord) -> Any:
    """One row per fill, in execution order (see :attr:`BacktestResult.fills`)."""
    pd = _pandas()
    f = record.fills
    rows = np.asarray(f["row"], dtype=np.int64)
    sid = np.asarray(f["sid"], dtype=np.int64)
    before = np.asarray(f["before"], dtype=np.float64)
    after = np.asarray(f["after"], dtype=np.float64)
    columns: dict[str, Any] = {
        "date": _row_dates(inputs, rows),
        "stock": _stocks(inputs, sid),
        "reason": pd.Categorical.from_codes(
            np.asarray(f["reason"], dtype=np.int64), categories=list(REASONS)
        ),
        "side": np.where(after > before, "buy", "sell").astype(object),
        "price": np.asarray(f["price"], dtype=np.float64),
    }
    # Shares exist only for an account in currency: without a capital they would be all NaN.
    if inputs.options.capital is not None:
        columns["shares"] = np.asarray(f["shares"], dtype=np.float64)
        columns["requested"] = np.asarray(f["requested"], dtype=np.float64)
    written_off = np.asarray(f["written_off"], dtype=np.float64)
    columns.update(
        # A write-off moves the holding out of the book without a trade: it traded nothing.
        value=np.abs(after - before) - written_off,
        fee=np.asarray(f["fee"], dtype=np.float64),
        tax=np.asarray(f["tax"], dtype=np.float64),
        slippage=np.asarray(f["slippage"], dtype=np.float64),
        impact=np.asarray(f["impact"], dtype=np.float64),
        written_off=written_off,
        suspended=np.asarray(f["suspended"], dtype=bool),
        before=before,
        after=after,
    )
    return pd.DataFrame(columns)


_COST_COLUMNS = {"fee_cost": "fee", "tax_cost": "tax", "slippage_cost": "slippage",
                 "impact_cost": "impact"}
"""The costs paid at fills, by kind, and the fill column of each."""


@dataclass(frozen=True)
class RunFigures:
    """What the statistics read from a run's columns (see :func:`start_figures`)."""

    turnover: np.ndarray
    """The weight traded on each row (:func:`turnover_per_row`)."""
    trades: dict[str, Any]
    """The trade figures (:func:`pelmora.statistics._figures.trade_stats`)."""
    costs: dict[str, float]
    """What the run paid by kind (see :data:`pelmora.stats.COST_NAMES`), in portfolio units."""


def start_figures(record: RunRecord) -> Callable[[], RunFigures]:
    """The statistics' figures of a run's fills and trades, started on a thread of their own.

    They read hundreds of thousands of fills and trades that the run has left cold: a native
    task computes them while the caller goes on with the equity curve, and the returned
    function gives them (its thread takes the sums not started yet). Each figure is the one its
    NumPy formula gives, bit for bit.
    """
    fin = record.financing
    if record.figures is not None:  # made by the run itself, from the columns it did not keep
        made = record.figures
        costs = dict(zip(_COST_COLUMNS, made["costs"]))
        costs["financing_cost"] = _financing_cost(fin)
        figures = RunFigures(made["turnover"], trade_figures_of(
            made["positions"], made["trade_figures"], made["means"]), costs)
        return lambda: figures
    f = record.fills
    summary = excursion_summary(record)
    # The trade figures count positions from entry to exit, however many records a run split
    # each one into.
    pnl = round_trip_pnl(record.trades, f)
    task = _start_figures(
        pnl, summary[:, EXCURSION_FIELDS.index("mae")], summary[:, EXCURSION_FIELDS.index("gmfe")],
        *_turnover_columns(record),
        *(np.asarray(f[column], dtype=np.float64) for column in _COST_COLUMNS.values()),
    )

    def figures() -> RunFigures:
        per_row, trade_figures, means, sums = task.result()
        costs = dict(zip(_COST_COLUMNS, sums))
        costs["financing_cost"] = _financing_cost(fin)
        return RunFigures(per_row, trade_figures_of(len(pnl), trade_figures, means), costs)

    return figures


def _financing_cost(financing: dict[str, np.ndarray]) -> float:
    """What financing cost the run: the short fees less the interest earned."""
    return float(np.sum(financing["short_fee"])) - float(np.sum(financing["interest"]))


def _turnover_columns(record: RunRecord) -> tuple[np.ndarray, ...]:
    """The arguments of the native turnover: the fills' rows, before, after and written off,
    and the equity curve."""
    f = record.fills
    return (
        np.asarray(f["row"], dtype=np.int64), np.asarray(f["before"], dtype=np.float64),
        np.asarray(f["after"], dtype=np.float64), np.asarray(f["written_off"], dtype=np.float64),
        np.asarray(record.creturn, dtype=np.float64),
    )


def turnover_per_row(record: RunRecord) -> np.ndarray:
    """The weight traded on each row (see :attr:`BacktestResult.turnover`)."""
    # (|after - before| - written_off) / the equity before the fill's row, added up per row in
    # the fills' order, in one native pass: a run of a daily rebalance has hundreds of
    # thousands of fills, and a chain of NumPy temporaries of that size costs more than the
    # arithmetic.
    per_day: np.ndarray = _turnover(*_turnover_columns(record))
    return per_day


def financing_table(inputs: EngineInputs, record: RunRecord) -> Any:
    """One row per financing accrual (see :attr:`BacktestResult.financing`)."""
    pd = _pandas()
    f = record.financing
    frame = pd.DataFrame(
        {name: np.asarray(f[name], dtype=np.float64) for name in FINANCING_FIELDS},
        index=_row_dates(inputs, np.asarray(f["row"], dtype=np.int64)),
    )
    frame.index.name = "date"
    return frame


def trades_table(inputs: EngineInputs, record: RunRecord) -> Any:
    """One row per trade record (see :attr:`BacktestResult.trades`)."""
    pd = _pandas()
    t = record.trades
    sid = np.asarray(t["sid"], dtype=np.int64)
    n = len(sid)
    entry_row = np.asarray(t["entry_row"], dtype=np.int64)
    exit_row = np.asarray(t["exit_row"], dtype=np.int64)
    reason = np.asarray(t["exit_reason"], dtype=np.int64)
    closed = exit_row >= 0
    last_row = len(record.creturn) - 1
    end_row = np.where(closed, exit_row, last_row)
    cols = inputs.price_column_of_stock[sid]
    # An intraday stop is decided on the day it executes, any other exit the day before.
    intraday = inputs.options.intraday_stops & np.isin(reason, list(_INTRADAY_EXITS))
    entry_value = np.asarray(t["entry_value"], dtype=np.float64)
    pnl = np.asarray(t["pnl"], dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        returns = pnl / np.abs(entry_value)
    frame = pd.DataFrame(
        {
            "stock": _stocks(inputs, sid),
            "entry_date": _row_dates(inputs, entry_row),
            "exit_date": _row_dates(inputs, end_row, closed),
            "entry_signal_date": _row_dates(inputs, entry_row - 1, entry_row > 0),
            "exit_signal_date": _row_dates(
                inputs,
                np.where(intraday, end_row, end_row - 1),
                closed & (intraday | (end_row > 0)),
            ),
            "weight": np.asarray(t["position"], dtype=np.float64),
            "entry_price": _trade_prices(
                inputs, record, t["entry_fill"], entry_row, cols, np.ones(n, bool)
            ),
            "exit_price": _trade_prices(inputs, record, t["exit_fill"], end_row, cols, closed),
            "entry_value": entry_value,
            "exit_value": np.asarray(t["exit_value"], dtype=np.float64),
            "costs": np.asarray(t["cost"], dtype=np.float64),
            "pnl": pnl,
            "return": returns,
            "exit_reason": pd.Categorical.from_codes(
                np.where(closed, reason, -1), categories=list(REASONS)
            ),
            "bars_held": end_row - entry_row,
        }
    )
    summary = excursion_summary(record)
    for k, name in enumerate(EXCURSION_FIELDS):
        frame[name] = summary[:, k]
    return frame


def excursion_summary(record: RunRecord) -> np.ndarray:
    """The last excursion block of every trade (trades x fields); NaN without excursions."""
    n = len(record.trades["sid"])
    if record.excursion_summary is not None:
        return np.asarray(record.excursion_summary, dtype=np.float64)
    ex = record.excursions
    if ex is None or n == 0:
        return np.full((n, BLOCK), np.nan)
    summary: np.ndarray = np.asarray(ex, dtype=np.float64)[:, -BLOCK:]
    return summary


def _trade_prices(
    inputs: EngineInputs,
    record: RunRecord,
    fill: np.ndarray,
    rows: np.ndarray,
    cols: np.ndarray,
    traded: np.ndarray,
) -> np.ndarray:
    """The prices of the fills at indexes ``fill``; the last known price where it is -1.

    A record without a fill of its own (one split off a holding that a rebalance kept without
    trading, or an open trade's exit) is priced at the day's trading price where ``traded``,
    else at the close; a suspended stock at its last price known on or before that day. The
    journal records a price per fill only, so these few are looked up in the run's prices.
    """
    fill = np.asarray(fill, dtype=np.int64)
    prices = np.asarray(record.fills["price"], dtype=np.float64)
    out = prices[np.maximum(fill, 0)] if len(prices) else np.full(len(fill), np.nan)
    args = inputs.arguments
    for k in np.flatnonzero(fill < 0):
        matrix = args["price_values"] if traded[k] else args["close_values"]
        known = np.flatnonzero(~np.isnan(matrix[: rows[k] + 1, cols[k]]))
        out[k] = matrix[known[-1], cols[k]] if len(known) else np.nan
    return out


def _holdings(record: RunRecord) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    p = record.positions
    if p is None:  # pragma: no cover - backtest always records them
        raise RuntimeError("this run was made without positions")
    return (
        np.asarray(p["row"], dtype=np.int64),
        np.asarray(p["sid"], dtype=np.int64),
        np.asarray(p["value"], dtype=np.float64),
    )


def positions_table(
    inputs: EngineInputs, record: RunRecord, index: Any, capital: float | None = None
) -> Any:
    """Weight of every stock at every close, on ``index`` (see :attr:`BacktestResult.positions`);
    with a ``capital``, each holding's value in currency instead."""
    pd = _pandas()
    rows, sid, value = _holdings(record)
    equity = np.asarray(record.creturn, dtype=np.float64)
    weights = np.zeros((len(equity), len(inputs.stocks)), dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        weights[rows, sid] = value / equity[rows] if capital is None else value * capital
    return pd.DataFrame(weights, index=index, columns=inputs.stocks)


def exposure_table(record: RunRecord, index: Any, capital: float | None = None) -> Any:
    """The book's make-up at every close, on ``index`` (see :attr:`BacktestResult.exposure`):
    fractions of the equity, or with a ``capital`` amounts in currency."""
    pd = _pandas()
    rows, _, value = _holdings(record)
    equity = np.asarray(record.creturn, dtype=np.float64)
    n = len(equity)
    long = np.bincount(rows, weights=np.where(value > 0, value, 0.0), minlength=n)
    short = np.bincount(rows, weights=np.where(value < 0, value, 0.0), minlength=n)
    count = np.bincount(rows, minlength=n)
    cash = np.asarray(record.cash, dtype=np.float64)
    if capital is None:
        with np.errstate(divide="ignore", invalid="ignore"):
            long, short, cash = long / equity, short / equity, cash / equity
    else:
        long, short, cash = long * capital, short * capital, cash * capital
    return pd.DataFrame(
        {
            "long": long,
            "short": short,
            "gross": long - short,
            "net": long + short,
            "cash": cash,
            "n_holdings": count.astype(np.int64),
        },
        index=index,
    )


def excursions_table(inputs: EngineInputs, record: RunRecord) -> Any:
    """The sampled excursion path of every trade (see :attr:`BacktestResult.excursions`)."""
    pd = _pandas()
    step = inputs.options.excursion_step
    ex = record.excursions
    sids = np.asarray(record.trades["sid"], dtype=np.intp)
    n = len(sids)
    # Every array of a run has the same length: sample blocks, then the summary block.
    if ex is not None and n:
        samples = np.asarray(ex, dtype=np.float64).reshape(n, -1, BLOCK)[:, :-1, :]
    else:
        samples = np.empty((0, 0, BLOCK))
    # A sample past the end of the data keeps the fill value -1 in every field; a real sample
    # always counts 0 or more days in profit.
    trade_no, block = np.nonzero(samples[:, :, EXCURSION_FIELDS.index("profit_bars")] != -1.0)
    frame = pd.DataFrame(
        {
            "trade": trade_no.astype(np.int64),
            "stock": _stocks(inputs, sids[trade_no]),
            "bar": block.astype(np.int64) * step,
        }
    )
    values = samples[trade_no, block]
    for k, name in enumerate(EXCURSION_FIELDS):
        frame[name] = values[:, k]
    return frame


def _stop_reasons(record: RunRecord) -> dict[int, str]:
    """The reason of every stock's last stop fill (stop loss, take profit or trailing stop)."""
    f = record.fills
    reasons = np.asarray(f["reason"], dtype=np.int64)
    stops = np.flatnonzero(np.isin(reasons, sorted(_INTRADAY_EXITS)))
    # Later fills overwrite earlier ones: the last stop of a stock is the one since the rebalance.
    return {int(f["sid"][i]): REASONS[reasons[i]] for i in stops}


def _order(code: str | None, sid: int, weight: float, next_weight: float,
           stops: dict[int, str]) -> str:
    """The order in words of one next-period row (see :data:`pelmora.engine._vocabulary.ORDERS`)."""
    if code in ("tp_", "sl_"):
        key = stops.get(sid, "take_profit" if code == "tp_" else "stop_loss")
    elif code is None:
        key = "held" if weight or next_weight else "flat"
    elif code in ("sl", "sl_enter") and sid == 0:
        key = "either"
    elif code == "hold" and weight * next_weight < 0:
        key = "long to short" if weight > 0 else "short to long"
    else:
        key = "short" if (next_weight if code == "enter" else weight) < 0 else "long"
    return ORDERS[(code, key)]


def next_period_table(inputs: EngineInputs, record: RunRecord) -> Any:
    """What to do on the trading day after the data (see :attr:`BacktestResult.next_period`)."""
    pd = _pandas()
    ops = record.next_period
    actions: dict[int, str] = ops.get("actions", {})
    weights: dict[int, Any] = ops.get("weights", {})
    next_weights: dict[int, Any] = ops.get("next_weights", {})
    sids = sorted(set(actions) | set(weights) | set(next_weights))
    held = [float(weights.get(s, 0.0)) for s in sids]
    coming = [float(next_weights.get(s, 0.0)) for s in sids]
    stops = _stop_reasons(record) if any(a in ("tp_", "sl_") for a in actions.values()) else {}
    # The user's weight dates: the engine's are moved onto the price rows they belong to.
    pos_dates = inputs.dates_of(inputs.weight_dates.asi8)
    wt = int(ops.get("weight_time", -1))
    nwt = int(ops.get("next_weight_time", -1))
    return pd.DataFrame(
        {
            "stock": pd.Series(_stocks(inputs, np.array(sids, dtype=np.intp)), dtype=object),
            "action": pd.Series([actions.get(s) for s in sids], dtype=object),
            "order": pd.Series(
                [_order(actions.get(s), s, w, n, stops) for s, w, n in zip(sids, held, coming)],
                dtype=object,
            ),
            "weight": np.array(held, dtype=np.float64),
            "next_weight": np.array(coming, dtype=np.float64),
            "weight_date": pd.DatetimeIndex([pos_dates[wt] if wt >= 0 else pd.NaT] * len(sids)),
            "next_weight_date": pd.DatetimeIndex(
                [pos_dates[nwt] if nwt >= 0 else pd.NaT] * len(sids)
            ),
        }
    )
