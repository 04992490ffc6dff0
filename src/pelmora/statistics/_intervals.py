"""Confidence intervals of the performance figures, by a stationary block bootstrap of the returns.

Each repetition resamples the window's row returns in blocks (:mod:`pelmora.statistics._bootstrap`),
compounds them into an equity curve on the window's dates, and computes the figures of
:func:`pelmora.stats.performance_stats` on it, by the same formulas, for many repetitions at
once (a repetition is a row of a matrix). The bounds are the percentiles of the repetitions
(the percentile method, as ``arch``'s ``conf_int(method="percentile")``). With a benchmark, its
return on a row is resampled with the strategy's, so the relative figures keep their pairing.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from pelmora.statistics._bootstrap import (
    arch_module, checked_block, checked_ci, checked_reps, checked_seed, count_chunks,
    optimal_block,
)
from pelmora.statistics._figures import VAR_LEVEL

__all__ = ["INTERVAL_NAMES", "checked_bounds", "interval_table", "replicate_figures"]

INTERVAL_NAMES = (
    "total_return", "cagr", "annual_volatility", "sharpe", "sortino", "max_drawdown", "calmar",
    "omega", "skew", "kurtosis", "tail_ratio", "value_at_risk", "conditional_value_at_risk",
    "ulcer_index", "recovery_factor", "best_day", "worst_day", "best_month", "worst_month",
    "win_days", "kelly", "alpha", "beta", "correlation", "tracking_error", "information_ratio",
)
"""The figures that get bounds: those of the returns' path. The others (dates, trades, turnover,
costs, fill rate, the streaks and ``psr``, itself a probability) keep NaN bounds."""

# The flat-spread rule of pelmora.statistics._figures: a spread within rounding noise of the values
# is none.
_FLAT = 64 * np.finfo(np.float64).eps


def checked_bounds(
    ci: Any, reps: Any, seed: Any, block: Any, caller: str
) -> tuple[float, int, int, float | None] | None:
    """The interval options checked, None without ``ci`` (no intervals asked for); ``arch``
    is imported first, so that a missing extra is said before any work."""
    if ci is None:
        return None
    bounds = checked_ci(ci), checked_reps(reps), checked_seed(seed), checked_block(block)
    arch_module(caller)
    return bounds


def _flat(centered: np.ndarray, values: np.ndarray) -> np.ndarray:
    """Rows whose centred values are within rounding noise of the values' scale."""
    flat: np.ndarray = np.abs(centered).max(axis=1) <= _FLAT * np.abs(values).max(axis=1)
    return flat


def _ratio(num: np.ndarray, den: np.ndarray, where: np.ndarray) -> np.ndarray:
    out = np.full(num.shape, np.nan)
    np.divide(num, den, out=out, where=where)
    return out


def _quantiles(r: np.ndarray, qs: tuple[float, ...]) -> list[np.ndarray]:
    """The ``qs`` quantiles of each row, interpolated linearly between the order statistics
    around them (as pelmora.statistics._figures._quantile); a partition finds those without a
    sort."""
    n = r.shape[1]
    positions = [q * (n - 1) for q in qs]
    ranks = sorted({k for p in positions for k in (int(p), min(int(p) + 1, n - 1))})
    part = np.partition(r, ranks, axis=1)
    out = []
    for position in positions:
        low = int(position)
        a, b = part[:, low], part[:, min(low + 1, n - 1)]
        out.append(a + (b - a) * (position - low))
    return out


def _curve(r: np.ndarray, rf: float, ppy: float, years: float) -> dict[str, np.ndarray]:
    """total_return to ulcer_index of each row's curve, as
    pelmora.statistics._figures.curve_stats."""
    root = math.sqrt(ppy)
    equity = np.cumprod(1.0 + r, axis=1)
    last = equity[:, -1]
    out = {"total_return": last - 1.0}
    cagr = np.full(len(r), np.nan)
    if years > 0:
        np.subtract(np.power(last, 1.0 / years, where=last > 0, out=np.full(len(r), np.nan)),
                    1.0, out=cagr)
    out["cagr"] = cagr
    std = np.std(r, axis=1, ddof=1)
    excess = r - rf
    mean_excess = excess.mean(axis=1)
    out["annual_volatility"] = std * root
    out["sharpe"] = _ratio(mean_excess, std, std > 0) * root
    downside = np.sqrt(np.mean(np.minimum(excess, 0.0) ** 2, axis=1))
    out["sortino"] = _ratio(mean_excess, downside, downside > 0) * root
    dd = equity / np.fmax(np.maximum.accumulate(equity, axis=1), 1.0) - 1.0
    worst = out["max_drawdown"] = dd.min(axis=1)
    under = worst < 0
    out["calmar"] = _ratio(cagr, -worst, under & np.isfinite(cagr))
    out["recovery_factor"] = _ratio(out["total_return"], -worst, under)
    out["ulcer_index"] = np.sqrt(np.mean(dd * dd, axis=1))
    return out


