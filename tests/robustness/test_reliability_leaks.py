"""Memory and ownership of the native modules over many runs.

A backtest that is called in a parameter sweep runs thousands of times in one
process, so a few bytes kept per run, one reference too many on an input array
or an excursion module that never lets go of the last run's matrices all add
up. These tests run the entry points many times and watch the process from the
outside: bytes in use by malloc (which sees the C++ containers), tracemalloc
(Python objects and NumPy buffers), RSS, and sys.getrefcount of every object a
caller hands in.

Under the sanitizer build (PELMORA_SANITIZED=1) ASan keeps freed memory in
quarantine and replaces malloc, so the RSS and malloc figures say nothing
there; the tracemalloc and reference-count checks still run.
"""

from __future__ import annotations

import ctypes
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc
import weakref
from pathlib import Path

import numpy as np
import pytest

from pelmora.core import _testsupport as ts
from pelmora.core import journal, runvane, swaylen
from run_helpers import ARRAY_NAMES

SANITIZED = os.environ.get("PELMORA_SANITIZED") == "1"
RUNS = 10_000

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import workloads  # noqa: E402


# --- measuring -----------------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _mallinfo2():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    fn.restype = _MallInfo2
    return fn


_MALLINFO2 = None if SANITIZED else _mallinfo2()


def malloc_in_use() -> int | None:
    """Bytes handed out by malloc and not yet freed (all arenas, mmapped blocks too)."""
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# The run's report interns its keys and action labels afresh on every run;
# while nothing else holds such a str it leaves the interpreter's table of
# interned strings again. That churn makes the table resize now and then, a
# one-off allocation of the interpreter that would look like growth here.
# Holding the strings interned keeps the table still.
_REPORT_STRINGS = tuple(sys.intern(k) for k in (
    "actions", "weights", "next_weights", "weight_time", "next_weight_time",
    "enter", "exit", "hold", "tp", "sl", "tp_enter", "sl_enter", "tp_", "sl_"))

# A block this large is one container being resized, never a per-run leak.
_SMALL_BLOCK = 256 * 1024


class Usage:
    """Memory in use at one moment, after a full collection: Python objects and
    NumPy buffers of less than _SMALL_BLOCK bytes (tracemalloc), malloc, RSS."""

    def __init__(self) -> None:
        gc.collect()
        sizes = [t.size for t in tracemalloc.take_snapshot().traces if t.size < _SMALL_BLOCK]
        self.traced = sum(sizes)
        self.blocks = len(sizes)
        self.malloc = malloc_in_use()
        self.rss = rss_bytes()

    def growth(self, later: "Usage") -> dict[str, int | None]:
        return {
            "traced": later.traced - self.traced,
            "blocks": later.blocks - self.blocks,
            "malloc": None if self.malloc is None else later.malloc - self.malloc,
            "rss": later.rss - self.rss,
        }


# Allowances over 10,000 runs: one leaked object or C++ node per run would be
# 10,000 blocks and at least 160 kB; allocator noise stays far below.
TRACED_LIMIT = 64 * 1024
BLOCKS_LIMIT = 200
MALLOC_LIMIT = 128 * 1024
RSS_LIMIT = 4 * 1024 * 1024


def measure(fn, runs: int = RUNS, warmup: int = 300) -> dict[str, int | None]:
    """Growth of memory in use over `runs` calls of fn, after `warmup` calls."""
    tracemalloc.start()
    try:
        for _ in range(warmup):
            fn()
        before = Usage()
        for _ in range(runs):
            fn()
        after = Usage()
    finally:
        tracemalloc.stop()
    return before.growth(after)


def assert_flat(growth: dict[str, int | None], malloc_limit: int = MALLOC_LIMIT) -> None:
    assert growth["traced"] < TRACED_LIMIT, growth
    assert growth["blocks"] < BLOCKS_LIMIT, growth
    if not SANITIZED:
        if growth["malloc"] is not None:
            assert growth["malloc"] < malloc_limit, growth
        assert growth["rss"] < RSS_LIMIT, growth


# --- a small market --------------------------------------------------------------


