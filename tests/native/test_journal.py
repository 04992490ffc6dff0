"""journal.run against backtest_, and the identities that tie its outputs together."""

import gc
import math
import os
import re
import pickle
import signal
import sys
import threading
from functools import partial

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora
from pelmora.core import _testsupport, journal, runvane, swaylen
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights
from run_helpers import build
from test_run_properties import any_run
from test_run_model import quiet_runs

ERRORS = (ValueError, TypeError, IndexError, ZeroDivisionError, OverflowError, MemoryError)
REASON = {name: i for i, name in enumerate(journal.REASONS)}


def bits(a) -> np.ndarray:
    # Every bit, the sign of zero included; but any NaN is the same NaN: which NaN operand's sign
    # survives an operation on two NaNs depends on the operand order the compiler picks for a
    # commutative operation (each build of the engine's loops may pick its own), and IEEE 754
    # leaves it unspecified.
    a = np.asarray(a, dtype=np.float64)
    return np.ascontiguousarray(np.where(np.isnan(a), np.nan, a)).view(np.int64)


def same_value(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, str):
        return a == b
    return bits(np.float64(a)).tobytes() == bits(np.float64(b)).tobytes()


def same_report(a: dict, b: dict) -> bool:
    if list(a) != list(b):
        return False
    for key in a:
        x, y = a[key], b[key]
        if isinstance(x, dict):
            if list(x) != list(y) or not all(same_value(x[k], y[k]) for k in x):
                return False
        elif x != y:
            return False
    return True


def outcome(fn):
    try:
        return fn(), None
    except ERRORS as e:
        return None, type(e)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@settings(max_examples=400)
@given(any_run())
def test_run_agrees_with_backtest_bit_for_bit(run):
    inp, opts = run
    expected, expected_error = outcome(lambda: runvane.backtest_(*inp.args(), **opts))
    if expected_error is None:
        trades = [[int(x) for x in t] for t in swaylen.trades]
        positions = list(swaylen.trade_positions)
        arrays = list(swaylen.swaylen)
        report = runvane.get_stock_operations()
    flags = (runvane.RETAIN_COST_WHEN_REBALANCE, runvane.RESAMPLE)
    got, error = outcome(lambda: journal.run(*inp.args(), **opts))
    assert error == expected_error
    # The journal leaves both modules' state as backtest_ left it.
    assert (runvane.RETAIN_COST_WHEN_REBALANCE, runvane.RESAMPLE) == flags
    if error is not None:
        return
    assert [[int(x) for x in t] for t in swaylen.trades] == trades
    assert np.array_equal(bits(got["creturn"]), bits(expected))
    t = got["trades"]
    assert np.column_stack([t["sid"], t["entry_row"], t["exit_row"]]).tolist() == trades
    assert np.array_equal(bits(t["position"]), bits(positions))
    assert got["excursions"].shape[0] == len(arrays)
    for row, arr in zip(got["excursions"], arrays):
        assert np.array_equal(bits(row), bits(arr))
    assert same_report(got["next_period"], report)


# --- identities on plausible markets -------------------------------------------------------

@st.composite
def market_run(draw, zero_closes=False):
    n_rows, n_cols = draw(st.integers(2, 12)), draw(st.integers(1, 4))
    price = st.one_of(st.floats(1.0, 50.0), st.just(math.nan))
    grid = lambda cell=price: np.array(draw(st.lists(  # noqa: E731
        st.lists(cell, min_size=n_cols, max_size=n_cols), min_size=n_rows, max_size=n_rows)))
    trade, close = grid(), grid(st.one_of(price, st.just(0.0)) if zero_closes else price)
    n_pos = draw(st.integers(1, 4))
    w = draw(st.lists(st.lists(st.sampled_from([0.0, 0.3, 0.5, -0.4, 1.0]), min_size=n_cols,
                               max_size=n_cols), min_size=n_pos, max_size=n_pos))
    pos_index = sorted(draw(st.lists(st.integers(0, n_rows - 1), min_size=n_pos, max_size=n_pos)))
    inp = build(trade, w, close=close, high=np.fmax(trade, close) * 1.05,
                low=np.fmin(trade, close) * 0.95, open=trade, pos_index=pos_index)
    distance = st.sampled_from([0.02, 0.05, 0.1, math.inf])
    opts = dict(fee_ratio=draw(st.sampled_from([0.0, 0.001425])),
                tax_ratio=draw(st.sampled_from([0.0, 0.003])), stop_loss=draw(distance),
                take_profit=draw(distance), trail_stop=draw(distance),
                touched_exit=draw(st.booleans()),
                retain_cost_when_rebalance=draw(st.booleans()),
                periodically_rebalance=draw(st.booleans()),
                stop_trading_next_period=draw(st.booleans()), swaylen_window=3,
                delisting_bars=draw(st.one_of(st.none(), st.just(
                    np.array(draw(st.lists(st.integers(-1, n_rows), min_size=n_cols,
                                           max_size=n_cols)), dtype=np.int64)))))
    return inp, opts


@given(market_run())
def test_cash_positions_and_pnl_reconcile_with_the_equity(case):
    inp, opts = case
    assert_reconciles(inp, journal.run(*inp.args(), **opts))


@pytest.mark.parametrize("n_rows, n_cols, hold", [(130, 12, 2), (60, 20, 1), (400, 30, 4)])
@pytest.mark.parametrize("views", [False, True])
def test_longer_runs_reconcile_with_the_equity_too(n_rows, n_cols, hold, views):
    # Fills and records past a few multiples of 64, where the journal streams its gathered
    # fills into the columns, and past the columns' growth.
    inp = big_market(n_rows, n_cols, seed=n_rows, hold=hold)
    r = journal.run(*inp.args(), fee_ratio=0.001, tax_ratio=0.002, stop_loss=0.05,
                    constant_views=views)
    assert len(r["fills"]["row"]) > 64
    assert_reconciles(inp, r)


