"""The figure of a purged cross-validation: its out-of-sample paths and their Sharpe ratios.

One path is one history the strategy could have had with parameters chosen without its dates; the
spread of the paths, more than any one of them, is what the validation shows.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from pelmora.plotting._style import BENCHMARK_COLOR, LOSS_COLOR, STRATEGY_COLOR, figure_class

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

__all__ = ["paths_figure"]


def paths_figure(
    equity: pd.DataFrame,
    sharpe: pd.Series,
    *,
    title: str | None = None,
    figsize: tuple[float, float] | None = None,
) -> Figure:
    """Every path's equity (left) and the histogram of the paths' Sharpe ratios (right).

    Parameters
    ----------
    equity : pandas.DataFrame
        A column of values from 1.0 per path, on dates.
    sharpe : pandas.Series
        Each path's Sharpe ratio; NaN ones are left out of the histogram.
    title : str, optional
        Figure title (default "Out-of-sample paths").
    figsize : (float, float), optional
        Size in inches (default 11 x 4.5).

    Returns
    -------
    matplotlib.figure.Figure
    """
    figure = figure_class("PurgedResult.plot")
    from matplotlib.ticker import MaxNLocator

    fig = figure(figsize=figsize or (11, 4.5), layout="constrained")
    left, right = fig.subplots(1, 2, width_ratios=[2, 1])
    # Many paths overlap: fainter lines the more there are, so the bundle's density shows.
    alpha = float(np.clip(3.0 / max(equity.shape[1], 1), 0.15, 0.9))
    for column in equity.columns:
        left.plot(equity.index, equity[column], color=STRATEGY_COLOR, alpha=alpha, linewidth=1.0)
    left.axhline(1.0, color=BENCHMARK_COLOR, linewidth=0.8, linestyle=":")
    left.set_ylabel("equity")
    left.set_title(f"{equity.shape[1]} paths")
    values = sharpe.dropna().to_numpy(dtype=np.float64)
    if len(values):
        right.hist(values, bins=min(max(len(values) // 2, 5), 30), color=STRATEGY_COLOR,
                   alpha=0.75)
        right.axvline(float(values.mean()), color=LOSS_COLOR, linewidth=1.2,
                      label=f"mean {values.mean():.2f}")
        right.legend(loc="best", frameon=False)
    right.axvline(0.0, color=BENCHMARK_COLOR, linewidth=0.8, linestyle=":")
    right.set_xlabel("Sharpe ratio")
    right.set_ylabel("paths")
    right.yaxis.set_major_locator(MaxNLocator(integer=True))
    fig.suptitle(title or "Out-of-sample paths")
    return fig
