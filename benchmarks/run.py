"""pelmora's benchmark suite: one command, one table.

    python benchmarks/run.py               # full sizes (about 12 minutes on 2 cores)
    python benchmarks/run.py --quick       # small sizes, a sanity pass in about a minute
    python benchmarks/run.py --repeat 9    # 9 timed runs per runner (default: 21 pelmora, 5 vectorbt)

For every workload (W1 with close-mode and with intraday exits, W2, W1') the full ``backtest_`` and
the numeric floor (the same arithmetic with trade records, excursion arrays and report switched off)
are timed alternately in this process, after checking that both return the same equity curve bit for
bit.  On W1' vectorbt's ``Portfolio.from_orders`` does the same work; its equity curve must agree
with pelmora's within 1e-9 relative before it is timed, and it is timed warm, after its first call
has compiled it.  Peak memory of one run of each runner is measured in a fresh child process
(tracemalloc for Python objects, the kernel's peak resident set for everything).

Ratios are ratios of medians taken in the same process.  The exit status is 1 when an equity check
fails (nothing is timed for that runner), 0 otherwise; --strict also fails on a missed target.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tracemalloc
from dataclasses import dataclass, field

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import peers  # noqa: E402
import workloads  # noqa: E402
from timing import timed  # noqa: E402
from pelmora.core import _testsupport, journal, runvane  # noqa: E402

FULL_SIZES = {"w1_close": (4000, 2000), "w1_touched": (4000, 2000), "w2": (2500, 500), "w1_plain": (4000, 2000)}
QUICK_SIZES = {"w1_close": (1000, 500), "w1_touched": (1000, 500), "w2": (500, 200), "w1_plain": (1000, 500)}
ORDER = ["w1_close", "w1_touched", "w2", "w1_plain"]
LABELS = {"w1_close": "W1 close", "w1_touched": "W1 touched", "w2": "W2", "w1_plain": "W1'"}

# Targets of the performance work: full run within 1.5x its floor; vectorbt at least 25x slower on W1';
# the journal with every output within 1.4x (W1 close) and 2.0x (W2) of the floor; run_many of four W1
# variants on two threads at least 1.8x the throughput of one thread.
FLOOR_TARGET = 1.5
PEER_TARGET = 25.0
JOURNAL_TARGETS = {"w1_close": 1.4, "w2": 2.0}
MANY_TARGET = 1.8
MANY_VARIANTS = [dict(stop_loss=s) for s in (0.05, 0.08, 0.1, 0.15)]   # W1 with four stop levels
JOURNAL_RUNNER = "journal.run (all outputs)"
FULL_RUNNER = "backtest_ (full)"
FLOOR_RUNNER = "numeric floor (_testsupport.backtest_floor)"
TOUCH_RUNNER = "touch limit: the held cells (_testsupport.touch)"
TOUCH_FULL_RUNNER = "touch limit: held cells + excursion walks"
# The floor within 2.0x of the memory it must touch, the journal with every output within 2.5x of
# that plus the excursion walks.
TOUCH_TARGET = 2.0
TOUCH_FULL_TARGET = 2.5


def build(name: str, quick: bool) -> workloads.Workload:
    rows, stocks = (QUICK_SIZES if quick else FULL_SIZES)[name]
    if name == "w1_close":
        return workloads.w1(False, rows, stocks)
    if name == "w1_touched":
        return workloads.w1(True, rows, stocks)
    if name == "w2":
        return workloads.w2(rows, stocks)
    return workloads.w1_plain(rows, stocks)


# --- runners -------------------------------------------------------------------------------------

@dataclass
class Peer:
    key: str
    label: str
    call_seq: str        # "auto" or "sells_first"
    engine: str          # "numba" or "rust"
    prescribed: bool     # the configuration the peer target is stated against

    def available(self) -> str | None:
        try:
            import vectorbt  # noqa: F401
        except ImportError:
            return "vectorbt is not installed (pip install '.[bench]')"
        if self.engine == "rust":
            try:
                import vectorbt_rust  # noqa: F401
            except ImportError:
                return "vectorbt-rust is not installed"
        return None


PEERS = [
    Peer("vbt_auto", "vectorbt from_orders, numba, call_seq='auto'", "auto", "numba", True),
    Peer("vbt_seq", "vectorbt from_orders, numba, sells-first call_seq given", "sells_first", "numba", False),
    Peer("vbt_rust", "vectorbt from_orders, rust, sells-first call_seq given", "sells_first", "rust", False),
]


def peer_inputs(w: workloads.Workload, peer: Peer):
    size, plan = peers.target_percent(w)
    seq = peers.sells_first_call_seq(w, size, plan) if peer.call_seq == "sells_first" else "auto"
    return size, seq


def pelmora_runner(kind: str):
    return {"full": runvane.backtest_, "floor": _testsupport.backtest_floor,
            "journal": journal.run}[kind]


def many_arrays(w: workloads.Workload) -> dict:
    a = w.arrays
    return dict(price_values=a["price"], close_values=a["close"], high_values=a["high"],
                low_values=a["low"], open_values=a["open"], price_index=a["price_index"],
                price_columns=a["columns"], pos_values=a["pos_values"], pos_index=a["pos_index"],
                pos_columns=a["columns"], resample=a["resample"])


# --- measurement ---------------------------------------------------------------------------------

@dataclass
class Row:
    workload: str
    runner: str
    times_ms: list[float] = field(default_factory=list)
    cpu_ms: list[float] = field(default_factory=list)
    ratio: str = ""
    note: str = ""
    memory: dict | None = None
    failed: str | None = None
    memory_key: str | None = None

    @property
    def median(self) -> float:
        return statistics.median(self.times_ms) if self.times_ms else float("nan")

    @property
    def cpu_median(self) -> float:
        return statistics.median(self.cpu_ms) if self.cpu_ms else float("nan")

    def add(self, wall: float, cpu: float) -> None:
        self.times_ms.append(wall)
        self.cpu_ms.append(cpu)


def ratio(a: Row, b: Row) -> tuple[float, float]:
    """a / b on wall-clock medians and on CPU-time medians."""
    return a.median / b.median, a.cpu_median / b.cpu_median


def touched_cells(w: workloads.Workload, out: dict) -> tuple[list[tuple], tuple]:
    """The cells a run reads, in its order, from its journal: every holding's trade and close price
    (and open/high/low with intraday exits) on every row, the weight row of every executed
    rebalance with the trade-price row it takes as every stock's reference, and every trade's
    excursion walk down its close column (entry row to the later of its exit and the end of its
    window)."""
    a = w.arrays
    col_of = {name: k for k, name in enumerate(a["columns"])}
    sid_col = np.array([col_of[c] for c in a["columns"]], dtype=np.int64)
    pos = out["positions"]
    rows = np.asarray(pos["row"], dtype=np.int64)
    cols = sid_col[np.asarray(pos["sid"], dtype=np.int64)]
    mats = (a["price"], a["close"])
    if w.options.get("touched_exit"):
        mats += (a["open"], a["high"], a["low"])
    n_rows = len(a["price_index"])
    t = out["trades"]
    entry = np.asarray(t["entry_row"], dtype=np.int64)
    exit_ = np.where(np.asarray(t["exit_row"]) < 0, n_rows - 1, np.asarray(t["exit_row"]))
    last = np.minimum(np.maximum(exit_, entry + int(w.options.get("swaylen_window", 0))), n_rows - 1)
    length = last - entry + 1
    starts = np.repeat(entry, length)
    steps = np.arange(int(length.sum())) - np.repeat(np.cumsum(length) - length, length)
    walk_rows = starts + steps
    walk_cols = np.repeat(sid_col[np.asarray(t["sid"], dtype=np.int64)], length)
    reb = np.asarray(out["rebalance_rows"], dtype=np.int64)
    pos_row = np.searchsorted(a["pos_index"], a["price_index"][reb], side="left") - 1
    width = a["pos_values"].shape[1]
    weight_rows = np.repeat(pos_row, width)
    weight_cols = np.tile(np.arange(width, dtype=np.int64), len(pos_row))
    # A rebalance also takes the whole trade-price row as the reference of every stock.
    n_cols = a["price"].shape[1]
    price_rows = np.repeat(reb, n_cols)
    price_cols = np.tile(np.arange(n_cols, dtype=np.int64), len(reb))
    held = [(rows, cols, mats), (weight_rows, weight_cols, (a["pos_values"],)),
            (price_rows, price_cols, (a["price"],))]
    return held, (walk_rows, walk_cols, (a["close"],))


def bench_pelmora(name: str, w: workloads.Workload, repeat: int) -> tuple[list[Row], np.ndarray]:
    full_cr = w.run(runvane.backtest_).copy()     # warm every runner once and keep the reference curve
    n_trades = len(runvane.swaylen.trades)
    floor_cr = w.run(_testsupport.backtest_floor)
    journal_out = w.run(journal.run)
    full = Row(name, FULL_RUNNER)
    floor = Row(name, FLOOR_RUNNER)
    jrow = Row(name, JOURNAL_RUNNER, memory_key="journal")
    rows = [full, floor, jrow]
    for label, curve in (("floor", floor_cr), ("journal", journal_out["creturn"])):
        if not np.array_equal(full_cr.view(np.int64), curve.view(np.int64)):
            d = int(np.flatnonzero(full_cr.view(np.int64) != curve.view(np.int64))[0])
            msg = f"{label} equity differs from backtest_'s at row {d}: {curve[d]!r} vs {full_cr[d]!r}"
            for r in rows:
                r.failed = msg
            return rows, full_cr
    if len(journal_out["trades"]["sid"]) != n_trades:
        for r in rows:
            r.failed = "journal trade records differ from backtest_'s"
        return rows, full_cr
    held, walks = touched_cells(w, journal_out)
    del journal_out
    touch = Row(name, TOUCH_RUNNER)
    touch_full = Row(name, TOUCH_FULL_RUNNER)
    rows += [touch, touch_full]
    calls = {
        "touch": lambda: [_testsupport.touch(*h) for h in held],
        "touch_full": lambda: ([_testsupport.touch(*h) for h in held], _testsupport.touch(*walks)),
    }
    kinds = [("full", full), ("floor", floor), ("journal", jrow), ("touch", touch),
             ("touch_full", touch_full)]
    for i in range(repeat):
        # rotate the order so a drift in machine load does not favour one runner
        k = i % len(kinds)
        for kind, row in kinds[k:] + kinds[:k]:
            call = calls.get(kind) or (lambda: w.run(pelmora_runner(kind)))
            ms, cpu, _ = timed(call)
            row.add(ms, cpu)
    touch.note = (f"{len(held[0][0])} held cells x {len(held[0][2])} matrices, "
                  f"{len(held[1][0])} weights, {len(held[2][0])} reference prices")
    touch_full.note = f"+ {len(walks[0])} cells of excursion walks"
    r, rc = ratio(full, floor)
    full.ratio = f"{r:.2f}x floor (cpu {rc:.2f}x)"
    floor.ratio = "1.00"
    r, rc = ratio(jrow, floor)
    jrow.ratio = f"{r:.2f}x floor (cpu {rc:.2f}x)"
    jrow.note = f"{n_trades} trades with fills, holdings and excursions"
    floor.ratio = f"1.00; {floor.median / touch.median:.2f}x touch limit"
    jrow.ratio += f"; {jrow.median / touch_full.median:.2f}x touch + walks"
    full.ratio += f"; {full.median / touch_full.median:.2f}x touch + walks"
    return rows, full_cr


def bench_run_many(name: str, w: workloads.Workload, repeat: int) -> list[Row]:
    """run_many of four variants of the workload on one thread and on two, alternately."""
    arrays = many_arrays(w)
    variants = [dict(w.options, **v) for v in MANY_VARIANTS]
    one = Row(name, f"journal.run_many, {len(variants)} variants, threads=1")
    two = Row(name, f"journal.run_many, {len(variants)} variants, threads=2")
    check = journal.run_many(arrays, variants, threads=2)
    bad = [r for r in check if isinstance(r, BaseException)]
    if bad:
        one.failed = two.failed = f"a variant failed: {bad[0]!r}"
        return [one, two]
    del check
    for i in range(max(3, repeat // 3)):
        for threads, row in ((1, one), (2, two)) if i % 2 == 0 else ((2, two), (1, one)):
            ms, cpu, _ = timed(lambda: journal.run_many(arrays, variants, threads=threads))
            row.add(ms, cpu)
    one.ratio = "1.00"
    x, _ = ratio(one, two)
    two.ratio = f"{x:.2f}x the throughput of threads=1"
    return [one, two]


def bench_peer(w: workloads.Workload, peer: Peer, reference: np.ndarray, repeat: int,
               pelmora: Row) -> list[Row]:
    orders = Row("w1_plain", peer.label + (" [prescribed]" if peer.prescribed else ""))
    value = Row("w1_plain", "  ... + value() (the equity curve)")
    why = peer.available()
    if why:
        orders.failed = f"skipped: {why}"
        return [orders]
    size, seq = peer_inputs(w, peer)
    # first call: compiles (numba) or loads the cache; its result is the one checked
    first_ms, _, pf = timed(lambda: peers.from_orders(w, size, seq, peer.engine))
    curve = peers.equity(pf)
    del pf
    try:
        worst = peers.check_agreement(reference, curve, peer.label)
    except peers.AgreementError as e:
        orders.failed = f"EQUITY CHECK FAILED, not timed: {e}"
        return [orders]
    for _ in range(repeat):
        ms, cpu, pf = timed(lambda: peers.from_orders(w, size, seq, peer.engine))
        vms, vcpu, _ = timed(lambda p=pf: peers.equity(p))
        orders.add(ms, cpu)
        value.add(ms + vms, cpu + vcpu)
        del pf
    orders.note = f"equity within {worst:.1e} rel.; warm (first call {first_ms / 1000:.1f} s)"
    for row in (orders, value):
        r, rc = ratio(row, pelmora)
        row.ratio = f"{r:.1f}x backtest_ (cpu {rc:.1f}x)"
    return [orders, value]


# --- memory, one fresh child process per runner ----------------------------------------------------

def _status_kib(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def _reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def memory_child(name: str, runner: str, quick: bool) -> dict:
    """One run of `runner` on `name` in this (fresh) process: RSS growth of the first run, then
    tracemalloc's peak and kept sizes of a second run."""
    w = build(name, quick)
    if runner in ("full", "floor", "journal"):
        fn = pelmora_runner(runner)
        workloads.w1_plain(40, 200).run(fn)     # load every lazily imported piece first
        call = lambda: w.run(fn)                 # noqa: E731
    else:
        peer = next(p for p in PEERS if p.key == runner)
        small = workloads.w1_plain(60, 200)
        s_size, s_seq = peer_inputs(small, peer)
        peers.equity(peers.from_orders(small, s_size, s_seq, peer.engine))   # compile on a small run
        size, seq = peer_inputs(w, peer)
        call = lambda: peers.equity(peers.from_orders(w, size, seq, peer.engine))  # noqa: E731
    gc.collect()
    exact = _reset_peak_rss()
    rss0 = _status_kib("VmRSS")
    result = call()
    hwm = _status_kib("VmHWM") if exact else None
    del result
    gc.collect()
    tracemalloc.start()
    base, _ = tracemalloc.get_traced_memory()
    result = call()
    _, peak = tracemalloc.get_traced_memory()
    gc.collect()   # what is left once cyclic garbage is gone: the outputs and the peer's caches
    kept, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del result
    matrices = {id(v): v for v in w.arrays.values() if isinstance(v, np.ndarray) and v.ndim == 2}
    inputs = sum(v.nbytes for v in matrices.values())
    return {"rss_peak_growth": None if hwm is None else (hwm - rss0) * 1024,
            "py_peak": peak - base, "py_kept": kept - base, "inputs_2d": inputs}


