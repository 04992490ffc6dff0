"""The HTML report of one backtest, and the table of its worst drawdowns."""

from __future__ import annotations

import dataclasses
import html
import math
import os
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional
from pelmora.plotting._run import (
    HEXBIN_THRESHOLD, equity_figure, exposure_figure, monthly_figure, rolling_figure,
    yearly_figure,
)
from pelmora.plotting._interactive import curves_figure, rolling_interactive
from pelmora.report._html import _format, _html_table, _image, _missing, _page, _stat_table, _write
from pelmora.report._interactive import plotly_block, plotly_scripts
from pelmora.statistics.performance import (
    benchmark_level, drawdown, monthly_returns, performance_stats,
)

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.results.result import BacktestResult

__all__ = ["PERIODS_PER_YEAR", "ROLLING_WINDOW", "backtest_report", "worst_drawdowns"]

ROLLING_WINDOW = 126
"""Trading days of the rolling Sharpe ratio and volatility (about six months)."""
PERIODS_PER_YEAR = 252

_PERFORMANCE = (
    "total_return", "cagr", "annual_volatility", "sharpe", "psr", "sortino", "max_drawdown",
    "max_drawdown_start", "max_drawdown_end", "turnover",
)
_TRADE_STATS = (
    "n_trades", "win_rate", "avg_win", "avg_loss", "profit_factor", "expectancy", "avg_mae",
    "avg_mfe",
)


def worst_drawdowns(equity: pd.Series, n: int = 5) -> pd.DataFrame:
    """The deepest drawdowns of an equity curve, one row each, deepest first.

    A drawdown runs from a peak to the first later value back at or above it (its recovery);
    the last one may not have recovered by the end of the curve.

    Parameters
    ----------
    equity : pandas.Series
        Portfolio values on dates.
    n : int, default 5
        How many drawdowns to keep.

    Returns
    -------
    pandas.DataFrame
        Columns ``peak``, ``trough``, ``recovery`` (NaT when not recovered), ``depth`` (the
        trough's value over the peak's, minus 1) and ``days`` (calendar days from the peak to the
        recovery, or to the last date when not recovered).
    """
    pandas = import_optional("pandas", caller="pelmora.report.worst_drawdowns")
    values = equity.to_numpy(dtype=np.float64)
    dates = equity.index
    columns = ["peak", "trough", "recovery", "depth", "days"]
    if len(values) == 0:
        return pandas.DataFrame(columns=columns)
    # The curve's own first value is its first peak: the table reads any stretch of a curve.
    depths = drawdown(equity, initial=None).to_numpy()
    under = depths < 0.0
    # Each run of days below the running maximum is one drawdown; its peak is the day before it.
    edges = np.diff(np.concatenate(([0], under.astype(np.int8), [0])))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    rows = []
    for first, stop in zip(starts.tolist(), ends.tolist(), strict=True):
        peak = first - 1 if first > 0 else first
        trough = first + int(np.nanargmin(values[first:stop]))
        recovered = stop < len(values)
        last = dates[stop] if recovered else dates[-1]
        rows.append(
            {
                "peak": dates[peak],
                "trough": dates[trough],
                "recovery": dates[stop] if recovered else pandas.NaT,
                "depth": float(depths[trough]),
                "days": int((last - dates[peak]) / np.timedelta64(1, "D")),
            }
        )
    frame = pandas.DataFrame(rows, columns=columns)
    return frame.sort_values("depth", kind="stable").head(n).reset_index(drop=True)


def _benchmark_equity(
    benchmark: pd.Series, equity: pd.Series
) -> tuple[pd.Series, pd.Series]:
    """The benchmark over the statistics window: rebased to 1 on its first day (to draw), and
    measured from the level before the window (to describe as the strategy is, from 1.0)."""
    level = benchmark_level(benchmark, equity.index)
    known = level.dropna()
    first = known.iloc[0] if len(known) else math.nan
    drawn = level / first
    before = benchmark_level(benchmark, equity.index[:1], before=True)
    base = before.iloc[0] if len(before) and not _missing(before.iloc[0]) else first
    return drawn, level / base


def _is_result(value: Any) -> bool:
    # The report knows its model only for typing: a BacktestResult exists only once its module
    # is loaded, so a value is one when that module is loaded and the value is an instance.
    module = sys.modules.get("pelmora.result")
    return module is not None and isinstance(value, module.BacktestResult)


