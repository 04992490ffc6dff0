"""Confidence intervals of the statistics: the bounds against arch's own bootstrap of the same
seed, the resampled figures against the statistics' own, coverage on simulated returns, and the
refusals."""

import math
import sys

import numpy as np
import pandas as pd
import pytest

arch_bootstrap = pytest.importorskip("arch.bootstrap")

from pelmora.statistics._bootstrap import BLOCK_TOO_SHORT, CI_OUT_OF_RANGE  # noqa: E402
from pelmora.statistics._intervals import INTERVAL_NAMES, replicate_figures  # noqa: E402
from pelmora.stats import STAT_NAMES, performance_stats  # noqa: E402


def _curve(seed, n=300, phi=0.0, mu=0.0005, sd=0.01, tz=None):
    """An equity curve from 1.0 on business days whose returns are AR(1) with coefficient phi
    around mu (marginal deviation sd): its true annualised Sharpe ratio is mu / sd * sqrt(252)."""
    rng = np.random.default_rng(seed)
    shocks = rng.normal(0.0, sd * math.sqrt(1 - phi**2), n + 50)
    x = np.zeros(n + 50)
    for t in range(1, n + 50):
        x[t] = phi * x[t - 1] + shocks[t]
    returns = mu + x[50:]
    dates = pd.bdate_range("2019-01-02", periods=n, tz=tz)
    return pd.Series(np.cumprod(1 + returns), dates), returns


# Each figure written from its definition on one resample's returns (a capital of 1.0 before).
def _sharpe(r):
    return r.mean() / r.std(ddof=1) * math.sqrt(252)


def _drawdown(r):
    equity = np.cumprod(1 + r)
    return (equity / np.maximum(np.maximum.accumulate(equity), 1.0) - 1).min()


def _volatility(r):
    return r.std(ddof=1) * math.sqrt(252)


def _var(r):
    return np.percentile(r, 5)


ORACLES = {"sharpe": _sharpe, "max_drawdown": _drawdown, "annual_volatility": _volatility,
           "value_at_risk": _var, "total_return": lambda r: np.prod(1 + r) - 1}


@pytest.mark.parametrize("block", [1.0, 4.5, None])
@pytest.mark.parametrize("ci", [0.9, 0.95])
def test_the_bounds_are_archs_percentile_interval_of_the_same_resamples(block, ci):
    equity, r = _curve(3, phi=0.3)
    table = performance_stats(equity, ci=ci, reps=150, seed=11, block=block)
    used = table.attrs["intervals"]["block"]
    if block is None:  # Politis and White's length, as arch estimates it
        expected = arch_bootstrap.optimal_block_length(r)["stationary"].iloc[0]
        assert used == pytest.approx(max(1.0, expected), rel=1e-12)
    for name, oracle in ORACLES.items():
        bootstrap = arch_bootstrap.StationaryBootstrap(used, r, seed=11)
        low, high = bootstrap.conf_int(oracle, reps=150, method="percentile", size=ci)[:, 0]
        assert table.loc[name, "lower"] == pytest.approx(low, rel=1e-9), name
        assert table.loc[name, "upper"] == pytest.approx(high, rel=1e-9), name


@pytest.mark.parametrize(("tz", "gaps"), [(None, False), ("America/New_York", True)])
def test_resampled_figures_of_the_returns_themselves_are_the_statistics(tz, gaps):
    # The vectorised figures of one "resample" that is the series itself must be the figures
    # of performance_stats: the same formulas, row by row.
    equity, r = _curve(5, n=260, tz=tz)
    rng = np.random.default_rng(1)
    bench = pd.Series(0.6 * r + rng.normal(0, 0.006, len(r)), equity.index)
    if gaps:
        bench.iloc[[3, 40, 41, 200]] = np.nan
    point = performance_stats(equity, benchmark=bench, benchmark_kind="returns", risk_free=0.02)
    months = equity.index.tz_localize(None).to_period("M")
    month_last = np.r_[months[1:] != months[:-1], True]
    years = (equity.index[-1] - equity.index[0]).days / 365.25
    got = replicate_figures(r[None, :], rf=0.02 / 252, periods_per_year=252, years=years,
                            month_last=month_last, bench=bench.to_numpy()[None, :])
    assert sorted(got) == sorted(INTERVAL_NAMES)
    for name in INTERVAL_NAMES:
        assert got[name][0] == pytest.approx(point[name], rel=1e-9, abs=1e-15), name


