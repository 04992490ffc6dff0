"""The figure every pelmora picture is drawn on: matplotlib's, shown as the value of a notebook cell.

A ``matplotlib.figure.Figure`` made without pyplot has no display of its own: IPython knows how to
show one only after ``%matplotlib inline`` or an import of pyplot has registered the inline
backend's formatter, and before that a cell shows ``<Figure size 1000x600 with 2 Axes>``. This
subclass answers IPython's ``_repr_png_`` itself, so a figure shows wherever it is the value of a
cell, and pyplot's global state (its figure manager, the current figure) stays untouched. Where
the inline backend is active, its formatter is registered for matplotlib's Figure and IPython
takes it first: the picture is drawn once either way.

This module imports matplotlib: it is loaded by :func:`pelmora.plotting._style.figure_class` when a
figure is drawn, never by ``import pelmora``.
"""

from __future__ import annotations

import io

from matplotlib.figure import Figure as _MatplotlibFigure

__all__ = ["Figure"]


class Figure(_MatplotlibFigure):
    """matplotlib's Figure, which shows itself as a PNG in a notebook (see the module's text).

    Everything else is matplotlib's: save it with ``fig.savefig(path)``, draw on its axes, or put
    it on a canvas of any backend.
    """

    def _repr_png_(self) -> bytes:
        # As the inline backend draws a figure: the figure's own dpi, cropped to what is drawn.
        buffer = io.BytesIO()
        self.savefig(buffer, format="png", bbox_inches="tight")
        return buffer.getvalue()
