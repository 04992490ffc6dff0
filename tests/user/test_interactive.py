"""Interactive figures (plotly): the same data as the static pictures, and reports that carry
plotly's script inline, stay under 5 MB and ask for nothing outside the file in a browser."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora import plotting

from markets import sweep_table
from test_report import CHROMIUM, external_references, needs_browser

go = pytest.importorskip("plotly.graph_objects")

LIMIT = 5_000_000
"""The largest interactive report, in bytes."""


def test_result_figures_carry_the_runs_data(momentum_run):
    result, _ = momentum_run
    fig = result.plot(interactive=True)
    assert isinstance(fig, go.Figure)
    equity, under = fig.data
    np.testing.assert_array_equal(equity.y, result.equity.to_numpy())
    np.testing.assert_array_equal(under.y, result.drawdown.to_numpy())
    trades = result.trades
    excursions = result.plot("excursions", interactive=True)
    winners, losers = excursions.data[:2]
    assert len(winners.x) + len(losers.x) == len(trades)
    first = trades[trades["pnl"] > 0].iloc[0]
    assert winners.text[0].startswith(f"{first['stock']}, {first['entry_date']:%Y-%m-%d} to ")
    np.testing.assert_array_equal(winners.x, -trades.loc[trades["pnl"] > 0, "mae"].to_numpy())


def test_sweep_and_capacity_figures_show_the_static_ones_surfaces():
    table = sweep_table()
    static = plotting.plot_heatmap(table, "stop_loss", "rebalance", "sharpe")
    fig = plotting.plot_heatmap(table, "stop_loss", "rebalance", "sharpe", interactive=True)
    image = static.axes[0].images[0].get_array()
    np.testing.assert_array_equal(np.asarray(fig.data[0].z, dtype=float),
                                  np.ma.filled(image.astype(float), np.nan))
    capacity = pd.DataFrame({"total_return": [0.3, 0.2], "sharpe": [1.1, 0.9],
                             "fill_rate": [1.0, 0.8], "impact_cost": [0.01, 0.05]},
                            index=pd.Index([1e6, 1e8], name="capital"))
    curve = pelmora.plot_capacity(capacity, interactive=True)
    assert [t.name for t in curve.data] == ["total return", "fill rate", "Sharpe ratio",
                                            "impact cost"]
    assert list(curve.data[0].x) == [1e6, 1e8] and curve.layout.xaxis3.type == "log"


def test_a_comparison_draws_each_curve_and_its_drawdown(momentum_run):
    result, bench = momentum_run
    comparison = pelmora.compare({"run": result, "half": result.returns.iloc[
        result.window_start:] / 2}, benchmark=bench, kind="returns")
    fig = comparison.plot(interactive=True)
    names = [t.name for t in fig.data]
    assert names == ["run", "run", "half", "half", bench.name, bench.name]
    assert fig.data[2].y[-1] == pytest.approx(comparison.equity["half"].dropna().iloc[-1])


def test_a_missing_plotly_names_the_extra():
    script = textwrap.dedent(
        """
        import sys
        import numpy as np, pandas as pd, pelmora
        p = pd.DataFrame(np.full((3, 1), 10.0), index=pd.bdate_range("2024-01-01", periods=3),
                         columns=["A"])
        r = pelmora.backtest(p * 0 + 1.0, p)
        sys.modules["plotly"] = None
        try:
            r.plot(interactive=True)
        except ImportError as exc:
            print(exc)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.stdout.strip() == (
        "BacktestResult.plot(interactive=True) needs plotly: pip install 'pelmora[interactive]'"
    ), out.stderr


@pytest.fixture(scope="module")
def interactive_pages(momentum_run, tmp_path_factory):
    result, bench = momentum_run
    folder = tmp_path_factory.mktemp("interactive")
    capacity = pd.DataFrame({"total_return": [0.3, 0.2], "sharpe": [1.1, 0.9]},
                            index=pd.Index([1e6, 1e8], name="capital"))
    fund = result.returns.iloc[result.window_start:].rename(None) * 0.5
    return {
        # Equity, rolling risk, excursions and capacity: four figures.
        "backtest": (result.report(folder / "backtest.html", bench, interactive=True,
                                   title="Run </script> & <b>", capacity=capacity), 4),
        "compare": (pelmora.compare({"run": result, "half": fund}, benchmark=bench)
                    .report(folder / "compare.html", interactive=True), 2),
        "sweep": (pelmora.sweep_report(sweep_table(), folder / "sweep.html", interactive=True), 1),
    }


def test_interactive_reports_are_one_file_under_the_limit(interactive_pages):
    for page, figures in interactive_pages.values():
        text = page.read_text(encoding="utf-8")
        assert page.stat().st_size < LIMIT
        assert text.count('class="pelmora-plot"') == figures
        assert text.count('id="pelmora-plotly"') == 1  # the script once per page
        # The page names no address: its HTML, and its scripts once the base64 payloads (the
        # packed plotly, the figures' arrays, the PNG pictures), which hold "//" as data, are
        # taken out.
        html_only = re.sub(r"<script.*?</script>", "", text, flags=re.S)
        assert external_references(html_only) == []
        scripts = re.sub(r'(id="pelmora-plotly"[^>]*>)[^<]*', r"\1", text)
        scripts = re.sub(r'"bdata":"[A-Za-z0-9+/=]*"|data:[^"\')\s]*', "", scripts)
        assert re.search(r"https?:|//|@import", scripts) is None
        assert "</script> &" not in text.split("<body>")[1].split("<h1>")[0]


@pytest.mark.heavy
@needs_browser
@pytest.mark.parametrize("name", ["backtest", "compare", "sweep"])
def test_interactive_reports_draw_in_chromium_and_fetch_nothing(interactive_pages, name,
                                                                 tmp_path):
    page, figures = interactive_pages[name]
    out = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-extensions",
         "--disable-sync", "--host-resolver-rules=MAP * ~NOTFOUND",
         f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr", "--v=1",
         # Time for the page to unpack plotly and draw before the DOM is read.
         "--virtual-time-budget=30000", "--dump-dom", page.as_uri()],
        capture_output=True, text=True, timeout=180,
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    faults = []
    for line in out.stderr.splitlines():
        if any(m in line for m in (":CONSOLE", "Uncaught", "Failed to load resource")):
            faults.append(line)
        asked = re.search(r"(?:NotifyBeforeURLRequest|FileURLLoader::Start): (\S+)", line)
        own = asked and re.match(r"https?://[^/]*\.(google|googleapis)\.com/", asked.group(1))
        if asked and not own and asked.group(1) != page.as_uri():
            faults.append(line)
    assert faults == []
    # plotly drew each figure: one main SVG per figure at least, and no unpacking note left.
    drawn = re.findall(r'<div class="pelmora-plot[^>]*>\s*<div class="plot-container', out.stdout)
    assert len(drawn) == figures, out.stdout[:2000]
    assert ">This browser cannot unpack" not in out.stdout
