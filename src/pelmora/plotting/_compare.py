"""Figures of several strategies: their equities over their drawdowns, and their rolling risk.

Drawn with matplotlib's object API (no pyplot state), in the palette's series colours; the
benchmark is grey, as in the figures of one run.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from pelmora.plotting._run import _log_axis, rolling_panels
from pelmora.plotting._style import BENCHMARK_COLOR, SERIES_COLORS, new_figure
from pelmora.statistics.performance import drawdown

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

__all__ = ["comparison_figure", "rolling_comparison_figure", "series_color"]


def series_color(k: int) -> str:
    """The colour of the k-th strategy."""
    return SERIES_COLORS[k % len(SERIES_COLORS)]


def _curves(equity: pd.DataFrame, benchmark: pd.Series | None) -> list[tuple[str, pd.Series, str]]:
    """(label, curve without its NaN, colour) of each strategy, then the benchmark."""
    out = [(str(name), equity[name].dropna(), series_color(k))
           for k, name in enumerate(equity.columns)]
    if benchmark is not None and len(benchmark):
        out.append((str(benchmark.name or "benchmark"), benchmark.dropna(), BENCHMARK_COLOR))
    return out


def comparison_figure(
    equity: pd.DataFrame,
    benchmark: pd.Series | None = None,
    *,
    log_scale: bool = False,
    title: str | None = None,
    figsize: tuple[float, float] | None = None,
) -> Figure:
    """The strategies' equities on one axis, each from its capital of 1.0, their drawdowns under.

    Parameters
    ----------
    equity : pandas.DataFrame
        A column per strategy (NaN outside its window), as :attr:`Comparison.equity`.
    benchmark : pandas.Series, optional
        The benchmark over the same dates, from its level before them.
    log_scale : bool, default False
        Draw the values on a log scale.
    title : str, optional
        Figure title (default "Equity").
    figsize : (float, float), optional
        Size in inches (default 10 x 6.4).

    Returns
    -------
    matplotlib.figure.Figure
    """
    fig = new_figure("Comparison.plot", figsize or (10.0, 6.4))
    grid = fig.add_gridspec(2, 1, height_ratios=(3, 1.4))
    top = fig.add_subplot(grid[0])
    bottom = fig.add_subplot(grid[1], sharex=top)
    curves = _curves(equity, benchmark)
    for label, curve, color in curves:
        width = 1.1 if color == BENCHMARK_COLOR else 1.3
        top.plot(curve.index, curve.to_numpy(dtype=np.float64), color=color, linewidth=width,
                 label=label)
        # Every curve here is measured from a capital of 1.0 held before its first date.
        under = drawdown(curve, initial=1.0).to_numpy() * 100.0
        bottom.plot(curve.index, under, color=color, linewidth=0.9, label=label)
    top.axhline(1.0, color="0.6", linewidth=0.8, linestyle="--")
    if log_scale and curves:
        _log_axis(top, [c for _, c, _ in curves])
    top.set_ylabel("value (start = 1)" + (", log scale" if log_scale else ""))
    top.set_title(title or "Equity")
    top.grid(True, alpha=0.3)
    top.tick_params(labelbottom=False)
    top.legend(loc="upper left", fontsize=9)
    bottom.set_ylabel("drawdown (%)")
    bottom.grid(True, alpha=0.3)
    return fig


def rolling_comparison_figure(
    returns: pd.DataFrame, benchmark: pd.Series | None, *, window: int, periods_per_year: float
) -> Figure:
    """The strategies' rolling Sharpe ratio above their rolling volatility, annualised."""
    fig = new_figure("pelmora.report", (10.0, 5.0))
    rolling_panels(fig, _curves(returns, benchmark), window=window,
                   periods_per_year=periods_per_year)
    return fig