def small_market(n_rows: int = 20, n_stocks: int = 4, seed: int = 7) -> dict:
    """Prices that move enough for some stops to fire, three position rows, stock
    labels made at run time (not interned, so their reference counts are ours)."""
    rng = np.random.default_rng(seed)
    close = 10.0 * np.cumprod(1.0 + rng.normal(0.0, 0.03, (n_rows, n_stocks)), axis=0)
    price = close * (1.0 + rng.normal(0.0, 0.01, (n_rows, n_stocks)))
    high = np.maximum(price, close) * 1.02
    low = np.minimum(price, close) * 0.98
    dates = np.arange(n_rows, dtype=np.int64) * 86_400 + 1_600_000_000
    labels = np.array(["".join(["S", str(i)]) for i in range(n_stocks)], dtype=object)
    weights = np.array([[0.3, 0.3, -0.2, 0.2], [0.0, 0.5, 0.25, -0.25],
                        [0.4, 0.0, 0.3, 0.3]])[:, :n_stocks]
    pos_rows = np.array([0, 7, 14])
    return {
        "price": price, "close": close, "high": high, "low": low, "open": price.copy(),
        "price_index": dates, "price_columns": labels, "pos_values": weights,
        "pos_index": dates[pos_rows].copy(), "pos_columns": labels.copy(),
        "resample": dates[pos_rows].copy(),
    }


ARRAY_ORDER = ("price", "close", "high", "low", "open", "price_index", "price_columns",
               "pos_values", "pos_index", "pos_columns", "resample")
OPTIONS = dict(stop_loss=0.06, take_profit=0.1, trail_stop=0.05, trail_stop_activation=0.03,
               swaylen_window=5, swaylen_window_step=2)


def run(m: dict, **opts):
    return runvane.backtest_(*(m[k] for k in ARRAY_ORDER), **{**OPTIONS, **opts})


def results() -> tuple:
    """Everything a run leaves behind, as plain copies."""
    return (
        [list(map(int, t)) for t in swaylen.trades],
        [float(p) for p in swaylen.trade_positions],
        [a.tobytes() for a in swaylen.swaylen],
        runvane.get_stock_operations(),
    )


@pytest.fixture(scope="module")
def market():
    return small_market()


def test_small_market_trades_and_exits(market):
    """The workload the leak tests repeat really exercises exits and excursions."""
    for touched in (False, True):
        run(market, touched_exit=touched)
        assert len(swaylen.trades) >= 4
        assert len(swaylen.trades) == len(swaylen.trade_positions) == len(swaylen.swaylen)
        assert any(t[2] != -1 for t in swaylen.trades)  # closed trades, not only open ones
        assert runvane.get_stock_operations()["actions"]


# --- flat memory over many runs --------------------------------------------------------


@pytest.mark.parametrize("touched_exit", [False, True])
def test_backtest_many_runs_memory_is_flat(market, touched_exit):
    assert_flat(measure(lambda: run(market, touched_exit=touched_exit)))


def _failing_runs(market, runner=None):
    bad_price = market["price"].copy()
    bad_price[7, :] = -1.0  # whatever is held on row 7 meets the price check

    class Refuses:
        def __bool__(self):
            raise LookupError("no truth here")

    cases = [
        dict(price=bad_price),  # ValueError from the price check mid-run
        dict(stop_trading_next_period=Refuses()),  # fails on the first pending exit
        dict(swaylen_window_step=0),  # ZeroDivisionError in the first excursion
        dict(delisting_bars=np.array([99, 5, 99], dtype=np.int64)),  # IndexError for sid 3
    ]

    def call(case):
        m = dict(market)
        opts = {}
        for k, v in case.items():
            (m if k in m else opts)[k] = v
        try:
            (runner or run)(m, **opts)
        except Exception as e:  # noqa: BLE001 - any Python exception is a clean failure
            return type(e)
        return None

    return cases, call


def test_failed_runs_fail_as_expected(market):
    cases, call = _failing_runs(market)
    assert [call(c) for c in cases] == [ValueError, LookupError, ZeroDivisionError, IndexError]