def assert_reconciles(inp, r):
    creturn, cash, fills, pos = r["creturn"], r["cash"], r["fills"], r["positions"]
    # Cash replayed from the fills.
    replay = np.ones(len(creturn))
    c = 1.0
    k = 0
    for d in range(len(creturn)):
        while k < len(fills["row"]) and fills["row"][k] == d:
            c += (fills["before"][k] - fills["after"][k]) - (fills["fee"][k] + fills["tax"][k])
            k += 1
        replay[d] = c
    assert np.allclose(replay, cash, rtol=1e-12, atol=1e-12, equal_nan=True)
    # The close valuation is the cash plus the holdings, added in the book's order.
    for d in range(len(creturn)):
        total = cash[d]
        for v in pos["value"][pos["row"] == d]:
            total = total + v
        assert bits([total]) == bits([creturn[d]]) or (math.isnan(total) and math.isnan(creturn[d]))
    # Every fill's cost belongs to one trade, and the trades' pnl is the equity's.
    t = r["trades"]
    assert math.isclose(t["cost"].sum(), (fills["fee"] + fills["tax"]).sum(), abs_tol=1e-12)
    if not math.isnan(creturn[-1]):
        assert math.isclose(t["pnl"].sum(), creturn[-1] - 1, abs_tol=1e-12)
    closed = t["exit_row"] >= 0
    assert ((t["exit_reason"] >= 0) == closed).all()
    assert set(fills["reason"].tolist()) <= set(range(len(journal.REASONS)))
    # Each record points at the fills that opened and closed it.
    for key, row, reason in (("entry_fill", "entry_row", 0), ("exit_fill", "exit_row", None)):
        has = t[key] >= 0
        at = t[key][has]
        assert (fills["sid"][at] == t["sid"][has]).all() and (fills["row"][at] == t[row][has]).all()
        want = t["exit_reason"][has] if reason is None else reason
        assert (fills["reason"][at] == want).all()
    assert (t["exit_fill"][~closed] == -1).all()
    # A fill at the row's trade price, or while suspended at the last one known by then.
    col = inp.price_values
    for k in np.flatnonzero(fills["reason"] == REASON["rebalance"]):
        known = col[: fills["row"][k] + 1, fills["sid"][k]]
        known = known[~np.isnan(known)]
        assert fills["suspended"][k] == math.isnan(col[fills["row"][k], fills["sid"][k]])
        assert np.array_equal(fills["price"][k], known[-1] if len(known) else math.nan,
                              equal_nan=True)


# --- reasons and prices of exits -----------------------------------------------------------

@pytest.mark.parametrize("touched, reason, price", [
    (False, "stop_loss", 8.0),         # signalled at the close of row 2, sold at row 3's price
    (True, "stop_loss", 9.0),          # sold intraday where the 10 % stop was crossed
])
def test_a_stop_of_stock_0_is_labelled_a_stop(touched, reason, price):
    inp = build([[10.0, 10.0], [10.0, 10.0], [9.5, 10.0], [8.0, 10.0], [8.0, 10.0]],
                [[0.5, 0.5]], low=[[10.0, 10.0], [10.0, 10.0], [8.5, 10.0], [8.0, 10.0],
                                  [8.0, 10.0]], close=[[10.0, 10.0], [10.0, 10.0],
                                                       [8.5, 10.0], [8.0, 10.0], [8.0, 10.0]])
    r = journal.run(*inp.args(), fee_ratio=0.0, tax_ratio=0.0, stop_loss=0.1,
                    touched_exit=touched)
    f = r["fills"]
    exits = np.flatnonzero(f["after"] == 0.0)
    assert f["sid"][exits].tolist() == [0]
    assert journal.REASONS[f["reason"][exits[0]]] == reason
    assert f["price"][exits[0]] == pytest.approx(price)
    assert journal.REASONS[r["trades"]["exit_reason"][0]] == reason


def test_trailing_stop_and_delisting_reasons():
    price = [[10.0, 10.0], [10.0, 10.0], [12.0, 10.0], [10.5, 10.0], [10.5, 10.0], [10.5, 10.0]]
    inp = build(price, [[0.5, 0.5]])
    r = journal.run(*inp.args(), fee_ratio=0.0, tax_ratio=0.0, trail_stop=0.1,
                    delisting_bars=np.array([-1, 4], dtype=np.int64))
    reasons = {int(s): journal.REASONS[x] for s, x, a in
               zip(r["fills"]["sid"], r["fills"]["reason"], r["fills"]["after"]) if a == 0.0}
    assert reasons == {0: "trailing_stop", 1: "delisting"}


# --- switches, threads and failures --------------------------------------------------------

def test_outputs_switched_off():
    inp = build([[10.0, 11.0]] * 4, [[0.5, 0.25]])
    r = journal.run(*inp.args(), positions=False, excursions=False)
    assert r["positions"] is None and r["excursions"] is None
    assert len(r["trades"]["sid"]) == 2


@settings(max_examples=150)
@given(st.booleans().flatmap(market_run), st.integers(-1, 6), st.integers(0, 3))
def test_the_summary_switch_keeps_the_last_block_of_every_array(case, window, step):
    # The summary is computed without the rows past its position, but they are still read for
    # their failures (a zero close): the two switches fail alike.
    inp, opts = case
    opts = dict(opts, swaylen_window=window, swaylen_window_step=step)
    full, error = outcome(lambda: journal.run(*inp.args(), **opts))
    summary, summary_error = outcome(lambda: journal.run(*inp.args(), excursions="summary", **opts))
    assert error is summary_error
    if error is None:
        assert summary["excursions"] is None and full["excursion_summary"] is None
        width = min(6, full["excursions"].shape[1])
        assert np.array_equal(bits(summary["excursion_summary"]), bits(full["excursions"][:, -width:]))
        assert np.array_equal(bits(summary["creturn"]), bits(full["creturn"]))


@pytest.mark.parametrize("hold, stop", [(20, 0.05), (700, 1.0)])  # trades of hundreds of rows too
def test_the_summary_switch_on_a_run_large_enough_for_a_helper_thread(hold, stop):
    inp = big_market(3000, 100, seed=3, hold=hold)
    opts = dict(stop_loss=stop, swaylen_window=30, swaylen_window_step=4)
    full = journal.run(*inp.args(), **opts)
    for got in (journal.run(*inp.args(), excursions="summary", **opts),
                journal.run_many(inp.kwargs(), [opts], excursions="summary")[0]):
        assert np.array_equal(bits(got["excursion_summary"]), bits(full["excursions"][:, -6:]))
    with pytest.raises(ValueError, match='excursions must be True, False or "summary", got \'paths\''):
        journal.run(*inp.args(), excursions="paths")


