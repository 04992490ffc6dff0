"""pelmora.sweep: a grid on threads, processes and Dask against direct calls; failures, stores."""

from __future__ import annotations

import contextlib
import os

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


def same_as_direct(frame: pd.DataFrame, direct: pd.DataFrame) -> None:
    assert frame["error"].isna().all()
    pd.testing.assert_frame_equal(frame.drop(columns="error"), direct)


@pytest.mark.parametrize("workers", [1, 2])
def test_threads_give_the_stats_of_direct_calls(data, direct, workers):
    weights, market = data
    frame = pelmora.sweep(GRID, weights, market, max_workers=workers, progress=False, **FIXED)
    same_as_direct(frame, direct)
    assert frame.attrs["sweep"] == {"ran": 4, "failed": 0, "stored": 0}


@pytest.mark.heavy
def test_processes_give_the_stats_of_direct_calls(data, direct):
    weights, market = data
    frame = pelmora.sweep(GRID, weights, market, backend="processes", max_workers=2, **FIXED)
    assert len(frame) == 4
    same_as_direct(frame, direct)


@pytest.mark.heavy
def test_dask_on_its_own_local_cluster_gives_the_stats_of_direct_calls(data, direct):
    weights, market = data
    frame = pelmora.sweep(GRID, weights, market, backend="dask", max_workers=2, progress=False,
                          **FIXED)
    same_as_direct(frame, direct)


@pytest.mark.heavy
def test_dask_on_a_given_client_gives_the_stats_of_direct_calls(data, direct):
    distributed = pytest.importorskip("distributed")
    weights, market = data
    # Thread workers share one process: runs must still not mix their module state.
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        frame = pelmora.sweep(GRID, weights, market, backend="dask", client=client, **FIXED)
        assert len(client.scheduler_info()["workers"]) == 2  # the client is left running
    same_as_direct(frame, direct)


@pytest.mark.heavy
def test_progress_bar_counts_the_runs(data, capsys):
    weights, market = data
    pelmora.sweep({"stop_loss": [0.05]}, weights, market, backend="processes", max_workers=1)
    assert "1/1" in capsys.readouterr().err


@pytest.mark.parametrize(
    "grid, kwargs, error, message",
    [
        ({"stoploss": [0.1]}, {}, TypeError, "unknown backtest option 'stoploss'"),
        ({"stop_loss": [0.1]}, {"stop_loss": 0.2}, TypeError, "both in the grid and fixed"),
        ({"stop_loss": [0.1]}, {"fees": 0.0}, TypeError, "unexpected keyword argument 'fees'"),
        ({"stop_loss": [0.1]}, {"backend": "gpu"}, ValueError, "backend must be"),
        ({"stop_loss": [0.1]}, {"keep": "all"}, ValueError, "keep must be"),
        ({"stop_loss": []}, {}, ValueError, r"grid\['stop_loss'\] has no values"),
        ({"stop_loss": [0.1, -1.0]}, {}, ValueError,
         "grid combination stop_loss=-1.0 is refused: stop_loss must be 0 or more"),
        ({"rebalance": ["ME", "fortnightly"]}, {}, ValueError, "not a pandas frequency"),
        ({}, {}, ValueError, "non-empty mapping"),
        ({"rebalance": "ME"}, {}, TypeError, "must be a list of values"),
    ],
)
def test_bad_grids_are_rejected_before_any_run(data, grid, kwargs, error, message):
    weights, market = data
    with pytest.raises(error, match=message):
        pelmora.sweep(grid, weights, market, progress=False, **kwargs)


def test_a_failing_combination_is_a_row_and_the_others_complete(data, direct, monkeypatch):
    import pelmora.sweeps._chunk as sweeps

    real = sweeps.engine_options

    def broken(opts, n_rows):
        out = real(opts, n_rows)
        if opts.stop_loss == 0.1 and opts.rebalance == "ME":
            out["swaylen_window_step"] = 0  # the engine refuses this while it runs
        return out

    monkeypatch.setattr(sweeps, "engine_options", broken)
    weights, market = data
    frame = pelmora.sweep(GRID, weights, market, progress=False, **FIXED)
    bad = (frame["stop_loss"] == 0.1) & (frame["rebalance"] == "ME")
    assert frame.loc[bad, "error"].iloc[0].startswith("ZeroDivisionError: ")
    assert frame.loc[bad, "sharpe"].isna().all() and frame.attrs["sweep"]["failed"] == 1
    rest = frame[~bad].drop(columns="error").reset_index(drop=True)
    pd.testing.assert_frame_equal(
        rest, direct[~bad.to_numpy()].reset_index(drop=True), check_dtype=False
    )


