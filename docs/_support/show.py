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
import shutil
from pathlib import Path
from typing import Any

PUBLISHED: list[tuple[Path, str]] = []
"""Files the examples wrote, and where in the site they go (copied by the build hook)."""
DIRECTORY_URLS = False
"""mkdocs' ``use_directory_urls``, set by the build hook: whether page.md becomes page/index.html."""


def show(fig: Any, alt: str) -> str:
    """``fig`` as an inline SVG picture, with the text ``alt`` for readers without images."""
    buffer = io.StringIO()
    fig.savefig(buffer, format="svg", bbox_inches="tight", facecolor="white")
    data = base64.b64encode(buffer.getvalue().encode()).decode("ascii")
    return (f'<img class="pelmora-figure" alt="{html.escape(alt)}" '
            f'src="data:image/svg+xml;base64,{data}">')


def publish(path: Any, page: str) -> str:
    """Put the file at ``path`` (a report an example wrote) beside the page ``page`` of the site
    ("guide/reports.md") and return its address relative to that page."""
    source = Path(path)
    folder = Path(page).with_suffix("") if DIRECTORY_URLS else Path(page).parent
    PUBLISHED.append((source, (folder / source.name).as_posix()))
    return source.name


def copy_published(site_dir: str) -> None:
    """Copy every published file into the built site."""
    for source, target in PUBLISHED:
        destination = Path(site_dir) / target
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, destination)
