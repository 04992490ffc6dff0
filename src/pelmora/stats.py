"""Performance statistics of a backtest: returns, risk, drawdown, trades and turnover.

All functions take plain pandas/NumPy objects so that they can be used on any equity curve, not only
on a :class:`pelmora.BacktestResult`.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora import _require

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["STAT_NAMES", "drawdown", "performance_stats", "target_turnover"]

STAT_NAMES = (
    "start",
    "end",
    "total_return",
    "cagr",
    "annual_volatility",
    "sharpe",
    "sortino",
    "max_drawdown",
    "max_drawdown_start",
    "max_drawdown_end",
    "win_rate",
    "avg_mae",
    "avg_mfe",
    "turnover",
    "n_trades",
)
"""The names of :func:`performance_stats`, in order."""

DAYS_PER_YEAR = 365.25


def drawdown(equity: pd.Series) -> pd.Series:
    """The drawdown of an equity curve: its value over its running maximum, minus 1 (0 or below).

    Parameters
    ----------
    equity : pandas.Series
        Portfolio values.

    Returns
    -------
    pandas.Series
        Same index; 0 at every new high.
    """
    result: pd.Series = equity / equity.cummax() - 1.0
    return result


def _years(start: Any, end: Any) -> float:
    return float((end - start) / np.timedelta64(1, "D")) / DAYS_PER_YEAR


def target_turnover(
    price_index: np.ndarray,
    pos_index: np.ndarray,
    pos_values: np.ndarray,
    resample: np.ndarray,
    position_limit: float,
) -> float:
    """Total traded target weight (buys plus sells) over all rebalances the engine executes.

    Follows the engine's schedule: every rebalance date marks the last price row on or before it; on
    such a row (from the first weight date on, not the last row) the active weight row is the last
    one dated before the next price row, and the book moves to it on the next row when it differs
    from the row executed last. Each target row is taken as the engine applies it: scaled to a
    gross of at most 1, then clipped to ``position_limit``. Stop exits are not counted.

    Parameters
    ----------
    price_index, pos_index, resample : numpy.ndarray
        int64 dates of the price rows, of the weight rows and of the rebalances.
    pos_values : numpy.ndarray
        float64 weights, weight rows by stocks.
    position_limit : float
        The run's position limit.

    Returns
    -------
    float
        The sum over executed rebalances of the absolute weight changes (the first rebalance of a
        fully invested strategy counts 1.0).
    """
    n = len(price_index)
    if n == 0 or len(pos_index) == 0:
        return 0.0
    marks = np.unique(np.maximum(np.searchsorted(price_index, resample, side="right") - 1, 0))
    first = np.searchsorted(price_index, pos_index[0], side="left")
    held = np.zeros(pos_values.shape[1])
    executed = -1
    total = 0.0
    for row in marks:
        if row < first or row >= n - 1:
            continue
        pos_id = int(np.searchsorted(pos_index, price_index[row + 1], side="left")) - 1
        if pos_id == executed:
            continue
        target = pos_values[pos_id] / max(float(np.abs(pos_values[pos_id]).sum()), 1.0)
        target = np.clip(target, -position_limit, position_limit)
        total += float(np.abs(target - held).sum())
        held = target
        executed = pos_id
    return total


def performance_stats(
    equity: pd.Series,
    trades: pd.DataFrame | None = None,
    *,
    turnover: float = math.nan,
    periods_per_year: float = 252,
    risk_free: float = 0.0,
) -> pd.Series:
    """The usual statistics of an equity curve and its trades.

    Parameters
    ----------
    equity : pandas.Series
        Portfolio values on dates, starting from the initial capital (1.0 in a backtest); the
        returns of the first row are measured from 1.0.
    trades : pandas.DataFrame, optional
        With columns ``trade_return``, ``mae`` and ``gmfe`` (as :attr:`BacktestResult.trades`).
    turnover : float, optional
        Total traded weight over the period (see :func:`target_turnover`); reported per year.
    periods_per_year : float, default 252
        Rows per year, to annualise volatility, Sharpe and Sortino.
    risk_free : float, default 0.0
        Annual risk-free rate subtracted from the returns for Sharpe and Sortino.

    Returns
    -------
    pandas.Series
        ``start``, ``end``: first and last date; ``total_return``: last value / 1 - 1; ``cagr``:
        compounded annual growth over the calendar span; ``annual_volatility``: standard deviation
        of the row returns (ddof 1) x sqrt(periods_per_year); ``sharpe``: mean excess return over
        its standard deviation, annualised; ``sortino``: mean excess return over the downside
        deviation (root mean square of the negative excess returns), annualised;
        ``max_drawdown``: the lowest drawdown, with ``max_drawdown_start`` (the peak before it) and
        ``max_drawdown_end`` (the trough); ``win_rate``: share of trades with a positive
        ``trade_return``; ``avg_mae``, ``avg_mfe``: mean ``mae`` and ``gmfe`` of the trades;
        ``turnover``: ``turnover`` per year; ``n_trades``: number of trades. Values that cannot be
        computed (too few rows, zero volatility, no trades) are NaN or NaT.
    """
    pandas = _require("pandas", "pelmora.stats")
    out: dict[str, Any] = dict.fromkeys(STAT_NAMES, math.nan)
    nat = pandas.NaT
    out.update(start=nat, end=nat, max_drawdown_start=nat, max_drawdown_end=nat)
    n_trades = 0 if trades is None else len(trades)
    out["n_trades"] = n_trades
    if trades is not None and n_trades:
        out["win_rate"] = float((trades["trade_return"] > 0).mean())
        out["avg_mae"] = float(trades["mae"].mean())
        out["avg_mfe"] = float(trades["gmfe"].mean())
    if len(equity) == 0:
        empty: pd.Series = pandas.Series(out, dtype=object)
        return empty

    values = equity.to_numpy(dtype=np.float64)
    out["start"], out["end"] = equity.index[0], equity.index[-1]
    out["total_return"] = float(values[-1] - 1.0)
    years = _years(equity.index[0], equity.index[-1])
    if years > 0 and values[-1] > 0:
        with np.errstate(over="ignore"):  # a big gain over a few days is an infinite rate
            out["cagr"] = float(np.float64(values[-1]) ** (1.0 / years) - 1.0)
    if years > 0:
        out["turnover"] = float(turnover / years)

    rets = values / np.concatenate(([1.0], values[:-1])) - 1.0
    if len(rets) > 1:
        std = float(np.std(rets, ddof=1))
        excess = rets - risk_free / periods_per_year
        out["annual_volatility"] = std * math.sqrt(periods_per_year)
        if std > 0:
            out["sharpe"] = float(excess.mean()) / std * math.sqrt(periods_per_year)
        downside = math.sqrt(float(np.mean(np.minimum(excess, 0.0) ** 2)))
        if downside > 0:
            out["sortino"] = float(excess.mean()) / downside * math.sqrt(periods_per_year)

    dd = drawdown(equity)
    out["max_drawdown"] = float(dd.min())
    if out["max_drawdown"] < 0:
        trough = int(np.argmin(dd.to_numpy()))
        peak = int(np.argmax(values[: trough + 1]))
        out["max_drawdown_start"] = equity.index[peak]
        out["max_drawdown_end"] = equity.index[trough]
    result: pd.Series = pandas.Series(out, dtype=object)
    return result
