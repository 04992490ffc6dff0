"""The capacity curve: what a strategy earns, how steadily, and what it pays, against its capital.

Drawn from the table of :func:`pelmora.capacity` with matplotlib's object API (no pyplot state);
the report of a run draws the same figure when it is given such a table.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional
from pelmora.plotting._style import (
    BENCHMARK_COLOR, COST_COLORS, STOP_COLOR, STRATEGY_COLOR, new_figure, percent_axis,
)

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

__all__ = ["capital_text", "plot_capacity"]

_NEEDED = ("total_return", "sharpe")


def capital_text(value: float, _position: Any = None) -> str:
    """An amount as a tick reads it: 250k, 10M, 1.5B."""
    for size, suffix in ((1e12, "T"), (1e9, "B"), (1e6, "M"), (1e3, "k")):
        if abs(value) >= size:
            return f"{value / size:.3g}{suffix}"
    return f"{value:.3g}"


def _checked(table: Any) -> pd.DataFrame:
    pd = import_optional("pandas", caller="pelmora.plot_capacity")
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"table must be a pandas DataFrame, got {type(table).__name__}")
    missing = [c for c in _NEEDED if c not in table.columns]
    if missing:
        raise ValueError(
            f"table has no column {missing[0]!r}: give the table pelmora.capacity returns"
        )
    capitals = pd.to_numeric(pd.Series(table.index), errors="coerce").to_numpy(dtype=np.float64)
    if len(capitals) == 0 or not (np.isfinite(capitals) & (capitals > 0)).all():
        raise ValueError(
            "table must be indexed by capital, amounts above 0 (as pelmora.capacity returns it)"
        )
    ordered: pd.DataFrame = table.set_axis(capitals, axis=0).sort_index()
    return ordered


def plot_capacity(
    table: pd.DataFrame,
    *,
    title: str | None = None,
    figsize: tuple[float, float] | None = None,
    interactive: bool = False,
) -> Any:
    """Return, Sharpe ratio and costs against capital, on a log axis of capital.

    Parameters
    ----------
    table : pandas.DataFrame
        As :func:`pelmora.capacity` returns: indexed by capital, with ``total_return`` and
        ``sharpe``, and the costs (``fee_cost``, ``tax_cost``, ``slippage_cost``,
        ``impact_cost``, ``financing_cost``) and ``fill_rate`` where present.
    title : str, optional
        Figure title (default "Capacity").
    figsize : (float, float), optional
        Size in inches (default 9 x 8).
    interactive : bool, default False
        Return a plotly figure (extra ``interactive``) of the same three panels.

    Returns
    -------
    matplotlib.figure.Figure or plotly.graph_objects.Figure
        Three panels sharing the capital axis: the total return (and the fill rate, dashed, on
        its right axis), the Sharpe ratio, and each cost with their total, in % of the capital.

    Raises
    ------
    TypeError
        ``table`` not a DataFrame.
    ValueError
        Without ``total_return`` or ``sharpe``, or an index that is not of amounts above 0.
    """
    frame = _checked(table)
    if interactive:
        from pelmora.plotting._interactive import capacity_interactive

        return capacity_interactive(frame, title=title)
    from matplotlib.ticker import FuncFormatter

    fig = new_figure("pelmora.plot_capacity", figsize or (9.0, 8.0))
    top, middle, bottom = fig.subplots(3, 1, sharex=True)
    capital = frame.index.to_numpy(dtype=np.float64)

    def column(name: str) -> np.ndarray:
        return np.asarray(frame[name].to_numpy(dtype=np.float64, na_value=np.nan))

    top.plot(capital, column("total_return"), color=STRATEGY_COLOR, marker="o", markersize=3.5,
             linewidth=1.4, label="total return")
    top.axhline(0.0, color="0.6", linewidth=0.8, linestyle="--")
    top.set_ylabel("total return")
    percent_axis(top)
    if "fill_rate" in frame.columns and np.isfinite(column("fill_rate")).any():
        right = top.twinx()
        right.plot(capital, column("fill_rate"), color=BENCHMARK_COLOR, linestyle="--",
                   marker=".", linewidth=1.0, label="fill rate")
        right.set_ylabel("fill rate")
        right.set_ylim(0.0, 1.05)
        percent_axis(right)
        handles = top.get_legend_handles_labels()[0] + right.get_legend_handles_labels()[0]
        top.legend(handles=handles, loc="lower left", fontsize="small", frameon=False)

    middle.plot(capital, column("sharpe"), color=STRATEGY_COLOR, marker="o", markersize=3.5,
                linewidth=1.4)
    middle.axhline(0.0, color="0.6", linewidth=0.8, linestyle="--")
    middle.set_ylabel("Sharpe ratio")

    # A cost the run never paid (no financing, no slippage) would be a line along zero.
    costs = [name for name in COST_COLORS
             if name in frame.columns and np.nan_to_num(column(name)).any()]
    if costs:
        total = np.zeros(len(capital))
        for name in costs:
            values = column(name)
            total = total + np.nan_to_num(values)
            bottom.plot(capital, values, color=COST_COLORS[name], marker=".", linewidth=1.1,
                        label=name.removesuffix("_cost"))
        bottom.plot(capital, total, color=STOP_COLOR, linewidth=2.0, label="total")
        bottom.legend(loc="upper left", fontsize="small", frameon=False, ncol=3)
    bottom.set_ylabel("costs, % of capital")
    percent_axis(bottom)
    bottom.set_xscale("log")
    bottom.xaxis.set_major_formatter(FuncFormatter(capital_text))
    bottom.set_xlabel("capital (log scale)")
    for ax in (top, middle, bottom):
        ax.grid(True, which="major", color="0.9", linewidth=0.6)
    fig.suptitle(title or "Capacity")
    return fig
