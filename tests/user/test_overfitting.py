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
