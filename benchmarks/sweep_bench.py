"""The sweep workload: 64 combinations of stops and rebalance frequencies on a 2500 x 500 market.

The same grid runs as a serial loop of ``pelmora.backtest`` (the baseline), through
``pelmora.sweep`` on threads, on a process pool and on a Dask cluster (one worker process with a
thread per CPU, started before the clock runs), each table checked equal to the loop's, row for
row, before its time counts.  vectorbt does the part of the grid it can express, the rebalance-only
combinations (no stops, no costs), as one broadcast ``from_orders`` call over the four frequencies
side by side; its equity curves must agree with pelmora's within 1e-9 before it is timed.
"""

from __future__ import annotations

import math
import os
import statistics
import time
from typing import Any

import numpy as np

import peers
import workloads
from timing import timed

GRID = {
    "stop_loss": [None, 0.03, 0.05, 0.08, 0.1, 0.15, 0.2, 0.3],
    "take_profit": [None, 0.25],
    "rebalance": ["W-FRI", "ME", "QE", "YE"],
}
FIXED = {"excursion_window": 20}
THREADS_TARGET = 1.8   # threads against the serial loop, on 2 cores
PEER_TARGET = 50.0     # vectorbt's broadcast call against pelmora's sweep of the same combinations


def build(quick: bool) -> tuple[Any, dict[str, Any], workloads.Workload]:
    import pandas as pd

    n_rows, n_stocks = (500, 100) if quick else (2500, 500)
    a = workloads.market(n_rows, n_stocks, seed=3)
    rows = np.arange(0, n_rows, 5)
    a["pos_values"] = workloads.rotating_weights(n_stocks, len(rows), n_stocks // 10, seed=3)
    a["pos_index"] = a["price_index"][rows]
    dates = pd.DatetimeIndex(a["price_index"].astype("datetime64[ns]"))
    frame = lambda m: pd.DataFrame(m, index=dates, columns=list(a["columns"]), copy=False)  # noqa: E731
    prices = {"close": frame(a["close"]), "trade": frame(a["price"])}
    weights = pd.DataFrame(a["pos_values"], index=dates[rows], columns=list(a["columns"]))
    return weights, prices, workloads.Workload("sweep market", a)


def _time(fn, repeat: int) -> tuple[float, Any]:
    times, out = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        times.append((time.perf_counter() - t) * 1e3)
    return statistics.median(times), out


def _serial(weights, prices) -> Any:
    import pandas as pd

    import pelmora
    from pelmora.research.sweeps._plan import _combinations

    rows = []
    combos = _combinations(GRID)
    for combo in combos:
        stats = pelmora.backtest(weights, prices, **FIXED, **combo).stats()
        rows.append({**combo, **stats})
    table = pd.DataFrame(rows)
    for name in GRID:
        if any(v is None for v in GRID[name]):  # as the sweep keeps them: None, not NaN
            table[name] = pd.Series([c[name] for c in combos], dtype=object)
    return table


def _same(table, serial) -> str | None:
    import pandas as pd

    if table["error"].notna().any():
        return f"failed rows: {table['error'].dropna().iloc[0]}"
    try:
        pd.testing.assert_frame_equal(table.drop(columns="error"), serial)
    except AssertionError as exc:
        return f"table differs from the serial loop: {str(exc).splitlines()[0]}"
    return None


def _vectorbt(weights, prices, w: workloads.Workload, repeat: int) -> list[tuple[str, float, str]]:
    try:
        import vectorbt as vbt
    except ImportError:
        return [("vectorbt broadcast (rebalance-only)", float("nan"), "skipped: vectorbt not installed")]
    import pelmora
    from pelmora.inputs import rebalance_dates

    grid = {"rebalance": GRID["rebalance"]}
    plain = dict(fee=0.0, tax=0.0, **FIXED)
    ours_ms, table = _time(lambda: pelmora.sweep(grid, weights, prices, keep="equity",
                                                 progress=False, **plain), repeat)
    a = w.arrays
    dates = weights.index.__class__(a["price_index"].astype("datetime64[ns]"))
    sizes = []
    for freq in grid["rebalance"]:
        plan_w = workloads.Workload("plain", dict(a, resample=rebalance_dates(freq, dates, weights.index)),
                                    dict(fee_ratio=0.0, tax_ratio=0.0))
        size, _ = peers.target_percent(plan_w)
        sizes.append(size)
    n = a["close"].shape[1]
    size = np.hstack(sizes)
    close, trade = np.tile(a["close"], (1, len(sizes))), np.tile(a["price"], (1, len(sizes)))
    group = np.repeat(np.arange(len(sizes)), n)

    def broadcast():
        return vbt.Portfolio.from_orders(
            close, size, size_type="targetpercent", direction="longonly", price=trade,
            val_price=np.inf, init_cash=1.0, fees=0.0, fixed_fees=0.0, slippage=0.0, min_size=0.0,
            size_granularity=np.nan, allow_partial=True, lock_cash=False, group_by=group,
            cash_sharing=True, call_seq="auto",
        )

    broadcast()  # compile first: the timing is of warm calls
    theirs_ms, pf = _time(broadcast, max(1, repeat // 2))
    value = np.asarray(pf.value(), dtype=np.float64)
    for k in range(len(sizes)):
        peers.check_agreement(table["equity"].iloc[k].to_numpy(), value[:, k],
                              f"rebalance={grid['rebalance'][k]}")
    return [
        ("pelmora.sweep, 4 rebalance-only combinations", ours_ms, ""),
        ("vectorbt broadcast from_orders, the same 4", theirs_ms,
         f"{theirs_ms / ours_ms:.1f}x pelmora's time (target {PEER_TARGET:.0f}x)"),
    ]


def _fingerprint_row(weights, prices, sweep_ms: float, repeat: int) -> tuple[str, float, str]:
    """What a store adds before anything runs: the fingerprint of every input, against the sweep."""
    from pelmora.options import make_options
    from pelmora.research.sweeps._plan import _inputs_fingerprints

    base = make_options(None, FIXED, "sweep")
    ms, _ = _time(lambda: _inputs_fingerprints({None: weights}, prices, base, GRID), max(3, repeat))
    size = sum(f.to_numpy().nbytes for f in prices.values()) + weights.to_numpy().nbytes
    return ("fingerprint of the inputs (store=)", ms,
            f"{100 * ms / sweep_ms:.1f} % of the threads sweep, {size / 1e6:.0f} MB hashed")


def run(quick: bool, repeat: int) -> tuple[list[tuple[str, float, str]], list[tuple[str, bool]]]:
    """Rows of (runner, median ms, note) and the targets (text, met)."""
    import distributed

    import pelmora

    weights, prices, w = build(quick)
    n = int(np.prod([len(v) for v in GRID.values()]))
    serial_ms, serial = _time(lambda: _serial(weights, prices), repeat)
    rows = [(f"serial loop of pelmora.backtest, {n} runs", serial_ms, "baseline")]
    ratios: dict[str, float] = {}

    def timed_sweep(label: str, **kw) -> None:
        ms, table = _time(lambda: pelmora.sweep(GRID, weights, prices, progress=False, **FIXED, **kw),
                          repeat)
        bad = _same(table, serial)
        ratios[label] = serial_ms / ms
        rows.append((label, ms, bad or f"{serial_ms / ms:.2f}x the loop's throughput"))

    cpus = len(os.sched_getaffinity(0))
    timed_sweep(f"sweep, threads ({cpus})", backend="threads")
    rows.append(_fingerprint_row(weights, prices, rows[-1][1], repeat))
    timed_sweep(f"sweep, processes ({cpus})", backend="processes", max_workers=cpus)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=cpus, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        timed_sweep(f"sweep, dask (1 worker x {cpus} threads, started)", backend="dask", client=client)
    peer = _vectorbt(weights, prices, w, repeat)
    rows += peer
    targets = [(f"threads >= {THREADS_TARGET}x the serial loop: "
                f"{ratios[f'sweep, threads ({cpus})']:.2f}x", ratios[f"sweep, threads ({cpus})"] >= THREADS_TARGET)]
    if len(peer) == 2:
        ratio = peer[1][1] / peer[0][1]
        targets.append((f"vectorbt's broadcast call >= {PEER_TARGET:.0f}x pelmora's sweep: {ratio:.1f}x",
                        ratio >= PEER_TARGET))
    return rows, targets


def print_rows(rows: list[tuple[str, float, str]], quick: bool) -> None:
    size = "500 x 100" if quick else "2500 x 500"
    print(f"\nSweep: {int(np.prod([len(v) for v in GRID.values()]))} combinations "
          f"(stop_loss x take_profit x rebalance) on {size}")
    print(f"{'runner':<52} {'median ms':>11}  note")
    for label, ms, note in rows:
        print(f"{label:<52} {ms:>11.1f}  {note}")


# --- variants of one market: how a sweep's cost grows with its size ------------------------------
#
#     python benchmarks/sweep_bench.py [--quick] [--counts 1,16,64,256,1024] [--no-peer] [--no-memory]
#
# Each variant is its own weight frame and stop-loss over the shared prices, run through
# ``journal.run_many`` with the switches a keep="stats" sweep asks for (no book, excursion
# summaries), in calls of at most CALL_VARIANTS variants whose outputs are dropped before the
# next, as the sweep's chunks are. Bars per second count rows x stocks x variants. The ratios are
# of times measured in this process: N variants against one run, two threads against one.

COUNTS = (1, 16, 64, 256, 1024)
CALL_VARIANTS = 64     # the sweep's largest chunk
UNBATCHED_UP_TO = 256  # counts also timed with batch=1 (each variant its own pass)
SINGLES = 8            # variants timed alone: the "one run" of the ratios
FRAMES = 16            # distinct weight frames, cycled; the stops keep every variant distinct
SCALING_TARGETS = {64: 12.0, 1024: 150.0}   # N variants on one thread within this many runs
TWO_THREADS_TARGET = 1.8
VBT_TARGET = 100.0     # vectorbt's multi-column from_orders over pelmora's run_many, 64 variants
MEMORY_TARGET = 2.0    # peak of a 1,024-variant keep="stats" sweep, in price inputs


def variant_markets(quick: bool) -> dict[str, workloads.Workload]:
    """W2-like (2,500 x 500, 50 holdings, monthly) and the long panel (1,000,000 x 8)."""
    n_rows, n_stocks = (500, 100) if quick else (2500, 500)
    a = workloads.market(n_rows, n_stocks, seed=3)
    rows = np.arange(0, n_rows, 21)
    a["pos_values"] = workloads.rotating_weights(n_stocks, len(rows), n_stocks // 10, seed=3)
    a["pos_index"] = a["price_index"][rows]
    a["resample"] = a["pos_index"].copy()
    w2m = workloads.Workload("W2 monthly", a, dict(swaylen_window=20))
    return {"W2": w2m, "long panel": workloads.w3(100_000 if quick else 1_000_000)}


def _frames(w: workloads.Workload) -> list[np.ndarray]:
    shape = w.arrays["pos_values"].shape
    n_hold = max(1, int(np.count_nonzero(w.arrays["pos_values"][0])))
    return [workloads.rotating_weights(shape[1], shape[0], n_hold, seed=100 + k) for k in range(FRAMES)]


def _variants(w: workloads.Workload, frames: list[np.ndarray], n: int, plain: bool = False) -> list[dict]:
    out = []
    for k in range(n):
        v = dict(w.options, pos_values=frames[k % len(frames)])
        if plain:  # the work vectorbt can do too: no stop, no costs
            v.update(fee_ratio=0.0, tax_ratio=0.0)
        else:
            # Spread over [0.03, 0.15) by the golden ratio: every count's variants are the first
            # of one sequence, each with its own stop.
            v["stop_loss"] = 0.03 + 0.12 * ((k * 0.6180339887498949) % 1.0)
        out.append(v)
    return out


def _arrays(w: workloads.Workload) -> dict:
    from pelmora.engine._vocabulary import ARRAY_NAMES

    return dict(zip(ARRAY_NAMES, w.args()))


def _run_many(w: workloads.Workload, variants: list[dict], threads: int, batch=None) -> None:
    from pelmora.core import journal

    arrays = _arrays(w)
    for start in range(0, len(variants), CALL_VARIANTS):
        outs = journal.run_many(arrays, variants[start:start + CALL_VARIANTS], threads=threads,
                                positions=False, excursions="summary", closes_checked=True,
                                batch=batch)
        for out in outs:
            if isinstance(out, BaseException):
                raise out
        del outs


def _check_batched_equity(w: workloads.Workload, variants: list[dict]) -> None:
    """run_many's equity of every variant, bit for bit its own journal.run's, before any timing."""
    from pelmora.core import journal

    arrays = _arrays(w)
    many = journal.run_many(arrays, variants, threads=2, positions=False, excursions="summary")
    for k, (v, out) in enumerate(zip(variants, many)):
        opts = {key: val for key, val in v.items() if key != "pos_values"}
        args = list(w.args())
        args[7] = v["pos_values"]
        one = journal.run(*args, **opts, positions=False, excursions="summary")
        if not np.array_equal(one["creturn"].view(np.int64), out["creturn"].view(np.int64)):
            raise AssertionError(f"{w.name}: variant {k} of run_many differs from its own run")


def scaling(quick: bool, counts: tuple[int, ...], repeat: int) -> list[dict]:
    """One row per (market, variants, threads): median seconds, bars/s, ratio to one run."""
    rows = []
    for name, w in variant_markets(quick).items():
        frames = _frames(w)
        _check_batched_equity(w, _variants(w, frames, 4))
        cells = w.arrays["close"].size
        # One run: the median of the first variants each run alone (a stop that empties the book
        # early makes a run cheaper than one that holds on).
        singles = _variants(w, frames, SINGLES)
        one = statistics.median(
            statistics.median(timed(lambda: _run_many(w, [v], 1))[0] for _ in range(repeat))
            for v in singles) / 1e3
        for n in counts:
            variants = _variants(w, frames, n)
            reps = repeat if n <= 64 else 1
            per_threads: dict = {1: [], 2: [], "unbatched": []}
            for _ in range(reps):   # one thread, two, and unbatched alternately: the same load
                for threads in (1, 2):
                    per_threads[threads].append(timed(lambda: _run_many(w, variants, threads))[0])
                if n <= UNBATCHED_UP_TO:
                    per_threads["unbatched"].append(timed(lambda: _run_many(w, variants, 1, 1))[0])
            alone = (statistics.median(per_threads["unbatched"]) / 1e3
                     if per_threads["unbatched"] else math.nan)
            for threads in (1, 2):
                s = statistics.median(per_threads[threads]) / 1e3
                rows.append(dict(market=name, variants=n, threads=threads, seconds=s,
                                 bars_per_s=cells * n / s, runs=s / one,
                                 unbatched=alone / s if threads == 1 else math.nan))
            print(f"  {name}: {n} variants, 1 thread {rows[-2]['seconds'] * 1e3:.1f} ms "
                  f"({rows[-2]['runs']:.1f} runs), 2 threads {rows[-1]['seconds'] * 1e3:.1f} ms, "
                  f"unbatched {alone * 1e3:.1f} ms", flush=True)
    return rows


def versus_vectorbt(quick: bool, n: int = 64) -> dict | None:
    """vectorbt's from_orders on n plain variants as columns of one call, against run_many of the
    same n on one thread; the equity of every variant checked first."""
    try:
        import vectorbt as vbt
    except ImportError:
        print("vectorbt is not installed (pip install '.[bench]'): its comparison is skipped")
        return None
    from pelmora.core import journal

    w = variant_markets(quick)["W2"]
    variants = _variants(w, _frames(w), n, plain=True)
    sizes = []
    for v in variants:
        pw = workloads.Workload("plain", dict(w.arrays, pos_values=v["pos_values"]),
                                dict(fee_ratio=0.0, tax_ratio=0.0))
        sizes.append(peers.target_percent(pw)[0])
    a = w.arrays
    n_stocks = a["close"].shape[1]
    size = np.hstack(sizes)
    close, trade = np.tile(a["close"], (1, n)), np.tile(a["price"], (1, n))
    group = np.repeat(np.arange(n), n_stocks)

    def columns(c, s, t, g):
        return vbt.Portfolio.from_orders(
            c, s, size_type="targetpercent", direction="longonly", price=t, val_price=np.inf,
            init_cash=1.0, fees=0.0, fixed_fees=0.0, slippage=0.0, min_size=0.0,
            size_granularity=np.nan, allow_partial=True, lock_cash=False, group_by=g,
            cash_sharing=True, call_seq="auto")

    # Compiled on a small slice first: the timed call is warm.
    columns(close[:50, :2 * n_stocks], size[:50, :2 * n_stocks], trade[:50, :2 * n_stocks], group[:2 * n_stocks])
    theirs, _, pf = timed(lambda: columns(close, size, trade, group))
    value = np.asarray(pf.value(), dtype=np.float64)
    a_ = w.arrays
    for k, v in enumerate(variants):
        args = list(w.args())
        args[7] = v["pos_values"]
        ours = journal.run(*args, **{key: x for key, x in v.items() if key != "pos_values"},
                           positions=False, excursions=False)["creturn"]
        peers.check_agreement(ours, value[:, k], f"variant {k}")
    del pf, value, close, trade, size, a_
    mine = statistics.median(timed(lambda: _run_many(w, variants, 1))[0] for _ in range(5))
    return dict(variants=n, vectorbt_ms=theirs, pelmora_ms=mine, ratio=theirs / mine)


_MEMORY_CHILD = r"""
import sys, numpy as np
sys.path.insert(0, {bench!r})
import sweep_bench, pelmora
weights, prices, w = sweep_bench.build({quick})
grid = {{"stop_loss": list(np.linspace(0.01, 0.5, 32)), "take_profit": list(np.linspace(0.05, 1.0, 32))}}
price_bytes = sum(f.to_numpy().nbytes for f in prices.values())
pelmora.sweep(grid, weights.iloc[:, :5], {{k: f.iloc[:50, :5] for k, f in prices.items()}},
              keep="stats", progress=False)   # the imports and first calls, before the mark
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:   # the high-water mark starts again from here
    f.write("5")
pelmora.sweep(grid, weights, prices, keep="stats", progress=False, excursion_window=20)
print(price_bytes, before, status("VmHWM:"))
"""


def sweep_memory(quick: bool) -> dict:
    """Peak resident memory a 1,024-combination keep="stats" sweep adds, in a fresh process."""
    import subprocess
    import sys

    code = _MEMORY_CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)), quick=quick)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    price_bytes, before, after = map(int, out.stdout.split()[-3:])
    return dict(price_mb=price_bytes / 1e6, added_mb=(after - before) / 1e6,
                ratio=(after - before) / price_bytes)


def main(argv=None) -> int:
    import argparse

    ap = argparse.ArgumentParser(description="Variants of one market: scaling, threads, peers, memory")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--counts", default=",".join(map(str, COUNTS)))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-peer", action="store_true")
    ap.add_argument("--no-memory", action="store_true")
    args = ap.parse_args(argv)
    counts = tuple(int(c) for c in args.counts.split(","))
    rows = scaling(args.quick, counts, args.repeat)
    print(f"\n{'market':<11} {'variants':>8} {'threads':>7} {'ms':>10} {'M bars/s':>10} {'x one run':>10}"
          f" {'unbatched/batched':>18}")
    for r in rows:
        gain = "" if math.isnan(r["unbatched"]) else f"{r['unbatched']:.2f}x"
        print(f"{r['market']:<11} {r['variants']:>8} {r['threads']:>7} {r['seconds'] * 1e3:>10.1f} "
              f"{r['bars_per_s'] / 1e6:>10.0f} {r['runs']:>10.1f} {gain:>18}")
    print("\ntargets (measured in this process):")
    for r in rows:
        if r["market"] == "W2" and r["threads"] == 1 and r["variants"] in SCALING_TARGETS:
            t = SCALING_TARGETS[r["variants"]]
            print(f"  W2, {r['variants']} variants on one thread within {t:.0f}x one run: "
                  f"{r['runs']:.1f}x {'met' if r['runs'] <= t else 'MISSED'}")
    for market in dict.fromkeys(r["market"] for r in rows):
        n = max(r["variants"] for r in rows if r["market"] == market)
        t1, t2 = (next(r["seconds"] for r in rows if r["market"] == market and r["variants"] == n
                       and r["threads"] == k) for k in (1, 2))
        print(f"  {market}, {n} variants, two threads >= {TWO_THREADS_TARGET}x one: {t1 / t2:.2f}x "
              f"{'met' if t1 / t2 >= TWO_THREADS_TARGET else 'MISSED'}")
    if not args.no_peer:
        peer = versus_vectorbt(args.quick)
        if peer:
            print(f"  vectorbt from_orders, {peer['variants']} variants as columns: {peer['vectorbt_ms']:.0f} ms "
                  f"against run_many's {peer['pelmora_ms']:.1f} ms on one thread: {peer['ratio']:.1f}x "
                  f"(target >= {VBT_TARGET:.0f}x) {'met' if peer['ratio'] >= VBT_TARGET else 'MISSED'}")
    if not args.no_memory:
        m = sweep_memory(args.quick)
        print(f"  1,024-combination keep='stats' sweep: peak adds {m['added_mb']:.0f} MB over "
              f"{m['price_mb']:.0f} MB of prices: {m['ratio']:.2f}x (target <= {MEMORY_TARGET:.0f}x) "
              f"{'met' if m['ratio'] <= MEMORY_TARGET else 'MISSED'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