def measure_memory(name: str, runner: str, quick: bool) -> dict | None:
    cmd = [sys.executable, os.path.abspath(__file__), "--memory-child", name, runner]
    if quick:
        cmd.append("--quick")
    p = subprocess.run(cmd, capture_output=True, text=True)
    if p.returncode != 0:
        print(f"memory measurement of {name}/{runner} failed:\n{p.stderr[-2000:]}", file=sys.stderr)
        return None
    return json.loads(p.stdout.strip().splitlines()[-1])


# --- report --------------------------------------------------------------------------------------

def machine() -> dict:
    model = platform.processor() or "?"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    info = {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "numpy": np.__version__, "load_start": os.getloadavg()}
    for mod in ("vectorbt", "numba", "pandas", "vectorbt_rust"):
        try:
            info[mod] = __import__(mod).__version__
        except ImportError:
            pass
    return info


def mb(x) -> str:
    return "" if x is None else f"{x / 2**20:.1f}"


def print_table(rows: list[Row], info: dict, repeat: tuple[int, int], quick: bool) -> None:
    print()
    print(f"Machine: {info['cpu']}, {info['cores']} cores; Python {info['python']}, NumPy {info['numpy']}"
          + "".join(f", {k} {info[k]}" for k in ("vectorbt", "numba", "vectorbt_rust") if k in info))
    print(f"Sizes: {'quick' if quick else 'full'}; medians of {repeat[0]} runs (pelmora), "
          f"{repeat[1]} runs (vectorbt); "
          f"load average {info['load_start'][0]:.2f} at start, {info.get('load_end', (0,))[0]:.2f} at end")
    print()
    head = ["workload", "runner", "median ms", "min ms", "cpu median ms", "ratio", "py peak MB", "py kept MB",
            "RSS peak +MB", "note"]
    body = []
    for r in rows:
        m = r.memory or {}
        if m.get("inputs_2d") and r.runner == FULL_RUNNER:
            r.note = (r.note + "; " if r.note else "") + f"2-D inputs {mb(m['inputs_2d'])} MB"
        if r.failed:
            body.append([LABELS[r.workload], r.runner, "-", "-", "-", "-", "", "", "", r.failed])
            continue
        body.append([LABELS[r.workload], r.runner, f"{r.median:.1f}", f"{min(r.times_ms):.1f}",
                     f"{r.cpu_median:.1f}", r.ratio,
                     mb(m.get("py_peak")), mb(m.get("py_kept")), mb(m.get("rss_peak_growth")), r.note])
    widths = [max(len(str(x[i])) for x in [head] + body) for i in range(len(head))]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"  # noqa: E731
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for b in body:
        print(line(b))