def _option_text(name: str, value: Any) -> str:
    if value is None:
        return "–"
    if hasattr(value, "shape") and len(getattr(value, "shape", ())) == 2:
        rows, columns = value.shape
        return f"{type(value).__name__}, {rows:,} dates x {columns:,} stocks"
    if hasattr(value, "__len__") and not isinstance(value, str):
        return f"{len(value)} stocks" if name in ("delistings", "lot_size") else type(value).__name__
    return str(value)


def _is_default(value: Any, default: Any) -> bool:
    if value is default:
        return True
    if isinstance(value, (bool, int, float, str)) and isinstance(default, (bool, int, float, str)):
        return bool(value == default)
    return False


def _options_table(options: dict[str, Any]) -> str:
    """Every option of the run: first those the run set (the account, liquidity and cost options
    that change its figures), then the ones left at their defaults."""
    from pelmora.inputs.options import BacktestOptions

    defaults = {f.name: f.default for f in dataclasses.fields(BacktestOptions)}
    chosen, default = [], []
    for name, value in options.items():
        row = (name, _option_text(name, value))
        (default if _is_default(value, defaults.get(name, value)) else chosen).append(row)
    parts = []
    if chosen:
        parts.append("<div><h3>Set for this run</h3>"
                     + _html_table(("option", "value"), chosen, [str, str]) + "</div>")
    else:
        parts.append('<p class="note">Every option at its default.</p>')
    if default:
        parts.append("<div><h3>At their defaults</h3>"
                     + _html_table(("option", "value"), default, [str, str]) + "</div>")
    return f'<div class="row">{"".join(parts)}</div>'


