"""The figures of a run, computed on NumPy arrays: its equity curve and drawdown, its trades, the
distribution and the sequence of its row returns, its calendar months, and its returns against a
benchmark's.

:func:`pelmora.stats.performance_stats` checks and aligns its inputs, then asks these functions for
the figures; each returns the figures it could compute, and the caller holds NaN for the rest.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional
from pelmora.core.journal import _mean_skipping_nan, _means_skipping_nan, _trade_figures
from pelmora.statistics.selection import probabilistic_sharpe_ratio

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = [
    "VAR_LEVEL", "curve_stats", "daily_stats", "month_returns", "relative_stats",
    "round_trip_pnl", "series_mean", "sum_skipping_nan", "trade_figures_of", "trade_stats",
]

VAR_LEVEL = 0.05
"""The tail of ``value_at_risk`` and ``conditional_value_at_risk``: the worst 5 % of days."""

# Relative size under which a spread of values is rounding noise: the mean of n equal floats need
# not equal them exactly, and dividing by the leftover ~1e-36 variance would give a huge ratio.
_FLAT = 64 * np.finfo(np.float64).eps


def _centered(x: np.ndarray) -> np.ndarray | None:
    """``x`` minus its mean, or None when ``x`` has no spread beyond rounding noise."""
    centered = x - x.mean()
    scale = float(np.abs(x).max()) if len(x) else 0.0
    if float(np.abs(centered).max(initial=0.0)) <= _FLAT * scale:
        return None
    return centered


def curve_stats(
    values: np.ndarray,
    rets: np.ndarray,
    dd: np.ndarray,
    years: float,
    turnover: float,
    rf: float,
    periods_per_year: float,
) -> dict[str, Any]:
    """The figures of an equity curve held from a capital of 1.0: ``total_return`` to ``sortino``,
    ``turnover`` per year and the drawdown figures.

    ``values`` has at least one value, ``rets`` are its row returns (the first from 1.0), ``dd`` its
    drawdown from that capital, ``years`` the calendar years it spans and ``rf`` the per-row
    risk-free rate.
    """
    out: dict[str, Any] = {"total_return": float(values[-1] - 1.0)}
    cagr = math.nan
    if years > 0 and values[-1] > 0:
        with np.errstate(over="ignore"):  # a big gain over a few days is an infinite rate
            cagr = out["cagr"] = float(np.float64(values[-1]) ** (1.0 / years) - 1.0)
    if years > 0:
        out["turnover"] = float(turnover / years)

    if len(rets) > 1:
        std = float(np.std(rets, ddof=1))
        excess = rets - rf
        mean_excess = float(excess.mean())
        out["annual_volatility"] = std * math.sqrt(periods_per_year)
        if std > 0:
            out["sharpe"] = mean_excess / std * math.sqrt(periods_per_year)
        downside = math.sqrt(float(np.mean(np.minimum(excess, 0.0) ** 2)))
        if downside > 0:
            out["sortino"] = mean_excess / downside * math.sqrt(periods_per_year)

    some_drawdown = not np.isnan(dd).all()
    worst = out["max_drawdown"] = float(np.nanmin(dd)) if some_drawdown else math.nan
    if worst < 0:
        if not math.isnan(cagr):
            out["calmar"] = cagr / -worst
        out["recovery_factor"] = out["total_return"] / -worst
    if some_drawdown:
        out["ulcer_index"] = math.sqrt(float(np.nanmean(dd * dd)))
    return out


def trade_stats(trades: pd.DataFrame | Mapping[str, pd.Series] | None) -> dict[str, Any]:
    """The trade figures of ``trades``: a DataFrame, or a mapping of its columns as Series (what
    a result hands over, without assembling a frame), with ``pnl``, ``mae`` and ``gmfe``."""
    if trades is None or not len(trades):
        return {"n_trades": 0}
    pnl = np.asarray(trades["pnl"].to_numpy(dtype=np.float64), dtype=np.float64)
    if not len(pnl):
        return {"n_trades": 0}
    # A NaN pnl is neither a win nor a loss: dropped before counting, not compared as "not > 0".
    # The sums are NumPy's of the compacted wins, losses and counted pnl, so the sums serve the
    # means as well (a mean is NumPy's sum over the count), bit for bit, in one native pass.
    mae, gmfe = (np.asarray(trades[k].to_numpy(), dtype=np.float64) for k in ("mae", "gmfe"))
    if len(mae) == len(gmfe):
        # Two columns of the excursion summary: read in one pass over its rows.
        means = _means_skipping_nan(mae, gmfe)
    else:
        means = series_mean(trades["mae"]), series_mean(trades["gmfe"])
    pnl = _frame_positions(trades, pnl)
    return trade_figures_of(len(pnl), _trade_figures(pnl), means)


def round_trip_pnl(trades: Mapping[str, Any], fills: Mapping[str, Any]) -> np.ndarray:
    """The pnl of each position from its entry to its exit, in the order of their exits, from a
    run's trade and fill columns.

    A run that splits trades (``split_trades``) starts a new record for a holding at each
    rebalance that resizes or keeps it; the figures users count (win rate, average win and
    loss, profit factor, expectancy, the number of trades) are of the positions, so the records
    of one holding are added up. A record continues into the next record of its stock when it
    ended without the holding going flat: by a resize (its exit fill leaves a holding) or by a
    split that traded nothing (no exit fill). A flip in one fill continues the position, as the
    run's own unsplit record does (a flip is charged as one entry); a position ends when the
    stock is sold flat (a rebalance to 0, a stop, a delisting). A NaN pnl in a position makes
    its pnl NaN.
    """
    pnl = np.asarray(trades["pnl"], dtype=np.float64)
    exit_row = np.asarray(trades["exit_row"], dtype=np.int64)
    exit_fill = np.asarray(trades["exit_fill"], dtype=np.int64)
    if len(pnl) < 2:
        return pnl
    has_fill = exit_fill >= 0
    after = np.asarray(fills["after"], dtype=np.float64)
    kept = after[np.where(has_fill, exit_fill, 0)] != 0.0 if len(after) else ~has_fill
    continued = (exit_row >= 0) & (~has_fill | kept)
    return _positions(pnl, np.asarray(trades["sid"], dtype=np.int64),
                      np.asarray(trades["entry_row"], dtype=np.int64), exit_row, continued)


def _frame_positions(trades: Any, pnl: np.ndarray) -> np.ndarray:
    """:func:`round_trip_pnl` of a trades table as a result shows it (a record continues when
    a rebalance ended it and the next record of its stock starts on its exit date); a table
    without those columns is taken a row per trade."""
    names = ("stock", "entry_date", "exit_date", "exit_reason")
    if len(pnl) < 2 or not all(name in trades for name in names):
        return pnl
    pd = import_optional("pandas", caller="pelmora.stats")
    stock = pd.factorize(pd.Series(trades["stock"]))[0]
    entry = pd.DatetimeIndex(trades["entry_date"]).asi8
    exit_dates = pd.DatetimeIndex(trades["exit_date"])
    reason = np.asarray(pd.Series(trades["exit_reason"]).astype(object) == "rebalance")
    continued = reason & ~np.asarray(exit_dates.isna())
    return _positions(pnl, stock, entry, exit_dates.asi8, continued)


def _positions(pnl: np.ndarray, stock: np.ndarray, entry: np.ndarray, exit_: np.ndarray,
               continued: np.ndarray) -> np.ndarray:
    """The records' pnl added up per position: each record that ``continued`` joins the next
    record of its stock (in the order they were opened) when that one opens where it ended."""
    if not continued.any():
        return pnl
    n = len(pnl)
    order = np.lexsort((np.arange(n), entry, stock))
    joined = np.zeros(n, dtype=bool)
    prev, cur = order[:-1], order[1:]
    joined[1:] = (stock[cur] == stock[prev]) & continued[prev] & (entry[cur] == exit_[prev])
    group = np.cumsum(~joined) - 1
    # Positions in the order their last records lie: the order in which a run that does not
    # split lists them (by exit, open ones last).
    last = np.full(group[-1] + 1, -1, dtype=np.int64)
    np.maximum.at(last, group, order)
    totals = np.zeros(len(last))
    np.add.at(totals, group, pnl[order])
    return totals[np.argsort(last, kind="stable")]


def trade_figures_of(
    n_trades: int, figures: tuple[int, int, int, float, float, float], means: tuple[float, float]
) -> dict[str, Any]:
    """:func:`trade_stats` of ``n_trades`` trades from the native figures of their pnl
    (``_trade_figures``: counted, wins, losses, and the sums of the wins, of the losses and of
    the counted) and the means of their ``mae`` and ``gmfe``."""
    out: dict[str, Any] = {"n_trades": n_trades}
    if not n_trades:
        return out
    counted, n_wins, n_losses, gains, lost, total = figures
    if counted:
        pains = -lost
        out["win_rate"] = n_wins / counted
        out["avg_win"] = gains / n_wins if n_wins else math.nan
        out["avg_loss"] = lost / n_losses if n_losses else math.nan
        if n_losses:
            out["profit_factor"] = gains / pains
        elif n_wins:
            out["profit_factor"] = math.inf
        out["expectancy"] = total / counted
    out["avg_mae"], out["avg_mfe"] = means
    return out


def sum_skipping_nan(values: np.ndarray) -> float:
    """``float(pandas.Series(values).sum())`` of float64 values, bit for bit: NumPy's sum with
    zeros in place of NaN, as pandas takes it."""
    missing = np.isnan(values)
    return float((np.where(missing, 0.0, values) if missing.any() else values).sum())


def series_mean(column: Any) -> float:
    """``float(column.mean())`` of a float64 Series, bit for bit, without pandas' machinery.

    pandas skips NaN by summing a copy with zeros in their place (the values themselves, strided
    or not, when there is none) and dividing by the count of the others as a float; the native
    pass does the same, in the same order.
    """
    return float(_mean_skipping_nan(np.asarray(column.to_numpy(), dtype=np.float64)))


def _longest_run(mask: np.ndarray) -> int:
    """The length of the longest run of True in ``mask``: the widest gap between its Falses."""
    falses = np.flatnonzero(np.concatenate(([True], ~mask, [True])))
    return int(np.diff(falses).max()) - 1


def _quantile(ordered: np.ndarray, q: float) -> float:
    """The ``q`` quantile of sorted values, interpolated linearly (NumPy's and pandas' default)."""
    position = q * (len(ordered) - 1)
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    a, b = float(ordered[low]), float(ordered[high])
    return a + (b - a) * (position - low)


def _shape(r: np.ndarray) -> tuple[float, float]:
    """Skewness and excess kurtosis with the small-sample corrections of pandas' skew and kurt.

    NaN below 3 (skewness) or 4 (kurtosis) values, and without spread: a flat series has no
    shape, where pandas reports 0.
    """
    n = len(r)
    centered = _centered(r) if n >= 3 else None
    if centered is None:
        return math.nan, math.nan
    # Huge (finite) returns overflow the moments: NumPy scalars give inf and then NaN where
    # Python floats would raise OverflowError out of stats().
    with np.errstate(over="ignore", invalid="ignore"):
        squares = centered * centered
        m2, m3 = squares.mean(), (squares * centered).mean()
        skew = float(np.float64(math.sqrt(n * (n - 1.0)) / (n - 2.0)) * m3 / m2**1.5)
        if n < 4:
            return _finite_or_nan(skew), math.nan
        g2 = float((squares * squares).mean() / (m2 * m2)) - 3.0
    kurt = (n - 1.0) / ((n - 2.0) * (n - 3.0)) * ((n + 1.0) * g2 + 6.0)
    return _finite_or_nan(skew), _finite_or_nan(kurt)


def _finite_or_nan(value: float) -> float:
    return value if math.isfinite(value) else math.nan


def daily_stats(rets: np.ndarray, rf: float) -> dict[str, Any]:
    """The figures of the distribution and the sequence of the row returns (NaN left out)."""
    r = rets[~np.isnan(rets)]
    out: dict[str, Any] = {"max_consecutive_wins": 0, "max_consecutive_losses": 0}
    if not len(r):
        return out
    ordered = np.sort(r)
    wins, losses = r > 0, r < 0
    out.update(
        best_day=float(ordered[-1]), worst_day=float(ordered[0]),
        max_consecutive_wins=_longest_run(wins), max_consecutive_losses=_longest_run(losses),
    )
    n_wins, n_losses = int(wins.sum()), int(losses.sum())
    if n_wins or n_losses:
        p = n_wins / (n_wins + n_losses)
        out["win_days"] = p
        if n_wins and n_losses:
            payoff = float(r[wins].mean()) / -float(r[losses].mean())
            out["kelly"] = p - (1.0 - p) / payoff
    if len(r) < 2:
        return out

    low, high = _quantile(ordered, VAR_LEVEL), _quantile(ordered, 1.0 - VAR_LEVEL)
    out["value_at_risk"] = low
    tail = ordered[: np.searchsorted(ordered, low, side="right")]
    out["conditional_value_at_risk"] = float(tail.mean())
    if low != 0:
        out["tail_ratio"] = abs(high / low)
    excess = r - rf
    gains, pains = float(excess[excess > 0].sum()), -float(excess[excess < 0].sum())
    if pains > 0:
        out["omega"] = gains / pains
    elif gains > 0:
        out["omega"] = math.inf

    skew, kurtosis = _shape(r)
    out["skew"], out["kurtosis"] = skew, kurtosis
    std = float(np.std(r, ddof=1))
    if std > 0 and not math.isnan(kurtosis):
        sharpe = float(excess.mean()) / std  # per row, as the formula has it
        try:
            out["psr"] = probabilistic_sharpe_ratio(
                sharpe, n_obs=len(r), skew=skew, kurtosis=kurtosis + 3.0
            )
        except ValueError:
            # The corrected moments of a few rows can fall outside what any distribution has
            # (kurtosis below 1 + skew^2): no probability to give.
            pass
    return out


def month_returns(equity: pd.Series, pandas: Any) -> np.ndarray:
    """Each calendar month's return: its last value over the previous month's (1.0 first), minus 1.

    Months are those of the index as it is (its own time zone), as in
    :func:`pelmora.stats.monthly_returns`, and rows are taken in the order given (dates ascending).
    """
    index = equity.index
    if not isinstance(index, pandas.DatetimeIndex) or not len(index):
        return np.empty(0)
    values = equity.to_numpy(dtype=np.float64)
    known = ~np.isnan(values)
    if index.tz is not None:
        index = index.tz_localize(None)  # the wall-clock dates, whose months the user sees
    months = index.to_numpy()[known].astype("datetime64[M]")
    last = np.concatenate((months[1:] != months[:-1], [True]))
    closes = values[known][last]
    result: np.ndarray = closes / np.concatenate(([1.0], closes[:-1])) - 1.0
    return result


def relative_stats(
    rets: np.ndarray, bench: np.ndarray, rf: float, periods_per_year: float
) -> dict[str, float]:
    """alpha, beta, correlation, tracking_error and information_ratio of the pairs of returns
    present in both: those that can be computed (two pairs at least, and a spread for some)."""
    out: dict[str, float] = {}
    pair = ~np.isnan(rets) & ~np.isnan(bench)
    r_p, r_b = rets[pair], bench[pair]
    if len(r_p) < 2:
        return out
    root = math.sqrt(periods_per_year)
    x_p, x_b = r_p - rf, r_b - rf
    c_p, c_b = _centered(x_p), _centered(x_b)
    if c_b is not None:
        beta = float(np.dot(c_p, c_b) / np.dot(c_b, c_b)) if c_p is not None else 0.0
        out["beta"] = beta
        out["alpha"] = (float(x_p.mean()) - beta * float(x_b.mean())) * periods_per_year
        if c_p is not None:
            corr = np.dot(c_p, c_b) / math.sqrt(float(np.dot(c_p, c_p)) * float(np.dot(c_b, c_b)))
            out["correlation"] = float(np.clip(corr, -1.0, 1.0))
    active = r_p - r_b
    out["tracking_error"] = float(np.std(active, ddof=1)) * root
    if _centered(active) is not None:
        out["information_ratio"] = float(active.mean() / np.std(active, ddof=1)) * root
    return out