@pytest.mark.parametrize("case_index", range(4))
def test_failed_runs_memory_is_flat(market, case_index):
    cases, call = _failing_runs(market)
    case = cases[case_index]
    assert_flat(measure(lambda: call(case), runs=RUNS // 4))


JOURNAL_MALLOC_LIMIT = 2 * 1024 * 1024


def journal_run(m: dict, **opts):
    return journal.run(*(m[k] for k in ARRAY_ORDER), **{**OPTIONS, **opts})


def journal_many(m: dict, **opts):
    arrays = {name: m[k] for name, k in zip(ARRAY_NAMES, ARRAY_ORDER)}
    variants = [{**OPTIONS, **opts}, {**OPTIONS, "stop_loss": 0.02, **opts}, {"bogus": 1}]
    return journal.run_many(arrays, variants, threads=2)


@pytest.mark.parametrize("runner", [journal_run, journal_many])
@pytest.mark.parametrize("touched_exit", [False, True])
def test_journal_many_runs_memory_is_flat(market, runner, touched_exit):
    # The journal's columns grow through realloc, which moves the heap's top
    # by up to a megabyte either way; a leak of 200 bytes a run still shows.
    assert_flat(measure(lambda: runner(market, touched_exit=touched_exit)), JOURNAL_MALLOC_LIMIT)


@pytest.mark.parametrize("case_index", range(4))
def test_failed_journal_runs_memory_is_flat(market, case_index):
    cases, call = _failing_runs(market, journal_run)
    assert [call(c) for c in cases] == [ValueError, LookupError, ZeroDivisionError, IndexError]
    assert_flat(measure(lambda: call(cases[case_index]), runs=RUNS // 4), JOURNAL_MALLOC_LIMIT)


def test_the_journal_keeps_no_reference_to_its_inputs():
    m = small_market()
    before = _refcounts(_inputs_of(m))
    out = [journal_run(m), journal_many(m)]
    assert _refcounts(_inputs_of(m)) == before
    count = sys.getrefcount(out[0]["creturn"])  # outside the assert: pytest keeps its operands
    assert count == 2


def _excursion_cycle(price, close):
    """One analysis run driven directly through the native interface: entries,
    exits (closed trades with excursion arrays), a split, and open trades."""
    ts.start_analysis(price, close, {0: 0, 1: 1, 2: 2}, 3, 0.001, 0.003, 6, 2)
    for d in range(price.shape[0]):
        ts.record_date(d)
        if d == 1:
            ts.record_entry(0, 0.5, 1)
            ts.record_entry(1, -0.25, 1)
        elif d == 4:
            ts.record_exit(0, 1)
            ts.record_entry(2, 0.2, 1)
        elif d == 6:
            ts.record_exit(1, 0)
            ts.record_entry(1, -0.3, 0)
    return ts.end_analysis({0: 0.0, 1: -0.3, 2: 0.2})


def test_excursion_cycle_records_trades(market):
    assert _excursion_cycle(market["price"], market["close"]) is None
    assert [t[2] for t in swaylen.trades] == [4, 6, -1, -1]
    assert all(len(a) == 24 for a in swaylen.swaylen)  # samples at 0, 2, 4 and the summary


def test_excursion_entry_points_many_runs_memory_is_flat(market):
    price, close = market["price"], market["close"]
    assert_flat(measure(lambda: _excursion_cycle(price, close)))


def test_excursion_failures_memory_is_flat(market):
    price, close = market["price"], market["close"]

    def failing():
        ts.start_analysis(price, close, {0: 0}, 2, 0.0, 0.0, 3, 0)
        ts.record_date(3)
        ts.record_entry(0, 1.0, 1)
        for call in (lambda: ts.record_exit(0, 1),  # window_step 0
                     lambda: ts.record_entry(5, 1.0, 1),  # sid outside the arrays
                     lambda: ts.end_analysis({0: 1.0, 9: 1.0})):
            try:
                call()
            except (ZeroDivisionError, IndexError):
                pass
            else:
                raise AssertionError("expected a failure")

    assert_flat(measure(failing, runs=RUNS // 4))


def test_small_entries_many_calls_memory_is_flat(market):
    run(market)
    cols, idx = market["pos_columns"], market["price_index"]

    def calls():
        runvane.get_trade_stocks(cols, idx, False)
        runvane.get_stock_operations()
        runvane.normalize_weight({1: 0.6, 2: -0.9, 3: 0.2}, 0.5)
        runvane.ioft(1_600_000_000_000_000_000)
        ts.map_columns(cols, cols[::-1])
        try:
            ts.validate_trade_price(0.0, cols[1], 17)
        except ValueError:
            pass

    assert_flat(measure(calls))


# --- reference counts ----------------------------------------------------------------


def _refcounts(objs) -> list[int]:
    return [sys.getrefcount(o) for o in objs]


def _inputs_of(m: dict) -> list:
    """Every object a caller hands in: the eleven arrays, the stock labels inside
    the object arrays, and the option objects."""
    return [m[k] for k in ARRAY_ORDER] + list(m["price_columns"]) + list(m["pos_columns"])


class Truthy:
    def __bool__(self):
        return True


@pytest.mark.parametrize("touched_exit", [False, True])
def test_input_refcounts_unchanged_after_runs(touched_exit):
    m = small_market()
    other = small_market(seed=8)
    delisting = np.array([-1, 9, -1, -1], dtype=np.int64)
    stop = Truthy()
    fee = float("0.002")  # an object of our own, not a cached constant
    window = 5
    extras = [delisting, stop, fee]

    def go(mk):
        return runvane.backtest_(*(mk[k] for k in ARRAY_ORDER), fee_ratio=fee,
                                 stop_trading_next_period=stop, delisting_bars=delisting,
                                 swaylen_window=window, touched_exit=touched_exit, stop_loss=0.05)

    go(other)  # the excursion module now holds `other`'s matrices, not m's
    before = _refcounts(_inputs_of(m) + extras)
    creturn = go(m)
    held = _refcounts(_inputs_of(m) + extras)
    for _ in range(50):
        go(m)
    after_many = _refcounts(_inputs_of(m) + extras)
    assert after_many == held
    # Only the trade-price and close matrices are kept, by the excursion module,
    # until the next run replaces them; nothing else keeps a reference.
    diff = [a - b for a, b in zip(held, before)]
    assert diff[2:] == [0] * (len(diff) - 2)
    assert diff[0] >= 1 and diff[1] >= 1
    go(other)
    released = _refcounts(_inputs_of(m) + extras)
    assert released == before
    # What a run hands out is owned only by its holder: the name `creturn`, and
    # the result lists (counted here with the loop name and the argument).
    counts = (sys.getrefcount(creturn), {sys.getrefcount(a) for a in swaylen.swaylen},
              {sys.getrefcount(t) for t in swaylen.trades})
    assert counts == (2, {3}, {3})


def test_input_refcounts_unchanged_after_failed_runs():
    m = small_market()
    other = small_market(seed=8)
    run(other)
    bad = dict(m)
    bad["price"] = m["price"].copy()
    bad["price"][7, :] = 0.0
    before = _refcounts(_inputs_of(m))
    bad_before = sys.getrefcount(bad["price"])

    class Refuses:
        def __bool__(self):
            raise LookupError("no truth here")

    failures = [
        lambda: run(bad),  # fails mid-run, after the excursion analysis started
        lambda: run(m, stop_trading_next_period=Refuses()),
        lambda: run(m, swaylen_window_step=0),
        lambda: run(m, swaylen_window=2**31),  # fails while converting options
        lambda: runvane.backtest_(*(m[k] for k in ARRAY_ORDER[:10]), m["price_index"].astype(float)),
        lambda: runvane.backtest_(*(m[k] for k in ARRAY_ORDER[:7]), m["pos_values"][0],
                                  *(m[k] for k in ARRAY_ORDER[8:])),
    ]
    for f in failures:
        for _ in range(20):
            with pytest.raises(Exception):
                f()
    # The failed runs that reached the excursion analysis left it holding their
    # matrices; the next good run of other data lets go of them.
    run(other)
    after = _refcounts(_inputs_of(m))
    bad_after = sys.getrefcount(bad["price"])
    assert after == before
    assert bad_after == bad_before


def test_excursion_refcounts_of_arrays_and_labels():
    m = small_market()
    price, close = m["price"], m["close"]
    base = _refcounts([price, close])
    for _ in range(20):
        _excursion_cycle(price, close)
    held = _refcounts([price, close])
    _excursion_cycle(price.copy(), close.copy())
    released = _refcounts([price, close])
    assert released == base
    assert held[0] > base[0] and held[1] > base[1]
    labels = list(m["pos_columns"])
    before = _refcounts(labels)
    for _ in range(20):
        ts.map_columns(labels, labels)
        with pytest.raises(ValueError):
            ts.validate_trade_price(-1.0, labels[2], 3)
    after = _refcounts(labels)
    assert after == before


# --- the arrays the excursion module keeps between runs ----------------------------------


class PriceMatrix(np.ndarray):
    """A weak-referenceable price matrix, so we can watch who keeps it alive."""


def test_kept_matrices_are_released_by_the_next_run():
    m = small_market()
    first = dict(m)
    first["price"] = m["price"].copy().view(PriceMatrix)
    first["close"] = m["close"].copy().view(PriceMatrix)
    refs = [weakref.ref(first["price"]), weakref.ref(first["close"])]
    run(first)
    del first
    gc.collect()
    # The excursion module keeps the last run's matrices (by reference) ...
    assert all(r() is not None for r in refs)
    run(small_market(seed=8))
    gc.collect()
    # ... until the next run replaces them.
    assert all(r() is None for r in refs)


def test_kept_matrices_released_by_next_start_analysis():
    price = small_market()["price"].copy().view(PriceMatrix)
    close = small_market()["close"].copy().view(PriceMatrix)
    refs = [weakref.ref(price), weakref.ref(close)]
    ts.start_analysis(price, close, {0: 0}, 1, 0.0, 0.0, 2, 1)
    del price, close
    gc.collect()
    assert all(r() is not None for r in refs)
    ts.start_analysis(None, None, {}, 0, 0.0, 0.0, 0, 1)
    gc.collect()
    assert all(r() is None for r in refs)


def test_a_failed_start_keeps_the_previous_matrices():
    """A start that rejects its matrices changes nothing, so what it held stays held."""
    price = small_market()["price"].copy().view(PriceMatrix)
    ref = weakref.ref(price)
    ts.start_analysis(price, price, {}, 0, 0.0, 0.0, 0, 1)
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        ts.start_analysis(np.zeros(3), np.zeros(3), {}, 0, 0.0, 0.0, 0, 1)
    del price
    gc.collect()
    assert ref() is not None
    ts.start_analysis(None, None, {}, 0, 0.0, 0.0, 0, 1)
    gc.collect()
    assert ref() is None


# --- soak ----------------------------------------------------------------------------------


@pytest.mark.slow
def test_soak_repeated_runs_are_bit_identical():
    """A medium daily-rebalance workload run 200 times in one process gives the
    first run's results to the last bit every time."""
    w = workloads.w2(n_rows=60, n_stocks=80)
    first_creturn = w.run(runvane.backtest_).tobytes()
    first = results()
    assert len(first[0]) > 1000
    for _ in range(199):
        assert w.run(runvane.backtest_).tobytes() == first_creturn
        assert results() == first


# --- the end of the process -------------------------------------------------------------------

_EXIT_AFTER_RUN = """
    import numpy as np
    from pelmora.core import runvane
    # Matrices over a buffer (as pandas or Arrow data often are): their base
    # is a memoryview, a GC-tracked object.
    raw = bytearray(np.array([[10.0, 20.0], [11.0, 21.0], [12.0, 19.0]]).tobytes())
    price = np.frombuffer(raw, dtype=np.float64).reshape(3, 2)
    d = np.arange(3, dtype=np.int64)
    names = np.array(["A", "B"], dtype=object)
    runvane.backtest_(price, price, price, price, price, d, names, np.array([[0.5, 0.5]]),
                      d[:1], names, d[:1])
    del price, raw
    print("ran")
"""


def _without_asan_log(env):
    # Under the sanitizer run a crash here must be this test's failure, not a
    # report in the run's log directory.
    env = dict(env)
    opts = [o for o in env.get("ASAN_OPTIONS", "").split(":") if not o.startswith("log_path=")]
    env["ASAN_OPTIONS"] = ":".join(opts)
    return env


def test_process_exits_cleanly_after_a_run_on_buffer_backed_matrices():
    """The matrices the excursion module keeps are never released after the
    interpreter is gone (a crash at exit, found by the sanitizer run)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(_EXIT_AFTER_RUN)],
                          capture_output=True, text=True, timeout=120,
                          env=_without_asan_log(os.environ))
    assert proc.stdout.strip() == "ran"
    assert proc.returncode == 0, proc.stderr[-2000:]


# --- the excursion module on its own -----------------------------------------------------


def one_excursion_cycle(price, close):
    ts.start_analysis(price, close, {0: 1, 1: 1}, 3, 0.001, 0.003, 3, 1)
    ts.record_date(0)
    ts.record_entry(0, 1.0, 1)
    ts.record_entry(1, -2.0, 1)
    ts.record_date(2)
    ts.record_exit(0, 1)
    ts.record_date(3)
    try:
        ts.record_exit(2, 1)  # sid 2 maps to column 0 on a path with a zero close
    except ZeroDivisionError:
        pass
    try:
        ts.record_exit(9, 1)
    except IndexError:
        pass
    ts.end_analysis({0: 0.0, 1: -2.0})


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_ten_thousand_excursion_runs_do_not_grow_memory():
    price = np.array([[10.0, 20.0], [11.0, 19.0], [12.0, 21.0], [9.0, 22.0], [9.5, 20.0]])
    close = price.copy()
    close[1, 0] = 0.0
    for _ in range(500):
        one_excursion_cycle(price, close)
    gc.collect()
    rss_before = rss_bytes()
    tracemalloc.start()
    try:
        traced_before, _ = tracemalloc.get_traced_memory()
        for _ in range(10_000):
            one_excursion_cycle(price, close)
        gc.collect()
        traced_after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    rss_after = rss_bytes()
    assert len(swaylen.trades) == 3 and len(swaylen.swaylen) == 2
    assert traced_after - traced_before < 256 * 1024
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer quarantines frees
        assert rss_after - rss_before < 16 * 1024 * 1024
