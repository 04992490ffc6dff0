"""W3, the long panel: 1,000,000 rows x 8 stocks, a rebalance every 720 rows.

On a long, narrow panel the per-row fixed cost of the row loop dominates; this script sets it
against the memory the run must read. In one process, alternating:

- **stream**: summing the trade-price and close matrices, the least any run must touch;
- **floor**: ``_testsupport.backtest_floor``, the arithmetic alone;
- **backtest_**: the full run (trade records, excursion arrays, report);
- **journal**: ``journal.run`` with every output; lean (no book, excursion summaries only, what
  ``pelmora.backtest`` asks for); and orders (the equity curve, fills and trades without any
  excursion analysis: what vectorbt's simulation gives);
- **vectorbt**: ``Portfolio.from_orders`` (target percent, cash sharing) when vectorbt is
  installed, its equity checked against pelmora's to 1e-9 before it is timed.

    python benchmarks/long_panel.py [--rows N] [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics

import numpy as np

import peers
import workloads
from timing import timed
from pelmora.core import _testsupport, journal, runvane


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=9)
    args = ap.parse_args(argv)
    w = workloads.w3(args.rows)
    a = w.arrays
    runners = {
        "stream": lambda: (a["price"].sum(), a["close"].sum()),
        "floor": lambda: _testsupport.backtest_floor(*w.args(), **w.options),
        "backtest_": lambda: runvane.backtest_(*w.args(), **w.options),
        "journal": lambda: journal.run(*w.args(), **w.options),
        "journal, lean": lambda: journal.run(*w.args(), **w.options, positions=False,
                                             excursions="summary"),
        "journal, orders": lambda: journal.run(*w.args(), **w.options, positions=False,
                                               excursions=False),
    }
    reference = runvane.backtest_(*w.args(), **w.options)
    floor = _testsupport.backtest_floor(*w.args(), **w.options)
    assert np.array_equal(floor.view(np.int64), reference.view(np.int64)), "floor != backtest_"
    try:
        import vectorbt  # noqa: F401

        size, _ = peers.target_percent(w)
        worst = peers.check_agreement(reference, peers.equity(peers.from_orders(w, size)), "vectorbt")
        runners["vectorbt from_orders"] = lambda: peers.from_orders(w, size)
        print(f"vectorbt equity within {worst:.1e} relative of pelmora's")
    except ImportError:
        print("vectorbt is not installed (pip install '.[bench]'): its row is skipped")
    times: dict[str, list[float]] = {k: [] for k in runners}
    for _ in range(args.repeat):
        for name, fn in runners.items():
            times[name].append(timed(fn)[0])
    med = {k: statistics.median(v) for k, v in times.items()}
    print(f"{w.name}: {a['price'].shape[0]} rows x {a['price'].shape[1]} stocks, "
          f"{len(a['pos_index'])} rebalances; medians of {args.repeat}, same process")
    for name, t in med.items():
        print(f"  {name:22s} {t:9.1f} ms (min {min(times[name]):8.1f})  "
              f"{t / med['stream']:6.1f}x stream  {t / med['floor']:6.2f}x floor")
    if "vectorbt from_orders" in med:
        for name in ("floor", "backtest_", "journal, orders"):
            print(f"  vectorbt / {name} = {med['vectorbt from_orders'] / med[name]:.1f}x")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
