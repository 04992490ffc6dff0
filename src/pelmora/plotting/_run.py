"""Figures of one run: the equity and its drawdown, the trade excursions, the monthly and yearly
returns, the rolling risk and the exposure.

Drawn with matplotlib's object API (no pyplot state, any backend). The report draws its pictures
with these same functions, so a figure looks the same in a notebook and in a report.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.plotting._style import (
    BENCHMARK_COLOR, EXPOSURE_STYLES, LOSS_COLOR, MONTH_MISSING_COLOR, STOP_COLOR, STRATEGY_COLOR,
    WIN_COLOR, figure_class, new_figure, percent_axis,
)
from pelmora.statistics.performance import drawdown

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

    from pelmora.results.result import BacktestResult

__all__ = [
    "HEXBIN_THRESHOLD", "equity_figure", "result_figure", "excursion_figure", "exposure_figure", "monthly_figure",
    "rolling_figure", "yearly_figure",
]

HEXBIN_THRESHOLD = 2000
"""Above this many trades the excursion figure draws densities instead of points."""


def equity_figure(
    equity: pd.Series,
    *,
    title: str | None = None,
    figsize: tuple[float, float] | None = None,
    benchmark: pd.Series | None = None,
    benchmark_name: str = "benchmark",
    log_scale: bool = False,
) -> Figure:
    """The equity curve above its drawdown, optionally against a benchmark.

    Parameters
    ----------
    equity : pandas.Series
        Portfolio values on dates, from a capital of 1.0.
    title : str, optional
        Figure title (default "Equity").
    figsize : (float, float), optional
        Size in inches (default 10 x 6).
    benchmark : pandas.Series, optional
        A benchmark level on the same dates, rebased to 1 on its first day: drawn beside the
        equity, and its drawdown beside the equity's (measured from its own first value).
    benchmark_name : str, default "benchmark"
        The benchmark's label in the legends.
    log_scale : bool, default False
        Draw the values on a log scale.

    Returns
    -------
    matplotlib.figure.Figure
    """
    fig = new_figure("BacktestResult.plot", figsize or (10.0, 6.0))
    # Two drawdown curves need a little more height than one.
    grid = fig.add_gridspec(2, 1, height_ratios=(3, 1.3 if benchmark is not None else 1))
    top = fig.add_subplot(grid[0])
    bottom = fig.add_subplot(grid[1], sharex=top)
    compared = benchmark is not None
    top.plot(
        equity.index, equity.to_numpy(dtype=np.float64), color=STRATEGY_COLOR, linewidth=1.3,
        label="strategy" if compared else "equity",
    )
    if benchmark is not None:
        top.plot(benchmark.index, benchmark.to_numpy(dtype=np.float64), color=BENCHMARK_COLOR,
                 linewidth=1.1, label=benchmark_name)
    top.axhline(1.0, color="0.6", linewidth=0.8, linestyle="--")
    if log_scale:
        _log_axis(top, [equity] + ([benchmark] if benchmark is not None else []))
    top.set_ylabel(("value" if compared else "equity") + " (start = 1)"
                   + (", log scale" if log_scale else ""))
    top.set_title(title or "Equity")
    top.grid(True, alpha=0.3)
    top.tick_params(labelbottom=False)
    # The strategy starts from its capital of 1.0; the benchmark is drawn rebased to 1.0 on its
    # first day, so its own first value is its first peak.
    under = drawdown(equity, initial=1.0).to_numpy() * 100.0
    bottom.fill_between(equity.index, under, 0.0, color=LOSS_COLOR, alpha=0.35, linewidth=0)
    bottom.plot(equity.index, under, color=LOSS_COLOR, linewidth=0.8, label="strategy")
    if benchmark is not None:
        bench_under = drawdown(benchmark, initial=None).to_numpy() * 100.0
        bottom.plot(benchmark.index, bench_under, color=BENCHMARK_COLOR, linewidth=0.8,
                    label=benchmark_name)
        top.legend(loc="upper left")
        bottom.legend(loc="lower left", fontsize=8)
    bottom.set_ylabel("drawdown (%)")
    bottom.grid(True, alpha=0.3)
    return fig


def _log_axis(ax: Any, curves: Sequence[pd.Series]) -> None:
    """A log scale labelled with plain numbers ("1.5", "20") rather than powers of ten."""
    from matplotlib.ticker import FuncFormatter, LogFormatter, MaxNLocator, NullFormatter

    ax.set_yscale("log")
    values = np.concatenate([c.to_numpy(dtype=np.float64) for c in curves])
    values = values[np.isfinite(values) & (values > 0)]
    if len(values) and values.max() < 10 * values.min():
        # Within a decade a log axis has one or two ticks of its own: place evenly spaced
        # round values instead.
        ax.yaxis.set_major_locator(MaxNLocator(7))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_formatter(NullFormatter())
    else:
        ax.yaxis.set_major_formatter(LogFormatter(labelOnlyBase=False))
        ax.yaxis.set_minor_formatter(LogFormatter(labelOnlyBase=False, minor_thresholds=(2, 1)))


def _stop_lines(ax: Any, stop_loss: float | None, take_profit: float | None) -> None:
    # The stops are distances from the entry price, as the excursions are, so they sit on the axes
    # as plain lines: a trade right of the stop-loss line went further against it than the stop.
    if stop_loss is not None:
        ax.axvline(
            stop_loss * 100.0, color=STOP_COLOR, linewidth=1.1, linestyle=":",
            label=f"stop loss {stop_loss * 100.0:g} %",
        )
    if take_profit is not None:
        ax.axhline(
            take_profit * 100.0, color=STOP_COLOR, linewidth=1.1, linestyle="-.",
            label=f"take profit {take_profit * 100.0:g} %",
        )


def excursion_figure(
    trades: pd.DataFrame,
    *,
    title: str | None = None,
    figsize: tuple[float, float] | None = None,
    stop_loss: float | None = None,
    take_profit: float | None = None,
) -> Figure:
    """Maximum adverse excursion against maximum favourable excursion of every trade.

    Up to :data:`HEXBIN_THRESHOLD` trades are drawn as points, winners in green and losers in
    red; above it thousands of points would hide each other, so winners and losers become two
    side-by-side density panels (hexagonal bins, counts on a log colour scale).

    Parameters
    ----------
    trades : pandas.DataFrame
        With columns ``mae``, ``gmfe`` and ``pnl`` (as :attr:`BacktestResult.trades`); winners
        are the trades with a positive ``pnl``.
    title : str, optional
        Figure title (default "Trade excursions").
    figsize : (float, float), optional
        Size in inches (default 7 x 6 for points, 12 x 5.5 for densities).
    stop_loss, take_profit : float, optional
        The run's stop distances (0.1 is 10 %), drawn as a vertical line at the stop-loss and a
        horizontal line at the take-profit.

    Returns
    -------
    matplotlib.figure.Figure
    """
    Figure = figure_class()
    adverse = -trades["mae"].to_numpy(dtype=np.float64) * 100.0
    favourable = trades["gmfe"].to_numpy(dtype=np.float64) * 100.0
    win = trades["pnl"].to_numpy(dtype=np.float64) > 0
    if len(trades) > HEXBIN_THRESHOLD:
        return _excursion_density(
            Figure, adverse, favourable, win, title=title, figsize=figsize,
            stop_loss=stop_loss, take_profit=take_profit,
        )
    fig = Figure(figsize=figsize or (7.0, 6.0), layout="constrained")
    ax = fig.add_subplot()
    _excursion_axes(ax, title or "Trade excursions")
    if len(trades) == 0:
        ax.text(0.5, 0.5, "no trades", ha="center", va="center", transform=ax.transAxes)
        return fig
    # Adverse excursions are drawn as positive distances so both axes grow away from the origin.
    ax.scatter(
        adverse[win], favourable[win], s=16, alpha=0.7, color=WIN_COLOR,
        label=f"winners ({int(win.sum())})",
    )
    ax.scatter(
        adverse[~win], favourable[~win], s=16, alpha=0.7, color=LOSS_COLOR,
        label=f"losers ({int((~win).sum())})",
    )
    ax.axline((0.0, 0.0), slope=1.0, color="0.5", linewidth=0.8, linestyle="--", label="MFE = MAE")
    _stop_lines(ax, stop_loss, take_profit)
    ax.set_xlim(left=0)
    ax.set_ylim(bottom=0)
    ax.legend(loc="upper left")
    return fig


def _excursion_axes(ax: Any, title: str) -> None:
    ax.set_title(title)
    ax.set_xlabel("maximum adverse excursion (%)")
    ax.set_ylabel("maximum favourable excursion (%)")
    ax.grid(True, alpha=0.3)


def _excursion_density(
    Figure: type[Figure],
    adverse: np.ndarray,
    favourable: np.ndarray,
    win: np.ndarray,
    *,
    title: str | None,
    figsize: tuple[float, float] | None,
    stop_loss: float | None,
    take_profit: float | None,
) -> Figure:
    from matplotlib.ticker import FuncFormatter

    fig = Figure(figsize=figsize or (12.0, 5.5), layout="constrained")
    fig.suptitle(title or "Trade excursions")
    ok = np.isfinite(adverse) & np.isfinite(favourable)
    # One extent for both panels, so a hexagon covers the same excursions left and right.
    top_x = max(float(adverse[ok].max(initial=0.0)), (stop_loss or 0.0) * 100.0) * 1.05 or 1.0
    top_y = max(float(favourable[ok].max(initial=0.0)), (take_profit or 0.0) * 100.0) * 1.05 or 1.0
    extent = (0.0, top_x, 0.0, top_y)
    left = fig.add_subplot(1, 2, 1)
    right = fig.add_subplot(1, 2, 2, sharex=left, sharey=left)
    for ax, mask, cmap, name in ((left, win, "Greens", "winners"), (right, ~win, "Reds", "losers")):
        keep = ok & mask
        _excursion_axes(ax, f"{name} ({int(mask.sum())})")
        bins = ax.hexbin(
            adverse[keep], favourable[keep], gridsize=40, bins="log", mincnt=1, cmap=cmap,
            extent=extent, linewidths=0.1,
        )
        bar = fig.colorbar(bins, ax=ax, label="trades per cell (log scale)", shrink=0.9)
        bar.ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.axline(
            (0.0, 0.0), slope=1.0, color="0.5", linewidth=0.8, linestyle="--", label="MFE = MAE"
        )
        _stop_lines(ax, stop_loss, take_profit)
        ax.legend(loc="upper left")
    right.set_ylabel("")
    left.set_xlim(0.0, top_x)
    left.set_ylim(0.0, top_y)
    return fig


def _diverging(values: np.ndarray) -> Any:
    from matplotlib.colors import TwoSlopeNorm

    finite = np.abs(values[np.isfinite(values)])
    limit = float(finite.max()) if len(finite) and finite.max() > 0 else 0.01
    return TwoSlopeNorm(0.0, -limit, limit)


def monthly_figure(months: pd.DataFrame) -> Figure:
    """The return of every month (a row a year) and of every year, as coloured cells."""
    from matplotlib import colormaps

    cmap = colormaps["RdYlGn"].with_extremes(bad=MONTH_MISSING_COLOR)
    fig = new_figure("pelmora.report", (10.0, 0.42 * len(months) + 1.3))
    grid = fig.add_gridspec(1, 2, width_ratios=(12, 1.4))
    left, right = fig.add_subplot(grid[0]), fig.add_subplot(grid[1])
    years = [str(y) for y in months.index]
    # The year column has its own colour scale: a year's return dwarfs any month's.
    for ax, block in ((left, months.iloc[:, :12]), (right, months[["Year"]])):
        z = block.to_numpy(dtype=np.float64)
        norm = _diverging(z)
        ax.imshow(np.ma.masked_invalid(z), cmap=cmap, norm=norm, aspect="auto")
        ax.set_xticks(range(z.shape[1]), list(block.columns))
        ax.xaxis.tick_top()
        ax.set_yticks(range(len(years)), years)
        ax.tick_params(length=0)
        for (i, j), v in np.ndenumerate(z):
            if np.isfinite(v):
                strong = abs(norm(v) - 0.5) > 0.38  # the darkest ends of the map
                ax.text(
                    j, i, f"{v * 100:.1f}", ha="center", va="center", fontsize=9,
                    color="white" if strong else "black",
                )
    right.tick_params(labelleft=False)
    fig.suptitle("Monthly returns (%)", fontsize=11)
    return fig


def _year_labels(years: pd.Index, dates: pd.DatetimeIndex) -> list[str]:
    """Year ticks; the first and last years say where the window cuts them."""
    labels = [str(y) for y in years]
    if len(dates) and len(labels):
        first, last = dates[0], dates[-1]
        if (first.month, first.day) > (1, 7):
            labels[0] += f"\n(from {first.strftime('%b %d')})"
        if (last.month, last.day) < (12, 24):
            labels[-1] += f"\n(to {last.strftime('%b %d')})"
    return labels


def yearly_figure(
    strategy: pd.Series, bench: pd.Series | None, name: str, dates: pd.DatetimeIndex
) -> Figure:
    """The yearly returns as bars, the benchmark's beside the strategy's; ``dates`` the window."""
    fig = new_figure("pelmora.report", (10.0, 3.6))
    ax = fig.add_subplot()
    x = np.arange(len(strategy))
    width = 0.38 if bench is not None else 0.6
    pairs = [(strategy, STRATEGY_COLOR, "strategy", -width / 2 if bench is not None else 0.0)]
    if bench is not None:
        pairs.append((bench.reindex(strategy.index), BENCHMARK_COLOR, name, width / 2))
    for series, color, label, shift in pairs:
        values = series.to_numpy(dtype=np.float64)
        bars = ax.bar(x + shift, np.nan_to_num(values), width, color=color, label=label)
        ax.bar_label(
            bars, labels=[f"{v * 100:.1f} %" if np.isfinite(v) else "" for v in values],
            fontsize=8, padding=2,
        )
    ax.set_xticks(x, _year_labels(strategy.index, dates))
    ax.axhline(0.0, color="0.4", linewidth=0.8)
    ax.margins(y=0.18)
    percent_axis(ax)
    ax.set_title("Yearly returns")
    ax.grid(True, axis="y", alpha=0.3)
    ax.legend(loc="best", fontsize=9)
    return fig


def rolling_figure(
    returns: pd.Series,
    bench: pd.Series | None,
    name: str,
    *,
    window: int,
    periods_per_year: float,
) -> Figure:
    """The rolling Sharpe ratio above the rolling volatility, annualised, over ``window`` days."""
    curves = [("strategy", returns, STRATEGY_COLOR)]
    if bench is not None:
        curves.append((name, bench, BENCHMARK_COLOR))
    fig = new_figure("pelmora.report", (10.0, 5.0))
    top = rolling_panels(fig, curves, window=window, periods_per_year=periods_per_year)
    if len(returns):  # the whole window, as the other pictures, even before the first value
        top.set_xlim(returns.index[0], returns.index[-1])
    if len(returns) < window:
        top.text(0.5, 0.5, f"fewer than {window} days", transform=top.transAxes,
                 ha="center", va="center", color="0.4")
    return fig


def rolling_panels(
    fig: Figure, curves: Sequence[tuple[str, pd.Series, str]], *, window: int,
    periods_per_year: float,
) -> Any:
    """Each (label, daily returns, colour) curve's rolling Sharpe ratio on a top panel of ``fig``
    above its rolling volatility, annualised, over ``window`` days; the top panel."""
    top = fig.add_subplot(2, 1, 1)
    bottom = fig.add_subplot(2, 1, 2, sharex=top)
    root = math.sqrt(periods_per_year)
    for label, series, color in curves:
        rolling = series.rolling(window)
        mean, std = rolling.mean(), rolling.std()
        top.plot(series.index, (mean / std * root).to_numpy(), color=color, linewidth=1.1,
                 label=label)
        bottom.plot(series.index, (std * root).to_numpy(), color=color, linewidth=1.1, label=label)
    top.axhline(0.0, color="0.5", linewidth=0.8)
    top.set_title(f"Rolling Sharpe ratio and volatility ({window} days, annualised)")
    top.set_ylabel("Sharpe ratio")
    top.tick_params(labelbottom=False)
    bottom.set_ylabel("volatility")
    percent_axis(bottom)
    for ax in (top, bottom):
        ax.grid(True, alpha=0.3)
    top.legend(loc="upper left", fontsize=8)
    return top


def exposure_figure(exposure: pd.DataFrame) -> Figure:
    """Gross, net, long and short exposure over time (as :attr:`BacktestResult.exposure`)."""
    fig = new_figure("pelmora.report", (10.0, 3.6))
    ax = fig.add_subplot()
    for column, (color, line, width) in EXPOSURE_STYLES.items():
        ax.plot(exposure.index, exposure[column].to_numpy(), color=color, linestyle=line,
                linewidth=width, label=column)
    ax.axhline(0.0, color="0.5", linewidth=0.8)
    percent_axis(ax)
    ax.set_title("Exposure (share of equity)")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=4, fontsize=9, frameon=False)
    return fig


def result_figure(
    result: BacktestResult, kind: str, *, title: str | None, figsize: tuple[float, float] | None,
    interactive: bool,
) -> Any:
    """:meth:`BacktestResult.plot`: the equity and drawdown, or the trade excursions."""
    options = result.inputs.options
    if kind not in ("equity", "excursions"):
        raise ValueError(f'kind must be "equity" or "excursions", got {kind!r}')
    if interactive:
        from pelmora.plotting import _interactive

        if kind == "equity":
            return _interactive.curves_figure(
                result.equity.rename("equity").to_frame(), title=title or "Equity",
                caller="BacktestResult.plot(interactive=True)")
        return _interactive.excursion_interactive(
            result.trades, stop_loss=options.stop_loss, take_profit=options.take_profit,
            title=title, threshold=HEXBIN_THRESHOLD)
    if kind == "equity":
        return equity_figure(result.equity, title=title, figsize=figsize)
    return excursion_figure(result.trades, title=title, figsize=figsize,
                            stop_loss=options.stop_loss, take_profit=options.take_profit)
