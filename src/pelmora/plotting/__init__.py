"""Figures of a backtest and of a sweep, drawn with matplotlib's object API (no pyplot state, any
backend).

The rooms: :mod:`~pelmora.plotting._style` the one palette, :mod:`~pelmora.plotting._run` the
figures of one run, :mod:`~pelmora.plotting._sweep` the figures of a sweep,
:mod:`~pelmora.plotting._capacity` the capacity curve. The reports draw their
pictures with these same functions. Importing this package needs only NumPy: matplotlib and pandas
are imported when a figure is drawn.
"""

from __future__ import annotations

from pelmora.plotting._capacity import plot_capacity
from pelmora.plotting._run import HEXBIN_THRESHOLD, equity_figure, excursion_figure
from pelmora.plotting._style import LOSS_COLOR, MISSING_COLOR, STOP_COLOR, WIN_COLOR  # noqa: F401
from pelmora.plotting._sweep import plot_heatmap

__all__ = [
    "HEXBIN_THRESHOLD", "equity_figure", "excursion_figure", "plot_capacity", "plot_heatmap",
]
# WIN_COLOR, LOSS_COLOR, STOP_COLOR and MISSING_COLOR stay reachable here, as they were before the
# palette had a room of its own; they are not in __all__, as they were not.
