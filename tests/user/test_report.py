"""HTML reports, as a reader sees them.

The reports are also opened in headless Chromium: a page that logs anything to the console, asks
for any other file or address, or renders blank fails.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys

import matplotlib

matplotlib.use("Agg")

import matplotlib.image  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

import pelmora  # noqa: E402
from pelmora import plotting, report  # noqa: E402

from markets import sweep_table  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
needs_browser = pytest.mark.skipif(
    CHROMIUM is None, reason="chromium is not on PATH (.ci/run installs it from Debian's packages)"
)


@pytest.fixture(scope="module")
def backtest_html(momentum_run, tmp_path_factory):
    result, bench = momentum_run
    path = tmp_path_factory.mktemp("report") / "backtest.html"
    assert result.report(path, bench, title="Momentum <top 5> & stops") == path
    return path


def external_references(text: str) -> list[str]:
    """Every address the page points at, other than inline data and links within the page."""
    found = re.findall(r"""(?:src|href)\s*=\s*["']?([^"'\s>]*)""", text, flags=re.I)
    found += re.findall(r"""url\(\s*["']?([^"')]*)""", text, flags=re.I)
    found += re.findall(r"""@import\s+["']([^"']*)""", text, flags=re.I)
    bad = [v for v in found if not v.startswith(("data:", "#"))]
    plain = re.sub(r"data:[^\"')\s]*", "", text)  # base64 data may hold "//"
    return bad + re.findall(r"\S*(?:https?:|//)\S*", plain)


def browse(page, tmp_path) -> tuple[list[str], np.ndarray]:
    """Render ``page`` in headless Chromium: the page's faults from the log, and the screenshot."""
    shot = tmp_path / f"{page.stem}.png"
    out = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-extensions", "--disable-sync", "--host-resolver-rules=MAP * ~NOTFOUND",
         f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr", "--v=1",
         f"--screenshot={shot}", "--window-size=1200,5000", page.as_uri()],
        capture_output=True, text=True, timeout=120,
        # The browser is not ours to instrument: no sanitizer runtime preloaded into it.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    faults = []
    for line in out.stderr.splitlines():
        if any(m in line for m in (":CONSOLE", "Uncaught", "Failed to load resource")):
            faults.append(line)
        elif "net::ERR_" in line and "google_apis/" not in line:
            faults.append(line)
        asked = re.search(r"(?:NotifyBeforeURLRequest|FileURLLoader::Start): (\S+)", line)
        # The browser's own update, clock and sign-in services are not the page's requests.
        own = asked and re.match(r"https?://[^/]*\.(google|googleapis)\.com/", asked.group(1))
        if asked and not own and asked.group(1) != page.as_uri():
            faults.append(line)
    assert shot.exists(), out.stderr[-2000:]
    return faults, matplotlib.image.imread(shot)


# --------------------------------------------------------------------------------- backtest report


def test_backtest_report_shows_the_run_escaped_and_self_contained(momentum_run, backtest_html):
    result, bench = momentum_run
    text = backtest_html.read_text(encoding="utf-8")
    stats = result.stats(bench)
    assert "<title>Momentum &lt;top 5&gt; &amp; stops</title>" in text
    assert "equal &lt;weight&gt;" in text and "<weight>" not in text
    assert f"{stats['total_return'] * 100:.2f} %" in text and f"{stats['beta']:.2f}" in text
    for heading in ("Monthly and yearly returns", "Rolling risk", "Exposure", "Worst drawdowns",
                    "Last fills", "Next-period orders", "Trades"):
        assert f"<h2>{heading}</h2>" in text
    assert text.count('<img src="data:image/png;base64,') == 6
    assert "<script" not in text.lower() and external_references(text) == []
    fills = text.split('id="fills"')[1].split("</section>")[0]
    assert fills.count("<tr>") == 1 + 20  # the header and the last 20 fills
    # The deepest drawdown of the table is the statistics' maximum drawdown.
    assert text.split('id="drawdowns"')[1].index(f"{stats['max_drawdown'] * 100:.2f} %") > 0


