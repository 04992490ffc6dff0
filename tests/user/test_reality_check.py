"""The tests over a sweep: each p-value and set against arch's own procedures on the same
resamples, noise against a planted winner, the benchmark's three forms, and the refusals."""

import math
import sys

import numpy as np
import pandas as pd
import pytest

arch_bootstrap = pytest.importorskip("arch.bootstrap")

import pelmora  # noqa: E402
from pelmora.statistics._kept import NO_RETURNS  # noqa: E402
from pelmora.statistics._reality import (  # noqa: E402
    BENCHMARK_MISSING_DATES, BENCHMARK_NOT_A_ROW, REALITY_NAMES, SIZE_OUT_OF_RANGE,
)


def sweep_like(values, labels=None, failed=()):
    """A table as pelmora.sweep leaves it with keep="returns": a row per trial, its returns in
    attrs (a failed row's returns NaN)."""
    values = np.array(values, dtype=float)
    dates = pd.bdate_range("2018-01-02", periods=len(values))
    index = pd.Index(labels if labels is not None else range(values.shape[1]))
    errors = [("RuntimeError: x" if label in failed else None) for label in index]
    table = pd.DataFrame({"lookback": np.arange(len(index)) * 5 + 10, "error": errors}, index=index)
    frame = pd.DataFrame(values, index=dates, columns=index)
    frame[list(failed)] = np.nan
    table.attrs["returns"] = frame
    return table


def noise(seed, n=400, k=15, skill=()):
    """Correlated trials of zero mean and unequal volatility; ``skill`` adds to their means."""
    rng = np.random.default_rng(seed)
    common, own = rng.normal(0, 0.008, (n, 1)), rng.normal(0, 0.01, (n, k))
    values = 0.6 * common + own * rng.uniform(0.5, 2, k)
    for column, mean in skill:
        values[:, column] += mean
    return values


def long_run_deviation(d, block):
    """Hansen's kernel estimate of each column's long-run variance, lag by lag, its root."""
    n = len(d)
    x = d - d.mean(axis=0)
    p = 1 / block
    var = (x * x).sum(axis=0) / n
    for i in range(1, n):
        kappa = (1 - i / n) * (1 - p) ** i + (i / n) * (1 - p) ** (n - i)
        var += 2 * kappa * (x[: n - i] * x[i:]).sum(axis=0) / n
    return np.sqrt(var)


@pytest.mark.parametrize("block", [1.0, 3.5, 12.0])
@pytest.mark.parametrize("bench_kind", ["none", "series", "row"])
def test_each_figure_is_archs_on_the_same_resamples(block, bench_kind):
    # Two skilled trials and two far below zero: the three recentrings give three p-values.
    values = noise(7, n=300, k=10, skill=[(3, 0.0015), (6, 0.0012), (0, -0.003), (1, -0.003)])
    table = sweep_like(values, labels=[f"r{i}" for i in range(10)])
    bench = np.zeros(300)
    benchmark = None
    if bench_kind == "series":
        bench = np.random.default_rng(2).normal(0.0001, 0.004, 300)
        benchmark = pd.Series(bench, table.attrs["returns"].index)
    elif bench_kind == "row":
        benchmark, bench = "r9", values[:, 9]
        values = values[:, :9]
    found = pelmora.reality_check(table, benchmark=benchmark, reps=200, seed=5, block=block,
                                  size=0.1)
    labels = [f"r{i}" for i in range(values.shape[1])]
    assert list(found.index) == list(REALITY_NAMES)
    assert found["n_trials"] == values.shape[1] and found["block"] == block
    # White's reality check: arch's SPA compares the raw means; its upper p-value is White's.
    raw = arch_bootstrap.SPA(-bench, -values, block_size=block, reps=200, seed=5)
    raw.compute()
    assert found["rc_pvalue"] == raw.pvalues["upper"]
    # Hansen's studentized test: arch's SPA on the excess returns divided by their deviation.
    scaled = (values - bench[:, None]) / long_run_deviation(values - bench[:, None], block)
    zeros = np.zeros(len(bench))
    spa = arch_bootstrap.SPA(zeros, -scaled, block_size=block, reps=200, seed=5)
    spa.compute()
    assert [found["spa_pvalue_lower"], found["spa_pvalue"], found["spa_pvalue_upper"]] == list(
        spa.pvalues[["lower", "consistent", "upper"]])
    stepm = arch_bootstrap.StepM(zeros, -scaled, size=0.1, block_size=block, reps=200, seed=5)
    stepm.compute()
    assert found["stepm"] == [labels[i] for i in sorted(stepm.superior_models)]
    assert found["stepm"]  # a case with steps to take
    assert found["spa_pvalue_lower"] <= found["spa_pvalue"] <= found["spa_pvalue_upper"]
    mcs = arch_bootstrap.MCS(-values, size=0.1, reps=200, block_size=block, method="max", seed=5)
    mcs.compute()
    assert found["mcs"] == [labels[i] for i in sorted(mcs.included)]
    assert "r0" not in found["mcs"]