def test_a_result_gives_its_figures_unchanged_and_bounds_only_for_the_paths_figures(momentum_run):
    result, bench = momentum_run
    plain = result.stats(bench)
    table = result.stats(bench, ci=0.9, reps=60, seed=2)
    assert list(table.columns) == ["value", "lower", "upper"]
    assert table.index.equals(plain.index)
    assert table["value"].equals(plain)  # the figures exactly as stats() gives them
    bounded = table.index[table["lower"].notna()]
    assert set(bounded) <= set(INTERVAL_NAMES)
    assert {"sharpe", "max_drawdown", "cagr", "calmar", "beta", "best_month"} <= set(bounded)
    for name in ("n_trades", "win_rate", "psr", "turnover", "start", "fee_cost"):
        assert np.isnan(table.loc[name, "lower"]) and np.isnan(table.loc[name, "upper"])
    assert (table["lower"][bounded] <= table["upper"][bounded]).all()


def test_the_same_seed_gives_the_same_bounds():
    equity, _ = _curve(8)
    first = performance_stats(equity, ci=0.95, reps=80, seed=4)
    assert first.equals(performance_stats(equity, ci=0.95, reps=80, seed=4))
    other = performance_stats(equity, ci=0.95, reps=80, seed=5)
    assert not first["lower"].equals(other["lower"])


def test_too_short_a_window_has_no_bounds():
    equity = pd.Series([1.01], pd.DatetimeIndex(["2020-01-02"]))
    table = performance_stats(equity, ci=0.95, reps=10)
    assert table["lower"].isna().all() and table["upper"].isna().all()
    assert list(table.index) == list(STAT_NAMES)


@pytest.mark.slow
@pytest.mark.parametrize(("phi", "block", "low", "high"), [
    (0.0, None, 0.83, 0.97),   # iid returns: near the nominal 90 % (0.88 measured)
    (0.5, None, 0.78, 0.97),   # AR(1): Politis and White's blocks keep the dependence (0.84)
    (0.5, 1.0, 0.0, 0.74),     # the same with single days: far too narrow (0.66)
])
def test_coverage_of_the_sharpe_ratio_interval(phi, block, low, high):
    # 100 seeds: a coverage's standard error is about 0.03.
    true = 0.0006 / 0.01 * math.sqrt(252)
    hits = 0
    for seed in range(100):
        equity, _ = _curve(1000 + seed, n=400, phi=phi, mu=0.0006)
        table = performance_stats(equity, ci=0.9, reps=150, seed=seed, block=block)
        hits += table.loc["sharpe", "lower"] <= true <= table.loc["sharpe", "upper"]
    assert low <= hits / 100 <= high


@pytest.mark.parametrize(("options", "error", "message"), [
    ({"ci": 0.0}, ValueError, CI_OUT_OF_RANGE.format(ci=0.0)),
    ({"ci": 1}, ValueError, CI_OUT_OF_RANGE.format(ci=1)),
    ({"ci": 95}, ValueError, CI_OUT_OF_RANGE.format(ci=95)),
    ({"ci": "95%"}, TypeError, "ci must be a real number, got str"),
    ({"ci": 0.95, "reps": 0}, ValueError, "reps must be at least 1, got 0"),
    ({"ci": 0.95, "seed": -1}, ValueError, "seed must be at least 0, got -1"),
    ({"ci": 0.95, "block": 0.5}, ValueError, BLOCK_TOO_SHORT.format(block=0.5)),
    ({"ci": 0.95, "block": math.inf}, ValueError, BLOCK_TOO_SHORT.format(block=math.inf)),
])
def test_refused_options(momentum_run, options, error, message):
    assert CI_OUT_OF_RANGE.format(ci=0.0) == (
        "ci must be a confidence level between 0 and 1 (such as 0.95), got 0.0")
    equity, _ = _curve(1, n=20)
    with pytest.raises(error) as caught:
        performance_stats(equity, **options)
    assert str(caught.value) == message
    with pytest.raises(error) as caught:
        momentum_run[0].stats(**options)
    assert str(caught.value) == message


def test_without_arch_the_intervals_name_the_extra(monkeypatch, momentum_run):
    monkeypatch.setitem(sys.modules, "arch", None)
    monkeypatch.setitem(sys.modules, "arch.bootstrap", None)
    with pytest.raises(ImportError) as caught:
        momentum_run[0].stats(ci=0.95)
    assert str(caught.value) == (
        "BacktestResult.stats(ci=...) needs arch: pip install 'pelmora[inference]'")
    equity, _ = _curve(1, n=20)
    assert performance_stats(equity).index.equals(pd.Index(STAT_NAMES))  # no ci: no arch