def test_worst_drawdowns_from_peak_to_recovery():
    dates = pd.date_range("2024-01-01", periods=7)
    equity = pd.Series([1.0, 1.2, 0.9, 1.2, 1.3, 1.0, 1.1], index=dates)
    table = report.worst_drawdowns(equity)
    assert table["peak"].tolist() == [dates[1], dates[4]]
    assert table["trough"].tolist() == [dates[2], dates[5]]
    assert table["recovery"].iloc[0] == dates[3] and pd.isna(table["recovery"].iloc[1])
    np.testing.assert_allclose(table["depth"], [0.9 / 1.2 - 1, 1.0 / 1.3 - 1])
    assert table["days"].tolist() == [2, 2]  # the open one runs to the last date
    assert report.worst_drawdowns(equity, n=1).shape[0] == 1


def headline(text: str, label: str) -> list[str]:
    row = re.search(rf"<tr><th>{label}</th>(.*?)</tr>", text).group(1)
    return re.findall(r"<td[^>]*>(.*?)</td>", row)


@pytest.mark.parametrize("kind", ["prices", "returns"])
def test_the_benchmark_column_is_measured_over_the_window(momentum_run, tmp_path, kind):
    result, bench = momentum_run
    given = bench if kind == "prices" else bench.pct_change().dropna()
    text = result.report(tmp_path / "r.html", given, log_scale=True).read_text()
    start = result.equity.index[result.window_start]
    expected = bench.iloc[-1] / bench[bench.index < start].iloc[-1] - 1.0
    assert headline(text, "Total return")[1] == f"{expected * 100:.2f} %"


def test_a_run_without_a_rebalance_still_lists_its_orders(tmp_path):
    dates = pd.bdate_range("2024-01-01", periods=30)
    close = pd.DataFrame({"A": np.linspace(10.0, 12.0, 30)}, index=dates)
    with pytest.warns(UserWarning):
        result = pelmora.backtest(pd.DataFrame({"A": [0.5]}, index=dates[-1:]), close)
    text = result.report(tmp_path / "r.html", close["A"]).read_text()
    assert "<img" not in text and "No rebalance was executed" in text
    orders = text.split('id="orders"')[1]
    assert "<td>buy</td>" in orders and "50.00 %" in orders


def test_a_failed_write_keeps_the_previous_report(momentum_run, tmp_path, monkeypatch):
    path = tmp_path / "r.html"
    path.write_text("previous")

    def broken(fd):
        raise OSError("disk full")

    monkeypatch.setattr(report.os, "fsync", broken)
    with pytest.raises(OSError, match="disk full"):
        report.sweep_report(sweep_table(), path)
    assert path.read_text() == "previous" and [p.name for p in tmp_path.iterdir()] == ["r.html"]


def test_a_link_is_written_through_and_other_files_are_refused(momentum_run, tmp_path):
    target = tmp_path / "real.html"
    target.write_text("previous")
    link = tmp_path / "latest.html"
    link.symlink_to(target)
    result, _ = momentum_run
    assert result.report(link) == link
    assert link.is_symlink() and "<html" in target.read_text()
    for path, kind in ((tmp_path, "a folder"), (Path("/dev/null"), "not a regular file")):
        with pytest.raises(ValueError, match=f"is {kind}: a report is written to a file"):
            result.report(path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["latest.html", "real.html"]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p: report.backtest_report("run", p), TypeError, "BacktestResult, got str"),
        (lambda p: report.sweep_report([1], p), TypeError, "DataFrame, got list"),
        (lambda p: report.sweep_report(sweep_table(), p, value="sterling"), ValueError, "'sterling'"),
        (lambda p: report.sweep_report(sweep_table(), p, x="fees"), ValueError, "'fees'"),
        (lambda p: plotting.plot_heatmap(sweep_table(), "stop_loss", "rebalanc", "sharpe"),
         ValueError, "y column 'rebalanc'"),
        (lambda p: plotting.plot_heatmap({"a": [1]}, "a", "b", "c"), TypeError, "got dict"),
    ],
)
def test_wrong_inputs_are_refused_by_name(tmp_path, call, error, message):
    with pytest.raises(error, match=message):
        call(tmp_path / "r.html")


