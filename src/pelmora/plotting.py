"""Figures of a backtest, drawn with matplotlib's object API (no pyplot state, any backend)."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora import _require, stats

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

__all__ = ["HEXBIN_THRESHOLD", "equity_figure", "excursion_figure", "plot_heatmap"]

WIN_COLOR = "#2ca02c"
LOSS_COLOR = "#d62728"
STOP_COLOR = "#444444"
MISSING_COLOR = "#d9d9d9"

HEXBIN_THRESHOLD = 2000
"""Above this many trades the excursion figure draws densities instead of points."""


def _figure_class(feature: str = "BacktestResult.plot") -> type[Figure]:
    _require("matplotlib", feature)
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
    drawdown = stats.drawdown(equity, initial=1.0).to_numpy() * 100.0
    bottom.fill_between(x, drawdown, 0.0, color=LOSS_COLOR, alpha=0.35, linewidth=0)
    bottom.plot(x, drawdown, color=LOSS_COLOR, linewidth=0.8)
    bottom.set_ylabel("drawdown (%)")
    bottom.grid(True, alpha=0.3)
    return fig


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
    Figure = _figure_class()
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


def _levels(column: pd.Series) -> list[Any]:
    """The distinct values of a parameter column, in order, "not set" (None or NaN) first.

    Numbers are sorted; other values keep the order of the grid, which the user chose ("W-FRI",
    "ME", "QE" read better by frequency than alphabetically).
    """
    seen = list(dict.fromkeys(column.tolist()))
    missing = [v for v in seen if _is_nan(v)]
    present = [v for v in seen if not _is_nan(v)]
    if all(isinstance(v, (int, float, np.number)) for v in present):
        present = sorted(present)
    return missing[:1] + present


def _label(value: Any) -> str:
    if isinstance(value, float):
        return "None" if math.isnan(value) else f"{value:g}"
    return str(value)


def _cell_text(value: float) -> str:
    """Three significant digits, trailing zeros kept so a column of cells lines up ("2.00")."""
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    if value != 0 and abs(value) < 0.001:
        return f"{value:.2g}"
    return f"{value:#.3g}".rstrip(".")


def _parameter_columns(table: pd.DataFrame, exclude: set[str]) -> list[str]:
    """The columns of ``table`` that vary and are neither statistics nor outputs of a run."""
    from pelmora.stats import BENCHMARK_STAT_NAMES, STAT_NAMES

    outputs = {*STAT_NAMES, *BENCHMARK_STAT_NAMES, "error", "equity", "result", *exclude}
    varying = []
    for name in table.columns:
        if name in outputs:
            continue
        try:
            n = table[name].nunique(dropna=False)
        except TypeError:  # unhashable cells (a list of dates) are told apart by their text
            n = table[name].map(repr).nunique(dropna=False)
        if n > 1:
            varying.append(name)
    return varying


_AGGREGATES = ("mean", "median", "max", "min")


def plot_heatmap(
    table: pd.DataFrame,
    x: str,
    y: str,
    value: str,
    *,
    agg: str | Callable[[pd.Series], float] = "mean",
    panels: str | None = None,
    title: str | None = None,
    figsize: tuple[float, float] | None = None,
    cmap: str | None = None,
) -> Figure:
    """A parameter surface: ``value`` over a grid of two parameters, one annotated cell each.

    Parameters
    ----------
    table : pandas.DataFrame
        One row per run, as :func:`pelmora.sweep` returns.
    x, y : str
        The parameter columns across and down.
    value : str
        The column that colours the cells (for example "sharpe").
    agg : {"mean", "median", "max", "min"} or callable, default "mean"
        How the rows of one cell are combined when other parameters vary too (or when a
        combination is repeated); the title says so. A callable gets the cell's values as a
        Series. Missing values (failed runs) are left out; a cell with none is grey.
    panels : str, optional
        A parameter column to split on: one panel per value, all on one colour scale.
    title : str, optional
        Figure title (default "<value> by <y> and <x>").
    figsize : (float, float), optional
        Size in inches (default from the number of cells and panels).
    cmap : str, optional
        Matplotlib colour map (default "RdYlGn", centred on 0 when the values straddle it, so
        red reads as a loss).

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    TypeError
        ``table`` not a DataFrame, or ``agg`` neither a known name nor a callable.
    ValueError
        A column that ``table`` does not have, or ``x``, ``y`` and ``panels`` not distinct.
    """
    pandas = _require("pandas", "pelmora.plot_heatmap")
    Figure = _figure_class("pelmora.plot_heatmap")
    from matplotlib import colormaps
    from matplotlib.colors import Normalize, TwoSlopeNorm

    if not isinstance(table, pandas.DataFrame):
        raise TypeError(f"table must be a pandas DataFrame, got {type(table).__name__}")
    named = {"x": x, "y": y, "value": value} | ({"panels": panels} if panels is not None else {})
    for role, column in named.items():
        if column not in table.columns:
            raise ValueError(f"{role} column {column!r} is not in the table")
    axes_columns = [x, y] + ([panels] if panels is not None else [])
    if len(set(axes_columns)) != len(axes_columns) or value in axes_columns:
        raise ValueError("x, y, panels and value must be different columns")
    if not (callable(agg) or agg in _AGGREGATES):
        raise TypeError(f"agg must be one of {_AGGREGATES} or a callable, got {agg!r}")

    others = _parameter_columns(table, {x, y, value} | ({panels} if panels else set()))
    data = table.assign(**{value: pandas.to_numeric(table[value], errors="coerce")})
    xs, ys = _levels(data[x]), _levels(data[y])
    panel_values = _levels(data[panels]) if panels is not None else [None]
    cells = data.groupby([*axes_columns], dropna=False, sort=False)[value]
    repeated = bool((cells.size() > 1).any())
    grid = cells.agg(agg)

    def surface(panel: Any) -> np.ndarray:
        out = np.full((len(ys), len(xs)), np.nan)
        for key, v in grid.items():
            kx, ky = key[0], key[1]
            if panels is not None and not _same(key[2], panel):
                continue
            out[_index(ys, ky), _index(xs, kx)] = v
        return out

    surfaces = [surface(p) for p in panel_values]
    finite = np.concatenate([s[np.isfinite(s)] for s in surfaces])
    low, high = (float(finite.min()), float(finite.max())) if len(finite) else (0.0, 1.0)
    if low < 0.0 < high:
        norm: Normalize = TwoSlopeNorm(0.0, low, high)
    else:
        norm = Normalize(low, high if high > low else low + 1.0)
    colours = colormaps[cmap or "RdYlGn"].with_extremes(bad=MISSING_COLOR)

    n = len(panel_values)
    ncols = min(n, 3)
    nrows = math.ceil(n / ncols)
    # Cells wide enough for their tick labels and numbers, so neither runs into the next.
    cell_w, cell_h = max(0.7, 0.3 + 0.09 * max(len(_label(v)) for v in xs)), 0.5
    width = ncols * max(3.5, len(xs) * cell_w + 1.6) + 1.2
    height = nrows * max(2.6, len(ys) * cell_h + 1.4) + 0.9
    fig = Figure(figsize=figsize or (min(width, 18.0), min(height, 14.0)), layout="constrained")
    axes = fig.subplots(nrows, ncols, squeeze=False)
    font = 9 if len(xs) * len(ys) <= 80 else 7
    image = None
    for k, ax in enumerate(axes.flat):
        if k >= n:
            ax.set_visible(False)
            continue
        z = surfaces[k]
        image = ax.imshow(np.ma.masked_invalid(z), cmap=colours, norm=norm, aspect="auto")
        ax.set_xticks(range(len(xs)), [_label(v) for v in xs])
        ax.set_yticks(range(len(ys)), [_label(v) for v in ys])
        ax.set_xlabel(x)
        ax.set_ylabel(y)
        ax.tick_params(length=0)
        if max(len(_label(v)) for v in xs) * len(xs) > 60:
            ax.tick_params(axis="x", labelrotation=45)
        if panels is not None:
            ax.set_title(f"{panels} = {_label(panel_values[k])}", fontsize=10)
        if len(xs) * len(ys) > 400:
            continue  # too many cells to read numbers in; the colours still tell the surface
        for (i, j), v in np.ndenumerate(z):
            if not np.isfinite(v):
                continue
            r, g, b, _ = colours(norm(v))
            dark = 0.299 * r + 0.587 * g + 0.114 * b < 0.5
            ax.text(
                j, i, _cell_text(float(v)), ha="center", va="center", fontsize=font,
                color="white" if dark else "black",
            )
    assert image is not None  # there is always a first panel
    fig.colorbar(image, ax=axes.ravel().tolist(), label=value, shrink=0.9)
    heading = title or f"{value} by {y} and {x}"
    if others or repeated:
        how = agg if isinstance(agg, str) else getattr(agg, "__name__", "aggregate")
        over = f" over {', '.join(others)}" if others else " of repeated runs"
        heading += f"\n({how}{over})"
    fig.suptitle(heading)
    if any(np.isnan(s).any() for s in surfaces):
        fig.supxlabel("grey: no result (failed or missing run)", fontsize=8, color="0.35")
    return fig


def _same(a: Any, b: Any) -> bool:
    # None and NaN both mean "not set" in a grid (no stop loss), and NaN never equals itself.
    if _is_nan(a) or _is_nan(b):
        return _is_nan(a) and _is_nan(b)
    return bool(a == b)


def _is_nan(v: Any) -> bool:
    return v is None or (isinstance(v, float) and math.isnan(v))


def _index(levels: list[Any], key: Any) -> int:
    for i, level in enumerate(levels):
        if _same(level, key):
            return i
    raise KeyError(key)  # pragma: no cover - every key comes from the levels