def backtest_report(
    result: BacktestResult,
    path: str | os.PathLike[str],
    *,
    benchmark: pd.Series | None = None,
    log_scale: bool = False,
    title: str | None = None,
    capacity: pd.DataFrame | None = None,
    ci: float | None = 0.95,
    interactive: bool = False,
) -> Path:
    """Write a one-file HTML report of a backtest.

    The report holds the headline statistics with their bootstrap intervals (against the
    benchmark when one is given), the
    equity and drawdown curves, the monthly and yearly returns, the rolling Sharpe ratio and
    volatility, the exposure, the trade statistics with the excursion picture, the worst
    drawdowns, the last fills and the orders due on the next trading day. Everything covers the
    statistics window (from the first executed rebalance). The file is self-contained: pictures
    inline, no script, no other address, so it opens offline and can be mailed as it is.

    Parameters
    ----------
    result : BacktestResult
        The run to describe.
    path : str or os.PathLike
        The HTML file to write (replaced as a whole if it exists).
    benchmark : pandas.Series, optional
        Benchmark prices or returns on dates, read as :meth:`BacktestResult.stats` reads them;
        drawn rebased to 1 on the first day of the window.
    log_scale : bool, default False
        Draw the equity on a log scale.
    title : str, optional
        Page title (default "Backtest report").
    capacity : pandas.DataFrame, optional
        A table of :func:`pelmora.capacity` (of this strategy, as a rule): adds its curve
        (:func:`pelmora.plot_capacity`) and its figures per capital.
    ci : float or None, default 0.95
        The confidence level of the intervals beside the headline figures
        (``result.stats(ci=ci)``: 1,000 stationary block resamples of the window's returns,
        seed 0). None: no intervals. Without ``arch`` (``pelmora[inference]``) the report says
        so in place of them.
    interactive : bool, default False
        Draw the equity, rolling risk, excursion and capacity figures with plotly (extra
        ``interactive``): zoom and hover, plotly's script inline once, nothing fetched
        (:mod:`pelmora.report._interactive`).

    Returns
    -------
    pathlib.Path
        ``path``.

    Raises
    ------
    TypeError
        ``result`` not a :class:`BacktestResult`, ``capacity`` not a DataFrame; and as
        :meth:`BacktestResult.stats` for the benchmark.
    ValueError
        A ``capacity`` table that :func:`pelmora.plot_capacity` refuses.
    """
    if not _is_result(result):
        raise TypeError(f"result must be a BacktestResult, got {type(result).__name__}")
    if capacity is not None and not hasattr(capacity, "columns"):
        raise TypeError(
            f"capacity must be the DataFrame pelmora.capacity returns, got {type(capacity).__name__}"
        )
    import_optional("matplotlib", caller="pelmora.report")
    title = title or "Backtest report"
    stats, bounds, missing = _stats_with_intervals(result, benchmark, ci)
    start = result.window_start
    equity = result.equity.iloc[start:]
    name = "benchmark"
    drawn = bench_equity = None
    if benchmark is not None:
        name = str(benchmark.name) if benchmark.name is not None else "benchmark"
        drawn, bench_equity = _benchmark_equity(benchmark, equity)

    columns, tables = ["strategy"], [stats]
    if bench_equity is not None and bench_equity.notna().any():
        columns.append(name)
        tables.append(performance_stats(bench_equity.dropna()))
    interval = f"strategy, {ci * 100:g} % interval" if ci is not None else ""
    if bounds is not None:  # last, so the benchmark stays beside the strategy
        columns.append(interval)
        tables.append(bounds)
    headline = _stat_table(tables, _PERFORMANCE, columns)
    if benchmark is not None:
        relative = ("alpha", "beta", "correlation", "tracking_error", "information_ratio")
        shown, heads = [stats], [f"against {name}"]
        if bounds is not None:
            shown, heads = [stats, bounds], [heads[0], interval]
        headline += _stat_table(shown, relative, heads)
    note = _interval_note(bounds, missing)
    sections = [("statistics", "Statistics", f'<div class="row">{headline}</div>{note}')]
    if len(equity):
        sections += _curve_sections(result, stats, drawn, bench_equity, name, log_scale,
                                    interactive)
    else:  # no rebalance ran: the curves would be empty axes, the orders still matter
        sections.append(("equity", "Equity", '<p class="note">No rebalance was executed, so '
                         "there is no statistics window to draw.</p>"))
    if capacity is not None:
        sections.append(("capacity", "Capacity", _capacity_section(capacity, interactive)))
    sections.append(("fills", "Last fills", _fills_section(result.fills)))
    sections.append(("orders", "Next-period orders", _orders_section(result.next_period)))
    sections.append(("options", "Run options", _options_table(result.options)))
    subtitle = (
        f"{_format('', stats['start'])} to {_format('', stats['end'])} · "
        f"{len(result.inputs.stocks)} stocks · {len(result.trades):,} trades · "
        f"final equity {equity.iloc[-1]:.3f}" if len(equity) else "no rebalance was executed"
    )
    return _write(path, _page(title, subtitle, sections, plotly_scripts() if interactive else ""))


def _stats_with_intervals(
    result: BacktestResult, benchmark: pd.Series | None, ci: float | None
) -> tuple[pd.Series, pd.Series | None, str | None]:
    """The run's statistics, their intervals as the report prints them (None without), and the
    ImportError's text when arch is missing."""
    if ci is None:
        return result.stats(benchmark), None, None
    try:
        table = result.stats(benchmark, ci=ci)
    except ImportError as exc:
        return result.stats(benchmark), None, str(exc)
    bounds = table["lower"].astype(object)  # a Series of the figures' names, of texts
    for name, low, high in zip(table.index, table["lower"], table["upper"]):
        bounds[name] = (None if _missing(low) or _missing(high)
                        else f"{_format(name, low)} to {_format(name, high)}")
    bounds.attrs = dict(table.attrs)
    return table["value"].rename(None), bounds, None


def _interval_note(bounds: pd.Series | None, missing: str | None) -> str:
    if missing is not None:
        return f'<p class="note">No intervals: {html.escape(missing)}.</p>'
    if bounds is None:
        return ""
    used = bounds.attrs.get("intervals", {})
    block = used.get("block", math.nan)
    return (
        f'<p class="note">Intervals: the {used.get("ci", math.nan) * 100:g} % percentile '
        f"interval of {used.get('reps', 0):,} stationary block bootstrap resamples of the "
        f"window's daily returns (mean block {block:.1f} days, seed {used.get('seed')}); "
        "each resample is compounded on the same dates and its figures computed as above. "
        "Trade, date and cost figures have none.</p>"
    )