def test_kept_equity_and_results_are_those_of_direct_runs(data):
    weights, market = data
    grid = {"stop_loss": [0.05, 0.1]}
    eq = pelmora.sweep(grid, weights, market, keep="equity", progress=False, **FIXED)
    full = pelmora.sweep(grid, weights, market, keep="full", progress=False, **FIXED)
    for k, stop in enumerate(grid["stop_loss"]):
        direct = pelmora.backtest(weights, market, stop_loss=stop, **FIXED)
        pd.testing.assert_series_equal(eq["equity"].iloc[k], direct.equity)
        pd.testing.assert_frame_equal(full["result"].iloc[k].fills, direct.fills)


def test_none_stays_none_in_the_grid_columns(data):
    weights, market = data
    frame = pelmora.sweep({"stop_loss": [None, 0.1]}, weights, market, progress=False)
    assert frame["stop_loss"].tolist() == [None, 0.1]


def test_weight_variants_become_a_grid_dimension(data, direct):
    weights, market = data
    variants = {"top4": weights, "none": weights * 0.0}
    frame = pelmora.sweep({"stop_loss": [0.05]}, variants, market, progress=False, **FIXED)
    assert frame["weights"].tolist() == ["top4", "none"]
    assert frame["n_trades"].iloc[1] == 0 and frame["n_trades"].iloc[0] > 0


