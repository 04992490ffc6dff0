"""The sweep workload: 64 combinations of stops and rebalance frequencies on a 2500 x 500 market.

The same grid runs as a serial loop of ``pelmora.backtest`` (the baseline), through
``pelmora.sweep`` on threads, on a process pool and on a Dask cluster (one worker process with a
thread per CPU, started before the clock runs), each table checked equal to the loop's, row for
row, before its time counts.  vectorbt does the part of the grid it can express, the rebalance-only
combinations (no stops, no costs), as one broadcast ``from_orders`` call over the four frequencies
side by side; its equity curves must agree with pelmora's within 1e-9 before it is timed.
"""

from __future__ import annotations

import os
import statistics
import time
from typing import Any

import numpy as np

import peers
import workloads

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
    from pelmora.sweeps._plan import _combinations

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
    from pelmora.sweeps._plan import _inputs_fingerprints

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