# ------------------------------------------------------------------------------------ sweep report


def test_sweep_report_ranks_best_first_and_lists_failures(tmp_path):
    table = sweep_table()
    text = report.sweep_report(table, tmp_path / "s.html", title="Grid").read_text()
    ranking = text.split('id="ranking"')[1].split("</section>")[0]
    header = re.findall(r"<th[^>]*>(.*?)</th>", ranking)
    rows = [re.findall(r"<td[^>]*>(.*?)</td>", r) for r in ranking.split("<tr>")[2:]]
    shown = [row[header.index("sharpe")] for row in rows]
    good = table["sharpe"].dropna().sort_values(ascending=False)
    assert shown == [f"{v:,.2f}" for v in good]  # best first, the failed run not ranked
    failed = text.split('id="failed"')[1]
    assert "ValueError: &lt;bad&gt; stop" in failed and "<bad>" not in text
    assert "the same in every run" not in text  # fee varies
    assert text.count("data:image/png;base64,") == 2 and external_references(text) == []


# ---------------------------------------------------------------------------------------- browser


@pytest.mark.heavy
@needs_browser
@pytest.mark.parametrize("kind", ["backtest", "sweep"])
def test_reports_render_in_chromium_without_errors(kind, backtest_html, tmp_path):
    page = backtest_html if kind == "backtest" else report.sweep_report(
        sweep_table(), tmp_path / "sweep.html"
    )
    faults, pixels = browse(page, tmp_path)
    assert faults == []
    assert pixels.std() > 0.05  # text and pictures, not a blank page
    rows_with_ink = (pixels[:, :, :3].std(axis=1) > 0.02).mean(axis=1)
    assert rows_with_ink[:1000].mean() > 0.3  # the page begins with content, not white space


@pytest.mark.heavy
@needs_browser
def test_the_browser_check_sees_console_errors_and_missing_files(tmp_path):
    page = tmp_path / "broken.html"
    page.write_text('<p>x</p><img src="gone.png"><script>console.error("boom"); f();</script>')
    faults, _ = browse(page, tmp_path)
    joined = "\n".join(faults)
    assert '"boom"' in joined and "Uncaught ReferenceError" in joined and "gone.png" in joined


# ------------------------------------------------------------------------- layout and wording

_MEASURE = """<script>
const scrollers = [...document.querySelectorAll("table")].map(t => t.parentElement);
const nav = document.querySelector("nav");
document.title = JSON.stringify({
  page: document.documentElement.scrollWidth, view: window.innerWidth,
  nav: nav.scrollWidth - nav.clientWidth,
  tables: document.querySelectorAll("table").length,
  scrolling: scrollers.filter(s => getComputedStyle(s).overflowX === "auto").length,
  wide: scrollers.filter(s => s.scrollWidth > s.clientWidth).length,
});
</script></body>"""


@pytest.mark.heavy
@needs_browser
def test_the_report_fits_a_phone_and_wide_tables_scroll(backtest_html, tmp_path):
    page = tmp_path / "measured.html"
    page.write_text(backtest_html.read_text(encoding="utf-8").replace("</body>", _MEASURE))
    out = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom",
         f"--user-data-dir={tmp_path / 'profile'}", "--window-size=390,800", page.as_uri()],
        capture_output=True, text=True, timeout=120,
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    import html as html_module
    import json

    found = re.search(r"<title>(.*?)</title>", out.stdout)
    assert found, out.stderr[-2000:]
    measured = json.loads(html_module.unescape(found.group(1)))
    # Nothing widens the page past the phone's width: the navigation wraps, and every table
    # scrolls sideways inside its own box (some do need to at this width) with no column hidden.
    assert measured["page"] <= measured["view"] and measured["nav"] <= 0
    assert measured["scrolling"] == measured["tables"] > 0
    assert measured["wide"] > 0


