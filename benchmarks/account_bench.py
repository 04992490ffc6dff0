"""What a tradable account costs: W1 close with capital, lots, slippage and financing.

The journal runs W1 close (4000 x 2000, stops, a monthly rebalance into 100 stocks) twice per
round in the same process, alternating: once as the unit portfolio (every account option at its
default) and once as a 10 M account trading whole lots of 100 shares, paying 5 bp of slippage and
a minimum fee of 1, with 3 % on cash and 5 % on borrowing. Before any time counts, the defaults are
checked bit for bit against ``backtest_``'s equity. The figure is the median ratio of the two,
wall clock and CPU; the target is at most 1.2x.

    python benchmarks/account_bench.py [--quick] [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics

import numpy as np

import workloads
from timing import timed
from pelmora.core import journal, runvane

TARGET = 1.2
ACCOUNT = dict(capital=1e7, lot_size=100.0, slippage=0.0005, min_fee=1.0, cash_rate=0.03,
               borrow_rate=0.05)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="W1 at 1000 x 500")
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args(argv)
    w = workloads.w1(False, *((1000, 500) if args.quick else (4000, 2000)))

    plain = lambda: journal.run(*w.args(), **w.options)  # noqa: E731
    account = lambda: journal.run(*w.args(), **w.options, **ACCOUNT)  # noqa: E731
    reference = runvane.backtest_(*w.args(), **w.options)
    same = np.array_equal(plain()["creturn"].view(np.int64), reference.view(np.int64))
    out = account()
    print(f"{w.name}: {w.arrays['price'].shape[0]} rows x {w.arrays['price'].shape[1]} stocks")
    print(f"  defaults bit for bit backtest_: {same}")
    print(f"  account run: {len(out['fills']['row'])} fills, final equity "
          f"{out['creturn'][-1]:.4f} (unit portfolio {reference[-1]:.4f}), slippage "
          f"{out['fills']['slippage'].sum():.4f}, interest {out['financing']['interest'].sum():.4f}")
    if not same:
        print("  FAILED: the defaults are not backtest_'s run")
        return 1

    walls: dict[str, list[float]] = {"plain": [], "account": []}
    cpus: dict[str, list[float]] = {"plain": [], "account": []}
    for _ in range(args.repeat):
        for name, fn in (("plain", plain), ("account", account)):
            wall, cpu, _ = timed(fn)
            walls[name].append(wall)
            cpus[name].append(cpu)
    med = {k: statistics.median(v) for k, v in walls.items()}
    cpu = {k: statistics.median(v) for k, v in cpus.items()}
    ratio, cpu_ratio = med["account"] / med["plain"], cpu["account"] / cpu["plain"]
    print(f"  journal.run, unit portfolio: median {med['plain']:.1f} ms (cpu {cpu['plain']:.1f})")
    print(f"  journal.run, account:        median {med['account']:.1f} ms (cpu {cpu['account']:.1f})")
    ok = ratio <= TARGET or cpu_ratio <= TARGET
    print(f"  account / unit portfolio = {ratio:.2f}x, cpu {cpu_ratio:.2f}x "
          f"(target <= {TARGET}x): {'met' if ok else 'MISSED'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
