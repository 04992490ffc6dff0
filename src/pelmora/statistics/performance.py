"""Performance statistics of a backtest: returns, risk, drawdown, trades and a benchmark.

All functions take plain pandas/NumPy objects so that they can be used on any equity curve, not only
on a :class:`pelmora.BacktestResult`.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np

from pelmora.statistics._benchmark import _benchmark_returns, benchmark_level
# VAR_LEVEL is imported for its users: the tail of the value at risk is a figure of stats.
from pelmora.statistics._figures import (
    VAR_LEVEL, curve_stats, daily_stats, month_returns, relative_stats, trade_stats,
)
from pelmora.statistics._intervals import checked_bounds, interval_table
from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = [
    "BENCHMARK_STAT_NAMES",
    "COST_NAMES",
    "MONTH_NAMES",
    "STAT_NAMES",
    "benchmark_level",
    "drawdown",
    "monthly_returns",
    "performance_stats",
]

COST_NAMES = ("fee_cost", "tax_cost", "slippage_cost", "impact_cost", "financing_cost")
"""What the run paid, by kind, in portfolio units: the last figures of :data:`STAT_NAMES`."""

STAT_NAMES = (
    "start", "end", "total_return", "cagr", "annual_volatility", "sharpe", "sortino",
    "max_drawdown", "max_drawdown_start", "max_drawdown_end", "win_rate", "avg_win", "avg_loss",
    "profit_factor", "expectancy", "avg_mae", "avg_mfe", "turnover", "n_trades", "calmar",
    "omega", "psr", "skew", "kurtosis", "tail_ratio", "value_at_risk",
    "conditional_value_at_risk", "ulcer_index", "recovery_factor", "best_day", "worst_day",
    "best_month", "worst_month", "win_days", "max_consecutive_wins", "max_consecutive_losses",
    "kelly", "fill_rate", *COST_NAMES,
)
"""The names of :func:`performance_stats` without a benchmark, in order."""


BENCHMARK_STAT_NAMES = ("alpha", "beta", "correlation", "tracking_error", "information_ratio")
"""The names :func:`performance_stats` appends, in this order, when given a benchmark."""

MONTH_NAMES = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
"""The month columns of :func:`monthly_returns`, in order."""

DAYS_PER_YEAR = 365.25

_BENCHMARK_KINDS = ("auto", "prices", "returns")

def _pandas(caller: str) -> Any:
    return import_optional("pandas", caller=caller)


def drawdown(equity: pd.Series, initial: float | None = 1.0) -> pd.Series:
    """The drawdown of an equity curve: its value over its running maximum, minus 1 (0 or below).

    This is the one drawdown rule of the package: the statistics, the result's
    :attr:`~pelmora.BacktestResult.drawdown`, the pictures and the reports all use it.

    Parameters
    ----------
    equity : pandas.Series
        Portfolio values.
    initial : float or None, default 1.0
        The capital the curve starts from, held before its first value: it counts as the first
        peak, so a first day at 0.8 is already a drawdown of -20 %. None: the curve's own first
        value is the first peak (for a curve that is not measured from a capital, such as a
        benchmark's prices).

    Returns
    -------
    pandas.Series
        Same index; 0 at every new high. A missing value (NaN) stays missing and does not move
        the running maximum.
    """
    ratio = _drawdown_values(equity.to_numpy(dtype=np.float64), initial)
    pandas = _pandas("pelmora.stats.drawdown")
    result: pd.Series = pandas.Series(ratio, index=equity.index, name=equity.name)
    return result


def _drawdown_values(values: np.ndarray, initial: float | None) -> np.ndarray:
    """:func:`drawdown` of float64 ``values``, as an array."""
    peaks = np.fmax.accumulate(values) if len(values) else values
    if initial is not None and len(values):
        peaks = np.fmax(peaks, float(initial))
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio: np.ndarray = values / peaks - 1.0
    return ratio


def _years(start: Any, end: Any) -> float:
    return float((end - start) / np.timedelta64(1, "D")) / DAYS_PER_YEAR


def _checked_number(value: Any, name: str, low: float) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}") from None
    if not math.isfinite(number) or number <= low:
        raise ValueError(f"{name} must be finite and greater than {low:g}, got {value!r}")
    return number


@overload
def performance_stats(
    equity: pd.Series, trades: pd.DataFrame | Mapping[str, pd.Series] | None = ..., *,
    turnover: float = ..., periods_per_year: float = ..., risk_free: float = ...,
    benchmark: pd.Series | None = ..., benchmark_kind: Literal["auto", "prices", "returns"] = ...,
    initial_date: Any = ..., costs: Mapping[str, float] | None = ..., fill_rate: float = ...,
    ci: None = ..., reps: int = ..., seed: int = ..., block: float | None = ...,
) -> pd.Series: ...
@overload
def performance_stats(
    equity: pd.Series, trades: pd.DataFrame | Mapping[str, pd.Series] | None = ..., *,
    turnover: float = ..., periods_per_year: float = ..., risk_free: float = ...,
    benchmark: pd.Series | None = ..., benchmark_kind: Literal["auto", "prices", "returns"] = ...,
    initial_date: Any = ..., costs: Mapping[str, float] | None = ..., fill_rate: float = ...,
    ci: float, reps: int = ..., seed: int = ..., block: float | None = ...,
) -> pd.DataFrame: ...
def performance_stats(
    equity: pd.Series,
    trades: pd.DataFrame | Mapping[str, pd.Series] | None = None,
    *,
    turnover: float = math.nan,
    periods_per_year: float = 252,
    risk_free: float = 0.0,
    benchmark: pd.Series | None = None,
    benchmark_kind: Literal["auto", "prices", "returns"] = "auto",
    initial_date: Any = None,
    costs: Mapping[str, float] | None = None,
    fill_rate: float = math.nan,
    ci: float | None = None,
    reps: int = 1000,
    seed: int = 0,
    block: float | None = None,
) -> pd.Series | pd.DataFrame:
    """The usual statistics of an equity curve, its trades and, optionally, a benchmark.

    Parameters
    ----------
    equity : pandas.Series
        Portfolio values on dates over the window to describe, for a capital of 1.0 before it: the
        return of the first row is measured from 1.0.
    trades : pandas.DataFrame or mapping of str to pandas.Series, optional
        With columns ``pnl`` (profit in portfolio units, net of all costs), ``mae`` and ``gmfe`` (as
        :attr:`BacktestResult.trades`), as a DataFrame or as a mapping of those names to Series of
        one length. None or empty: no trades. With the columns ``stock``, ``entry_date``,
        ``exit_date`` and ``exit_reason`` too (a result's trades), the records of one position
        (split at the rebalances that resized it) count as one trade, their pnl added up.
    turnover : float, optional
        Total traded weight (buys plus sells) over the window; reported per year.
    periods_per_year : float, default 252
        Rows per year, to annualise; finite and positive.
    risk_free : float, default 0.0
        Annual risk-free rate, finite and above -1. Each row is charged ``risk_free /
        periods_per_year`` (a simple division, not the compounded ``(1 + risk_free) ** (1 /
        periods_per_year) - 1`` some libraries use; the two differ by well under a basis point a
        year at usual rates).
    benchmark : pandas.Series, optional
        Prices or per-row returns of a benchmark on dates (a DatetimeIndex without duplicates).
        Prices are taken as of each date of ``equity`` (the last price on or before it, none past
        the benchmark's last date) and turned into returns; the first date's return is measured
        from the last price before it. Returns are taken on the dates of ``equity`` as they are,
        so they must be returns over the same rows (a date missing from the benchmark is a missing
        pair, nothing is compounded). Time-zone aware dates of both are compared as instants; a
        naive index against an aware one is refused. Returns that leave out the start or the end
        of the window warn, naming the span they cover (the first date alone may lack one).
    benchmark_kind : {"auto", "prices", "returns"}, default "auto"
        How ``benchmark`` is read. "auto" reads a Series whose every non-NaN value is positive as
        prices and one with any zero or negative value as returns; a short run of returns that
        are all gains would be read as prices, so pass "returns" (or "prices") to decide.
    initial_date : datetime-like, optional
        The date of the capital of 1.0 the window starts from (the last date before the window).
        It is ``max_drawdown_start`` when the deepest drawdown runs from that capital; without
        it, the window's first date stands in.
    costs : mapping of str to float, optional
        The figures of :data:`COST_NAMES`, reported as given (NaN where missing).
    fill_rate : float, optional
        The shares the orders filled over those they asked for, reported as given.
    ci : float, optional
        A confidence level in (0, 1), such as 0.95: a DataFrame of the figures (``value``) and their
        interval (``lower``, ``upper``), the percentiles (1 - ci) / 2 and (1 + ci) / 2 of the
        figures of ``reps`` stationary block bootstrap resamples of the row returns (the benchmark's
        resampled with them), each compounded on the same dates; resamples where a figure is
        undefined are left out. Only the figures of the returns' path get bounds
        (``pelmora.statistics._intervals.INTERVAL_NAMES``); dates, trades, turnover, costs, fill
        rate, the streaks and ``psr`` keep NaN, as do all below 2 returns or with a missing one.
        Needs ``arch`` (``pip install 'pelmora[inference]'``).
    reps, seed : int, default 1000 and 0
        With ``ci``: the repetitions (at least 1) and their seed (the same seed, the same bounds).
    block : float, optional
        With ``ci``: the mean block length in rows, at least 1; by default Politis and White's
        (``arch.bootstrap.optimal_block_length``, at least 1; 1 below 8 returns). The table's
        ``attrs["intervals"]`` records ci, reps, seed and the block.

    Returns
    -------
    pandas.Series or pandas.DataFrame
        Without ``ci``, a Series of dtype object, indexed by :data:`STAT_NAMES`, then
        :data:`BENCHMARK_STAT_NAMES` when a benchmark is given:

        - ``start``, ``end``: the first and last date.
        - ``total_return``: last value / 1.0 - 1.
        - ``cagr``: last value ** (1 / years) - 1, where years = calendar days from the first to
          the last date / 365.25 (not the row count over ``periods_per_year``).
        - ``annual_volatility``: standard deviation of the row returns (ddof 1) x
          sqrt(periods_per_year).
        - ``sharpe``: mean excess row return over the standard deviation of the row returns (ddof
          1), x sqrt(periods_per_year).
        - ``sortino``: mean excess row return over the downside deviation, x
          sqrt(periods_per_year). The downside deviation is the root mean square of min(excess,
          0) over all rows, gains counting as zeros; some libraries take it over the losing rows
          only, which gives a larger deviation and a smaller ratio.
        - ``max_drawdown``: the lowest :func:`drawdown`, the capital of 1.0 before the window
          counting as its first peak (a first day at -20 % and a second at -30 % is a -30 %
          drawdown), with ``max_drawdown_start`` (the peak before it; ``initial_date`` when the
          peak is that capital) and ``max_drawdown_end`` (the trough).
        - ``win_rate``: share of trades with pnl > 0; ``avg_win``: mean pnl of those;
          ``avg_loss``: mean pnl of trades with pnl < 0 (negative); ``profit_factor``: sum of
          the gains over minus the sum of the losses (inf with gains and no losses, NaN with
          neither); ``expectancy``: mean pnl per trade. A trade with a NaN pnl is left out of
          these, so it counts as neither a win nor a loss.
        - ``avg_mae``, ``avg_mfe``: mean ``mae`` and ``gmfe`` of the trades.
        - ``turnover``: ``turnover`` per year; ``n_trades``: number of trades, NaN pnl included.
        - ``calmar``: ``cagr`` / -``max_drawdown`` (NaN without a drawdown). quantstats counts
          the years of its CAGR as rows / periods_per_year; with that year count the two agree.
        - ``omega``: the sum of the row returns above the per-row risk-free rate over the sum
          of the shortfalls below it (the Omega ratio at the threshold rf); inf with gains and
          no shortfall, as ``profit_factor``, where quantstats gives NaN. quantstats takes the
          threshold as an annual required return compounded down to a row,
          ``(1 + r) ** (1 / periods_per_year) - 1``, and deducts its risk-free rate the same
          way.
        - ``psr``: probabilistic Sharpe ratio against 0 (Bailey and Lopez de Prado 2012), from
          :func:`pelmora.selection.probabilistic_sharpe_ratio` with the per-row Sharpe ratio
          (``sharpe`` / sqrt(periods_per_year)), T = the number of row returns, ``skew`` and
          the plain kurtosis ``kurtosis`` + 3. It is a probability (0 to 1), never annualised.
          NaN below 4 rows, and when these small-sample moments are impossible for any
          distribution (kurtosis under 1 + skew^2, a handful of rows).
        - ``skew``, ``kurtosis``: skewness and excess kurtosis (0 for a normal distribution) of
          the row returns with the small-sample corrections of pandas' ``skew()`` and
          ``kurt()``; NaN below 3 and 4 rows, and for returns without spread (pandas: 0).
        - ``tail_ratio``: the 95th percentile of the row returns over the 5th, in absolute value
          (NaN when the 5th is 0).
        - ``value_at_risk``: historical 95 % value at risk, the 5th percentile of the row
          returns (a loss is negative); percentiles interpolate linearly, as NumPy and pandas
          do. ``conditional_value_at_risk``: the mean of the row returns at or below it
          (expected shortfall). quantstats' ``var`` and its tear sheet's value at risk and
          expected shortfall are parametric (a normal distribution of the same mean and
          standard deviation); its ``cvar(method="historical")`` equals this one.
        - ``ulcer_index``: the root mean square of :func:`drawdown` over the rows (Martin's
          definition, in fractions: 0.05 is 5 %). quantstats divides the sum of squares by
          rows - 1.
        - ``recovery_factor``: ``total_return`` / -``max_drawdown`` (NaN without a drawdown),
          negative for a loss. quantstats divides the absolute value of the sum of the row
          returns, not compounded, so a loss reads as a recovery there.
        - ``best_day``, ``worst_day``: the highest and lowest row return.
        - ``best_month``, ``worst_month``: the highest and lowest calendar-month return, each
          month's last value over the previous month's (1.0 before the first), so the first
          and last months can be partial, as in :func:`monthly_returns` (months of the index's
          own time zone; quantstats converts aware dates to UTC first).
        - ``win_days``: the share of rows with a positive return among the rows with a return
          other than 0, as quantstats counts; NaN when every return is 0.
        - ``max_consecutive_wins``, ``max_consecutive_losses``: the longest run of rows with a
          positive (negative) return; a row at 0 ends both (0 with no rows).
        - ``kelly``: the Kelly fraction of the daily bet, ``win_days`` - (1 - ``win_days``) /
          payoff, payoff being the mean positive row return over minus the mean negative one:
          from the row returns, as quantstats, not from the trades (``win_rate`` is per trade).
          NaN without both positive and negative rows.
        - ``fill_rate``: as given (:meth:`BacktestResult.stats`: the shares filled over the
          shares ordered, 1.0 when every order filled in full; below with a volume cap, lots).
        - ``fee_cost``, ``tax_cost``, ``slippage_cost``, ``impact_cost``: the fees, taxes,
          slippage and market impact of all fills; ``financing_cost``: short fees plus
          interest paid less interest earned
          (negative when cash earned more); all in portfolio units, over the whole run from
          the initial 1.0, as ``total_return`` (:meth:`BacktestResult.stats`).
        - ``alpha``: arithmetic annualised Jensen alpha, (mean(r_p - rf) - beta x mean(r_b - rf))
          x periods_per_year (some libraries compound the per-row alpha over a year instead).
        - ``beta``: cov(r_p - rf, r_b - rf) / var(r_b - rf), ddof 1.
        - ``correlation``: Pearson correlation of r_p and r_b.
        - ``tracking_error``: std(r_p - r_b, ddof 1) x sqrt(periods_per_year).
        - ``information_ratio``: mean(r_p - r_b) / std(r_p - r_b, ddof 1) x
          sqrt(periods_per_year).

        Here r_p are the row returns of ``equity``, r_b the benchmark's on the same rows and rf
        the per-row risk-free rate; rows where either return is NaN are dropped. The figures of
        the row returns from ``omega`` on (all but ``ulcer_index``, ``recovery_factor`` and the
        months) leave NaN returns out; of ``calmar`` to ``kelly``, only ``omega`` and ``psr`` use
        the risk-free rate. Values that cannot be computed (too few rows or pairs, no spread, no
        trades, an empty ``equity``) are NaN or NaT.

    Raises
    ------
    TypeError
        ``benchmark`` not a Series on a DatetimeIndex, ``equity`` not on one when a benchmark is
        given, or a non-numeric ``periods_per_year`` or ``risk_free``.
    ValueError
        ``periods_per_year`` or ``risk_free`` out of range, an unknown ``benchmark_kind``, or a
        ``benchmark`` with duplicate dates, a time-zone mismatch, no date in common with
        ``equity`` or, read as prices, a price that is not positive.
    """
    pandas = _pandas("pelmora.stats")
    checked = _checked_options(periods_per_year, risk_free, benchmark, benchmark_kind, pandas)
    caller = "pelmora.performance_stats(ci=...)"
    bounds = checked_bounds(ci, reps, seed, block, caller)
    trade_figures, cost_figures = trade_stats(trades), _cost_figures(costs)
    series = _performance_stats(
        equity, lambda: (trade_figures, turnover, cost_figures), *checked, benchmark=benchmark,
        benchmark_kind=benchmark_kind, initial_date=initial_date, fill_rate=fill_rate,
        pandas=pandas,
    )
    if bounds is None:
        return series
    return _with_intervals(series, equity, benchmark, benchmark_kind, *checked, bounds,
                           pandas, caller)


def _with_intervals(
    series: pd.Series, equity: pd.Series, benchmark: pd.Series | None, benchmark_kind: str,
    periods_per_year: float, risk_free: float, bounds: tuple[float, int, int, float | None],
    pandas: Any, caller: str,
) -> pd.DataFrame:
    """The figures of :func:`performance_stats` with their bootstrap intervals."""
    values = equity.to_numpy(dtype=np.float64)
    rets = values / np.concatenate(([1.0], values[:-1])) - 1.0 if len(values) else values
    years = _years(equity.index[0], equity.index[-1]) if len(values) else 0.0
    bench = (_benchmark_returns(benchmark, equity.index, benchmark_kind, pandas)
             if benchmark is not None and len(values) else None)
    return interval_table(  # type: ignore[no-any-return]
        series, rets, equity.index, bench=bench, rf=risk_free / periods_per_year, years=years,
        periods_per_year=periods_per_year, bounds=bounds, pandas=pandas, caller=caller)


def _cost_figures(costs: Mapping[str, float] | None) -> dict[str, float]:
    """The figures of :data:`COST_NAMES` in ``costs``, as floats."""
    return {name: float(costs[name]) for name in COST_NAMES if name in (costs or {})}


def _checked_options(
    periods_per_year: Any, risk_free: Any, benchmark: Any, benchmark_kind: Any, pandas: Any
) -> tuple[float, float]:
    """``periods_per_year`` and ``risk_free`` checked, and the benchmark's kind and type."""
    periods_per_year = _checked_number(periods_per_year, "periods_per_year", 0.0)
    risk_free = _checked_number(risk_free, "risk_free", -1.0)
    if not isinstance(benchmark_kind, str) or benchmark_kind not in _BENCHMARK_KINDS:
        raise ValueError(
            f"benchmark_kind must be one of {_BENCHMARK_KINDS}, got {benchmark_kind!r}"
        )
    if benchmark is not None:
        if not isinstance(benchmark, pandas.Series):
            raise TypeError(f"benchmark must be a pandas Series, got {type(benchmark).__name__}")
        if not isinstance(benchmark.index, pandas.DatetimeIndex):
            raise TypeError(
                f"benchmark must be indexed by dates, got {type(benchmark.index).__name__}"
            )
    return periods_per_year, risk_free


def _performance_stats(
    equity: pd.Series,
    late: Callable[[], tuple[Mapping[str, Any], float, Mapping[str, float]]],
    periods_per_year: float,
    risk_free: float,
    *,
    benchmark: pd.Series | None,
    benchmark_kind: str,
    initial_date: Any,
    fill_rate: float,
    pandas: Any,
) -> pd.Series:
    """:func:`performance_stats`, the options checked. ``late`` gives the trades' figures
    (:func:`trade_stats`' dict), the turnover and the costs (:func:`_cost_figures`): it is
    called once the figures of the curve alone are computed, so that a result can have its
    own computed meanwhile."""
    names = STAT_NAMES + (BENCHMARK_STAT_NAMES if benchmark is not None else ())
    out: dict[str, Any] = dict.fromkeys(names, math.nan)
    nat = pandas.NaT
    out.update(start=nat, end=nat, max_drawdown_start=nat, max_drawdown_end=nat)
    out.update(max_consecutive_wins=0, max_consecutive_losses=0, fill_rate=float(fill_rate))
    if len(equity) == 0:
        trade_figures, _, costs = late()
        out.update(trade_figures)
        out.update(costs)
        return _as_series(out, pandas)

    values = equity.to_numpy(dtype=np.float64)
    out["start"], out["end"] = equity.index[0], equity.index[-1]
    years = _years(out["start"], out["end"])
    rets = values / np.concatenate(([1.0], values[:-1])) - 1.0
    rf = risk_free / periods_per_year
    # The window starts from a capital of 1.0: a loss on its first day is already a drawdown.
    dd = _drawdown_values(values, 1.0)
    # A curve through 0 has an infinite return after it: its figures are NaN, not warnings.
    with np.errstate(invalid="ignore", over="ignore"):
        out.update(daily_stats(rets, rf))
    months = month_returns(equity, pandas)
    if len(months):
        out["best_month"], out["worst_month"] = float(months.max()), float(months.min())

    trade_figures, turnover, costs = late()
    out.update(trade_figures)
    out.update(costs)
    out.update(curve_stats(values, rets, dd, years, turnover, rf, periods_per_year))
    if out["max_drawdown"] < 0:
        trough = int(np.nanargmin(dd))
        peak = int(np.nanargmax(values[: trough + 1]))
        if values[peak] >= 1.0:
            out["max_drawdown_start"] = equity.index[peak]
        else:  # the peak is the capital the window started from
            out["max_drawdown_start"] = equity.index[0] if initial_date is None else initial_date
        out["max_drawdown_end"] = equity.index[trough]

    if benchmark is not None:
        bench = _benchmark_returns(benchmark, equity.index, benchmark_kind, pandas)
        out.update(relative_stats(rets, bench, rf, periods_per_year))
    return _as_series(out, pandas)


_INDEXES: dict[tuple[str, ...], Any] = {}


def _as_series(out: dict[str, Any], pandas: Any) -> pd.Series:
    """``pandas.Series(out, dtype=object)``, on an index inferred once per set of names: every
    call of the statistics names the same figures, and inferring an index of their names costs
    more than the arithmetic of a short curve. Each Series gets its own copy of the index (which
    shares the names), so renaming one leaves the others alone."""
    names = tuple(out)
    index = _INDEXES.get(names)
    if index is None:
        index = _INDEXES[names] = pandas.Index(list(names))
    values = np.fromiter(out.values(), dtype=object, count=len(out))
    series: pd.Series = pandas.Series(values, index=index.copy(), copy=False)
    return series


def monthly_returns(equity: pd.Series, initial: float = 1.0) -> pd.DataFrame:
    """The return of each calendar month and year of an equity curve.

    Parameters
    ----------
    equity : pandas.Series
        Portfolio values on a DatetimeIndex; NaN values are ignored. Months are the calendar
        months of the index as it is (its own time zone, if any).
    initial : float, default 1.0
        The value before the first date, from which the first month and year are measured;
        finite and positive.

    Returns
    -------
    pandas.DataFrame
        One row per year from the first to the last (index "year", ints), columns
        :data:`MONTH_NAMES` and "Year". A month's return is its last value over the last value
        of the previous month with data (``initial`` for the first) minus 1; "Year" is the year's
        last value over the previous year's last value (``initial`` for the first) minus 1, so
        it equals the compounded months of the year. Months and years without data are NaN.

    Raises
    ------
    TypeError
        ``equity`` not on a DatetimeIndex, or a non-numeric ``initial``.
    ValueError
        ``initial`` not finite and positive.
    """
    pandas = _pandas("pelmora.stats.monthly_returns")
    initial = _checked_number(initial, "initial", 0.0)
    if not isinstance(equity.index, pandas.DatetimeIndex):
        raise TypeError(f"equity must be indexed by dates, got {type(equity.index).__name__}")
    columns = [*MONTH_NAMES, "Year"]
    values = equity.astype(np.float64).dropna().sort_index(kind="stable")
    if values.empty:
        return pandas.DataFrame(
            columns=columns, index=pandas.Index([], dtype=np.int64, name="year"), dtype=np.float64
        )

    dates = values.index
    closes = values.groupby([dates.year, dates.month]).last()
    months = closes / closes.shift(1, fill_value=initial) - 1.0
    table = months.unstack().reindex(columns=range(1, 13))
    table.columns = list(MONTH_NAMES)
    year_ends = closes.groupby(level=0).last()
    table["Year"] = year_ends / year_ends.shift(1, fill_value=initial) - 1.0
    years = range(int(dates.year.min()), int(dates.year.max()) + 1)
    table = table.reindex(pandas.Index(years, dtype=np.int64, name="year"))
    result: pd.DataFrame = table.astype(np.float64)
    return result
