"""The report and the notebook view of a comparison (and of a tear sheet, a comparison of one).

The report is the backtest report's kit (:mod:`pelmora.report._html`) with a column per strategy:
the statistics, the equities over their drawdowns, the yearly returns, the rolling risk and the
correlations; a tear sheet adds the monthly returns and the worst drawdowns of its one curve.
"""

from __future__ import annotations

import html
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

from pelmora._optional import import_optional
from pelmora.plotting._compare import comparison_figure, rolling_comparison_figure
from pelmora.plotting._run import monthly_figure, yearly_figure
from pelmora.report._backtest import PERIODS_PER_YEAR, ROLLING_WINDOW, _drawdown_section
from pelmora.report._html import _LABELS, _format, _html_table, _image, _page, _stat_table, _write
from pelmora.report._inline import HEADLINE, sparkline_svg
from pelmora.report._interactive import plotly_block, plotly_scripts
from pelmora.statistics.performance import BENCHMARK_STAT_NAMES, monthly_returns

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.statistics._compare import Comparison

__all__ = ["GROUPS", "comparison_html", "comparison_report", "return_figure"]

GROUPS = (
    ("Returns and risk", ("start", "end", "total_return", "cagr", "annual_volatility", "sharpe",
                          "psr", "sortino", "calmar", "omega", "max_drawdown",
                          "max_drawdown_start", "max_drawdown_end", "ulcer_index",
                          "recovery_factor")),
    ("Days and months", ("best_day", "worst_day", "best_month", "worst_month", "win_days",
                         "max_consecutive_wins", "max_consecutive_losses", "kelly", "skew",
                         "kurtosis", "tail_ratio", "value_at_risk", "conditional_value_at_risk")),
    ("Trades", ("n_trades", "win_rate", "avg_win", "avg_loss", "profit_factor", "expectancy",
                "turnover")),
)
"""The report's statistics, in tables of these names (the trades only when a run has some)."""


def _stat_tables(stats: pd.DataFrame, benchmark: bool) -> str:
    columns = [str(c) for c in stats.columns]
    series = [stats[c] for c in stats.columns]
    parts = []
    for heading, names in GROUPS:
        if heading == "Trades" and stats.loc["n_trades"].isna().all():
            continue
        parts.append(f"<h3>{html.escape(heading)}</h3>" + _stat_table(series, names, columns))
    if benchmark:
        strategies = series[:-1]
        parts.append(f"<h3>Against {html.escape(columns[-1])}</h3>"
                     + _stat_table(strategies, BENCHMARK_STAT_NAMES, columns[:-1]))
    return "".join(parts)


def _yearly_table(comparison: Comparison) -> str:
    years = comparison.equity.apply(lambda c: monthly_returns(c.dropna())["Year"])
    rows = [(str(year), *row) for year, row in years.iterrows()]
    percent = lambda v: "–" if v != v else f"{v * 100:.2f} %"  # noqa: E731
    return _html_table(("year", *comparison.names), rows,
                       [str] + [percent] * len(comparison.names))


def return_figure(sheet: Any, kind: str, *, interactive: bool = False) -> Any:
    """A tear sheet's monthly returns, yearly returns or rolling risk."""
    curve = sheet.curves[0]
    if kind == "rolling":
        bench = sheet.benchmark_equity()
        bench_returns = None if bench is None else bench / bench.shift(1, fill_value=1.0) - 1.0
        returns = curve.returns.to_frame()
        if interactive:
            from pelmora.plotting._interactive import rolling_interactive

            return rolling_interactive(returns, bench_returns, window=ROLLING_WINDOW,
                                       periods_per_year=PERIODS_PER_YEAR)
        return rolling_comparison_figure(returns, bench_returns, window=ROLLING_WINDOW,
                                         periods_per_year=PERIODS_PER_YEAR)
    if interactive:
        raise ValueError(f'interactive=True draws "equity" and "rolling", not {kind!r}')
    months = monthly_returns(curve.equity)
    if kind == "monthly":
        return monthly_figure(months)
    if kind == "yearly":
        bench = sheet.benchmark_equity()
        years = monthly_returns(bench)["Year"] if bench is not None and len(bench) else None
        return yearly_figure(months["Year"], years, str(getattr(sheet.benchmark, "name", None)
                                                        or "benchmark"), curve.equity.index)
    raise ValueError(f'kind must be "equity", "monthly", "yearly" or "rolling", got {kind!r}')


