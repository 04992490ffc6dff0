"""Figures of a backtest, drawn with matplotlib's object API (no pyplot state, any backend)."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from pelmora import _require

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

__all__ = ["equity_figure", "excursion_figure"]

WIN_COLOR = "#2ca02c"
LOSS_COLOR = "#d62728"


def _figure_class() -> type[Figure]:
    _require("matplotlib", "BacktestResult.plot")
    from matplotlib.figure import Figure

    return Figure


def equity_figure(
    equity: pd.Series, *, title: str | None = None, figsize: tuple[float, float] | None = None
) -> Figure:
    """The equity curve above its drawdown.

    Parameters
    ----------
    equity : pandas.Series
        Portfolio values on dates.
    title : str, optional
        Figure title (default "Equity").
    figsize : (float, float), optional
        Size in inches (default 10 x 6).

    Returns
    -------
    matplotlib.figure.Figure
    """
    Figure = _figure_class()
    fig = Figure(figsize=figsize or (10.0, 6.0), layout="constrained")
    grid = fig.add_gridspec(2, 1, height_ratios=(3, 1))
    top = fig.add_subplot(grid[0])
    bottom = fig.add_subplot(grid[1], sharex=top)
    x = equity.index
    values = equity.to_numpy(dtype=np.float64)
    top.plot(x, values, color="#1f77b4", linewidth=1.3, label="equity")
    top.axhline(1.0, color="0.6", linewidth=0.8, linestyle="--")
    top.set_ylabel("equity (start = 1)")
    top.set_title(title or "Equity")
    top.grid(True, alpha=0.3)
    top.tick_params(labelbottom=False)
    drawdown = (values / np.maximum.accumulate(values) - 1.0) * 100.0 if len(values) else values
    bottom.fill_between(x, drawdown, 0.0, color=LOSS_COLOR, alpha=0.35, linewidth=0)
    bottom.plot(x, drawdown, color=LOSS_COLOR, linewidth=0.8)
    bottom.set_ylabel("drawdown (%)")
    bottom.grid(True, alpha=0.3)
    return fig


def excursion_figure(
    trades: pd.DataFrame, *, title: str | None = None, figsize: tuple[float, float] | None = None
) -> Figure:
    """Maximum adverse excursion against maximum favourable excursion, one point per trade.

    Parameters
    ----------
    trades : pandas.DataFrame
        With columns ``mae``, ``gmfe`` and ``pnl`` (as :attr:`BacktestResult.trades`); winners
        are the trades with a positive ``pnl``.
    title : str, optional
        Figure title (default "Trade excursions").
    figsize : (float, float), optional
        Size in inches (default 7 x 6).

    Returns
    -------
    matplotlib.figure.Figure
    """
    Figure = _figure_class()
    fig = Figure(figsize=figsize or (7.0, 6.0), layout="constrained")
    ax = fig.add_subplot()
    ax.set_title(title or "Trade excursions")
    ax.set_xlabel("maximum adverse excursion (%)")
    ax.set_ylabel("maximum favourable excursion (%)")
    ax.grid(True, alpha=0.3)
    if len(trades) == 0:
        ax.text(0.5, 0.5, "no trades", ha="center", va="center", transform=ax.transAxes)
        return fig
    # Adverse excursions are drawn as positive distances so both axes grow away from the origin.
    adverse = -trades["mae"].to_numpy(dtype=np.float64) * 100.0
    favourable = trades["gmfe"].to_numpy(dtype=np.float64) * 100.0
    win = trades["pnl"].to_numpy(dtype=np.float64) > 0
    ax.scatter(
        adverse[win], favourable[win], s=16, alpha=0.7, color=WIN_COLOR,
        label=f"winners ({int(win.sum())})",
    )
    ax.scatter(
        adverse[~win], favourable[~win], s=16, alpha=0.7, color=LOSS_COLOR,
        label=f"losers ({int((~win).sum())})",
    )
    ax.axline((0.0, 0.0), slope=1.0, color="0.5", linewidth=0.8, linestyle="--", label="MFE = MAE")
    ax.set_xlim(left=0)
    ax.set_ylim(bottom=0)
    ax.legend(loc="upper left")
    return fig