def _curve_sections(
    result: BacktestResult,
    stats: pd.Series,
    drawn: pd.Series | None,
    bench_equity: pd.Series | None,
    name: str,
    log_scale: bool,
    interactive: bool = False,
) -> list[tuple[str, str, str]]:
    """The pictures and tables of the statistics window."""
    start = result.window_start
    equity = result.equity.iloc[start:]
    known = bench_equity.dropna() if bench_equity is not None else None
    if interactive:
        picture = plotly_block(curves_figure(
            equity.rename("strategy").to_frame(), drawn.rename(name) if drawn is not None else None,
            log_scale=log_scale, caller="pelmora.report(interactive=True)"), "equity and drawdown")
    else:
        picture = _image(equity_figure(equity, figsize=(10.0, 6.2), benchmark=drawn,
                                       benchmark_name=name, log_scale=log_scale),
                         "equity and drawdown")
    sections = [("equity", "Equity and drawdown", picture)]
    months = result.monthly_returns()
    if len(months):
        years = monthly_returns(known)["Year"] if known is not None and len(known) else None
        sections.append(("returns", "Monthly and yearly returns",
                         _image(monthly_figure(months), "monthly returns")
                         + _image(yearly_figure(months["Year"], years, name, equity.index),
                                  "yearly returns")))
    bench_returns = None
    if bench_equity is not None:
        bench_returns = bench_equity / bench_equity.shift(1, fill_value=1.0) - 1.0
    if interactive:
        rolling = plotly_block(rolling_interactive(
            result.returns.iloc[start:].rename("strategy").to_frame(),
            bench_returns.rename(name) if bench_returns is not None else None,
            window=ROLLING_WINDOW, periods_per_year=PERIODS_PER_YEAR),
            "rolling Sharpe ratio and volatility")
    else:
        rolling = _image(rolling_figure(
            result.returns.iloc[start:], bench_returns, name, window=ROLLING_WINDOW,
            periods_per_year=PERIODS_PER_YEAR), "rolling Sharpe ratio and volatility")
    exposure = exposure_figure(result.exposure.iloc[start:])
    sections += [
        ("rolling", "Rolling risk", rolling),
        ("exposure", "Exposure", _image(exposure, "exposure")),
        ("trades", "Trades", _trades_section(result, stats, interactive)),
        # From the last all-cash day: a loss on the window's first day is a drawdown from 1.0.
        ("drawdowns", "Worst drawdowns",
         _drawdown_section(result.equity.iloc[max(start - 1, 0):])),
    ]
    return sections


def _trades_section(result: BacktestResult, stats: pd.Series, interactive: bool = False) -> str:
    trades = result.trades
    table = _stat_table([stats], _TRADE_STATS, ["all trades"])
    reasons = trades["exit_reason"].astype(object).where(trades["exit_reason"].notna(), "open")
    counts = reasons.value_counts()
    exits = (
        _html_table(("exit", "trades"), counts.items(), [str, lambda v: f"{int(v):,}"])
        if len(counts) else ""
    )
    options = result.inputs.options
    dense = len(trades) > HEXBIN_THRESHOLD
    fig = result.plot("excursions", title="Trade excursions: MFE against MAE",
                      interactive=interactive)
    note = (
        '<p class="note">Averages of pnl are in % of the initial capital; MAE and MFE in % of '
        "the entry price"
        + (f"; stop loss at {options.stop_loss * 100:g} %" if options.stop_loss else "")
        + (f"; take profit at {options.take_profit * 100:g} %" if options.take_profit else "")
        + ".</p>"
    )
    if interactive:
        return f'<div class="row">{table}{exits}</div>{note}' + plotly_block(fig, "trade excursions")
    fig.set_size_inches((10.0, 4.8) if dense else (6.1, 5.0))
    picture = _image(fig, "trade excursions")
    if dense:  # two density panels need the whole width
        return f'<div class="row">{table}{exits}</div>{note}{picture}'
    return (
        f'<div class="row"><div class="side">{table}{exits}{note}</div>'
        f"<div>{picture}</div></div>"
    )


def _drawdown_section(equity: pd.Series) -> str:
    frame = worst_drawdowns(equity, 5)
    if frame.empty:
        return '<p class="note">No drawdown in the window.</p>'
    rows = [
        (r.peak, r.trough, r.recovery, r.depth, r.days)
        for r in frame.itertuples(index=False)
    ]
    day = lambda v: _format("", v) if not _missing(v) else "not recovered"  # noqa: E731
    return _html_table(
        ("peak", "trough", "recovery", "depth", "length (days)"), rows,
        [day, day, day, lambda v: f"{v * 100:.2f} %", lambda v: f"{int(v):,}"],
    )