def _distribution(r: np.ndarray, rf: float) -> dict[str, np.ndarray]:
    """The figures of the distribution of each row's returns, as
    pelmora.statistics._figures.daily_stats."""
    low, high = _quantiles(r, (VAR_LEVEL, 1.0 - VAR_LEVEL))
    tail = r <= low[:, None]
    out = {
        "best_day": r.max(axis=1), "worst_day": r.min(axis=1), "value_at_risk": low,
        "conditional_value_at_risk": np.where(tail, r, 0.0).sum(axis=1) / tail.sum(axis=1),
        "tail_ratio": np.abs(_ratio(high, low, low != 0)),
    }
    excess = r - rf
    gains = np.where(excess > 0, excess, 0.0).sum(axis=1)
    pains = -np.where(excess < 0, excess, 0.0).sum(axis=1)
    omega = _ratio(gains, pains, pains > 0)
    out["omega"] = np.where((pains == 0) & (gains > 0), np.inf, omega)
    wins, losses = r > 0, r < 0
    n_wins, n_losses = wins.sum(axis=1), losses.sum(axis=1)
    p = _ratio(n_wins.astype(float), (n_wins + n_losses).astype(float), n_wins + n_losses > 0)
    out["win_days"] = p
    mean_win = _ratio((r * wins).sum(axis=1), n_wins.astype(float), n_wins > 0)
    mean_loss = _ratio((r * losses).sum(axis=1), n_losses.astype(float), n_losses > 0)
    payoff = _ratio(mean_win, -mean_loss, (n_wins > 0) & (n_losses > 0))
    out["kelly"] = p - (1.0 - p) / payoff
    out["skew"], out["kurtosis"] = _shape(r)
    return out


