"""Interactive figures in a report: plotly's script inline, once per page, and each figure's data.

A report stays one file that fetches nothing. plotly's script (plotly.min.js, about 4.8 MB) is
carried gzip-compressed in base64 (about 2 MB) and unpacked by the page itself with the browser's
DecompressionStream, then run; each figure is its JSON beside the element it is drawn in. So an
interactive report of a run weighs about 2 MB where the script as it is would leave almost
nothing of a 5 MB budget for the data. A browser without DecompressionStream (before 2020 for
Chromium, 2023 for Firefox and Safari) shows a note in place of each figure.
"""

from __future__ import annotations

import base64
import functools
import gzip
import html
from typing import Any

from pelmora._optional import import_optional

__all__ = ["plotly_block", "plotly_scripts"]

_LOADER = """<script>
(async function () {
  var figures = document.querySelectorAll("div.pelmora-plot");
  if (typeof DecompressionStream === "undefined") {
    figures.forEach(function (div) {
      div.textContent = "This browser cannot unpack the interactive figures.";
    });
    return;
  }
  var raw = atob(document.getElementById("pelmora-plotly").textContent);
  var bytes = new Uint8Array(raw.length);
  for (var i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
  var stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("gzip"));
  (0, eval)(await new Response(stream).text());
  figures.forEach(function (div) {
    var figure = JSON.parse(div.nextElementSibling.textContent);
    div.textContent = "";
    Plotly.newPlot(div, figure.data, figure.layout, {responsive: true, displaylogo: false});
  });
})();
</script>"""


@functools.lru_cache(maxsize=1)
def _packed_script() -> str:
    """plotly's script, gzip-compressed (no time stamp: the same bytes every time) in base64."""
    offline = import_optional("plotly.offline", caller="pelmora.report(interactive=True)")
    script = offline.get_plotlyjs().encode("utf-8")
    return base64.b64encode(gzip.compress(script, compresslevel=9, mtime=0)).decode("ascii")


def plotly_scripts() -> str:
    """The page's plotly: its packed script and the loader that draws every figure."""
    return (f'<script id="pelmora-plotly" type="application/octet-stream">{_packed_script()}'
            f"</script>{_LOADER}")


def plotly_block(fig: Any, alt: str, height: int | None = None) -> str:
    """A figure's place on the page and its JSON (every "<" escaped, so no text of the data can
    close the script element)."""
    data = fig.to_json().replace("<", "\\u003c").replace("&", "\\u0026")
    tall = height or int(fig.layout.height or 480)
    return (f'<div class="pelmora-plot" role="img" aria-label="{html.escape(alt)}" '
            f'style="min-height:{tall}px">{html.escape(alt)}</div>'
            f'<script type="application/json">{data}</script>')