def _capacity_section(table: pd.DataFrame, interactive: bool = False) -> str:
    """The capacity curve and, per capital, the return, risk, fill rate and costs."""
    from pelmora.plotting._capacity import capital_text, plot_capacity
    from pelmora.statistics.performance import COST_NAMES

    picture = (plotly_block(plot_capacity(table, interactive=True), "capacity curve")
               if interactive else _image(plot_capacity(table, figsize=(10.0, 8.0)),
                                          "capacity curve"))
    frame = table.sort_index()
    costs = [c for c in COST_NAMES if c in frame.columns]
    shown = [c for c in ("total_return", "cagr", "sharpe", "max_drawdown", "fill_rate")
             if c in frame.columns]
    rows = [
        (float(capital), *(row[c] for c in shown),
         float(np.nansum([row[c] for c in costs])) if costs else math.nan)
        for capital, row in frame.iterrows()
    ]
    percent = lambda v: "–" if _missing(v) else f"{float(v) * 100:.2f} %"  # noqa: E731
    number = lambda v: "–" if _missing(v) else f"{float(v):.2f}"  # noqa: E731
    formats = [capital_text] + [number if c == "sharpe" else percent for c in shown] + [percent]
    return (
        _capacity_assumptions(table.attrs.get("capacity"))
        + picture
        + '<p class="note">Costs are what the whole run paid, in % of its capital.</p>'
        + _html_table(("capital", *shown, "costs"), rows, formats)
    )


def _capacity_assumptions(assumed: dict[str, Any] | None) -> str:
    """What the capacity curve assumed: the participation cap, the impact and its window, and
    where the volume came from."""
    if not assumed:
        return ('<p class="note">The table carries no record of its liquidity options (it was '
                "not made by pelmora.capacity, or was rebuilt since).</p>")
    cap = assumed.get("max_participation")
    capped = ("no participation cap" if cap is None
              else f"every fill capped at {float(cap) * 100:g} % of the day's volume")
    impact = float(assumed.get("impact") or 0.0)
    moved = ("no market impact" if impact == 0.0 else
             f"square-root impact with k = {impact:g}, its volatility over "
             f"{assumed.get('impact_window')} days")
    source = assumed.get("volume") or "–"
    text = f"Assumed: {capped}; {moved}; volume from {source}."
    return f'<p class="note">{html.escape(text, quote=False)}</p>'


def _fills_section(fills: pd.DataFrame) -> str:
    if fills.empty:
        return '<p class="note">No fills.</p>'
    last = fills.tail(20)
    columns = ("date", "stock", "reason", "side", "price", "value", "fee", "tax")
    rows = [tuple(r) for r in last[list(columns)].astype(object).itertuples(index=False)]
    text = lambda v: _format("", v)  # noqa: E731
    return (
        f'<p class="note">The last {len(last)} of {len(fills):,} fills; value, fee and tax in '
        "portfolio units (1.0 is the initial capital).</p>"
        + _html_table(columns, rows, [text, str, str, str, lambda v: f"{v:,.4g}",
                                      lambda v: f"{v:.4f}", lambda v: f"{v:.5f}",
                                      lambda v: f"{v:.5f}"])
    )


def _orders_section(next_period: pd.DataFrame) -> str:
    due = next_period[next_period["action"].notna()]
    if due.empty:
        return '<p class="note">No orders due on the next trading day.</p>'
    # The order column says in words what the action code abbreviates ("sl_" is "none
    # (stopped out)"): a reader gets the words only.
    columns = ("stock", "order", "weight", "next_weight", "weight_date", "next_weight_date")
    rows = [tuple(r) for r in due[list(columns)].astype(object).itertuples(index=False)]
    weight = lambda v: f"{v * 100:.2f} %"  # noqa: E731
    date = lambda v: _format("", v)  # noqa: E731
    return _html_table(
        ("stock", "order", "weight", "next weight", "weight date", "next weight date"),
        rows, [str, str, weight, weight, date, date],
    )