def test_the_block_by_default_is_the_median_politis_white_length():
    values = noise(3, n=300, k=6)
    found = pelmora.reality_check(sweep_like(values), reps=20)
    lengths = arch_bootstrap.optimal_block_length(values)["stationary"]
    assert found["block"] == pytest.approx(max(1.0, float(np.median(lengths))), rel=1e-12)


def test_noise_is_rarely_a_discovery_and_a_planted_winner_is_found():
    spa = []
    for seed in range(6):
        found = pelmora.reality_check(sweep_like(noise(seed)), reps=200, seed=seed)
        spa.append(found["spa_pvalue"])
        assert found["stepm"] == [] or found["spa_pvalue"] <= 0.05
    # No skill anywhere: the p-values spread over (0, 1), not piled under 0.05.
    assert sum(p <= 0.05 for p in spa) <= 1 and 0.2 <= np.mean(spa) <= 0.8
    planted = sweep_like(noise(0, skill=[(4, 0.003)]))
    found = pelmora.reality_check(planted, reps=200)
    assert found["spa_pvalue"] <= 0.01 and found["rc_pvalue"] <= 0.05
    assert found["stepm"] == [4]
    assert 4 in found["mcs"] and len(found["mcs"]) < 15


def test_trials_without_spread_neither_break_nor_hide():
    # A trial that never trades earns 0 every day; one earning a fixed interest beats zero
    # every day: no variance to divide by, and no NaN either.
    values = noise(1, n=250, k=5)
    values[:, 0] = 0.0
    values[:, 1] = 0.0001
    with np.errstate(all="raise"):
        found = pelmora.reality_check(sweep_like(values), reps=100)
    assert found["stepm"] == [1] and found["spa_pvalue"] == 0.0
    assert not any(isinstance(v, float) and math.isnan(v) for v in found)


def test_failed_rows_are_left_out_and_seeds_reproduce():
    table = sweep_like(noise(4, k=8), failed=[2, 5])
    first = pelmora.reality_check(table, reps=100, seed=3)
    assert first["n_trials"] == 6
    assert not {2, 5} & set(first["mcs"])
    assert first.equals(pelmora.reality_check(table, reps=100, seed=3))
    other = pelmora.reality_check(table, reps=100, seed=4)
    assert [first[n] for n in ("rc_pvalue", "spa_pvalue")] != [other[n] for n in ("rc_pvalue",
                                                                                   "spa_pvalue")]


def test_a_wide_search_shows_a_bar(capsys):
    pelmora.reality_check(sweep_like(noise(0, n=60, k=3)), reps=30, progress=True)
    assert "reality check" in capsys.readouterr().err


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"size": 0.0}, ValueError, SIZE_OUT_OF_RANGE.format(size=0.0)),
    ({"size": 5}, ValueError, SIZE_OUT_OF_RANGE.format(size=5)),
    ({"reps": 0}, ValueError, "reps must be at least 1, got 0"),
    ({"reps": 10.0}, TypeError, "reps must be an integer, got float"),
    ({"benchmark": "r7"}, ValueError, BENCHMARK_NOT_A_ROW.format(label="r7")),
    ({"benchmark": ["r1"]}, ValueError, BENCHMARK_NOT_A_ROW.format(label=["r1"])),
])
def test_refused_options(kwargs, error, message):
    table = sweep_like(noise(0, n=50, k=3), labels=["r0", "r1", "r2"])
    with pytest.raises(error) as caught:
        pelmora.reality_check(table, **kwargs)
    assert str(caught.value) == message


def test_a_benchmark_needs_every_date_and_a_table_its_returns():
    table = sweep_like(noise(0, n=50, k=3))
    dates = table.attrs["returns"].index
    short = pd.Series(0.0, dates[3:])
    with pytest.raises(ValueError) as caught:
        pelmora.reality_check(table, benchmark=short)
    assert str(caught.value) == BENCHMARK_MISSING_DATES.format(n=3, total=50, date=dates[0])
    assert str(caught.value) == (
        "benchmark has no return on 3 of the table's 50 dates (the first 2018-01-02 00:00:00): "
        "give it a return for every price date of the sweep")
    bare = table.copy()
    bare.attrs = {}
    with pytest.raises(ValueError) as caught:
        pelmora.reality_check(bare)
    assert str(caught.value) == NO_RETURNS
    assert 'run the sweep with keep="returns"' in NO_RETURNS


def test_without_arch_it_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "arch", None)
    monkeypatch.setitem(sys.modules, "arch.bootstrap", None)
    with pytest.raises(ImportError) as caught:
        pelmora.reality_check(sweep_like(noise(0, n=50, k=3)))
    assert str(caught.value) == "pelmora.reality_check needs arch: pip install 'pelmora[inference]'"