ACCOUNT_COLUMNS = ("slippage", "impact", "written_off", "shares", "requested")


@settings(max_examples=60)
@given(st.booleans().flatmap(market_run), st.sampled_from([{}, {"slippage": 0.01},
                                                           {"capital": 1e5}]))
def test_constant_views_hold_what_the_run_writes_otherwise(case, account):
    # A unit portfolio's account columns hold one value each: asked for, they come as read-only
    # views of it (nothing written); an account's are the columns it recorded, as without.
    inp, opts = case
    written, error = outcome(lambda: journal.run(*inp.args(), **opts, **account))
    views, views_error = outcome(lambda: journal.run(*inp.args(), **opts, **account,
                                                     constant_views=True))
    assert error is views_error
    if error is not None:
        return
    for name, column in written["fills"].items():
        assert np.array_equal(bits(views["fills"][name]), bits(column)), name
    assert np.array_equal(bits(views["creturn"]), bits(written["creturn"]))
    unit = not account
    for name in ACCOUNT_COLUMNS:
        view = views["fills"][name]
        assert view.flags.writeable is not unit
        assert not unit or len(view) < 2 or view.strides == (0,)


def test_argument_errors_name_run():
    inp = build([[10.0]] * 3, [[1.0]])
    with pytest.raises(TypeError, match=r"^run\(\) got an unexpected keyword argument 'bogus'$"):
        journal.run(*inp.args(), bogus=1)
    with pytest.raises(TypeError, match=r"^run\(\) takes at most 25 positional arguments"):
        journal.run(*inp.args(), *([0.0] * 15))


def test_the_next_period_orders_still_read_under_their_old_key_with_a_warning():
    inp = build([[10.0, 11.0]] * 4, [[0.5, 0.25]])
    out = journal.run(*inp.args())
    orders = out["next_period"]
    for read in (lambda o: o["report"], lambda o: o.get("report")):
        with pytest.warns(DeprecationWarning, match="'report' is renamed 'next_period'"):
            assert read(out) is orders
    # The old key is not stored: the output is a plain dict in all but that read.
    assert "report" not in out and out == dict(out) and out.get("bogus", 1) == 1
    with pytest.raises(KeyError, match="bogus"):
        out["bogus"]
    many = journal.run_many(inp.kwargs(), [{}])[0]
    back = pickle.loads(pickle.dumps(many))
    assert type(back) is type(out) is journal.RunOutput and list(back) == list(out)
    with pytest.warns(DeprecationWarning):
        assert back["report"] == orders