def comparison_report(comparison: Comparison, path: str | os.PathLike[str], *,
                      title: str | None = None, interactive: bool = False,
                      log_scale: bool = False) -> Path:
    """Write the comparison's report (see :meth:`Comparison.report`)."""
    import_optional("matplotlib", caller="pelmora.report")
    single = len(comparison.curves) == 1
    title = title or ("Tear sheet" if single else "Comparison")
    stats = comparison._table()
    bench = comparison.benchmark_equity()
    has_bench = bench is not None and len(bench) > 0
    sections = [("statistics", "Statistics", _stat_tables(stats, has_bench))]
    if len(comparison.equity):
        plot = comparison.plot(interactive=interactive, log_scale=log_scale,
                               title="Equity and drawdown")
        sections.append(("equity", "Equity and drawdown",
                         plotly_block(plot, "equity and drawdowns") if interactive
                         else _image(plot, "equity and drawdowns")))
        returns = comparison.returns
        if single:
            months = monthly_returns(comparison.curves[0].equity)
            sections.append(("returns", "Monthly and yearly returns",
                             _image(monthly_figure(months), "monthly returns")
                             + _image(return_figure(comparison, "yearly"), "yearly returns")))
        else:
            sections.append(("returns", "Yearly returns", _yearly_table(comparison)))
        bench_returns = None if not has_bench else bench / bench.shift(1, fill_value=1.0) - 1.0
        if bench_returns is not None:
            bench_returns = bench_returns.rename(str(comparison.benchmark.name or "benchmark"))
        if interactive:
            from pelmora.plotting._interactive import rolling_interactive

            rolling = plotly_block(rolling_interactive(
                returns, bench_returns, window=ROLLING_WINDOW, periods_per_year=PERIODS_PER_YEAR),
                "rolling Sharpe ratio and volatility")
        else:
            rolling = _image(rolling_comparison_figure(
                returns, bench_returns, window=ROLLING_WINDOW, periods_per_year=PERIODS_PER_YEAR),
                "rolling Sharpe ratio and volatility")
        sections.append(("rolling", "Rolling risk", rolling))
        if single:
            sections.append(("drawdowns", "Worst drawdowns",
                             _drawdown_section(comparison.curves[0].from_capital())))
        else:
            corr = comparison.correlation()
            rows = [(str(name), *row) for name, row in corr.iterrows()]
            sections.append(("correlation", "Correlation of daily returns", _html_table(
                ("", *comparison.names), rows,
                [str] + [lambda v: "–" if v != v else f"{v:.2f}"] * len(comparison.names))))
    subtitle = " · ".join(
        f"{c.name}: {_format('', c.equity.index[0])} to {_format('', c.equity.index[-1])}"
        if len(c.equity) else f"{c.name}: no returns" for c in comparison.curves)
    return _write(path, _page(title, subtitle, sections,
                              plotly_scripts() if interactive else ""))


def comparison_html(comparison: Comparison) -> str:
    """The notebook view: headline statistics, a column per strategy, and each one's equity as a
    small inline SVG line (no script, no other address, every text escaped)."""
    stats = comparison._table()
    names = [str(c) for c in stats.columns]
    head = "".join(f"<th>{html.escape(n)}</th>" for n in names)
    rows = "".join(
        f'<tr><th style="text-align:left">{html.escape(_LABELS.get(n, n))}</th>'
        + "".join(f"<td>{html.escape(_format(n, stats.at[n, c]))}</td>" for c in stats.columns)
        + "</tr>"
        for n in HEADLINE if n in stats.index and not stats.loc[n].isna().all()
    )
    sparks = "".join(
        f"<div><div>{html.escape(c.name)}</div>"
        f"{sparkline_svg(c.equity.to_numpy(), title=f'{c.name} equity')}</div>"
        for c in comparison.curves
    )
    kind = type(comparison).__name__
    return (
        '<div style="font-family:sans-serif;font-size:12px">'
        f"<div><b>{html.escape(kind)} of {len(comparison.curves)}</b></div>"
        '<div style="display:flex;gap:16px;align-items:flex-start">'
        f'<table style="font-size:12px"><tr><th></th>{head}</tr>{rows}</table>'
        f"<div>{sparks}</div></div></div>"
    )
