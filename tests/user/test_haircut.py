"""Haircut Sharpe ratios against Harvey and Liu's formulas computed with SciPy, and a sweep's
false discoveries against SciPy's false_discovery_control on p-values computed here."""

import math

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("scipy")
from scipy import stats as scipy_stats  # noqa: E402

import pelmora  # noqa: E402
from pelmora.statistics._haircut import (  # noqa: E402
    FEWER_TRIALS, HAIRCUT_NAMES, Q_OUT_OF_RANGE, RHO_OUT_OF_RANGE, UNKNOWN_METHOD,
)
from pelmora.statistics._kept import NO_RETURNS  # noqa: E402

from markets import returns_table  # noqa: E402


def harvey_liu(sharpe, n_obs, q, adjust):
    """Their steps: t-ratio, two-sided p-value, the adjusted p-value, back to a Sharpe ratio."""
    t = sharpe * math.sqrt(n_obs / q)
    p = 2 * scipy_stats.norm.sf(abs(t))
    p_adj = adjust(p)
    return math.copysign(scipy_stats.norm.isf(p_adj / 2), sharpe) * math.sqrt(q / n_obs), p, p_adj


def test_the_worked_example_ten_years_of_months_among_200_strategies():
    # An annualised Sharpe ratio of 0.92 over 120 months: t = 0.92 sqrt(10) = 2.909, p = 0.0036;
    # Bonferroni over 200 tests takes p to 0.72 and the Sharpe ratio to 0.11, a haircut of 88 %.
    got = pelmora.haircut_sharpe(0.92, n_obs=120, n_trials=200, periods_per_year=12)
    assert list(got.index) == list(HAIRCUT_NAMES)
    hsr, p, p_adj = harvey_liu(0.92, 120, 12, lambda p: min(1.0, 200 * p))
    assert got["t_ratio"] == pytest.approx(0.92 * math.sqrt(10), rel=1e-14)
    assert got["pvalue"] == pytest.approx(p, rel=1e-12)
    assert got["adjusted_pvalue"] == pytest.approx(p_adj, rel=1e-12)
    assert got["haircut_sharpe"] == pytest.approx(hsr, rel=1e-10)
    assert got["haircut"] == pytest.approx(1 - hsr / 0.92, rel=1e-10)
    assert (round(got["pvalue"], 4), round(got["haircut_sharpe"], 2), round(got["haircut"], 2)) == (
        0.0036, 0.11, 0.88)


def _holm(p, m):
    """Holm's step-down, written out: the i-th smallest of m p-values times m - i + 1, made
    non-decreasing, the p-values not given being 1."""
    full = sorted([(v, i) for i, v in enumerate(p)] + [(1.0, None)] * (m - len(p)),
                  key=lambda pair: pair[0])
    out, running = {}, 0.0
    for rank, (value, i) in enumerate(full):
        running = max(running, min(1.0, (m - rank) * value))
        if i is not None:
            out[i] = running
    return [out[i] for i in range(len(p))]


@pytest.mark.parametrize("method", ["bonferroni", "holm", "bhy"])
@pytest.mark.parametrize("n_trials", [6, 40])
def test_several_sharpe_ratios_are_adjusted_together(method, n_trials):
    sharpe = pd.Series([1.8, 0.4, -1.1, 0.95, 2.6, 0.0], index=list("abcdef"))
    got = pelmora.haircut_sharpe(sharpe, n_obs=756, n_trials=n_trials, method=method)
    assert list(got.columns) == list(HAIRCUT_NAMES) and got.index.equals(sharpe.index)
    p = 2 * scipy_stats.norm.sf(np.abs(sharpe.to_numpy()) * math.sqrt(3))
    if method == "bonferroni":
        expected = np.minimum(p * n_trials, 1)
    elif method == "holm":
        expected = _holm(list(p), n_trials)
    else:  # Benjamini-Hochberg-Yekutieli is SciPy's Benjamini-Yekutieli
        expected = scipy_stats.false_discovery_control(np.r_[p, np.ones(n_trials - 6)],
                                                       method="by")[:6]
    np.testing.assert_allclose(got["adjusted_pvalue"], expected, rtol=1e-12)
    for label, value in sharpe.items():
        if value == 0:
            assert got.loc[label, "haircut_sharpe"] == 0 and np.isnan(got.loc[label, "haircut"])
            continue
        hsr, _, _ = harvey_liu(value, 756, 252, lambda _: got.loc[label, "adjusted_pvalue"])
        assert got.loc[label, "haircut_sharpe"] == pytest.approx(hsr, rel=1e-9, abs=1e-12)
    # Holm never cuts more than Bonferroni, and with one Sharpe ratio it is Bonferroni.
    if method == "holm":
        bonferroni = pelmora.haircut_sharpe(sharpe, n_obs=756, n_trials=n_trials)
        assert (got["haircut_sharpe"].abs() >= bonferroni["haircut_sharpe"].abs() - 1e-15).all()
        one = pelmora.haircut_sharpe(1.8, n_obs=756, n_trials=n_trials, method="holm")
        assert one.equals(pelmora.haircut_sharpe(1.8, n_obs=756, n_trials=n_trials))


