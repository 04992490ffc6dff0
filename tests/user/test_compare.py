"""Strategies side by side and tear sheets of any returns: the figures are the single run's.

A comparison's column of a run is the run's ``stats()`` bit for bit; a tear sheet of a run's
equity, as it is, gives the run's figures bit for bit (the same code on the same numbers), of its
returns to rounding; the figures equal quantstats' where the conventions agree.
"""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.statistics._compare import COMPARE_TEXTS
from pelmora.statistics._curves import CURVE_TEXTS, NOT_OF_A_SERIES
from pelmora.stats import STAT_NAMES, performance_stats

CURVE_FIGURES = [n for n in STAT_NAMES if n not in NOT_OF_A_SERIES]


def same(a, b) -> bool:
    return bool(a == b) or (pd.isna(a) and pd.isna(b))


def noisy_returns(seed: int, n: int = 400) -> pd.Series:
    rng = np.random.default_rng(seed)
    r = rng.standard_t(4, n) * 0.008 + 0.0004
    r[rng.random(n) < 0.1] = 0.0
    r[0] = 0.002  # the window starts on the first row
    return pd.Series(r, pd.bdate_range("2020-06-01", periods=n), name=f"fund {seed}")


@pytest.mark.parametrize("with_benchmark", [False, True])
def test_a_tear_sheet_of_a_runs_equity_is_the_runs_figures_bit_for_bit(momentum_run,
                                                                       with_benchmark):
    result, bench = momentum_run
    bench = bench if with_benchmark else None
    expected = result.stats(bench)
    # The whole equity as it is: the flat days before the first fill are left out as stats()
    # leaves them out.
    sheet = pelmora.tearsheet(result.equity, bench, kind="prices")
    got = sheet.stats()
    assert list(got.index) == list(expected.index)
    assert [n for n in CURVE_FIGURES if not same(got[n], expected[n])] == []
    assert got[list(NOT_OF_A_SERIES)].isna().all()
    # Its returns give the same curve to rounding.
    returns = pelmora.tearsheet(result.returns.iloc[result.window_start:], bench,
                                kind="returns").stats()
    numbers = [n for n in CURVE_FIGURES if isinstance(expected[n], float)]
    np.testing.assert_allclose(returns[numbers].astype(float), expected[numbers].astype(float),
                               rtol=1e-9, atol=1e-12)
    assert returns["start"] == expected["start"]
    assert returns["max_drawdown_end"] == expected["max_drawdown_end"]


def test_a_comparison_column_is_each_strategys_own_figures(momentum_run):
    result, bench = momentum_run
    fund = noisy_returns(3).rename(None)
    table = pelmora.compare({"momentum": result, "fund": fund}, benchmark=bench).stats()
    assert list(table.columns) == ["momentum", "fund", bench.name]
    own = result.stats(bench)
    assert all(same(table.at[n, "momentum"], own[n]) for n in own.index)
    alone = pelmora.tearsheet(fund, bench).stats()
    assert all(same(table.at[n, "fund"], alone[n]) for n in alone.index)
    # The benchmark's own figures, over the strategies' dates from its level before them.
    assert table.at["start", bench.name] == min(own["start"], alone["start"])
    assert np.isnan(table.at["alpha", bench.name]) and not np.isnan(table.at["alpha", "fund"])


def test_correlation_and_curves_of_a_comparison(momentum_run):
    result, _ = momentum_run
    fund = noisy_returns(4)
    mirror = -result.returns.iloc[result.window_start:]
    comparison = pelmora.compare({"run": result, "fund": fund, "mirror": mirror},
                                 kind="returns")
    corr = comparison.correlation()
    assert corr.at["run", "mirror"] == pytest.approx(-1.0, abs=1e-12)
    window = result.returns.iloc[result.window_start:]
    assert corr.at["run", "fund"] == pytest.approx(window.corr(fund), abs=1e-12)
    equity = comparison.equity
    assert equity["run"].dropna().equals(result.equity.iloc[result.window_start:].rename("run"))
    assert comparison.drawdown.min().round(12).tolist() == pytest.approx(
        [s["max_drawdown"] for s in (result.stats(), pelmora.tearsheet(fund).stats(),
                                      pelmora.tearsheet(mirror, kind="returns").stats())])


@pytest.mark.parametrize("seed", [0, 1])
def test_a_tear_sheet_equals_quantstats_where_the_conventions_agree(seed):
    qs = pytest.importorskip("quantstats").stats
    port = noisy_returns(seed)
    for given, kind in ((port, "returns"), ((1 + port).cumprod() * 37.0, "prices")):
        stats = pelmora.tearsheet(given, kind=kind).stats()
        if kind == "prices":  # values: the first one is the capital, its return is not a row
            port = port.iloc[1:]
        expected = {
            "total_return": qs.comp(port), "annual_volatility": qs.volatility(port),
            "sharpe": qs.sharpe(port), "sortino": qs.sortino(port),
            "max_drawdown": qs.max_drawdown(port), "skew": qs.skew(port),
            "kurtosis": qs.kurtosis(port), "best_day": qs.best(port), "worst_day": qs.worst(port),
            "win_days": qs.win_rate(port), "kelly": qs.kelly_criterion(port),
            "conditional_value_at_risk": qs.cvar(port, method="historical"),
            "tail_ratio": qs.tail_ratio(port),
        }
        for name, value in expected.items():
            assert stats[name] == pytest.approx(float(value), rel=1e-9), (kind, name)


