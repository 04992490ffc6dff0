"""pelmora.sweep: a parameter grid through a process pool and through Dask, against direct calls."""

from __future__ import annotations

import pandas as pd
import pytest

import pelmora
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights

GRID = {"stop_loss": [0.05, 0.1], "rebalance": ["ME", "W-FRI"]}
FIXED = {"fee": 0.001, "excursion_window": 5}


@pytest.fixture(scope="module")
def data():
    market = synthetic_market(n_stocks=20, n_days=260, seed=5)
    weights = momentum_weights(market.close, lookback=20, top_n=4)
    return weights, market


@pytest.fixture(scope="module")
def direct(data) -> pd.DataFrame:
    weights, market = data
    rows = []
    for stop_loss in GRID["stop_loss"]:
        for rebalance in GRID["rebalance"]:
            stats = pelmora.backtest(
                weights, market, stop_loss=stop_loss, rebalance=rebalance, **FIXED
            ).stats()
            rows.append({"stop_loss": stop_loss, "rebalance": rebalance, **stats})
    return pd.DataFrame(rows)


def test_processes_give_the_stats_of_direct_calls(data, direct):
    weights, market = data
    frame = pelmora.sweep(GRID, weights, market, backend="processes", max_workers=2, **FIXED)
    assert len(frame) == 4
    pd.testing.assert_frame_equal(frame, direct)


def test_dask_on_its_own_local_cluster_gives_the_stats_of_direct_calls(data, direct):
    weights, market = data
    frame = pelmora.sweep(GRID, weights, market, backend="dask", max_workers=2, progress=False,
                          **FIXED)
    pd.testing.assert_frame_equal(frame, direct)


def test_dask_on_a_given_client_gives_the_stats_of_direct_calls(data, direct):
    distributed = pytest.importorskip("distributed")
    weights, market = data
    # Thread workers share one process: runs must still not mix their module state.
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        frame = pelmora.sweep(GRID, weights, market, backend="dask", client=client, **FIXED)
        assert len(client.scheduler_info()["workers"]) == 2  # the client is left running
    pd.testing.assert_frame_equal(frame, direct)


def test_progress_bar_counts_the_runs(data, capsys):
    weights, market = data
    pelmora.sweep({"stop_loss": [0.05]}, weights, market, backend="processes", max_workers=1)
    assert "1/1" in capsys.readouterr().err


@pytest.mark.parametrize(
    "grid, kwargs, error, message",
    [
        ({"stoploss": [0.1]}, {}, TypeError, "unknown backtest option 'stoploss'"),
        ({"stop_loss": [0.1]}, {"stop_loss": 0.2}, TypeError, "both in the grid and fixed"),
        ({"stop_loss": [0.1]}, {"fees": 0.0}, TypeError, "unknown backtest option 'fees'"),
        ({"stop_loss": [0.1]}, {"backend": "threads"}, ValueError, "backend must be"),
        ({}, {}, ValueError, "non-empty mapping"),
        ({"rebalance": "ME"}, {}, TypeError, "must be a list of values"),
    ],
)
def test_bad_grids_are_rejected_before_any_run(data, grid, kwargs, error, message):
    weights, market = data
    with pytest.raises(error, match=message):
        pelmora.sweep(grid, weights, market, progress=False, **kwargs)