@pytest.mark.parametrize("rho", [-0.3, 0.2, 0.6])
def test_the_autocorrelation_adjustment_is_los_factor(rho):
    # Lo's scaling of the annualised Sharpe ratio, summed lag by lag: q / sqrt(q + 2 sum_k
    # (q - k) rho^k) over sqrt(q).
    q = 12
    eta = q / math.sqrt(q + 2 * sum((q - k) * rho**k for k in range(1, q))) / math.sqrt(q)
    got = pelmora.haircut_sharpe(1.2, n_obs=240, n_trials=10, periods_per_year=q,
                                 autocorrelation=rho)
    assert got["t_ratio"] == pytest.approx(1.2 * eta * math.sqrt(20), rel=1e-12)
    plain = pelmora.haircut_sharpe(1.2, n_obs=240, n_trials=10, periods_per_year=q)
    assert plain["t_ratio"] == pytest.approx(1.2 * math.sqrt(20), rel=1e-15)  # none by default


def test_a_t_ratio_past_double_precision_keeps_its_sharpe_ratio():
    got = pelmora.haircut_sharpe(40.0, n_obs=2520, n_trials=1000)
    assert got["pvalue"] == 0.0 and got["haircut_sharpe"] == 40.0 and got["haircut"] == 0.0


@pytest.mark.parametrize(("args", "error", "message"), [
    ({"sharpe": [1.0, 2.0, 0.5], "n_trials": 2}, ValueError,
     FEWER_TRIALS.format(n=3, n_trials=2)),
    ({"method": "bh"}, ValueError, UNKNOWN_METHOD.format(methods=("bonferroni", "holm", "bhy"),
                                                         method="bh")),
    ({"autocorrelation": 1.0}, ValueError, RHO_OUT_OF_RANGE.format(rho=1.0)),
    ({"n_obs": 0}, ValueError, "n_obs must be at least 1, got 0"),
    ({"sharpe": math.nan}, ValueError, "sharpe must be finite, got nan"),
    ({"sharpe": "1.0"}, TypeError, "sharpe must be a number or a sequence of numbers, got str"),
    ({"periods_per_year": 0}, ValueError, "periods_per_year must be positive, got 0"),
])
def test_haircut_refusals(args, error, message):
    kwargs = {"sharpe": 1.0, "n_obs": 252, "n_trials": 10, **args}
    with pytest.raises(error) as caught:
        pelmora.haircut_sharpe(kwargs.pop("sharpe"), **kwargs)
    assert str(caught.value) == message
    assert FEWER_TRIALS.format(n=3, n_trials=2) == (
        "n_trials must be at least the 3 Sharpe ratios given, got 2")


@pytest.mark.parametrize("method", ["bh", "by"])
def test_false_discoveries_are_scipys_on_each_rows_t_test(method):
    rng = np.random.default_rng(9)
    values = rng.normal(0, 0.01, (500, 30))
    values[:, :6] += np.linspace(0.0006, 0.0018, 6)  # six rows with some skill
    table = returns_table(values, starts=rng.integers(0, 200, 30))
    got = pelmora.false_discoveries(table, q=0.05, method=method)
    frame = table.attrs["returns"]
    n_obs = [int(frame.loc[r.start:r.end, j].notna().sum()) for j, r in table.iterrows()]
    t = table["sharpe"].astype(float) / math.sqrt(252) * np.sqrt(n_obs)
    p = scipy_stats.norm.sf(t)
    adjusted = scipy_stats.false_discovery_control(p, method=method)
    assert list(got["n_obs"]) == n_obs
    np.testing.assert_allclose(got["pvalue"], p, rtol=1e-10)
    np.testing.assert_allclose(got["adjusted_pvalue"], adjusted, rtol=1e-10)
    assert list(got["survives"]) == list(adjusted <= 0.05)
    assert 0 < got["survives"].sum() <= 6 + 1


def test_false_discoveries_leave_failed_rows_out_and_take_rows_without_a_sharpe_as_nothing():
    values = np.random.default_rng(2).normal(0.001, 0.01, (300, 5))
    values[:, 1] = 0.0  # never traded: no Sharpe ratio
    table = returns_table(values)
    table.loc[3, "error"] = "RuntimeError: x"
    got = pelmora.false_discoveries(table)
    assert list(got.index) == [0, 1, 2, 4]
    assert got.loc[1, "pvalue"] == 1.0 and not got.loc[1, "survives"]


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"q": 0}, Q_OUT_OF_RANGE.format(q=0)),
    ({"q": 1.5}, Q_OUT_OF_RANGE.format(q=1.5)),
    ({"method": "bhy"}, UNKNOWN_METHOD.format(methods=("bh", "by"), method="bhy")),
])
def test_false_discovery_refusals(kwargs, message):
    table = returns_table(np.random.default_rng(0).normal(0, 0.01, (50, 2)))
    with pytest.raises(ValueError) as caught:
        pelmora.false_discoveries(table, **kwargs)
    assert str(caught.value) == message
    table.attrs = {}
    with pytest.raises(ValueError) as caught:
        pelmora.false_discoveries(table)
    assert str(caught.value) == NO_RETURNS
