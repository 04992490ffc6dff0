"""The figures: a run's equity and excursions, the dense excursion picture and the parameter
heatmap, read back from the drawn artists."""

from __future__ import annotations

import io
import math

import matplotlib

matplotlib.use("Agg")

import matplotlib.image  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

import pelmora  # noqa: E402
from pelmora import plotting  # noqa: E402

from markets import one_stock_run, suspended_market, suspended_weights, sweep_table  # noqa: E402


# --------------------------------------------------------------------------------- a run's figures


def png_pixels(fig) -> np.ndarray:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=60)
    data = buffer.getvalue()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 2000
    buffer.seek(0)
    return matplotlib.image.imread(buffer)


@pytest.mark.parametrize("kind", ["equity", "excursions"])
def test_plots_render_headless_to_non_empty_png(kind):
    market = suspended_market(9)
    result = pelmora.backtest(suspended_weights(10, market["close"].columns), market,
                              stop_loss=0.05)
    fig = result.plot(kind, title=f"test {kind}")
    pixels = png_pixels(fig)
    assert pixels.ndim == 3 and pixels.std() > 0.01  # not a blank canvas
    if kind == "equity":
        top, bottom = fig.axes
        np.testing.assert_array_equal(top.lines[0].get_ydata(), result.equity.to_numpy())
        assert top.get_title() == "test equity" and bottom.get_ylabel() == "drawdown (%)"
    else:
        (ax,) = fig.axes
        points = sum(len(c.get_offsets()) for c in ax.collections)
        assert points == len(result.trades)
        winners = int((result.trades["trade_return"] > 0).sum())
        assert ax.get_legend().get_texts()[0].get_text() == f"winners ({winners})"


def test_excursion_plot_without_trades_says_so():
    fig = one_stock_run({"A": [10.0, 11.0]}, {"A": 0.0}).plot("excursions")
    assert [t.get_text() for t in fig.axes[0].texts] == ["no trades"]
    png_pixels(fig)


def test_unknown_plot_kind_is_rejected():
    with pytest.raises(ValueError, match='kind must be "equity" or "excursions"'):
        one_stock_run({"A": [10.0, 11.0]}, {"A": 1.0}).plot("candles")


def test_result_plot_passes_the_run_stops(momentum_run):
    result, _ = momentum_run
    (ax,) = result.plot("excursions").axes
    assert (10.0, 10.0) in {tuple(line.get_xdata()) for line in ax.lines}


# ----------------------------------------------------------------------------- heatmap, excursions


def png(fig) -> np.ndarray:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=50)
    buffer.seek(0)
    pixels = matplotlib.image.imread(buffer)
    assert pixels.std() > 0.05
    return pixels


@pytest.mark.parametrize("panels", [None, "fee"])
def test_heatmap_annotates_cells_and_greys_out_failures(panels):
    table = sweep_table()
    fig = plotting.plot_heatmap(table, "stop_loss", "rebalance", "sharpe", panels=panels)
    png(fig)
    cells = [ax for ax in fig.axes if ax.images and ax.get_label() != "<colorbar>"]
    assert len(cells) == (1 if panels is None else 2)
    texts = [t.get_text() for ax in cells for t in ax.texts]
    if panels is None:
        assert "(mean over fee)" in fig.get_suptitle()
        means = table.groupby(["rebalance", "stop_loss"], dropna=False)["sharpe"].mean()
        np.testing.assert_allclose(sorted(map(float, texts)), sorted(means), rtol=5e-3)
    else:
        assert [ax.get_title() for ax in cells] == ["fee = 0", "fee = 0.001"]
        assert len(texts) == len(table) - 1  # the failed run's cell stays blank
        assert cells[0].images[0].norm.vmax == cells[1].images[0].norm.vmax  # one scale


@pytest.mark.parametrize("n", [50, plotting.HEXBIN_THRESHOLD + 500])
def test_excursions_switch_to_densities_and_draw_the_stops(n):
    rng = np.random.default_rng(2)
    trades = pd.DataFrame({
        "mae": -np.abs(rng.normal(0, 0.05, n)), "gmfe": np.abs(rng.normal(0, 0.08, n)),
        "pnl": rng.normal(0, 1, n),
    })
    fig = plotting.excursion_figure(trades, stop_loss=0.08, take_profit=0.25)
    png(fig)
    panels = [ax for ax in fig.axes if ax.get_xlabel()]
    assert len(panels) == (1 if n < plotting.HEXBIN_THRESHOLD else 2)
    for ax in panels:
        xs = {tuple(line.get_xdata()) for line in ax.lines}
        ys = {tuple(line.get_ydata()) for line in ax.lines}
        assert (8.0, 8.0) in xs and (25.0, 25.0) in ys
    if n > plotting.HEXBIN_THRESHOLD:
        counts = sum(ax.collections[0].get_array().sum() for ax in panels)
        assert math.isclose(counts, n)  # every trade is counted in one panel


# ------------------------------------------------------------------------------- in a notebook


def test_figures_show_as_png_without_ever_importing_pyplot():
    # A fresh interpreter: this test process has matplotlib set up by other tests.
    import subprocess
    import sys

    code = """
import sys
import pelmora
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights
m = synthetic_market(10, 300, seed=2)
r = pelmora.backtest(momentum_weights(m.close, 20, 3), m, rebalance="ME", stop_loss=0.1)
sizes = []
for fig in (r.plot("equity"), r.plot("excursions")):
    png = fig._repr_png_()
    assert png[:8] == b"\\x89PNG\\r\\n\\x1a\\n", png[:8]
    sizes.append(len(png))
print(min(sizes) > 5000, "matplotlib.pyplot" in sys.modules)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split() == ["True", "False"]
