"""What liquidity costs: W1 close capped by volume, and a capacity curve of W1.

(a) The journal runs W1 close (4000 x 2000, stops, a monthly rebalance into 100 stocks) in the
same process, alternating: once as it is, once as a 1e8 account whose fills take at most 5 % of
each day's volume (a synthetic volume of 1e5 to 1e7 shares a day per stock, seeded), and once
more with a square-root impact on top. Before any time counts, the run without volume is checked
bit for bit against ``backtest_``'s equity. The figure is the median ratio, wall clock and CPU;
the target for the capped run is at most 1.5x.

(b) ``pelmora.capacity`` runs W1 close through the user layer at 20 capitals from 1e5 to 1e10 on
2 threads (one run_many call): the time of the whole curve, per capital, and against one plain
``pelmora.backtest`` of the same inputs.

    python benchmarks/capacity_bench.py [--quick] [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics

import numpy as np

import workloads
from timing import timed
from pelmora.engine._vocabulary import RunRecord
from pelmora.results._orders import fill_rate
from pelmora.core import journal, runvane

TARGET = 1.5
CAPPED = dict(capital=1e8, max_participation=0.05)
IMPACT = dict(CAPPED, impact=0.5)


def synthetic_volume(shape: tuple[int, int], seed: int = 7) -> np.ndarray:
    """Shares traded per day: a level per stock, log-uniform from 1e5 to 1e7, times a daily
    log-normal factor (sigma 0.5, mean 1)."""
    rng = np.random.default_rng(seed)
    level = 10.0 ** rng.uniform(5.0, 7.0, shape[1])
    noise = np.exp(rng.normal(-0.125, 0.5, shape))
    return np.ascontiguousarray(level[None, :] * noise)


def participation(w, volume: np.ndarray, repeat: int) -> bool:
    plain = lambda: journal.run(*w.args(), **w.options)
    capped = lambda: journal.run(*w.args(), **w.options, volume=volume, **CAPPED)
    impact = lambda: journal.run(*w.args(), **w.options, volume=volume, **IMPACT)
    reference = runvane.backtest_(*w.args(), **w.options)
    same = np.array_equal(plain()["creturn"].view(np.int64), reference.view(np.int64))
    print(f"(a) {w.name}: {volume.shape[0]} rows x {volume.shape[1]} stocks")
    print(f"  without volume bit for bit backtest_: {same}; plain: "
          f"{len(plain()['fills']['row'])} fills")
    for name, fn in (("capped", capped), ("capped + impact", impact)):
        out = fn()
        fills = out["fills"]
        rate = fill_rate(RunRecord.from_journal(out))
        print(f"  {name}: {len(fills['row'])} fills, {len(out['pending']['row'])} pending rows, "
              f"final equity {out['creturn'][-1]:.4f} (plain {reference[-1]:.4f}), impact "
              f"{fills['impact'].sum():.4f}, written off {fills['written_off'].sum():.4f}, "
              f"fill rate {rate:.3f}")
    if not same:
        print("  FAILED: the run without volume is not backtest_'s")
        return False
    runs = {"plain": plain, "capped": capped, "impact": impact}
    walls: dict[str, list[float]] = {k: [] for k in runs}
    cpus: dict[str, list[float]] = {k: [] for k in runs}
    for _ in range(repeat):
        for name, fn in runs.items():
            wall, cpu, _ = timed(fn)
            walls[name].append(wall)
            cpus[name].append(cpu)
    med = {k: statistics.median(v) for k, v in walls.items()}
    cpu = {k: statistics.median(v) for k, v in cpus.items()}
    for name in runs:
        print(f"  journal.run, {name:7s}: median {med[name]:.1f} ms (cpu {cpu[name]:.1f})")
    ratio, cpu_ratio = med["capped"] / med["plain"], cpu["capped"] / cpu["plain"]
    ok = ratio <= TARGET or cpu_ratio <= TARGET
    print(f"  capped / plain = {ratio:.2f}x, cpu {cpu_ratio:.2f}x (target <= {TARGET}x): "
          f"{'met' if ok else 'MISSED'}")
    print(f"  capped + impact / plain = {med['impact'] / med['plain']:.2f}x, cpu "
          f"{cpu['impact'] / cpu['plain']:.2f}x")
    return True


def curve(w, volume: np.ndarray, repeat: int) -> None:
    import pandas as pd

    import pelmora

    a = w.arrays
    dates = pd.DatetimeIndex(a["price_index"].astype("datetime64[ns]"))
    stocks = list(a["columns"])
    frame = lambda m: pd.DataFrame(m, index=dates, columns=stocks, copy=False)
    prices = {"close": frame(a["close"]), "open": frame(a["open"]), "high": frame(a["high"]),
              "low": frame(a["low"]), "volume": frame(volume)}
    weights = pd.DataFrame(a["pos_values"], columns=stocks,
                           index=pd.DatetimeIndex(a["pos_index"].astype("datetime64[ns]")))
    options = dict(trade_at="open", stop_loss=0.1, take_profit=0.2, trailing_stop=0.05,
                   trailing_activation=0.1, excursion_window=60, excursion_step=5)
    capitals = np.geomspace(1e5, 1e10, 20)
    run = lambda: pelmora.capacity(weights, prices, capitals=capitals, volume=None,
                                   max_participation=0.05, impact=0.5, threads=2, **options)
    single = lambda: pelmora.backtest(weights, prices, capital=1e8, max_participation=0.05,
                                      impact=0.5, **options)
    table = run()
    walls, cpus, singles = [], [], []
    for _ in range(repeat):
        wall, cpu, _ = timed(run)
        walls.append(wall)
        cpus.append(cpu)
        singles.append(timed(single)[0])
    wall, cpu, one = statistics.median(walls), statistics.median(cpus), statistics.median(singles)
    print("(b) pelmora.capacity of W1 close, 20 capitals from 1e5 to 1e10, 2 threads, "
          "participation 0.05, impact 0.5")
    print(f"  whole curve: median {wall:.0f} ms (cpu {cpu:.0f}), {wall / 20:.1f} ms per capital; "
          f"one pelmora.backtest {one:.0f} ms: the curve costs {wall / one:.1f} backtests")
    shown = table[["total_return", "sharpe", "fill_rate", "impact_cost"]]
    print(shown.iloc[::4].to_string(float_format=lambda v: f"{v:.4f}"))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="W1 at 1000 x 500")
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args(argv)
    w = workloads.w1(False, *((1000, 500) if args.quick else (4000, 2000)))
    volume = synthetic_volume(w.arrays["close"].shape)
    if not participation(w, volume, args.repeat):
        return 1
    curve(w, volume, max(3, args.repeat // 2))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