@pytest.mark.heavy
def test_a_store_resumes_a_killed_sweep_and_holds_each_combination_once(data, tmp_path):
    import signal
    import subprocess
    import sys
    import textwrap
    import time

    pq = pytest.importorskip("pyarrow.parquet")
    store = tmp_path / "sweep.parquet"
    grid = {"stop_loss": [0.02 + 0.01 * k for k in range(8)], "rebalance": ["ME", "W-FRI"]}
    script = textwrap.dedent(f"""
        import pelmora
        from pelmora.datasets import synthetic_market
        from pelmora.strategies import momentum_weights
        market = synthetic_market(n_stocks=300, n_days=2500, seed=5)
        weights = momentum_weights(market.close, lookback=20, top_n=30)
        print("ready", flush=True)
        pelmora.sweep({grid!r}, weights, market, store={str(store)!r}, chunk_size=1,
                      max_workers=1, progress=False)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    deadline = time.monotonic() + 120
    while len(list(store.glob("part-*.parquet"))) < 2 and time.monotonic() < deadline:
        time.sleep(0.005)
    child.send_signal(signal.SIGKILL)
    child.wait()
    done = len(pq.read_table(store).to_pylist()) if store.exists() else 0
    assert 2 <= done < 16

    weights, market = data
    market = pelmora.datasets.synthetic_market(n_stocks=300, n_days=2500, seed=5)
    weights = pelmora.strategies.momentum_weights(market.close, lookback=20, top_n=30)
    frame = pelmora.sweep(grid, weights, market, store=store, progress=False)
    assert frame.attrs["sweep"] == {"ran": 16 - done, "failed": 0, "stored": done}
    keys = pq.read_table(store).column("combination_key").to_pylist()
    assert len(keys) == len(set(keys)) == 16
    fresh = pelmora.sweep(grid, weights, market, progress=False)
    pd.testing.assert_frame_equal(frame, fresh)


def _die_on_first_chunk() -> None:
    import os

    import pelmora.sweeps._chunk as sweeps

    def dying(*args, **kwargs):
        os._exit(1)  # a worker lost mid-chunk; its nanny starts a fresh one without this

    sweeps._run_chunk = dying


@pytest.mark.heavy
def test_a_dask_worker_lost_mid_sweep_has_its_chunk_rerun_once(data, direct, tmp_path):
    distributed = pytest.importorskip("distributed")
    pq = pytest.importorskip("pyarrow.parquet")
    weights, market = data
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        client.run(_die_on_first_chunk)
        frame = pelmora.sweep(GRID, weights, market, backend="dask", client=client,
                              chunk_size=1, store=tmp_path / "s.parquet", progress=False, **FIXED)
    same_as_direct(frame, direct)
    keys = pq.read_table(tmp_path / "s.parquet").column("combination_key").to_pylist()
    assert len(keys) == len(set(keys)) == 4


# ---------------------------------------------------------------------- sweeps against direct runs

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

option_values = {
    "stop_loss": st.sampled_from([None, 0.03, 0.1]),
    "take_profit": st.sampled_from([None, 0.08]),
    "trailing_stop": st.sampled_from([None, 0.05]),
    "rebalance": st.sampled_from([None, "W-FRI", "ME"]),
    "intraday_stops": st.booleans(),
    "retain_cost": st.booleans(),
    "position_limit": st.sampled_from([1.0, 0.3]),
    "excursion_window": st.sampled_from([0, 3, 30]),
}


@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.sampled_from(sorted(option_values)), min_size=1, max_size=3, unique=True),
       st.data())
def test_any_grid_on_threads_gives_the_stats_of_direct_calls(data, names, draw):
    weights, market = data
    grid = {n: draw.draw(st.lists(option_values[n], min_size=1, max_size=2, unique=True))
            for n in names}
    frame = pelmora.sweep(grid, weights, market, progress=False, max_workers=2, chunk_size=1)
    assert frame["error"].isna().all()
    for row in frame.to_dict("records"):
        combo = {n: row[n] for n in grid}
        stats = pelmora.backtest(weights, market, **combo).stats()
        for name, value in stats.items():
            assert (pd.isna(value) and pd.isna(row[name])) or value == row[name], (combo, name)


# ------------------------------------------------------------------ a Dask worker killed from outside


@pytest.fixture(scope="module")
def bigger():
    market = synthetic_market(n_stocks=150, n_days=1200, seed=9)
    weights = momentum_weights(market.close, lookback=20, top_n=15)
    grid = {"stop_loss": [0.02 + 0.01 * k for k in range(6)], "rebalance": ["ME", "W-FRI"]}
    return grid, weights, market, pelmora.sweep(grid, weights, market, progress=False)


def _kill_later(pid: int | list[int], delay: float, when=lambda: True) -> None:
    """Kill ``pid`` (or the last of a list ``when`` fills) once ``when()`` holds, after ``delay``."""
    import signal
    import threading
    import time

    def kill() -> None:
        deadline = time.monotonic() + 60
        while not when() and time.monotonic() < deadline:
            time.sleep(0.002)
        time.sleep(delay)
        target = pid[-1] if isinstance(pid, list) else pid
        if target > 0:
            os.kill(target, signal.SIGKILL)

    threading.Thread(target=kill, daemon=True).start()


@pytest.mark.heavy
@pytest.mark.parametrize("moment, delay", [("scatter", 0.0), ("scatter", 0.06),
                                           ("first result", 0.0), ("first result", 0.03)])
def test_the_only_dask_worker_killed_leaves_a_complete_table(bigger, tmp_path, moment, delay):
    distributed = pytest.importorskip("distributed")
    grid, weights, market, expected = bigger
    store = tmp_path / "s.parquet"
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        (pid,) = client.run(os.getpid).values()
        if moment == "scatter":
            scatter = client.scatter

            def killing_scatter(*args, **kwargs):
                client.scatter = scatter  # the first one only
                _kill_later(pid, delay)
                return scatter(*args, **kwargs)

            client.scatter = killing_scatter
        else:
            _kill_later(pid, delay, when=lambda: any(store.glob("part-*.parquet")))
        frame = pelmora.sweep(grid, weights, market, backend="dask", client=client,
                              chunk_size=1, store=store, progress=False)
    ok = frame["error"].isna()
    assert frame["error"][~ok].str.startswith("RuntimeError: the chunk could not be run").all()
    pd.testing.assert_frame_equal(frame[ok], expected[ok.to_numpy()])
    assert frame.attrs["sweep"]["ran"] == len(expected) == len(pd.read_parquet(store))


@pytest.mark.heavy
def test_a_dask_cluster_without_workers_gives_error_rows(data, monkeypatch):
    distributed = pytest.importorskip("distributed")
    import pelmora.sweeps._backends as sweeps

    monkeypatch.setattr(sweeps, "_DASK_WAIT", 0.05)
    weights, market = data
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        client.retire_workers()
        frame = pelmora.sweep(GRID, weights, market, backend="dask", client=client,
                              progress=False)
    assert frame["error"].str.fullmatch(
        r"RuntimeError: the chunk could not be run on the Dask cluster in 4 attempts; "
        r"last: WorkerStartTimeoutError: Only 0/1 workers arrived .*"
    ).all()
    assert frame.attrs["sweep"]["failed"] == 4


@pytest.mark.heavy
def test_the_sweeps_own_dask_worker_killed_as_it_starts_leaves_a_complete_table(bigger):
    psutil = pytest.importorskip("psutil")
    grid, weights, market, expected = bigger
    me = psutil.Process()

    def worker() -> int:
        for child in me.children(recursive=True):
            with contextlib.suppress(psutil.Error):
                if "spawn_main" in " ".join(child.cmdline()):
                    return child.pid
        return 0

    pids: list[int] = []
    _kill_later(pids, 0.0, when=lambda: bool(pids.append(worker()) or pids[-1]))
    frame = pelmora.sweep(grid, weights, market, backend="dask", max_workers=1, progress=False)
    assert pids[-1]  # it was killed
    pd.testing.assert_frame_equal(frame, expected)
