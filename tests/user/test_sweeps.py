"""pelmora.sweep: a grid on threads, processes and Dask against direct calls; failures; the store
that serves rows only to the inputs they were run on, readable, with crash-safe parts."""

from __future__ import annotations

import os
import re

import numpy as np
import pandas as pd
import pytest

import pelmora
import pelmora.research.sweeps._plan
from pelmora.core import journal
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights
from pelmora.research.sweeps._fingerprint import digest

from markets import FLAT_DATES, FLAT_WEIGHTS, flat_market

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
    import pelmora.research.sweeps._chunk as sweeps

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


@pytest.mark.parametrize("keep", ["stats", "returns", "equity"])
def test_a_sweep_that_keeps_no_fills_holds_one_variants_output_at_a_time(data, direct, keep,
                                                                         monkeypatch):
    # A variant's fills and trades can outweigh the prices: a sweep that keeps none of them
    # gets the statistics' figures in their place (all but the first variant, which tells
    # what one weighs), holds one variant's output at a time, and its rows are the same.
    import weakref

    weights, market = data
    run_many, alive, most, columns = journal.run_many, [], [0], []

    def watched(*args, **kwargs):
        outputs = run_many(*args, **kwargs)
        alive.extend(weakref.ref(out["cash"]) for out in outputs)
        columns.extend(out["fills"] is not None for out in outputs)
        most[0] = max(most[0], sum(ref() is not None for ref in alive))
        return outputs

    monkeypatch.setattr(journal, "run_many", watched)
    frame = pelmora.sweep(GRID, weights, market, keep=keep, progress=False, max_workers=1,
                          chunk_size=4, **FIXED)
    # Each rebalance rule has arrays of its own: two chunks, each led by a variant with columns.
    assert columns == [True, False] * 2 and most[0] == 1
    assert frame["error"].isna().all()
    pd.testing.assert_frame_equal(frame[direct.columns], direct)


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
    # The call is killed while it writes its third part: two parts are whole, the third's
    # temporary file is half made (its writer stopped inside the write until it is killed).
    import signal
    import subprocess
    import sys
    import textwrap

    pq = pytest.importorskip("pyarrow.parquet")
    store = tmp_path / "sweep.parquet"
    grid = {"stop_loss": [0.02 + 0.01 * k for k in range(8)], "rebalance": ["ME", "W-FRI"]}
    script = textwrap.dedent(f"""
        import sys
        import pyarrow.parquet as pq
        import pelmora
        from pelmora.datasets import synthetic_market
        from pelmora.strategies import momentum_weights
        market = synthetic_market(n_stocks=20, n_days=260, seed=5)
        weights = momentum_weights(market.close, lookback=20, top_n=4)
        write_table, parts = pq.write_table, []

        def stopping_write(table, where, **kwargs):
            parts.append(where)
            if len(parts) == 3:
                print("writing", flush=True)
                sys.stdin.readline()  # until killed
            return write_table(table, where, **kwargs)

        pq.write_table = stopping_write
        pelmora.sweep({grid!r}, weights, market, store={str(store)!r}, chunk_size=1,
                      max_workers=1, progress=False)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "writing"
        assert len(list(store.glob("part-*.parquet"))) == 2
        assert len(list(store.glob(".part-*.parquet.tmp"))) == 1
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    assert len(pq.read_table(store).to_pylist()) == 2

    weights, market = data
    frame = pelmora.sweep(grid, weights, market, store=store, progress=False)
    assert frame.attrs["sweep"] == {"ran": 14, "failed": 0, "stored": 2}
    assert not list(store.glob(".*"))  # the killed call's temporary file is gone
    keys = pq.read_table(store).column("combination_key").to_pylist()
    assert len(keys) == len(set(keys)) == 16
    fresh = pelmora.sweep(grid, weights, market, progress=False)
    pd.testing.assert_frame_equal(frame, fresh)


def _die_on_first_chunk() -> None:
    import os

    import pelmora.research.sweeps._chunk as sweeps

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


def _killed_in_its_second_chunk() -> None:
    # Run on the worker: it is killed (SIGKILL, as from outside) in the middle of its second
    # chunk, after the first chunk's rows went back. Its nanny starts a fresh one without this.
    import signal

    import pelmora.research.sweeps._chunk as sweeps

    run_chunk, calls = sweeps._run_chunk, []

    def killed(*args, **kwargs):
        calls.append(1)
        if len(calls) == 2:
            os.kill(os.getpid(), signal.SIGKILL)
        return run_chunk(*args, **kwargs)

    sweeps._run_chunk = killed


def _killed_as_the_inputs_arrive(dask_worker) -> None:
    # Run on the worker: it is killed (SIGKILL) when the scattered inputs reach it, so that the
    # scatter fails. Its nanny starts a fresh one without this.
    import signal

    def dying(*args, **kwargs):
        os.kill(os.getpid(), signal.SIGKILL)

    dask_worker.handlers["update_data"] = dying


@pytest.fixture(scope="module")
def one_worker():
    """A client of a cluster of one worker process, which its nanny restarts when killed."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.mark.heavy
@pytest.mark.parametrize("moment", ["in the scatter", "after the scatter", "in the second chunk",
                                    "after the first result"])
def test_the_only_dask_worker_killed_leaves_a_complete_table(bigger, one_worker, tmp_path,
                                                             monkeypatch, moment):
    # The worker is killed at a moment the sweep itself reaches, never after a delay: as the
    # scattered inputs reach it, once they are on it, while it runs a chunk, and once the first
    # chunk's rows are in the store.
    import signal

    from pelmora.research.sweeps._store import _Store

    grid, weights, market, expected = bigger
    store = tmp_path / "s.parquet"
    client = one_worker
    client.wait_for_workers(1, timeout=60)  # the one an earlier test killed is back
    (pid,) = client.run(os.getpid).values()
    killed: list = []

    def kill() -> None:
        killed.append(pid)
        os.kill(pid, signal.SIGKILL)

    if moment == "after the scatter":
        scatter = client.scatter

        def killing_scatter(*args, **kwargs):
            monkeypatch.undo()  # the first scatter only
            out = scatter(*args, **kwargs)
            kill()
            return out

        monkeypatch.setattr(client, "scatter", killing_scatter)
    elif moment == "after the first result":
        write = _Store.write

        def killing_write(self, *args, **kwargs):
            write(self, *args, **kwargs)
            if not killed:
                kill()

        monkeypatch.setattr(_Store, "write", killing_write)
    elif moment == "in the second chunk":
        client.run(_killed_in_its_second_chunk)
    else:
        client.run(_killed_as_the_inputs_arrive)
    frame = pelmora.sweep(grid, weights, market, backend="dask", client=client, chunk_size=1,
                          store=store, progress=False)
    assert killed or list(client.run(os.getpid).values()) != [pid]  # killed, and replaced
    ok = frame["error"].isna()
    assert frame["error"][~ok].str.startswith("RuntimeError: the chunk could not be run").all()
    pd.testing.assert_frame_equal(frame[ok], expected[ok.to_numpy()])
    assert frame.attrs["sweep"]["ran"] == len(expected) == len(pd.read_parquet(store))


@pytest.mark.heavy
def test_a_dask_cluster_without_workers_gives_error_rows(data, monkeypatch):
    distributed = pytest.importorskip("distributed")
    import pelmora.research.sweeps._backends as sweeps

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
def test_the_sweeps_own_dask_worker_killed_as_it_starts_leaves_a_complete_table(bigger, tmp_path):
    # The first worker process the sweep's own cluster starts is killed (SIGKILL) while it
    # starts, by a preload that every worker runs on its way up: the first one only.
    dask = pytest.importorskip("dask")
    pytest.importorskip("distributed")
    grid, weights, market, expected = bigger
    marker = tmp_path / "killed"
    preload = tmp_path / "kill_the_first_worker.py"
    preload.write_text(
        "import os, signal, pathlib\n"
        f"marker = pathlib.Path({str(marker)!r})\n"
        "if not marker.exists():\n"
        "    marker.write_text(str(os.getpid()))\n"
        "    os.kill(os.getpid(), signal.SIGKILL)\n"
    )
    with dask.config.set({"distributed.worker.preload": [str(preload)]}):
        frame = pelmora.sweep(grid, weights, market, backend="dask", max_workers=1,
                              progress=False)
    assert marker.exists()  # it was killed
    pd.testing.assert_frame_equal(frame, expected)


# ------------------------------------------------------------------------- bad grids, failing runs


def test_an_empty_sweep_grid_value_is_named():
    with pytest.raises(ValueError, match=r"grid\['stop_loss'\] has no values"):
        pelmora.sweep({"stop_loss": []}, FLAT_WEIGHTS, flat_market(), progress=False)


def test_a_sweep_combination_whose_equity_overflows_is_an_error_row():
    rise = [1e-74, 1e-74, 1e74, 1e74, 1e74, 1e74, 1e74, 1e74]
    close = pd.DataFrame({"A": rise, "B": [1, 1] + rise[:6], "C": [1, 1, 1, 1] + rise[:4]},
                         index=FLAT_DATES)
    weights = pd.DataFrame(np.eye(3), index=FLAT_DATES[[0, 2, 4]], columns=["A", "B", "C"])
    table = pelmora.sweep({"fee": [0.0]}, weights, close, tax=0.0, progress=False)
    assert table["error"].iloc[0].startswith("ValueError: the equity is inf on 2024-01-05")


# --------------------------------------------------------------------------------------- the store


STORE_GRID = {"stop_loss": [None, 0.05], "rebalance": ["ME", "W-FRI"]}


@pytest.fixture(scope="module")
def store_data():
    pytest.importorskip("pyarrow")
    market = synthetic_market(n_stocks=12, n_days=200, seed=7)
    return momentum_weights(market.close, lookback=20, top_n=3), market


def stored_sweep(weights, prices, store=None, grid=STORE_GRID, **fixed):
    return pelmora.sweep(grid, weights, prices, store=store, progress=False, **fixed)


def _bumped_close(market):
    close = market.close.copy()
    close.iloc[150] *= 1.5
    return {"open": market.open, "high": market.high, "low": market.low, "close": close}


@pytest.mark.parametrize(
    "change",
    [
        lambda w, m: (w, m, {"fee": 0.0}),
        lambda w, m: (w * 0.5, m, {}),
        lambda w, m: (w.rename(index=lambda d: d + pd.Timedelta(days=1)), m, {}),
        lambda w, m: (w, _bumped_close(m), {}),
        lambda w, m: (w, m, {"delistings": {w.iloc[100].idxmax(): w.index[100]}}),
        lambda w, m: (w, m, {"calendar": "XNYS"}),
    ],
    ids=["fixed-fee", "weight-values", "weight-dates", "one-price", "delistings", "calendar"],
)
def test_rows_of_other_inputs_are_kept_but_never_served(store_data, tmp_path, change):
    weights, market = store_data
    store = tmp_path / "s.parquet"
    first = stored_sweep(weights, market, store)
    new_w, new_m, fixed = change(weights, market)
    if "calendar" in fixed:
        pytest.importorskip("exchange_calendars")
    again = stored_sweep(new_w, new_m, store, **fixed)
    assert again.attrs["sweep"] == {"ran": 4, "failed": 0, "stored": 0}
    pd.testing.assert_frame_equal(again, stored_sweep(new_w, new_m, **fixed))
    assert not again.drop(columns="error").equals(first.drop(columns="error"))
    held = pelmora.read_sweep(store)
    assert len(held) == 8 and held["inputs_fingerprint"].nunique() == 2
    # The same inputs again: everything from the store, the same table.
    same = stored_sweep(weights, market, store)
    assert same.attrs["sweep"]["stored"] == 4
    pd.testing.assert_frame_equal(same, first)


def test_rows_of_another_build_are_kept_but_never_served(store_data, tmp_path, monkeypatch):
    # The version string stays the same across builds that compute other figures; the build
    # id (a digest of the sources) tells them apart.
    assert re.fullmatch("[0-9a-f]{64}", journal.BUILD_ID)
    weights, market = store_data
    store = tmp_path / "s.parquet"
    first = stored_sweep(weights, market, store)
    monkeypatch.setattr(
        pelmora.research.sweeps._plan, "BUILD_ID", "another build of the same version"
    )
    again = stored_sweep(weights, market, store)
    assert again.attrs["sweep"] == {"ran": 4, "failed": 0, "stored": 0}
    assert pelmora.read_sweep(store)["inputs_fingerprint"].nunique() == 2
    monkeypatch.undo()
    assert stored_sweep(weights, market, store).attrs["sweep"]["stored"] == 4
    pd.testing.assert_frame_equal(again, first)


def test_a_part_the_store_did_not_write_is_left_out_with_a_warning(store_data, tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    weights, market = store_data
    store = tmp_path / "s.parquet"
    first = stored_sweep(weights, market, store)
    foreign = store / "part-x.parquet"  # another program's file, with the store's key column
    pq.write_table(pa.table({"combination_key": ["k"], "sharpe": [9.0]}), foreign)
    message = (
        f"store part {str(foreign)!r} was not written by a pelmora sweep store (its metadata "
        "has no 'pelmora_sweep_store': a file of another program or of an older pelmora); its "
        "rows are left out"
    )
    with pytest.warns(UserWarning) as caught:
        back = pelmora.read_sweep(store)
    assert [str(w.message) for w in caught] == [message]
    assert caught[0].filename == __file__
    assert len(back) == 4 and back["inputs_fingerprint"].notna().all()
    with pytest.warns(UserWarning) as caught:
        again = stored_sweep(weights, market, store)
    assert [(str(w.message), w.filename) for w in caught] == [(message, __file__)]
    assert foreign.exists()
    assert again.attrs["sweep"]["stored"] == 4
    pd.testing.assert_frame_equal(again, first)


def test_changing_one_strategy_reruns_that_strategy_only(store_data, tmp_path):
    weights, market = store_data
    store = tmp_path / "s.parquet"
    stored_sweep({"a": weights, "b": weights * 0.5}, market, store)
    table = stored_sweep({"a": weights, "b": weights * 0.25}, market, store)
    assert table.attrs["sweep"] == {"ran": 4, "failed": 0, "stored": 4}
    stored = pd.read_parquet(store)
    assert sorted(set(stored["weights"])) == ["a", "b"] and len(stored) == 12


def test_the_store_reads_back_as_the_sweep_table(store_data, tmp_path):
    weights, market = store_data
    store = tmp_path / "s.parquet"
    dates = list(weights.index[40::40])
    grid = {"stop_loss": [None, 0.05], "rebalance": ["ME", pd.offsets.QuarterEnd(), dates]}
    table = pelmora.sweep(grid, weights, market, store=store, progress=False, chunk_size=1)
    raw = pd.read_parquet(store)
    assert list(raw.columns[:3]) == ["stop_loss", "rebalance", "start"]
    assert {"error", "inputs_fingerprint", "combination_key"} <= set(raw.columns)
    assert raw["rebalance"].map(type).eq(str).all()  # a frequency, an offset, dates: as text
    back = pelmora.read_sweep(store)
    fingerprint = back.pop("inputs_fingerprint")
    assert fingerprint.nunique() == 1
    text = table["rebalance"].map(lambda v: v if isinstance(v, str) else repr(v))
    pd.testing.assert_frame_equal(back, table.assign(rebalance=text), check_dtype=False)
    assert back["stop_loss"].tolist() == table["stop_loss"].tolist()  # None stays None
    one = pelmora.read_sweep(store, fingerprint=fingerprint.iloc[0])
    pd.testing.assert_frame_equal(one.drop(columns="inputs_fingerprint"), back)
    with pytest.raises(ValueError, match="fingerprint 'nope' has no rows in store"):
        pelmora.read_sweep(store, fingerprint="nope")


@pytest.mark.parametrize("damage", [b"", b"garbage", None], ids=["emptied", "garbage", "torn"])
def test_an_unreadable_part_warns_and_its_rows_run_again(store_data, tmp_path, damage):
    fcntl = pytest.importorskip("fcntl")
    weights, market = store_data
    store = tmp_path / "s.parquet"
    fresh = stored_sweep(weights, market, store, max_workers=1, chunk_size=1)
    part = sorted(store.glob("part-*.parquet"))[0]
    body = part.read_bytes()
    part.write_bytes(body[: len(body) // 2] if damage is None else damage)
    stale = store / ".part-crashed.parquet.tmp"  # left by a call killed while it wrote
    (store / ".other.tmp").write_bytes(b"")
    stale.write_bytes(b"half a part")
    busy = store / ".part-busy.parquet.tmp"  # another call writing right now
    with open(busy, "wb") as writer, pytest.warns(UserWarning, match=part.name) as caught:
        fcntl.flock(writer.fileno(), fcntl.LOCK_EX)
        again = stored_sweep(weights, market, store)
        assert busy.exists()
    assert [w.filename for w in caught if part.name in str(w.message)] == [__file__]
    assert again.attrs["sweep"] == {"ran": 1, "failed": 0, "stored": 3}
    pd.testing.assert_frame_equal(again, fresh)
    assert not stale.exists() and not (store / ".other.tmp").exists()
    assert (store / f"_unreadable-{part.name}").exists()
    assert len(pd.read_parquet(store)) == 4  # the store reads as one table again
    os.unlink(busy)


def test_a_call_opening_the_store_keeps_the_part_another_call_is_writing(store_data, tmp_path,
                                                                          monkeypatch):
    # Two calls on one store: the first is stopped inside the write of its part (its temporary
    # file made, nothing in it yet) while the second opens the store, which removes the
    # temporary files crashed calls left, and writes its own part. The first call's file is
    # being written: it is kept, and the first call's row reaches the store.
    pytest.importorskip("fcntl")
    pq = pytest.importorskip("pyarrow.parquet")
    import threading

    weights, market = store_data
    store = tmp_path / "s.parquet"
    writing, second_done = threading.Event(), threading.Event()
    real_write = pq.write_table

    def write_table(table, where, **kwargs):
        if not writing.is_set():
            writing.set()
            assert second_done.wait(60)
        return real_write(table, where, **kwargs)

    monkeypatch.setattr(pq, "write_table", write_table)
    first: dict = {}

    def first_call() -> None:
        try:
            first["table"] = stored_sweep(weights, market, store, grid={"stop_loss": [0.05]})
        except BaseException as exc:  # noqa: BLE001 - reported below
            first["error"] = exc

    thread = threading.Thread(target=first_call)
    thread.start()
    try:
        assert writing.wait(60)
        assert len(list(store.glob(".part-*.parquet.tmp"))) == 1  # the first call's, empty
        second = stored_sweep(weights, market, store, grid={"stop_loss": [0.1]})
    finally:
        second_done.set()
        thread.join()
    assert "error" not in first, first.get("error")
    for table, stop in ((first["table"], 0.05), (second, 0.1)):
        assert table.attrs["sweep"] == {"ran": 1, "failed": 0, "stored": 0}
        pd.testing.assert_frame_equal(table, stored_sweep(weights, market, grid={"stop_loss": [stop]}))
    held = pelmora.read_sweep(store)
    assert sorted(held["stop_loss"]) == [0.05, 0.1] and held["error"].isna().all()
    assert not list(store.glob(".*"))


def test_a_part_is_synced_before_it_is_named(store_data, tmp_path, monkeypatch):
    weights, market = store_data
    events = []
    real_fsync, real_replace = os.fsync, os.replace
    monkeypatch.setattr(os, "fsync", lambda fd: (events.append("fsync"), real_fsync(fd))[1])
    monkeypatch.setattr(os, "replace", lambda a, b: (events.append("rename"), real_replace(a, b))[1])
    stored_sweep(weights, market, tmp_path / "s.parquet", grid={"stop_loss": [0.05]})
    assert events == ["fsync", "rename", "fsync"]  # the file, its name, the folder
    assert not list((tmp_path / "s.parquet").glob(".*"))


def _frame(values, columns=("a", "b"), start="2024-01-01"):
    index = pd.date_range(start, periods=len(values))
    return pd.DataFrame(np.asarray(values, dtype=float), index=index, columns=list(columns))


BASE = _frame([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]])


TALL = _frame([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [7.0, 8.0]])


@pytest.mark.parametrize(
    "left, right, same",
    [
        (BASE, BASE.copy(), True),
        (BASE, {"close": BASE}, False),
        (BASE, _frame([[1.0, 2.0], [3.0, 4.0], [5.0, 6.5]]), False),
        (BASE, _frame([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]], columns=("a", "c")), False),
        (BASE, _frame([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]], start="2024-01-02"), False),
        (BASE, BASE.tz_localize("UTC"), False),
        (BASE, BASE.astype({"a": "int64"}), False),
        (BASE, BASE.iloc[:, ::-1].set_axis(["a", "b"], axis=1), False),
        (BASE.set_axis([1, 2], axis=1), BASE.set_axis(["1", "2"], axis=1), False),
        (TALL.iloc[::2], TALL.iloc[1::2].set_axis(TALL.index[::2]), False),  # strided views
        ({"fee": 0.001, "rebalance": None}, {"fee": 0.001, "rebalance": "ME"}, False),
    ],
)
def test_fingerprints_tell_inputs_apart(left, right, same):
    assert (digest(left) == digest(right)) is same


_BIG = np.random.default_rng(3).random((1000, 1000))  # 8 MB
_BIG_DATES = pd.bdate_range("2000-01-03", periods=1000)


@pytest.mark.parametrize("make", [
    lambda: _BIG,
    lambda: np.asfortranarray(_BIG),
    lambda: _BIG.view("datetime64[ns]"),
    lambda: pd.DataFrame(_BIG, index=_BIG_DATES, columns=[f"S{i}" for i in range(1000)]),
    lambda: pd.Series(_BIG.ravel(), index=pd.date_range("2000-01-03", periods=10**6, freq="min")),
], ids=["C", "F", "dates", "frame", "series"])
def test_fingerprints_read_the_buffers_without_a_copy(make):
    # Every allocation of the digest is traced (NumPy reports its buffers to tracemalloc): far
    # less than the 8 MB of values, where a copy would take them all again. A strided view is
    # the one case that copies, and the tracing sees that copy.
    import tracemalloc

    def peak(value) -> int:
        digest(value)  # anything made once (a cached index) is made before the tracing
        tracemalloc.start()
        try:
            digest(value)
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    assert peak(make()) < _BIG.nbytes // 16
    assert peak(_BIG[:, ::2]) >= _BIG.nbytes // 2


def test_the_frames_of_a_sweep_are_fingerprinted_at_once(store_data, tmp_path, monkeypatch):
    # Each frame is hashed on a thread of its own: the first frame's digest waits until
    # another frame's digest has begun meanwhile, which a serial hashing never gets to.
    import threading

    import pelmora.research.sweeps._fingerprint as fingerprint
    import pelmora.research.sweeps._plan as plan

    weights, market = store_data
    monkeypatch.setattr(plan, "_cpus", lambda: 4)
    real_digest = fingerprint.digest
    frames: list = []
    another = threading.Event()
    met: list = []

    def digest_(value):
        if isinstance(value, pd.DataFrame):
            frames.append(threading.get_ident())
            if len(frames) == 1:
                met.append(another.wait(10))
            else:
                another.set()
        return real_digest(value)

    monkeypatch.setattr(fingerprint, "digest", digest_)
    stored_sweep(weights, market, tmp_path / "s.parquet", grid={"stop_loss": [0.05]})
    assert met == [True] and len(frames) == len(market) + 1  # the prices' and the weights'
    assert len(set(frames)) > 1 and threading.get_ident() not in frames
    # The first frame's digest finished last: the fingerprint does not depend on that order.
    monkeypatch.undo()
    stored_sweep(weights, market, tmp_path / "t.parquet", grid={"stop_loss": [0.05]})
    assert (pelmora.read_sweep(tmp_path / "s.parquet")["inputs_fingerprint"].tolist()
            == pelmora.read_sweep(tmp_path / "t.parquet")["inputs_fingerprint"].tolist())