def _shape(r: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Skewness and excess kurtosis of each row, pandas' corrections, NaN without spread."""
    n = r.shape[1]
    nan = np.full(len(r), np.nan)
    if n < 3:
        return nan, nan.copy()
    centered = r - r.mean(axis=1, keepdims=True)
    spread = ~_flat(centered, r)
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        squares = centered * centered
        m2, m3 = squares.mean(axis=1), (squares * centered).mean(axis=1)
        skew = np.where(spread, math.sqrt(n * (n - 1.0)) / (n - 2.0) * m3 / m2**1.5, np.nan)
        if n < 4:
            return skew, nan
        g2 = (squares * squares).mean(axis=1) / (m2 * m2) - 3.0
        kurt = np.where(spread, (n - 1.0) / ((n - 2.0) * (n - 3.0)) * ((n + 1.0) * g2 + 6.0),
                        np.nan)
    return (np.where(np.isfinite(skew), skew, np.nan), np.where(np.isfinite(kurt), kurt, np.nan))


def _months(r: np.ndarray, month_last: np.ndarray) -> dict[str, np.ndarray]:
    """best_month and worst_month: each calendar month's last value over the previous one's."""
    closes = np.cumprod(1.0 + r, axis=1)[:, month_last]
    previous = np.concatenate((np.ones((len(r), 1)), closes[:, :-1]), axis=1)
    months = closes / previous - 1.0
    return {"best_month": months.max(axis=1), "worst_month": months.min(axis=1)}


def _relative(r: np.ndarray, b: np.ndarray, rf: float, ppy: float) -> dict[str, np.ndarray]:
    """alpha to information_ratio of the pairs of each row, as
    pelmora.statistics._figures.relative_stats; a NaN benchmark return leaves its pair out."""
    pair = ~np.isnan(b)
    # Without a missing benchmark return (the usual case) there is nothing to mask.
    complete = bool(pair.all())
    w: Any = 1.0 if complete else pair.astype(np.float64)
    n = pair.sum(axis=1).astype(np.float64)
    enough = n >= 2
    n_safe = np.where(enough, n, np.nan)
    if not complete:
        b = np.where(pair, b, 0.0)
    x_p, x_b = (r - rf) * w, (b - rf) * w
    mean_p, mean_b = x_p.sum(axis=1) / n_safe, x_b.sum(axis=1) / n_safe
    c_p, c_b = (x_p - mean_p[:, None]) * w, (x_b - mean_b[:, None]) * w
    spread_p, spread_b = ~_flat(c_p, x_p) & enough, ~_flat(c_b, x_b) & enough
    cross = np.einsum("ij,ij->i", c_p, c_b)
    var_b, var_p = np.einsum("ij,ij->i", c_b, c_b), np.einsum("ij,ij->i", c_p, c_p)
    beta = np.where(spread_p, _ratio(cross, var_b, spread_b), np.where(spread_b, 0.0, np.nan))
    corr = _ratio(cross, np.sqrt(var_p * var_b), spread_p & spread_b)
    active = (r - b) * w
    c_a = (active - (active.sum(axis=1) / n_safe)[:, None]) * w
    std_a = np.sqrt(np.einsum("ij,ij->i", c_a, c_a) / (n_safe - 1.0))
    root = math.sqrt(ppy)
    return {
        "alpha": (mean_p - beta * mean_b) * ppy,
        "beta": beta,
        "correlation": np.clip(corr, -1.0, 1.0),
        "tracking_error": std_a * root,
        "information_ratio": _ratio(active.sum(axis=1) / n_safe, std_a,
                                    ~_flat(c_a, active) & enough) * root,
    }


def replicate_figures(
    r: np.ndarray, *, rf: float, periods_per_year: float, years: float,
    month_last: np.ndarray | None, bench: np.ndarray | None = None,
) -> dict[str, np.ndarray]:
    """The figures of :data:`INTERVAL_NAMES` of each row of returns ``r`` (reps x n, n >= 2,
    finite), a row of the benchmark's returns ``bench`` beside each (NaN: no return)."""
    with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
        out = _curve(r, rf, periods_per_year, years)
        out.update(_distribution(r, rf))
        if month_last is not None:
            out.update(_months(r, month_last))
        if bench is not None:
            out.update(_relative(r, bench, rf, periods_per_year))
    return out


def _month_ends(dates: Any, pandas: Any) -> np.ndarray | None:
    """Whether each date is the last of its calendar month in ``dates`` (wall-clock months, as
    pelmora.statistics._figures.month_returns); None for an index that is not of dates."""
    if not isinstance(dates, pandas.DatetimeIndex):
        return None
    if dates.tz is not None:
        dates = dates.tz_localize(None)
    months = dates.to_numpy().astype("datetime64[M]")
    return np.concatenate((months[1:] != months[:-1], [True]))


def interval_table(
    point: Any, rets: np.ndarray, dates: Any, *, bench: np.ndarray | None, rf: float,
    periods_per_year: float, years: float, bounds: tuple[float, int, int, float | None],
    pandas: Any, caller: str,
) -> Any:
    """The DataFrame of :meth:`BacktestResult.stats` with ``ci``: the figures of ``point``
    (``value``) and the bounds of those of :data:`INTERVAL_NAMES` from ``reps`` resamples of
    the window's returns ``rets`` on its ``dates``."""
    ci, reps, seed, block = bounds
    n = len(rets)
    usable = n >= 2 and bool(np.isfinite(rets).all())
    length = (block if block is not None else optimal_block(rets[:, None], caller)) if usable \
        else math.nan
    lower = dict.fromkeys(point.index, math.nan)
    upper = dict(lower)
    if usable:
        month_last = _month_ends(dates, pandas)
        parts = []
        for indices, _ in count_chunks(n, reps, length, seed):
            parts.append(replicate_figures(
                rets[indices], rf=rf, periods_per_year=periods_per_year, years=years,
                month_last=month_last, bench=None if bench is None else bench[indices]))
        alpha = (1.0 - ci) / 2
        for name in parts[0]:
            if name not in lower:
                continue
            values = np.concatenate([part[name] for part in parts])
            values = values[~np.isnan(values)]
            if len(values):
                # An infinite ratio (omega without a loss) interpolates to inf or, beside
                # another inf, NaN: a bound beyond any finite value either way.
                with np.errstate(invalid="ignore"):
                    lower[name], upper[name] = np.percentile(
                        values, [100 * alpha, 100 * (1 - alpha)])
    table = pandas.DataFrame({
        "value": point.astype(object),
        "lower": pandas.Series(lower, dtype=np.float64),
        "upper": pandas.Series(upper, dtype=np.float64),
    }, index=point.index)
    table.attrs["intervals"] = {"ci": ci, "reps": reps, "seed": seed, "block": length}
    return table