def test_the_report_states_the_options_set_and_words_not_codes(tmp_path):
    dates = pd.bdate_range("2024-01-01", periods=40)
    close = pd.DataFrame({"A": np.r_[np.full(5, 10.0), np.full(35, 8.0)],
                          "B": np.linspace(20.0, 22.0, 40)}, index=dates)
    weights = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=dates[:1])
    result = pelmora.backtest(weights, close, stop_loss=0.1, capital=1e5, lot_size=10, fee=0.0)
    assert "sl_" in set(result.next_period["action"])  # A was stopped out: a raw code is there
    text = result.report(tmp_path / "r.html").read_text(encoding="utf-8")
    orders = text.split('id="orders"')[1].split("</section>")[0]
    assert "sl_" not in orders and "none (stopped out)" in orders
    options = text.split('id="options"')[1].split("</section>")[0]
    chosen, defaults = options.split("<h3>At their defaults</h3>")
    for name, value in [("stop_loss", "0.1"), ("capital", "100000.0"), ("lot_size", "10.0"),
                        ("fee", "0.0")]:
        assert f"<td>{name}</td><td>{value}</td>" in chosen
    assert "<td>tax</td>" in defaults and "<td>tax</td>" not in chosen


@pytest.mark.parametrize(
    "low, high, cmap, at",
    [
        # Both signs: symmetric about 0, so a small loss is a pale red, not the darkest one.
        (-0.07, 2.0, "RdYlGn", {-0.07: 0.4825, 0.0: 0.5, 2.0: 1.0}),
        (-3.0, 1.0, "RdYlGn", {-3.0: 0.0, 1.0: 2 / 3}),
        # One sign: sequential, from the smallest to the largest value.
        (0.1, 0.5, "YlGn", {0.1: 0.0, 0.5: 1.0}),
        (-0.5, -0.1, "Reds_r", {-0.5: 0.0, -0.1: 1.0}),
        (-0.5, 0.0, "Reds_r", {-0.5: 0.0, 0.0: 1.0}),
    ],
)
def test_the_heatmap_colour_scale(low, high, cmap, at):
    from pelmora.plotting._sweep import colour_scale

    colours, norm = colour_scale(low, high, None)
    assert colours.name.startswith(cmap)
    assert {v: round(float(norm(v)), 4) for v in at} == {v: round(x, 4) for v, x in at.items()}


def test_the_headline_figures_carry_their_intervals(momentum_run, tmp_path, monkeypatch):
    pytest.importorskip("arch")
    result, bench = momentum_run
    text = result.report(tmp_path / "r.html", bench).read_text()
    table = result.stats(bench, ci=0.95)  # the report's defaults: 1,000 repetitions, seed 0
    for label, name in (("Sharpe ratio", "sharpe"), ("Max drawdown", "max_drawdown"),
                        ("Beta", "beta")):
        low, high = (table.loc[name, side] for side in ("lower", "upper"))
        scale, unit = (100, " %") if name == "max_drawdown" else (1, "")
        assert headline(text, label)[-1] == f"{low * scale:.2f}{unit} to {high * scale:.2f}{unit}"
    assert headline(text, "Max drawdown peak")[-1] == "–"
    assert "strategy, 95 % interval" in text and "stationary block bootstrap" in text
    assert "interval" not in result.report(tmp_path / "n.html", ci=None).read_text()
    monkeypatch.setitem(sys.modules, "arch", None)
    monkeypatch.setitem(sys.modules, "arch.bootstrap", None)
    text = result.report(tmp_path / "m.html").read_text()
    assert ("No intervals: BacktestResult.stats(ci=...) needs arch: pip install "
            "&#x27;pelmora[inference]&#x27;.") in text
