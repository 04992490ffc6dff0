"""The figures of out-of-sample validation: a walk-forward's stitched equity and its windows, and a
purged cross-validation's paths with their Sharpe ratios.

One path is one history the strategy could have had with parameters chosen without its dates; the
spread of the paths, more than any one of them, is what the validation shows.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from pelmora.plotting._style import (
    BENCHMARK_COLOR, LOSS_COLOR, MISSING_COLOR, STRATEGY_COLOR, new_figure,
)

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

__all__ = ["paths_figure", "walk_forward_figure"]


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
    fig = new_figure("PurgedResult.plot", figsize or (11, 4.5))
    from matplotlib.ticker import MaxNLocator  # after the check that names the extra

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


def walk_forward_figure(
    equity: pd.Series,
    windows: pd.DataFrame,
    metric: str,
    *,
    title: str | None = None,
    figsize: tuple[float, float] | None = None,
) -> Figure:
    """The out-of-sample equity over its test spans (top), and each window's ``metric`` on its
    training span beside the one on its test span (bottom).

    Parameters
    ----------
    equity : pandas.Series
        The stitched out-of-sample equity, on dates.
    windows : pandas.DataFrame
        A row per window with ``test_start``, ``test_end``, ``train_<metric>`` and
        ``test_<metric>``, as :attr:`WalkForwardResult.windows` holds them.
    metric : str
        The figure the windows were chosen by.
    title : str, optional
        Figure title (default "Walk-forward: out-of-sample equity").
    figsize : (float, float), optional
        Size in inches (default 10 x 6).

    Returns
    -------
    matplotlib.figure.Figure
    """
    fig = new_figure("WalkForwardResult.plot", figsize or (10.0, 6.0))
    top, bottom = fig.subplots(2, 1, height_ratios=[2, 1])
    top.plot(equity.index, equity.to_numpy(dtype=np.float64), color=STRATEGY_COLOR,
             linewidth=1.3)
    top.axhline(1.0, color=BENCHMARK_COLOR, linewidth=0.8, linestyle=":")
    # Every other test span shaded, so the windows' borders show without a line per window.
    for i, (start, end) in enumerate(zip(windows["test_start"], windows["test_end"])):
        if i % 2:
            top.axvspan(start, end, color=MISSING_COLOR, alpha=0.5, linewidth=0)
    top.set_ylabel("out-of-sample equity")
    top.set_title(f"{len(windows)} test spans, parameters chosen on the span before each")
    top.grid(True, alpha=0.3)
    x = np.arange(len(windows))
    trained = windows[f"train_{metric}"].to_numpy(dtype=np.float64)
    tested = windows[f"test_{metric}"].to_numpy(dtype=np.float64)
    bottom.bar(x - 0.2, trained, width=0.4, color=BENCHMARK_COLOR, label=f"train {metric}")
    bottom.bar(x + 0.2, tested, width=0.4, color=STRATEGY_COLOR, label=f"test {metric}")
    bottom.axhline(0.0, color=LOSS_COLOR, linewidth=0.8)
    bottom.set_xticks(x, [f"{d:%Y-%m}" for d in windows["test_start"]],
                      rotation=45 if len(windows) > 8 else 0, fontsize=8)
    bottom.set_xlabel("window (start of its test span)")
    bottom.set_ylabel(metric)
    bottom.legend(loc="best", frameon=False, fontsize=8)
    bottom.grid(True, axis="y", alpha=0.3)
    fig.suptitle(title or "Walk-forward: out-of-sample equity")
    return fig
