"""The one palette of the package's figures, and the one way to make a figure.

Every picture, drawn for :meth:`BacktestResult.plot <pelmora.result.BacktestResult.plot>` or for a
report, takes its colours from here, so the strategy, a benchmark, a loss and a winner look the same
in every figure.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.figure import Figure

__all__ = [
    "BENCHMARK_COLOR", "COST_COLORS", "EXPOSURE_STYLES", "LOSS_COLOR", "MISSING_COLOR",
    "MONTH_MISSING_COLOR",
    "SERIES_COLORS", "STOP_COLOR", "STRATEGY_COLOR", "WIN_COLOR", "figure_class", "new_figure",
    "percent_axis",
]

STRATEGY_COLOR = "#1f77b4"
BENCHMARK_COLOR = "#7f7f7f"
WIN_COLOR = "#2ca02c"
LOSS_COLOR = "#d62728"
STOP_COLOR = "#444444"
MISSING_COLOR = "#d9d9d9"
"""A heatmap cell without a result."""
MONTH_MISSING_COLOR = "#f0f0f0"
"""A month without a return (before the window, after its end): paler than a failed run."""

SERIES_COLORS = (STRATEGY_COLOR, "#ff7f0e", WIN_COLOR, "#9467bd", "#8c564b", "#e377c2",
                 "#17becf", "#bcbd22", LOSS_COLOR)
"""The strategies of a comparison, in order (cycled past the last); the benchmark stays grey."""

# Gross wide and pale underneath: in a long-only book gross, net and long are one line, and the
# thinner ones on top stay visible.
EXPOSURE_STYLES: dict[str, tuple[str, str, float]] = {
    "gross": ("#c5b0e8", "-", 3.2),
    "net": (STRATEGY_COLOR, "-", 1.2),
    "long": (WIN_COLOR, "--", 1.0),
    "short": (LOSS_COLOR, "--", 1.0),
}
"""Exposure column -> (colour, line style, line width)."""

COST_COLORS: dict[str, str] = {
    "fee_cost": STRATEGY_COLOR,
    "tax_cost": "#9467bd",
    "slippage_cost": "#ff7f0e",
    "impact_cost": LOSS_COLOR,
    "financing_cost": BENCHMARK_COLOR,
}
"""Cost figure of the statistics -> its colour; the total is drawn in ``STOP_COLOR``."""


def figure_class(caller: str = "BacktestResult.plot") -> type[Figure]:
    """matplotlib's Figure (object API: no pyplot state, any backend) that shows itself in a
    notebook (:class:`pelmora.plotting._figure.Figure`), or the ImportError that names the
    ``plot`` extra."""
    import_optional("matplotlib", caller=caller)
    from pelmora.plotting._figure import Figure as ShownFigure

    return ShownFigure


def new_figure(caller: str, size: tuple[float, float]) -> Figure:
    """An empty figure of ``size`` inches in matplotlib's constrained layout, of
    :func:`figure_class` (``caller`` is named by the ImportError without matplotlib)."""
    return figure_class(caller)(figsize=size, layout="constrained")


def percent_axis(ax: Any, axis: str = "y") -> None:
    """Tick labels in percent of values that are fractions (0.05 reads "5%")."""
    from matplotlib.ticker import PercentFormatter

    getattr(ax, f"{axis}axis").set_major_formatter(PercentFormatter(1.0))