def targets(rows: list[Row]) -> list[tuple[str, bool]]:
    out = []
    by = {(r.workload, r.runner): r for r in rows}
    timed_ok = lambda *rs: all(r and r.times_ms for r in rs)  # noqa: E731
    for name in ("w1_close", "w1_touched", "w2"):
        full, floor = by.get((name, FULL_RUNNER)), by.get((name, FLOOR_RUNNER))
        if timed_ok(full, floor):
            r, rc = ratio(full, floor)
            out.append((f"{LABELS[name]}: backtest_ / floor = {r:.2f}x, cpu {rc:.2f}x "
                        f"(target <= {FLOOR_TARGET}x)", r <= FLOOR_TARGET))
    for name in ("w1_close", "w1_touched", "w2"):
        floor, touch = by.get((name, FLOOR_RUNNER)), by.get((name, TOUCH_RUNNER))
        jrow, walks = by.get((name, JOURNAL_RUNNER)), by.get((name, TOUCH_FULL_RUNNER))
        if timed_ok(floor, touch):
            r, _ = ratio(floor, touch)
            out.append((f"{LABELS[name]}: floor / touch limit = {r:.2f}x "
                        f"(target <= {TOUCH_TARGET}x)", r <= TOUCH_TARGET))
        if timed_ok(jrow, walks):
            r, _ = ratio(jrow, walks)
            out.append((f"{LABELS[name]}: journal.run / (touch limit + walks) = {r:.2f}x "
                        f"(target <= {TOUCH_FULL_TARGET}x)", r <= TOUCH_FULL_TARGET))
    for name, target in JOURNAL_TARGETS.items():
        jrow, floor = by.get((name, JOURNAL_RUNNER)), by.get((name, FLOOR_RUNNER))
        if timed_ok(jrow, floor):
            r, rc = ratio(jrow, floor)
            out.append((f"{LABELS[name]}: journal.run / floor = {r:.2f}x, cpu {rc:.2f}x "
                        f"(target <= {target}x)", r <= target))
    for r in rows:
        if r.runner.endswith("threads=2") and r.times_ms:
            one = by.get((r.workload, r.runner.replace("threads=2", "threads=1")))
            if timed_ok(one):
                x, _ = ratio(one, r)
                out.append((f"{LABELS[r.workload]}: run_many threads=2 / threads=1 throughput = "
                            f"{x:.2f}x (target >= {MANY_TARGET}x)", x >= MANY_TARGET))
    full = by.get(("w1_plain", FULL_RUNNER))
    for r in rows:
        if r.workload == "w1_plain" and r.runner.endswith("[prescribed]") and r.times_ms and full:
            x, xc = ratio(r, full)
            out.append((f"W1': vectorbt from_orders / backtest_ = {x:.1f}x, cpu {xc:.1f}x "
                        f"(target >= {PEER_TARGET}x)", x >= PEER_TARGET))
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes (W1 1000x500, W2 500x200)")
    ap.add_argument("--repeat", type=int, default=None,
                    help="timed runs per runner (default: 21 for pelmora's runners, which take a fraction "
                         "of a second, and 5 for vectorbt's; the targets need at least 5)")
    ap.add_argument("--only", default=",".join(ORDER + ["sweep"]),
                    help="comma-separated workloads: " + ",".join(ORDER + ["sweep"]))
    ap.add_argument("--peers", default="all", help="'all', 'none' or comma-separated: "
                    + ",".join(p.key for p in PEERS))
    ap.add_argument("--no-memory", action="store_true", help="skip the per-run memory children")
    ap.add_argument("--json", metavar="PATH", help="also write the raw measurements as JSON")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    ap.add_argument("--memory-child", nargs=2, metavar=("WORKLOAD", "RUNNER"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.memory_child:
        print(json.dumps(memory_child(*args.memory_child, args.quick)))
        return 0
    if args.repeat is not None and args.repeat < 1:
        ap.error("--repeat must be at least 1")
    own_repeat = args.repeat or 21
    peer_repeat = args.repeat or 5
    names = [n for n in args.only.split(",") if n]
    for n in names:
        if n not in ORDER and n != "sweep":
            ap.error(f"unknown workload {n!r}")
    with_sweep = "sweep" in names
    names = [n for n in names if n != "sweep"]
    wanted = {p.key for p in PEERS} if args.peers == "all" else set(filter(None, args.peers.split(",")))
    wanted.discard("none")
    if args.repeat is not None and args.repeat < 5:
        print(f"note: medians of {args.repeat} runs; the targets are stated for at least 5", file=sys.stderr)

    info = machine()
    rows: list[Row] = []
    failed = False
    for name in names:
        print(f"[{LABELS[name]}] building inputs ...", file=sys.stderr, flush=True)
        w = build(name, args.quick)
        own, reference = bench_pelmora(name, w, own_repeat)
        full, floor, jrow = own[:3]
        rows += own
        if full.failed:
            print(f"FAILED: {full.failed}", file=sys.stderr)
            failed = True
            continue
        print(f"[{LABELS[name]}] backtest_ {full.median:.1f} ms, floor {floor.median:.1f} ms, "
              f"journal {jrow.median:.1f} ms", file=sys.stderr, flush=True)
        if name == "w1_close":
            print(f"[{LABELS[name]}] run_many ...", file=sys.stderr, flush=True)
            many = bench_run_many(name, w, own_repeat)
            rows += many
            if many[0].failed:
                print(f"FAILED: {many[0].failed}", file=sys.stderr)
                failed = True
        if name == "w1_plain":
            for peer in PEERS:
                if peer.key not in wanted:
                    continue
                print(f"[{LABELS[name]}] {peer.label} ...", file=sys.stderr, flush=True)
                got = bench_peer(w, peer, reference, peer_repeat, full)
                for r in got:
                    r.memory_key = peer.key
                rows += got
                if got[0].failed and not got[0].failed.startswith("skipped"):
                    print(f"FAILED: {got[0].failed}", file=sys.stderr)
                    failed = True
                elif got[0].failed:
                    print(got[0].failed, file=sys.stderr)
        del w, reference
        gc.collect()

    if not args.no_memory:
        print("measuring peak memory, one child process per runner ...", file=sys.stderr, flush=True)
        for r in rows:
            if r.failed or r.runner.startswith("  ") or "run_many" in r.runner or "touch" in r.runner:
                continue
            key = r.memory_key or ("full" if r.runner == FULL_RUNNER else "floor")
            r.memory = measure_memory(r.workload, key, args.quick)

    sweep_rows, sweep_targets = [], []
    if with_sweep:
        import sweep_bench

        print("[sweep] 64 combinations on every backend ...", file=sys.stderr, flush=True)
        sweep_rows, sweep_targets = sweep_bench.run(args.quick, args.repeat or 3)
        failed |= any(note.startswith(("table differs", "failed rows")) for _, _, note in sweep_rows)

    info["load_end"] = os.getloadavg()
    print_table(rows, info, (own_repeat, peer_repeat), args.quick)
    if with_sweep:
        sweep_bench.print_rows(sweep_rows, args.quick)
    print()
    print("Targets (ratios of wall-clock medians, same process; cpu: the same on CPU-time medians)"
          + (" -- stated for the full sizes, shown here for --quick only as a trend:" if args.quick else ":"))
    missed = False
    for text, ok in targets(rows) + sweep_targets:
        print(f"  {'met    ' if ok else 'MISSED '} {text}")
        missed |= not ok
    print()
    print("py peak / py kept: tracemalloc peak of one run and what the run leaves allocated (its outputs);")
    print("RSS peak +MB: growth of the kernel's peak resident set over the run, fresh child process.")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "quick": args.quick, "repeat": [own_repeat, peer_repeat],
                       "rows": [dict(workload=r.workload, runner=r.runner, times_ms=r.times_ms, cpu_ms=r.cpu_ms, ratio=r.ratio,
                                     note=r.note, memory=r.memory, failed=r.failed) for r in rows]},
                      f, indent=1)
    if failed:
        print("\nBENCHMARK FAILED: an equity check did not pass (see above); those runners were not timed.")
        return 1
    return 1 if (args.strict and missed) else 0


if __name__ == "__main__":
    sys.exit(main())
