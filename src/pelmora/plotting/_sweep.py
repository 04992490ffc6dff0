"""Figures of a sweep: the parameter surface (heatmap), the distribution of a statistic, and the
two pictures of its probability of backtest overfitting."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional
from pelmora.plotting._style import (
    LOSS_COLOR, MISSING_COLOR, STRATEGY_COLOR, WIN_COLOR, figure_class, new_figure,
)
from pelmora.statistics.performance import BENCHMARK_STAT_NAMES, STAT_NAMES

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

    from pelmora.statistics._pbo import PBOResult

__all__ = ["histogram_figure", "label", "parameter_columns", "pbo_figure", "plot_heatmap"]


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


def label(value: Any) -> str:
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


def parameter_columns(table: pd.DataFrame, exclude: set[str]) -> list[str]:
    """The columns of ``table`` that vary and are neither statistics nor outputs of a run."""
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


def colour_scale(low: float, high: float, cmap: str | None) -> tuple[Any, Any]:
    """The colour map and norm of values from ``low`` to ``high``.

    Values of both signs get a diverging scale symmetric about 0, so a cell's colour says how
    far it is from 0 whatever the other extreme is (a slope from the minimum to 0 would paint
    -0.07 as red as the worst loss of another table). Values of one sign get a sequential scale:
    greens from pale to dark for gains, reds from pale to dark for losses.
    """
    from matplotlib import colormaps
    from matplotlib.colors import Normalize

    if low < 0.0 < high:
        reach = max(-low, high)
        name, norm = cmap or "RdYlGn", Normalize(-reach, reach)
    else:
        name = cmap or ("Reds_r" if high <= 0.0 and low < 0.0 else "YlGn")
        norm = Normalize(low, high if high > low else low + 1.0)
    return colormaps[name].with_extremes(bad=MISSING_COLOR), norm


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
    interactive: bool = False,
) -> Any:
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
    interactive : bool, default False
        Return a plotly figure (extra ``interactive``): a cell's figure on hover.
    cmap : str, optional
        Matplotlib colour map. By default values of both signs are coloured "RdYlGn" on a scale
        symmetric about 0 (red reads as a loss, the same shade as far from 0 either way), and
        values of one sign on a sequential scale ("YlGn" for gains, "Reds_r" for losses).

    Returns
    -------
    matplotlib.figure.Figure or plotly.graph_objects.Figure

    Raises
    ------
    TypeError
        ``table`` not a DataFrame, or ``agg`` neither a known name nor a callable.
    ValueError
        A column that ``table`` does not have, or ``x``, ``y`` and ``panels`` not distinct.
    """
    pandas = import_optional("pandas", caller="pelmora.plot_heatmap")
    Figure = None if interactive else figure_class("pelmora.plot_heatmap")

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

    others = parameter_columns(table, {x, y, value} | ({panels} if panels else set()))
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
    colours, norm = colour_scale(low, high, cmap)

    heading = title or f"{value} by {y} and {x}"
    if others or repeated:
        how = agg if isinstance(agg, str) else getattr(agg, "__name__", "aggregate")
        over = f" over {', '.join(others)}" if others else " of repeated runs"
        heading += f"\n({how}{over})"
    if interactive:
        from pelmora.plotting._interactive import heatmap_interactive

        return heatmap_interactive(surfaces, [label(p) for p in panel_values],
                                   [label(v) for v in xs], [label(v) for v in ys], x=x, y=y,
                                   value=value, heading=heading, panel_name=panels)
    n = len(panel_values)
    ncols = min(n, 3)
    nrows = math.ceil(n / ncols)
    # Cells wide enough for their tick labels and numbers, so neither runs into the next.
    cell_w, cell_h = max(0.7, 0.3 + 0.09 * max(len(label(v)) for v in xs)), 0.5
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
        ax.set_xticks(range(len(xs)), [label(v) for v in xs])
        ax.set_yticks(range(len(ys)), [label(v) for v in ys])
        ax.set_xlabel(x)
        ax.set_ylabel(y)
        ax.tick_params(length=0)
        if max(len(label(v)) for v in xs) * len(xs) > 60:
            ax.tick_params(axis="x", labelrotation=45)
        if panels is not None:
            ax.set_title(f"{panels} = {label(panel_values[k])}", fontsize=10)
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


def histogram_figure(values: pd.Series, name: str) -> Figure:
    """The distribution of ``name`` over the runs of a sweep, its median and its best value."""
    fig = new_figure("pelmora.sweep_report", (8.0, 3.4))
    ax = fig.add_subplot()
    data = values.to_numpy(dtype=np.float64)
    ax.hist(data, bins=int(min(40, max(5, len(data) // 3))), color=STRATEGY_COLOR, alpha=0.8)
    ax.axvline(float(np.median(data)), color="0.3", linestyle="--", linewidth=1.0,
               label=f"median {np.median(data):.3g}")
    ax.axvline(float(data.max()), color=WIN_COLOR, linewidth=1.2, label=f"best {data.max():.3g}")
    ax.set_xlabel(name)
    ax.set_ylabel("runs")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=9)
    return fig


def pbo_figure(result: PBOResult, *, bins: int = 30) -> Figure:
    """:meth:`PBOResult.plot <pelmora.PBOResult.plot>`: the histogram of the splits' logits and
    the degradation scatter of their winners, out of sample against in sample, with its fit."""
    fig = new_figure("PBOResult.plot", (11, 4.2))
    hist, scatter = fig.subplots(1, 2)
    # Splits where every trial tied in sample chose nothing: their logits are NaN.
    logits = result.logits[~np.isnan(result.logits)]
    hist.hist(logits, bins=bins, color=STRATEGY_COLOR, edgecolor="white")
    hist.axvline(0.0, color=LOSS_COLOR, linestyle="--", linewidth=1)
    hist.set_title(f"PBO = {result.pbo:.1%} of {result.n_combinations} splits")
    hist.set_xlabel("logit of the in-sample best's out-of-sample rank")
    hist.set_ylabel("splits")

    ok = np.isfinite(result.in_sample) & np.isfinite(result.out_of_sample)
    x, y = result.in_sample[ok], result.out_of_sample[ok]
    scatter.scatter(x, y, s=6, alpha=0.4, color=STRATEGY_COLOR)
    scatter.axhline(0.0, color="grey", linewidth=0.8)
    if x.size and math.isfinite(result.slope):
        line = np.linspace(x.min(), x.max(), 2)
        sign = "-" if result.slope < 0 else "+"
        scatter.plot(line, result.intercept + result.slope * line, color=LOSS_COLOR,
                     label=f"fit: {result.intercept:.3g} {sign} {abs(result.slope):.3g} x")
        scatter.legend(loc="best")
    scatter.set_title(f"degradation: P(out-of-sample loss) = {result.prob_loss:.1%}")
    unit = " (per period)" if result.metric != "total_return" else ""
    scatter.set_xlabel(f"in-sample {result.metric}{unit}")
    scatter.set_ylabel(f"out-of-sample {result.metric}{unit}")
    return fig
