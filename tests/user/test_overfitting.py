"""A sweep's kept daily returns and what pelmora.overfitting makes of them."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights

pytest.importorskip("pyarrow")

GRID = {"stop_loss": [None, 0.05], "rebalance": ["ME", "W-FRI"]}


@pytest.fixture(scope="module")
def data():
    market = synthetic_market(n_stocks=12, n_days=200, seed=7)
    return momentum_weights(market.close, lookback=20, top_n=3), market


def run(weights, market, **kw):
    return pelmora.sweep(kw.pop("grid", GRID), weights, market, progress=False, **kw)


@pytest.mark.parametrize("first_keep", ["returns", "stats"])
def test_kept_returns_are_the_runs_returns_also_from_a_store(data, tmp_path, first_keep):
    weights, market = data
    first = run(weights, market, keep=first_keep, store=tmp_path)
    again = run(weights, market, keep="returns", store=tmp_path)
    # Rows stored without their returns run again to have them.
    assert again.attrs["sweep"]["stored"] == (4 if first_keep == "returns" else 0)
    frame = again.attrs["returns"]
    assert list(frame.columns) == list(again.index)
    if first_keep == "returns":
        assert frame.equals(first.attrs["returns"])
    # Shared, not copied, by the tables made from this one (pandas would compare copies and raise).
    assert pd.concat([again.head(1), again.tail(1)]).attrs["returns"] is frame
    for label, row in again.iterrows():
        direct = pelmora.backtest(weights, market, stop_loss=row["stop_loss"],
                                  rebalance=row["rebalance"]).returns
        assert frame.index.equals(direct.index)
        np.testing.assert_array_equal(frame[label].to_numpy(), direct.to_numpy())


def test_identical_combinations_are_one_trial(data):
    weights, market = data
    copies = {"a": weights, "b": weights, "c": weights}
    table = run(copies, market, grid={"fee": [0.001]}, keep="returns")
    with pytest.warns(UserWarning) as caught:
        found = pelmora.overfitting(table)
    # Three copies leave nothing to choose: no PBO (it was 1.0).
    assert [str(w.message) for w in caught] == [
        "pbo: every trial ties in sample in every split (12,870), so there is nothing to choose: pbo is NaN"]
    assert np.isnan(found["pbo"]) and np.isnan(found["degradation_slope"])
    assert (found["n_trials"], found["effective_trials"]) == (3, 1)
    assert found["best"] == {"weights": "a", "fee": 0.001}
    # One effective trial: nothing to deflate, the best's PSR as the table has it.
    assert found["expected_max_sharpe"] == 0.0
    assert found["deflated_sharpe"] == pytest.approx(table["psr"].iloc[0], rel=1e-12)
    assert found["best_sharpe"] == pytest.approx(table["sharpe"].iloc[0] / np.sqrt(252))
    failed = table.assign(error=[None, "RuntimeError: x", None])
    with pytest.warns(UserWarning, match="nothing to choose"):
        assert pelmora.overfitting(failed)["n_trials"] == 2


def test_a_table_without_returns_is_refused(data):
    weights, market = data
    with pytest.raises(ValueError, match=r'no daily returns: run the sweep with keep="returns"'):
        pelmora.overfitting(run(weights, market))


@pytest.mark.parametrize("keep", ["returns", "stats"])
def test_the_sweep_report_has_an_overfitting_section_with_returns(data, tmp_path, keep):
    pytest.importorskip("matplotlib")
    weights, market = data
    page = pelmora.sweep_report(run(weights, market, keep=keep), tmp_path / "r.html").read_text()
    assert ('id="overfitting"' in page) == (keep == "returns")
    if keep == "returns":
        assert "Probability of backtest overfitting" in page and "Deflated Sharpe" in page


# ---------------------------------------------------------------------------- the tests' verdict

from pelmora.research._overfitting import OVERFITTING_NAMES  # noqa: E402
from pelmora.research._verdict import INFERENCE_MISSING, verdict  # noqa: E402

from markets import returns_table  # noqa: E402


def planted(seed=0, skill=0.0025):
    """Twenty trials of noise, the fourth with skill, each starting on its own day."""
    rng = np.random.default_rng(seed)
    values = 0.5 * rng.normal(0, 0.008, (600, 1)) + rng.normal(0, 0.01, (600, 20))
    values[:, 3] += skill
    return returns_table(values, starts=rng.integers(0, 60, 20))


def test_the_tests_figures_are_those_of_their_functions():
    pytest.importorskip("arch")
    table = planted()
    found = pelmora.overfitting(table, reps=200, seed=1)
    assert list(found.index) == list(OVERFITTING_NAMES)
    tests = pelmora.reality_check(table, reps=200, seed=1)
    assert found["spa_pvalue"] == tests["spa_pvalue"] <= 0.05
    assert found["stepm_survivors"] == len(tests["stepm"]) >= 1
    assert found.attrs["reality_check"].equals(tests)
    discoveries = pelmora.false_discoveries(table)
    assert found["fdr_survivors"] == discoveries["survives"].sum() >= 1
    best = table.loc[3]
    n_obs = int(table.attrs["returns"].loc[best["start"]:best["end"], 3].notna().sum())
    haircut = pelmora.haircut_sharpe(best["sharpe"], n_obs=n_obs,
                                     n_trials=found["effective_trials"])
    assert found["haircut_sharpe"] == haircut["haircut_sharpe"] < best["sharpe"]
    assert found["verdict"].startswith("The best row beats zero after searching 20 trials (SPA p = ")


def test_noise_reads_as_no_skill():
    pytest.importorskip("arch")
    found = pelmora.overfitting(planted(seed=2, skill=0.0), reps=200)
    assert found["spa_pvalue"] > 0.05 and found["stepm_survivors"] == 0
    assert "does not beat zero once its 20 trials are counted" in found["verdict"]


@pytest.mark.parametrize(("figures", "text"), [
    ({"n_trials": 108, "best_sharpe": 0.82 / np.sqrt(252), "spa_pvalue": 0.003,
      "stepm_survivors": 2, "haircut_sharpe": 0.41, "pbo": 0.46},
     "The best row beats zero after searching 108 trials (SPA p = 0.003, 2 rows by StepM), but "
     "its haircut Sharpe ratio is 0.41 (of 0.82) and PBO is 0.46: expect about half of it out "
     "of sample."),
    ({"n_trials": 40, "best_sharpe": 1.5 / np.sqrt(252), "spa_pvalue": 0.01,
      "stepm_survivors": 1, "haircut_sharpe": 1.2, "pbo": 0.1},
     "The best row beats zero after searching 40 trials (SPA p = 0.010, 1 row by StepM), and its "
     "haircut Sharpe ratio is 1.20 (of 1.50) and PBO is 0.10: expect about 80 % of it out of "
     "sample."),
    ({"n_trials": 12, "best_sharpe": 0.9 / np.sqrt(252), "spa_pvalue": 0.4,
      "stepm_survivors": 0, "haircut_sharpe": 0.0, "pbo": np.nan},
     "The best row does not beat zero once its 12 trials are counted (SPA p = 0.400, 0 rows by "
     "StepM), and its haircut Sharpe ratio is 0.00 (of 0.90): expect little or none of it out "
     "of sample."),
    ({"n_trials": 5, "best_sharpe": 0.5 / np.sqrt(252), "spa_pvalue": np.nan,
      "stepm_survivors": np.nan, "haircut_sharpe": 0.45, "pbo": 0.2},
     "The best of 5 trials has an annualised Sharpe ratio of 0.50, and its haircut Sharpe ratio "
     "is 0.45 (of 0.50) and PBO is 0.20: expect about 90 % of it out of sample."),
    ({"n_trials": 3, "best_sharpe": -0.01, "spa_pvalue": 0.9, "stepm_survivors": 0,
      "haircut_sharpe": -0.05, "pbo": 0.3},
     "The best row does not beat zero once its 3 trials are counted (SPA p = 0.900, 0 rows by "
     "StepM); its Sharpe ratio of -0.16 is not above zero, so there is nothing to expect out of "
     "sample."),
    ({"n_trials": 0, "best_sharpe": np.nan, "spa_pvalue": np.nan, "stepm_survivors": np.nan,
      "haircut_sharpe": np.nan, "pbo": np.nan}, "No row has a Sharpe ratio to judge."),
])
def test_the_verdict_reads_the_figures_together(figures, text):
    assert verdict(figures) == text


def test_without_the_inference_extra_the_tests_are_nan_with_a_warning(monkeypatch):
    import sys

    for name in ("arch", "arch.bootstrap", "scipy", "scipy.stats"):
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.warns(UserWarning) as caught:
        found = pelmora.overfitting(planted(), reps=50)
    assert [str(w.message) for w in caught] == [INFERENCE_MISSING]
    assert INFERENCE_MISSING == (
        "pelmora.overfitting: spa_pvalue, stepm_survivors and fdr_survivors need arch and SciPy "
        "(pip install 'pelmora[inference]'); they are NaN")
    assert all(np.isnan(found[n]) for n in ("spa_pvalue", "stepm_survivors", "fdr_survivors"))
    assert found["haircut_sharpe"] > 0 and found["verdict"].startswith("The best of 20 trials")


def test_the_sweep_report_reads_the_tests(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("arch")
    table = planted()
    page = pelmora.sweep_report(table, tmp_path / "r.html").read_text()
    found = pelmora.overfitting(table)
    assert f"<strong>{found['verdict']}</strong>" in page
    for text in ("SPA p-value (Hansen, consistent)", "Rows that beat zero (StepM)",
                 "Haircut Sharpe ratio of the best (annual)", "how to read it"):
        assert text in page
