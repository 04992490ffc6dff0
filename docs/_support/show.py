"""What the executed examples of the site use to put a figure on the page.

``print(show(fig, alt))`` puts the figure on the page as an ``<img>`` whose source is the SVG itself
(a data URI), so the picture on the page is the one this build drew, and several figures on a page
share no SVG ids. (The text is returned, not printed here: markdown-exec captures the ``print`` of
the executed block, not the process's standard output.) It never touches pyplot: the figures
pelmora returns are made without it.
"""

from __future__ import annotations

import base64
import html
import io
from typing import Any


def show(fig: Any, alt: str) -> str:
    """``fig`` as an inline SVG picture, with the text ``alt`` for readers without images."""
    buffer = io.StringIO()
    fig.savefig(buffer, format="svg", bbox_inches="tight", facecolor="white")
    data = base64.b64encode(buffer.getvalue().encode()).decode("ascii")
    return (f'<img class="pelmora-figure" alt="{html.escape(alt)}" '
            f'src="data:image/svg+xml;base64,{data}">')
