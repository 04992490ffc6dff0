"""Figures and results as a notebook shows them: a real kernel runs a notebook without any
``%matplotlib`` line, and every figure pelmora returns must come back as a picture, every result
as its compact HTML, with pyplot never imported."""

from __future__ import annotations

import pytest

nbformat = pytest.importorskip("nbformat", reason="the notebook test needs the test extra (nbformat)")
nbclient = pytest.importorskip("nbclient", reason="the notebook test needs the test extra (nbclient)")
pytest.importorskip("ipykernel", reason="the notebook test needs the test extra (ipykernel)")

SETUP = """\
import numpy as np
import pandas as pd
import pelmora
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights

market = synthetic_market(n_stocks=20, n_days=520, seed=4)
weights = momentum_weights(market.close, lookback=40, top_n=5)
result = pelmora.backtest(weights, market, rebalance="ME", stop_loss=0.1)
grid = {"stop_loss": [None, 0.05, 0.1], "rebalance": ["ME", "QE"]}
table = pelmora.sweep(grid, weights, market, keep="returns", progress=False)
volume = pd.DataFrame(1e5, index=market.close.index, columns=market.close.columns)
curve = pelmora.capacity(weights, market, capitals=[1e5, 1e7, 1e9], volume=volume,
                         max_participation=0.1, rebalance="ME")
walked = pelmora.walk_forward(grid, weights, market, train="1Y", test="6M", progress=False)
purged = pelmora.walk_forward(grid, weights, market, method="purged", n_groups=4, progress=False)
"""

FIGURES = {
    "equity": 'result.plot("equity")',
    "excursions": 'result.plot("excursions")',
    "heatmap": 'pelmora.plot_heatmap(table, x="stop_loss", y="rebalance", value="sharpe")',
    "capacity": "pelmora.plot_capacity(curve)",
    "pbo": 'pelmora.overfitting(table, n_splits=8).attrs["pbo"].plot()',
    "walk_forward": "walked.plot()",
    "purged": "purged.plot()",
}
VIEWS = {
    "result": ("result", "BacktestResult "),
    "walk_forward": ("walked", "WalkForwardResult "),
    "purged": ("purged", "PurgedResult "),
}


@pytest.fixture(scope="module")
def executed():
    cells = [SETUP, *FIGURES.values(), *(code for code, _ in VIEWS.values()),
             "import sys\n'matplotlib.pyplot' in sys.modules"]
    notebook = nbformat.v4.new_notebook()
    notebook.cells = [nbformat.v4.new_code_cell(code) for code in cells]
    nbclient.NotebookClient(notebook, kernel_name="python3", timeout=300).execute()
    outputs = [cell.outputs for cell in notebook.cells]
    results = {}
    for name, out in zip([*FIGURES, *(f"view:{v}" for v in VIEWS), "pyplot"], outputs[1:]):
        shown = [o for o in out if o.output_type == "execute_result"]
        assert len(shown) == 1, (name, out)
        results[name] = shown[0].data
    return results


@pytest.mark.heavy
@pytest.mark.parametrize("name", FIGURES)
def test_every_figure_shows_itself_as_a_picture(executed, name):
    data = executed[name]
    assert "image/png" in data, (name, data.get("text/plain"))
    import base64

    png = base64.b64decode(data["image/png"])
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and len(png) > 5000


@pytest.mark.heavy
@pytest.mark.parametrize("name", VIEWS)
def test_every_result_shows_its_compact_html(executed, name):
    data = executed[f"view:{name}"]
    text = data["text/html"]
    assert text.startswith('<div style="font-family:sans-serif') and "<svg" in text
    assert VIEWS[name][1] in text and "<script" not in text and len(text) < 20_000
    assert data["text/plain"].startswith(f"<{VIEWS[name][1]}")  # the one-line repr


@pytest.mark.heavy
def test_showing_them_never_imports_pyplot(executed):
    assert executed["pyplot"]["text/plain"] == "False"
