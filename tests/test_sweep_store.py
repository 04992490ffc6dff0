"""The sweep store: rows served only to the inputs they were run on, readable, crash-safe parts."""

from __future__ import annotations

import os

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.sweeps._fingerprint import digest
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights

pytest.importorskip("pyarrow")
fcntl = pytest.importorskip("fcntl")

GRID = {"stop_loss": [None, 0.05], "rebalance": ["ME", "W-FRI"]}


@pytest.fixture(scope="module")
def data():
    market = synthetic_market(n_stocks=12, n_days=200, seed=7)
    return momentum_weights(market.close, lookback=20, top_n=3), market


def run(weights, prices, store=None, grid=GRID, **fixed):
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
def test_rows_of_other_inputs_are_kept_but_never_served(data, tmp_path, change):
    weights, market = data
    store = tmp_path / "s.parquet"
    first = run(weights, market, store)
    new_w, new_m, fixed = change(weights, market)
    if "calendar" in fixed:
        pytest.importorskip("exchange_calendars")
    again = run(new_w, new_m, store, **fixed)
    assert again.attrs["sweep"] == {"ran": 4, "failed": 0, "stored": 0}
    pd.testing.assert_frame_equal(again, run(new_w, new_m, **fixed))
    assert not again.drop(columns="error").equals(first.drop(columns="error"))
    held = pelmora.read_sweep(store)
    assert len(held) == 8 and held["inputs_fingerprint"].nunique() == 2
    # The same inputs again: everything from the store, the same table.
    same = run(weights, market, store)
    assert same.attrs["sweep"]["stored"] == 4
    pd.testing.assert_frame_equal(same, first)


def test_changing_one_strategy_reruns_that_strategy_only(data, tmp_path):
    weights, market = data
    store = tmp_path / "s.parquet"
    run({"a": weights, "b": weights * 0.5}, market, store)
    table = run({"a": weights, "b": weights * 0.25}, market, store)
    assert table.attrs["sweep"] == {"ran": 4, "failed": 0, "stored": 4}
    stored = pd.read_parquet(store)
    assert sorted(set(stored["weights"])) == ["a", "b"] and len(stored) == 12


def test_the_store_reads_back_as_the_sweep_table(data, tmp_path):
    weights, market = data
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
def test_an_unreadable_part_warns_and_its_rows_run_again(data, tmp_path, damage):
    weights, market = data
    store = tmp_path / "s.parquet"
    fresh = run(weights, market, store, max_workers=1, chunk_size=1)
    part = sorted(store.glob("part-*.parquet"))[0]
    body = part.read_bytes()
    part.write_bytes(body[: len(body) // 2] if damage is None else damage)
    stale = store / ".part-crashed.parquet.tmp"  # left by a call killed while it wrote
    (store / ".other.tmp").write_bytes(b"")
    stale.write_bytes(b"half a part")
    busy = store / ".part-busy.parquet.tmp"  # another call writing right now
    with open(busy, "wb") as writer, pytest.warns(UserWarning, match=part.name) as caught:
        fcntl.flock(writer.fileno(), fcntl.LOCK_EX)
        again = run(weights, market, store)
        assert busy.exists()
    assert [w.filename for w in caught if part.name in str(w.message)] == [__file__]
    assert again.attrs["sweep"] == {"ran": 1, "failed": 0, "stored": 3}
    pd.testing.assert_frame_equal(again, fresh)
    assert not stale.exists() and not (store / ".other.tmp").exists()
    assert (store / f"_unreadable-{part.name}").exists()
    assert len(pd.read_parquet(store)) == 4  # the store reads as one table again
    os.unlink(busy)


def test_a_part_is_synced_before_it_is_named(data, tmp_path, monkeypatch):
    weights, market = data
    events = []
    real_fsync, real_replace = os.fsync, os.replace
    monkeypatch.setattr(os, "fsync", lambda fd: (events.append("fsync"), real_fsync(fd))[1])
    monkeypatch.setattr(os, "replace", lambda a, b: (events.append("rename"), real_replace(a, b))[1])
    run(weights, market, tmp_path / "s.parquet", grid={"stop_loss": [0.05]})
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