def big_market(n_rows=3000, n_cols=400, seed=1, hold=20):
    rng = np.random.default_rng(seed)
    price = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (n_rows, n_cols)), axis=0))
    w = (rng.random((n_rows // hold, n_cols)) < 0.1).astype(float)
    pos_index = np.arange(0, n_rows, hold, dtype=np.int64)[: len(w)]
    return build(price, w, pos_index=pos_index)


class _Reads(str):
    """A stock label whose text, formatted into a run's error, is what another thread wrote.

    Its format is C code only (no interpreter step, so no moment for another thread to take
    the lock): a dict's get of the entry "other", the format string ("") when there is none."""

    seen: dict = {}
    __format__ = staticmethod(partial(dict.get, seen, "other"))


def test_the_interpreter_keeps_running_while_a_run_works():
    # Another thread runs Python code while a run works: released as the run starts, it writes
    # an entry that the run reads back when it fails on its last row, naming the stock there.
    # Holding the interpreter lock, the run would fail before the thread could write anything.
    # A run so short that the thread has not woken yet is made longer, until the thread is
    # seen or the run is far longer than a thread takes to wake. The switch interval is long
    # enough that the waiting thread never asks for the lock: it changes hands only where the
    # main thread gives it away.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(30.0)
    try:
        n_rows = _rows_until_another_thread_runs(journal.run)
    finally:
        sys.setswitchinterval(interval)
    assert n_rows is not None, "no other thread ran Python code during runs of up to 128,000 rows"


def _rows_until_another_thread_runs(run):
    rng = np.random.default_rng(1)
    labels = [_Reads("S0")] + [f"S{i}" for i in range(1, 8)]
    message = "Invalid trading price for {} at price row {}: -1.0."
    for n_rows in (250 * 2**k for k in range(10)):
        price = 10 * np.exp(np.cumsum(rng.normal(0, 0.01, (n_rows, 8)), axis=0))
        price[-1, 0] = -1.0  # held from the start: its trade price is checked on the last row
        inp = build(price, np.full((n_rows // 20, 8), 0.125), price_columns=labels,
                    pos_index=np.arange(0, n_rows, 20)[: n_rows // 20])
        _Reads.seen.clear()
        go = threading.Event()
        other = threading.Thread(target=lambda: go.wait() and _Reads.seen.update(other="S0"))
        other.start()
        go.set()
        try:
            with pytest.raises(ValueError) as info:
                run(*inp.args(), stop_loss=0.9, swaylen_window=20)
        finally:
            other.join()
        if str(info.value).startswith(message.format("S0", n_rows - 1)):
            return n_rows
        assert str(info.value).startswith(message.format("", n_rows - 1))
    return None


def test_a_run_in_the_memory_a_larger_run_gave_back_records_the_same():
    # Once outputs die their mappings wait in a pool, and the next run's columns start in them:
    # what a column holds must be what the run wrote, never what the earlier run left there.
    small = big_market(300, 50, seed=2)
    first = journal.run(*small.args(), stop_loss=0.05, swaylen_window=20)
    big = journal.run(*big_market().args(), stop_loss=0.02, swaylen_window=20)
    del big
    again = journal.run(*small.args(), stop_loss=0.05, swaylen_window=20)
    for key in ("fills", "trades", "positions"):
        for col in first[key]:
            assert np.array_equal(again[key][col], first[key][col], equal_nan=True), (key, col)
    for key in ("creturn", "cash", "excursions"):
        assert np.array_equal(bits(again[key]), bits(first[key])), key


def emptied_pool() -> None:
    """No output of an earlier test waits in the pool."""
    gc.collect()
    journal.release_memory()
    assert journal._pooled_bytes() == 0


def test_release_memory_empties_the_pool_and_returns_what_it_held():
    emptied_pool()
    r = journal.run(*big_market().args(), swaylen_window=20)
    kept = r["creturn"]  # an output still alive is not the pool's
    del r
    held = journal._pooled_bytes()
    assert held > 0
    assert journal.release_memory() == held
    assert journal._pooled_bytes() == 0 and journal.release_memory() == 0
    assert np.isfinite(kept).all()


def test_memory_no_run_took_through_four_runs_goes_back_when_the_next_starts():
    emptied_pool()
    journal.run(*big_market().args(), swaylen_window=20)  # dies at once: to the pool
    big = journal._pooled_bytes()
    small = build([[10.0]] * 3, [1.0])  # its columns stay in malloc's memory
    for _ in range(4):
        journal.run(*small.args())
        assert journal._pooled_bytes() == big
    journal.run(*small.args())
    assert journal._pooled_bytes() == 0


def test_columns_under_a_huge_page_hold_only_the_pages_they_use():
    # A column of a few hundred kilobytes in a mapping of a whole huge page keeps all 2 MiB
    # resident once touched: a sweep's variants hold a score of such columns each.
    emptied_pool()
    out = journal.run(*big_market(1500, 400).args(), stop_loss=0.05, swaylen_window=20)
    arrays = [a for part in out.values() for a in (part.values() if isinstance(part, dict) else [part])
              if isinstance(a, np.ndarray)]
    sizes = [a.nbytes for a in arrays]
    assert any(128 << 10 <= n < 2 << 20 for n in sizes)  # the market makes such columns
    used = sum(-(-n // 4096) * 4096 for n in sizes)
    del out, arrays
    gc.collect()
    assert 0 < journal._pooled_bytes() <= used


def test_a_loop_of_run_many_keeps_its_pool_at_what_one_call_uses():
    emptied_pool()
    inp = big_market(2000, 200)
    variants = [dict(stop_loss=s, swaylen_window=20) for s in (0.03, 0.05, 0.1)]
    levels = []
    for _ in range(10):
        journal.run_many(inp.kwargs(), variants, threads=2)
        levels.append(journal._pooled_bytes())
    # Mappings are sized to the page, so which variant's column takes which mapping may move
    # the level a little over the first calls (threads finish in any order); it never grows
    # by a call's worth.
    assert levels[0] > 0 and max(levels) <= 1.5 * levels[0]


def test_columns_that_outgrow_their_memory_keep_every_record():
    # A daily rotation makes hundreds of thousands of fills: the columns move to larger
    # mappings as they grow, and every record must come along (each trade finds its fills).
    rng = np.random.default_rng(7)
    n_rows, n_cols = 1500, 300
    price = 10 * np.exp(np.cumsum(rng.normal(0, 0.01, (n_rows, n_cols)), axis=0))
    w = np.zeros((n_rows, n_cols))
    for row in w:
        row[rng.choice(n_cols, 100, replace=False)] = 0.01
    r = journal.run(*build(price, w, pos_index=np.arange(n_rows, dtype=np.int64)).args(),
                    swaylen_window=5)
    fills, trades = r["fills"], r["trades"]
    assert len(fills["row"]) > 200_000 and np.all(np.diff(fills["row"]) >= 0)
    for side in ("entry", "exit"):
        at = trades[f"{side}_fill"]
        made = at >= 0
        assert np.array_equal(fills["sid"][at[made]], trades["sid"][made])
        assert np.array_equal(fills["row"][at[made]], trades[f"{side}_row"][made])
    assert math.isclose(float(np.sum(trades["pnl"])), r["creturn"][-1] - 1.0, rel_tol=1e-9)


def test_run_many_matches_sequential_runs_and_keeps_failures_in_their_slot():
    inp = big_market(600, 60)
    arrays = inp.kwargs()
    variants = [dict(stop_loss=s, touched_exit=t) for s in (0.03, 0.1) for t in (False, True)]
    variants.insert(2, dict(swaylen_window_step=0, swaylen_window=5))   # fails at its first exit
    variants.append(dict(pos_values=inp.pos_values[::-1].copy()))
    variants.append(dict(bogus=1))
    results = journal.run_many(arrays, variants, threads=2)
    assert len(results) == len(variants)
    assert isinstance(results[2], ZeroDivisionError)
    assert isinstance(results[-1], TypeError) and "bogus" in str(results[-1])
    for v, r in zip(variants, results):
        if isinstance(r, Exception):
            continue
        options = {k: x for k, x in v.items() if k != "pos_values"}
        args = dict(arrays, **({"pos_values": v["pos_values"]} if "pos_values" in v else {}))
        expected = journal.run(**args, **options)
        assert np.array_equal(bits(r["creturn"]), bits(expected["creturn"]))
        for key in ("fills", "trades", "positions"):
            for col in expected[key]:
                assert np.array_equal(r[key][col], expected[key][col], equal_nan=True)
        assert np.array_equal(bits(r["excursions"]), bits(expected["excursions"]))


@pytest.mark.parametrize("zero_close", [None, 1500, 2990])
def test_a_large_run_computes_its_excursions_aside_with_the_same_results(zero_close):
    # Large enough for journal.run to hand its excursion arrays to a helper
    # thread; run_many computes them inline. A zero close fails a trade's
    # excursion at its exit, in both ways and in backtest_: in a batch the
    # helper took, or among the last trades, which the run computes itself.
    inp = big_market(3000, 100, seed=3)
    if zero_close:
        inp.close_values[zero_close:zero_close + 3, :] = 0.0
    opts = dict(stop_loss=0.05, take_profit=0.1, swaylen_window=30, swaylen_window_step=4)
    if zero_close:
        for fn in (runvane.backtest_, journal.run, partial(journal.run, excursions="summary")):
            with pytest.raises(ZeroDivisionError, match="^float division$"):
                fn(*inp.args(), **opts)
        assert isinstance(journal.run_many(inp.kwargs(), [opts])[0], ZeroDivisionError)
        return
    aside = journal.run(*inp.args(), **opts)
    inline = journal.run_many(inp.kwargs(), [opts], threads=1)[0]
    runvane.backtest_(*inp.args(), **opts)
    assert np.array_equal(bits(aside["excursions"]), bits(inline["excursions"]))
    assert np.array_equal(bits(aside["excursions"]), bits(np.array(list(swaylen.swaylen))))


@pytest.mark.parametrize("entry", ["run", "run_many"])
def test_a_caller_that_checked_the_closes_spares_the_summaries_the_rows_past_their_exit(entry):
    # Two trades, out by row 5; their windows of 10 reach row 8, whose close of 0 a summary
    # reads only to fail on (the next close divides by it). With the closes checked the run
    # skips those rows: the same summaries as with a positive close there, and no error.
    price = [10.0, 11.0, 9.0, 12.0, 12.5, 13.0, 12.0, 11.0, 11.5, 12.0, 12.5, 13.0]
    close = list(price)
    close[8] = 0.0
    inp = build(price, [[1.0], [1.0], [0.0]], close=[[c] for c in close], pos_index=[0, 3, 4])
    opts = dict(swaylen_window=10, positions=False, excursions="summary")

    def summary(inputs, checked):
        if entry == "run":
            return journal.run(*inputs.args(), **opts, closes_checked=checked)
        out = journal.run_many(inputs.kwargs(), [{"swaylen_window": 10}], positions=False,
                               excursions="summary", closes_checked=checked)[0]
        if isinstance(out, Exception):
            raise out
        return out

    with pytest.raises(ZeroDivisionError, match="^float division$"):
        summary(inp, False)
    positive = build(price, [[1.0], [1.0], [0.0]], pos_index=[0, 3, 4])
    got, expected = summary(inp, True), summary(positive, False)
    assert np.array_equal(got["trades"]["exit_row"], [4, 5])
    assert np.array_equal(bits(got["excursion_summary"]), bits(expected["excursion_summary"]))


@pytest.mark.parametrize("arrays, variants, error, text", [
    ([], [], TypeError, "argument 'arrays' must be a dict"),
    ({}, [], TypeError, "is missing 'price_values'"),
    ({"fee_ratio": 0.1}, [], TypeError, "unexpected key 'fee_ratio'"),
    (None, 5, TypeError, "^run_many\\(\\) argument 'variants' must be an iterable of dicts, not int$"),
])
def test_run_many_refuses_malformed_arrays(arrays, variants, error, text):
    if arrays is None:
        arrays = build([[10.0]] * 3, [[1.0]]).kwargs()
    with pytest.raises(error, match=text):
        journal.run_many(arrays, variants)


@pytest.mark.parametrize("threads, error, text", [
    (0, ValueError, "^threads must be at least 1, got 0$"),
    (True, TypeError, "^threads must be an int or None, not bool$"),
])
def test_run_many_threads_must_be_a_positive_int(threads, error, text):
    inp = build([[10.0]] * 3, [[1.0]])
    with pytest.raises(error, match=text):
        journal.run_many(inp.kwargs(), [{}], threads=threads)


@pytest.mark.parametrize("name", ["price_columns", "pos_columns"])
def test_more_labels_than_a_run_can_index_are_refused_at_once(name):
    arrays = build([[10.0]] * 3, [[1.0]]).kwargs()
    arrays[name] = np.broadcast_to(np.array(["S0"], dtype=object), 2**31 + 7)
    text = f"^{name} has 2147483655 labels; a run indexes at most 2147483647 stocks$"
    with pytest.raises(OverflowError, match=text):
        journal.run_many(arrays, [{}])
    with pytest.raises(OverflowError, match=text):
        journal.run(**arrays)


class Interrupts:
    """An option whose conversion is interrupted: by SIGINT, by a signal whose handler raises
    LookupError, or by SystemExit."""

    def __init__(self, how):
        self.how = how

    def __float__(self):
        if self.how == "exit":
            raise SystemExit(3)
        os.kill(os.getpid(), signal.SIGINT if self.how == "sigint" else signal.SIGUSR1)
        for _ in range(10000):  # the main thread runs the handler between two instructions
            pass
        return 0.0


def _handler(signum, frame):
    raise LookupError("raised by a signal handler")


@pytest.mark.parametrize("how, error", [("sigint", KeyboardInterrupt), ("sigusr1", LookupError),
                                        ("exit", SystemExit)])
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("batch", [1, None, (6, 16)])
def test_an_interrupt_during_run_many_leaves_the_call_and_no_slot(how, error, threads, batch):
    # A process started in the background ignores SIGINT: Python's own handler is put back.
    previous = [signal.signal(signal.SIGUSR1, _handler),
                signal.signal(signal.SIGINT, signal.default_int_handler)]
    arrays = big_market(200, 20).kwargs()
    variants = [{"stop_loss": 0.05}, {"fee_ratio": Interrupts(how)}, {"stop_loss": 0.1}] * 2
    try:
        with pytest.raises(error):
            journal.run_many(arrays, variants, threads=threads, batch=batch)
    finally:
        signal.signal(signal.SIGUSR1, previous[0])
        signal.signal(signal.SIGINT, previous[1])
    # An ordinary failure of the same conversion stays in its slot.
    failing = {"fee_ratio": type("Raises", (), {"__float__": lambda self: 1 / 0})()}
    assert isinstance(journal.run_many(arrays, [failing], threads=threads, batch=batch)[0],
                      ZeroDivisionError)


# --- money figures of fills and trades -----------------------------------------------------

def test_fees_taxes_and_the_round_trip_of_one_trade():
    inp = build([[10.0], [10.0], [12.0], [12.0]], [[1.0], [0.0]], pos_index=[0, 1])
    fee, tax = 0.001425, 0.003
    r = journal.run(*inp.args(), fee_ratio=fee, tax_ratio=tax)
    f, t = r["fills"], r["trades"]
    entry, exit_ = 0, 1
    assert f["before"][entry] == 0.0 and f["tax"][entry] == 0.0
    assert f["fee"][entry] == pytest.approx(1.0 * fee) and f["after"][entry] == pytest.approx(1 - fee)
    assert f["after"][exit_] == 0.0 and f["fee"][exit_] + f["tax"][exit_] == pytest.approx(
        f["before"][exit_] * (fee + tax), rel=1e-15)
    assert f["tax"][exit_] == pytest.approx(f["before"][exit_] * tax)
    assert t["cost"][0] == f["fee"].sum() + f["tax"].sum()
    assert t["entry_value"][0] == f["after"][entry] and t["exit_value"][0] == f["before"][exit_]
    assert t["pnl"][0] == pytest.approx(t["exit_value"][0] - t["entry_value"][0] - t["cost"][0])
    assert t["pnl"][0] == pytest.approx(r["creturn"][-1] - 1, abs=1e-15)
    assert journal.REASONS[t["exit_reason"][0]] == "rebalance"


@pytest.mark.parametrize("split", [True, False])
def test_a_resize_splits_the_record_or_stays_in_it(split):
    # Weight 1.0, then 0.5: a resize of the held stock at the second rebalance.
    inp = build([[10.0], [11.0], [12.0], [13.0]], [[1.0], [0.5]], pos_index=[0, 1])
    r = journal.run(*inp.args(), fee_ratio=0.001, tax_ratio=0.002, periodically_rebalance=split)
    t, f = r["trades"], r["fills"]
    assert len(f["row"]) == 2 and len(t["sid"]) == (2 if split else 1)
    if split:
        # The old record ends at the resize's value before, the new one starts at its value after
        # and pays for the fill that made it.
        assert t["exit_row"].tolist() == [2, -1]
        assert t["exit_value"][0] == f["before"][1] and t["entry_value"][1] == f["after"][1]
        assert t["cost"][1] == f["fee"][1] + f["tax"][1]
    assert t["pnl"].sum() == pytest.approx(r["creturn"][-1] - 1, abs=1e-14)


def test_open_trades_are_valued_at_the_last_close_and_suspended_fills_at_the_last_price():
    price = [[10.0, 10.0], [10.0, math.nan], [11.0, math.nan], [12.0, 13.0]]
    inp = build(price, [[0.5, 0.5], [0.5, 0.0]], pos_index=[0, 1])
    r = journal.run(*inp.args(), fee_ratio=0.0, tax_ratio=0.0)
    f, t, pos = r["fills"], r["trades"], r["positions"]
    # Stock 1 is bought and sold while suspended, both at its last known price.
    assert f["suspended"].tolist() == (f["sid"] == 1).tolist()
    assert f["price"][f["suspended"]].tolist() == [10.0, 10.0]
    last = pos["row"] == len(price) - 1
    held = dict(zip(pos["sid"][last].tolist(), pos["value"][last].tolist()))
    open_ = t["exit_row"] == -1
    assert dict(zip(t["sid"][open_].tolist(), t["exit_value"][open_].tolist())) == held


def test_a_stock_bought_while_suspended_fills_at_its_last_price_before_the_fill():
    dates = pd.bdate_range("2024-01-01", periods=5)
    # A is suspended on the day it is bought (last price 50) and next trades at 60.
    close = pd.DataFrame({"A": [50.0, math.nan, math.nan, 60.0, 66.0], "B": 10.0}, index=dates)
    weights = pd.DataFrame({"A": [1.0, 0.0]}, index=dates[[0, 3]])
    result = pelmora.backtest(weights, close, fee=0.0, tax=0.0)
    fills, trade = result.fills, result.trades.iloc[0]
    assert fills[["date", "price", "suspended"]].values.tolist() == [
        [dates[1], 50.0, True], [dates[4], 66.0, False]]
    assert (trade["entry_price"], trade["exit_price"]) == (50.0, 66.0)
    # Its value waits for the first price after the fill and follows it from there: +10 %.
    assert trade["return"] == pytest.approx(0.1, rel=1e-14)


def test_trade_prices_are_the_prices_of_their_fills():
    market = synthetic_market(n_stocks=30, n_days=400, seed=5)
    weights = momentum_weights(market.close, lookback=20, top_n=8)
    result = pelmora.backtest(weights, market, rebalance="W-FRI", stop_loss=0.05,
                              intraday_stops=True, delistings=market.delistings)
    t, prices = result.record.trades, result.fills["price"].to_numpy()
    assert result.fills["suspended"].any()
    for key, column in (("entry_fill", "entry_price"), ("exit_fill", "exit_price")):
        has = t[key] >= 0
        assert has.any() and (t[key][~has] == -1).all()
        assert np.array_equal(result.trades[column].to_numpy()[has], prices[t[key][has]],
                              equal_nan=True)


# --- run_many and the switches agree with single runs --------------------------------------

@settings(max_examples=60)
@given(market_run(), st.sampled_from([0.02, 0.1, math.inf]))
def test_run_many_and_the_switches_change_nothing_else(case, other_stop):
    inp, opts = case
    full = journal.run(*inp.args(), **opts)
    lean = journal.run(*inp.args(), **opts, positions=False, excursions=False)
    variants = [opts, dict(opts, stop_loss=other_stop)]
    many = journal.run_many(inp.kwargs(), variants, threads=2)
    singles = [full, journal.run(*inp.args(), **variants[1])]
    for got, want in [(lean, full)] + list(zip(many, singles)):
        assert np.array_equal(bits(got["creturn"]), bits(want["creturn"]))
        assert np.array_equal(bits(got["cash"]), bits(want["cash"]))
        for key in ("fills", "trades"):
            for col in want[key]:
                assert np.array_equal(got[key][col], want[key][col], equal_nan=True), (key, col)
        assert same_report(got["next_period"], want["next_period"])
    assert np.array_equal(bits(many[0]["excursions"]), bits(full["excursions"]))


# ------------------------------------------------------------------ the benchmarks' touch limit


@pytest.mark.parametrize("ahead", [0, 1, 64])
def test_touch_reads_exactly_the_cells_it_is_given(ahead):
    rng = np.random.default_rng(4)
    a, b = rng.normal(size=(50, 30)), rng.normal(size=(50, 30))[:, ::-1]  # one strided view
    rows, cols = rng.integers(0, 50, 500), rng.integers(0, 30, 500)
    got = _testsupport.touch(rows, cols, (a, b), ahead=ahead)
    assert got == pytest.approx(float(a[rows, cols].sum() + b[rows, cols].sum()), rel=1e-12)


@pytest.mark.parametrize(
    "rows, cols, error, message",
    [
        ([0, 50], [0, 0], IndexError, "cell 1 is outside a matrix"),
        ([0], [-1], IndexError, "cell 0 is outside a matrix"),
        ([0, 1], [0], ValueError, "rows and cols differ in length"),
    ],
)
def test_touch_refuses_cells_outside_its_matrices(rows, cols, error, message):
    m = np.zeros((50, 30))
    with pytest.raises(error, match=message):
        _testsupport.touch(np.array(rows), np.array(cols), (m,))


@given(quiet_runs())
def test_stretches_between_rebalances_keep_every_output_of_the_row_walk(case):
    # A long-only book no rule can exit is walked a stretch of rows at a time; with the positions
    # switched on, off, or the cash financed (which walks row by row), every common output agrees.
    inp, opts = case
    runs = [outcome(lambda: journal.run(*inp.args(), **opts, positions=p)) for p in (True, False)]
    assert runs[0][1] == runs[1][1]
    if runs[0][1] is not None:
        return
    (full, _), (lean, _) = runs
    for key in ("creturn", "cash"):
        assert np.array_equal(bits(full[key]), bits(lean[key]))
    for table in ("fills", "trades"):
        for column, values in full[table].items():
            assert np.array_equal(values, lean[table][column], equal_nan=True), (table, column)
    pos = full["positions"]
    for d in range(len(full["creturn"])):
        if inp.price_index[d] < inp.pos_index[0]:
            # A row dated before the first weights (dates that go back) reads an equity of 1.0
            # whatever the book holds; its cash is the book's and its holdings are not marked.
            assert full["creturn"][d] == 1.0 and not (pos["row"] == d).any()
            continue
        total = full["cash"][d]
        for v in pos["value"][pos["row"] == d]:
            total = total + v
        # Which of two NaNs a sum keeps is its compiler's choice, here NumPy's: NaN is NaN.
        assert bits([total]) == bits([full["creturn"][d]]) or (
            np.isnan(total) and np.isnan(full["creturn"][d]))
    # A fee on shorts (of which a long book pays nothing) makes the run walk row by row.
    walked, _ = outcome(lambda: journal.run(*inp.args(), **opts, positions=False, short_fee=1e-9))
    assert np.array_equal(bits(walked["creturn"]), bits(lean["creturn"]))


def long_panel(n_rows, n_cols, hold, seed=5):
    """Minute-bar-like prices with a rebalance every `hold` rows into half the stocks."""
    rng = np.random.default_rng(seed)
    price = 10 * np.exp(np.cumsum(rng.normal(0, 0.001, (n_rows, n_cols)), axis=0))
    close = price * np.exp(rng.normal(0, 0.0005, (n_rows, n_cols)))
    w = np.zeros((n_rows // hold, n_cols))
    for k, row in enumerate(w):
        row[rng.permutation(n_cols)[: n_cols // 2]] = 1.0 / (n_cols // 2)
    return price, close, w, np.arange(0, n_rows, hold, dtype=np.int64)[: len(w)]


@pytest.mark.parametrize("bad, expected", [(math.inf, "inf"), (-2.0, "-2.0"), (0.0, "0.0")])
def test_an_invalid_price_inside_a_quiet_stretch_is_refused_at_its_row(bad, expected):
    price, close, w, pos_index = long_panel(900, 6, 300)
    held = int(np.flatnonzero(w[0])[1])  # a stock held from row 1 to 300
    price[250, held] = bad
    inp = build(price, w, close=close, pos_index=pos_index)
    message = (f"Invalid trading price for S{held} at price row 250: {expected}. Expected a "
               "positive finite price; check the trading-price dataset.")
    for run in (lambda: runvane.backtest_(*inp.args()), lambda: journal.run(*inp.args())):
        with pytest.raises(ValueError, match=re.escape(message)):
            run()


@settings(max_examples=60, deadline=None)
@given(n_cols=st.integers(1, 5), seed=st.integers(0, 99), cells=st.lists(st.tuples(
    st.integers(1, 239), st.integers(0, 4), st.booleans(), st.sampled_from([math.nan, 1e200, 1e-200])),
    max_size=6))
def test_holdings_walked_side_by_side_each_keep_their_own_row_walk(n_cols, seed, cells):
    # A stretch walks its holdings in pairs (an odd one alone): a missing price or close, or a
    # price far enough away to make the walk check every row, in one holding of a pair must leave
    # the other as the row walk (forced by a fee on shorts) has it, bit for bit.
    price, close, _, _ = long_panel(240, 2 * n_cols, 120, seed)
    price, close = price[:, :n_cols].copy(), close[:, :n_cols].copy()
    for row, col, on_close, v in cells:
        (close if on_close else price)[row, col % n_cols] = v
    inp = build(price, np.full((2, n_cols), 1.0 / n_cols), close=close, pos_index=[0, 120])
    runs = [outcome(lambda: journal.run(*inp.args(), fee_ratio=0.0, short_fee=f)) for f in (0, 1e-9)]
    assert runs[0][1] == runs[1][1]
    if runs[0][1] is None:
        for key in ("creturn", "cash"):
            assert np.array_equal(bits(runs[0][0][key]), bits(runs[1][0][key])), key
        for column, values in runs[0][0]["positions"].items():
            assert np.array_equal(values, runs[1][0]["positions"][column], equal_nan=True), column


def test_a_long_run_records_the_same_book_walked_in_stretches_or_row_by_row():
    # 20,000 rows x 60 stocks reserve the positions' bound at once; a fee on shorts (nothing for
    # a long book) makes the same run walk row by row. The position columns come from mappings
    # an earlier, larger run left in the pool, holding its values.
    price, close, w, pos_index = long_panel(20_000, 60, 700)
    # A last rebalance 30 rows before the end: its trades' paths are cut short by the last row.
    inp = build(price, np.vstack([w, w[0]]), close=close, pos_index=np.append(pos_index, 19_970))
    opts = dict(fee_ratio=0.0, tax_ratio=0.0, swaylen_window=60, swaylen_window_step=7)
    journal.run(*big_market(3000, 400).args(), swaylen_window=60)  # dies at once: to the pool
    stretches = journal.run(*inp.args(), **opts)
    rows = journal.run(*inp.args(), **opts, short_fee=1e-9)
    for key in ("creturn", "cash", "excursions"):
        assert np.array_equal(bits(stretches[key]), bits(rows[key])), key
    for key in ("positions", "fills", "trades"):
        for column, values in stretches[key].items():
            assert np.array_equal(values, rows[key][column], equal_nan=True), (key, column)
    assert len(stretches["positions"]["row"]) > 500_000
    # The sample blocks past a cut path's end read -1, whatever the pooled memory held.
    cut = stretches["trades"]["entry_row"] > 20_000 - 60
    assert cut.any() and (stretches["excursions"][cut][:, -12:-6] == -1).all()


@pytest.mark.parametrize("bad_row", [None, 52_345])
def test_positions_a_helper_writes_are_the_row_walks_and_add_up_to_the_equity(bad_row):
    # 60,000 rows x 20 stocks reserve the positions' bound, so the helper thread writes the
    # entries of hundreds of quiet stretches (more than the journal keeps in flight at once),
    # with and without long excursion arrays keeping it busy, so that the run waits for the
    # stretches it handed over before it reuses their buffers; a fee on shorts makes the same run
    # walk row by row, writing every entry itself. A price refused late in the run, with
    # stretches still in the helper's hands, fails as it does row by row.
    price, close, w, pos_index = long_panel(60_000, 20, 300)
    if bad_row is not None:
        held = int(np.flatnonzero(w[bad_row // 300])[3])
        price[bad_row, held] = np.inf
    inp = build(price, w, close=close, pos_index=pos_index)
    for excursions in (True, False):
        opts = dict(fee_ratio=0.0, tax_ratio=0.0, excursions=excursions, swaylen_window=2000)
        if bad_row is not None:
            message = f"Invalid trading price for S{held} at price row {bad_row}: inf."
            for extra in ({}, dict(short_fee=1e-9)):
                with pytest.raises(ValueError, match=re.escape(message)):
                    journal.run(*inp.args(), **opts, **extra)
            continue
        got = journal.run(*inp.args(), **opts)
        want = journal.run(*inp.args(), **opts, short_fee=1e-9)
        for column, values in want["positions"].items():
            assert np.array_equal(bits(got["positions"][column]), bits(values)), column
        # Each close's entries, added to the cash in the book's order, give the equity.
        row = got["positions"]["row"]
        start = np.searchsorted(row, np.arange(len(got["cash"])))
        grid = np.zeros((len(got["cash"]), np.bincount(row).max()))
        grid[row, np.arange(len(row)) - start[row]] = got["positions"]["value"]
        total = got["cash"].copy()
        for column in grid.T:
            total = total + column
        assert np.array_equal(bits(total), bits(got["creturn"]))


def test_a_long_equity_curve_in_pooled_memory_is_every_row_of_its_own_run():
    # Past a megabyte the equity curve lives in a mapping that the previous run's curve gave
    # back: every row must be this run's, none the last one's.
    for seed in (7, 8):
        inp = big_market(140_000, 3, seed=seed, hold=5000)
        out = journal.run(*inp.args(), positions=False, excursions="summary")
        assert type(out["creturn"].base).__name__ == "PyCapsule"
        assert np.array_equal(bits(out["creturn"]), bits(runvane.backtest_(*inp.args())))
        del out


@pytest.mark.parametrize("change, error, text", [
    (lambda a: {**a, "before": a["before"][:-1]}, ValueError,
     "^_turnover: the fill columns differ in length$"),
    (lambda a: {**a, "rows": a["rows"] + 3}, ValueError,
     "^_turnover: a fill's row lies outside the equity's rows$"),
    (lambda a: {**a, "rows": a["rows"] - 1}, ValueError,
     "^_turnover: a fill's row lies outside the equity's rows$"),
    (lambda a: {**a, "equity": a["equity"].astype(np.float32)}, ValueError,
     "^Buffer dtype mismatch, expected 'double' but got 'float'$"),
    (lambda a: {**a, "rows": a["rows"].reshape(1, -1)}, ValueError,
     "^Buffer has wrong number of dimensions \\(expected 1, got 2\\)$"),
])
def test_the_native_turnover_refuses_columns_it_cannot_read(change, error, text):
    columns = dict(rows=np.array([0, 1, 1], dtype=np.int64), before=np.zeros(3),
                   after=np.full(3, 0.5), written_off=np.zeros(3), equity=np.ones(2))
    assert journal._turnover(*columns.values()).tolist() == [0.5, 1.0]
    with pytest.raises(error, match=text):
        journal._turnover(*change(columns).values())


@pytest.mark.parametrize("hold, zero_close, account", [
    (1, None, {}),             # a trade a row: the records of every column grow together
    (1, 1700, {}),             # an excursion fails in the helper's hands: the run raises it
    (5, None, {"capital": 1e6, "slippage": 0.002}),  # the account's columns grow with them
])
def test_a_single_run_records_what_run_many_records(hold, zero_close, account):
    # journal.run hands its summaries to a helper (compact jobs, each placed by its order) and
    # calls its hooks without the virtual table; run_many records everything on its own thread.
    # Both give the same records, bit for bit, and the same failure.
    inp = big_market(2000, 150, seed=11, hold=hold)
    if zero_close:
        inp.close_values[zero_close, :] = 0.0
    opts = dict(swaylen_window=12, positions=False, excursions="summary")
    single, error = outcome(lambda: journal.run(*inp.args(), **opts, **account))
    many = journal.run_many(inp.kwargs(), [dict(account, swaylen_window=12)], threads=1,
                            positions=False, excursions="summary")[0]
    if zero_close:
        assert error is ZeroDivisionError and isinstance(many, ZeroDivisionError)
        return
    assert len(single["trades"]["sid"]) > 5000
    for key in ("fills", "trades"):
        for name, column in many[key].items():
            assert single[key][name].tobytes() == column.tobytes(), (key, name)
    assert single["excursion_summary"].tobytes() == many["excursion_summary"].tobytes()