@pytest.mark.parametrize("values, kind, read", [
    ([0.01, -0.02, 0.03], "auto", "returns"),   # a value at or below 0: returns
    ([101.0, 99.0, 103.0], "auto", "prices"),
    ([0.5, 0.4, 0.6], "returns", "returns"),
])
def test_the_kind_of_a_series_is_read_or_named(values, kind, read):
    series = pd.Series(values, pd.bdate_range("2024-01-01", periods=3))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        equity = pelmora.tearsheet(series, kind=kind).curve.equity
    expected = (np.cumprod(1 + np.array(values)) if read == "returns"
                else np.array(values[1:]) / values[0])
    np.testing.assert_allclose(equity.to_numpy(), expected, rtol=1e-15)


def test_a_series_that_could_be_either_warns_and_leading_flat_days_are_left_out():
    series = pd.Series([0.0, 0.0, 0.01, 0.02], pd.bdate_range("2024-01-01", periods=4),
                       name="nav")
    sheet = pelmora.tearsheet(series, kind="returns")
    assert sheet.stats()["start"] == series.index[2]  # the flat days before the first move
    positive = series.iloc[2:]
    with pytest.warns(UserWarning) as caught:
        pelmora.tearsheet(positive)
    assert str(caught[0].message) == CURVE_TEXTS["guess"].format(caller="pelmora.tearsheet",
                                                                 name="nav")


@pytest.mark.parametrize("call, error, message", [
    (lambda: pelmora.tearsheet([0.01, 0.02]), TypeError, CURVE_TEXTS["type"].format(
        caller="pelmora.tearsheet", name="strategy", kind="list")),
    (lambda: pelmora.tearsheet(pd.Series([0.01])), TypeError, CURVE_TEXTS["dates"].format(
        caller="pelmora.tearsheet", name="strategy", kind="RangeIndex")),
    (lambda: pelmora.tearsheet(pd.Series([0.1, -1.5], pd.bdate_range("2024-01-01", periods=2))),
     ValueError, CURVE_TEXTS["returns"].format(caller="pelmora.tearsheet", name="strategy",
                                              value=-1.5, date="2024-01-02")),
    (lambda: pelmora.tearsheet(pd.Series([1.0, 0.0], pd.bdate_range("2024-01-01", periods=2)),
                               kind="prices"),
     ValueError, CURVE_TEXTS["prices"].format(caller="pelmora.tearsheet", name="strategy",
                                             value=0.0, date="2024-01-02")),
    (lambda: pelmora.tearsheet(pd.Series([1.0], pd.bdate_range("2024-01-01", periods=1)),
                               kind="price"), ValueError, CURVE_TEXTS["kind"].format(kind="price")),
    (lambda: pelmora.compare([1, 2]), TypeError, COMPARE_TEXTS["mapping"].format(kind="list")),
    (lambda: pelmora.compare({}), ValueError, COMPARE_TEXTS["empty"]),
    (lambda: pelmora.compare({"a": "x"}), TypeError, CURVE_TEXTS["type"].format(
        caller="pelmora.compare", name="a", kind="str")),
])
def test_wrong_inputs_are_refused_by_name(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


def test_intervals_are_each_strategys_own(momentum_run):
    result, _ = momentum_run
    comparison = pelmora.compare({"run": result, "fund": noisy_returns(2)})
    if "ci" not in __import__("inspect").signature(performance_stats).parameters:
        with pytest.raises(NotImplementedError) as caught:
            comparison.stats(ci=0.9)
        assert str(caught.value) == COMPARE_TEXTS["intervals"].format(caller="Comparison.stats")
        return
    table = comparison.stats(ci=0.9, reps=50, seed=3)
    own = result.stats(ci=0.9, reps=50, seed=3)
    assert table["run"].equals(own) or all(
        same(a, b) for a, b in zip(table["run"].to_numpy().ravel(), own.to_numpy().ravel()))


def test_plots_report_and_notebook_view(momentum_run, tmp_path):
    import matplotlib.figure

    result, bench = momentum_run
    comparison = pelmora.compare({"run <1>": result, "fund": noisy_returns(1)}, benchmark=bench)
    fig = comparison.plot(log_scale=True)
    assert isinstance(fig, matplotlib.figure.Figure)
    assert [len(ax.get_lines()) for ax in fig.axes] == [4, 3]  # 3 curves and the 1.0 line
    text = comparison.report(tmp_path / "compare.html").read_text(encoding="utf-8")
    assert "<script" not in text.lower() and "run &lt;1&gt;" in text and "<1>" not in text
    for heading in ("Statistics", "Equity and drawdown", "Yearly returns", "Rolling risk",
                    "Correlation of daily returns"):
        assert f"<h2>{heading}</h2>" in text
    view = comparison._repr_html_()
    assert view.count("<svg") == 2 and "<script" not in view and len(view) < 20_000
    sheet = pelmora.tearsheet(noisy_returns(1), path=tmp_path / "sheet.html")
    page = (tmp_path / "sheet.html").read_text(encoding="utf-8")
    assert "<h2>Monthly and yearly returns</h2>" in page and "<h2>Worst drawdowns</h2>" in page
    depth = sheet.worst_drawdowns(1)["depth"].iloc[0]
    assert depth == pytest.approx(sheet.stats()["max_drawdown"], abs=1e-15)
    for kind in ("monthly", "yearly", "rolling"):
        assert isinstance(sheet.plot(kind), matplotlib.figure.Figure)
    assert math.isnan(sheet.stats()["n_trades"])
