"""What a user waits for: ``pelmora.backtest(weights, prices, **options).stats()`` on DataFrames
against the floor, on W1 and W2.

Each workload is turned into what a user hands over (close, open, high, low and trade DataFrames
with dates and stock ids, a weights DataFrame; pandas stores a frame made from a matrix by
columns, so the engine reads the prices column-major, as it does in a user's session), and the
call that takes it to the statistics is timed against the numeric floor
(``_testsupport.backtest_floor`` on the workload's own arrays). The same call is timed in its
three stages as well: ``prepare_inputs`` (the checks and the alignment), ``run_journal`` (the run
on the prepared inputs) and ``BacktestResult(...).stats()`` (the labels and the figures), so a
miss shows where it is. Every runner is warmed once, then all are timed in rotating order in
this process, each call after a ``gc.collect()``; the figures are medians and minimums of
wall-clock time. Targets: the whole call at most 2.0x the floor (ratio of medians), and its
median within 1.2x of its minimum.

    python benchmarks/user_bench.py [--quick] [--repeat N] [--only w1,w2]
"""

from __future__ import annotations

import argparse
import statistics
from collections.abc import Callable
from typing import Any

import numpy as np

import workloads
from prepare_bench import user_market
from timing import timed

import pelmora
from pelmora.engine._vocabulary import run_journal
from pelmora.api import prepare_inputs
from pelmora.core import _testsupport
from pelmora.result import BacktestResult

TARGET = 2.0
SPREAD = 1.2

# The workloads' engine options in the user's words.
OPTIONS: dict[str, dict[str, Any]] = {
    "w1": dict(stop_loss=0.1, take_profit=0.2, trailing_stop=0.05, trailing_activation=0.1,
               excursion_window=60, excursion_step=5),
    "w2": dict(excursion_window=20),
}


def workload(name: str, quick: bool) -> workloads.Workload:
    if name == "w1":
        return workloads.w1(False, *((1000, 500) if quick else (4000, 2000)))
    return workloads.w2(*((500, 200) if quick else (2500, 500)))


def measure(name: str, quick: bool, repeat: int) -> tuple[tuple[int, int], dict[str, list[float]]]:
    """The market's shape, and the wall-clock milliseconds of every runner on workload ``name``,
    alternated in this process."""
    w = workload(name, quick)
    weights, prices = user_market(w)
    options = dict(OPTIONS[name], rebalance=None)
    inputs = prepare_inputs(weights, prices, **options)
    record = run_journal(inputs)
    floor_equity = w.run(_testsupport.backtest_floor)
    if not np.array_equal(np.asarray(record.creturn), np.asarray(floor_equity)):
        raise SystemExit(f"{name}: the run on DataFrames and the floor differ in their equity")
    runners: dict[str, Callable[[], Any]] = {
        "floor": lambda: w.run(_testsupport.backtest_floor),
        "backtest().stats()": lambda: pelmora.backtest(weights, prices, **options).stats(),
        "prepare_inputs": lambda: prepare_inputs(weights, prices, **options),
        "run_journal": lambda: run_journal(inputs),
        "result + stats": lambda: BacktestResult(inputs, record).stats(),
    }
    for fn in runners.values():
        fn()
    times: dict[str, list[float]] = {label: [] for label in runners}
    order = list(runners.items())
    for k in range(repeat):
        for label, fn in order[k % len(order):] + order[: k % len(order)]:
            times[label].append(timed(fn)[0])
    return w.arrays["close"].shape, times


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="W1 at 1000 x 500, W2 at 500 x 200")
    ap.add_argument("--repeat", type=int, default=21)
    ap.add_argument("--only", default="w1,w2", help="comma-separated: w1, w2")
    ap.add_argument("--strict", action="store_true", help="exit 1 on a missed target")
    args = ap.parse_args(argv)
    missed = False
    for name in args.only.split(","):
        (rows, cols), times = measure(name, args.quick, args.repeat)
        med = {label: statistics.median(t) for label, t in times.items()}
        floor, total = med["floor"], med["backtest().stats()"]
        ratio, spread = total / floor, total / min(times["backtest().stats()"])
        missed = missed or ratio > TARGET or spread > SPREAD
        print(f"{name.upper()} ({rows} x {cols}), DataFrames in, statistics out")
        for label, t in times.items():
            share = f"{med[label] / floor:5.2f}x floor" if label != "floor" else ""
            print(f"  {label:20s} median {med[label]:7.2f} ms  min {min(t):7.2f} ms  {share}")
        print(f"  backtest().stats() / floor = {ratio:.2f}x (target <= {TARGET}x: "
              f"{'met' if ratio <= TARGET else 'MISSED'}); median / min = {spread:.2f} "
              f"(target <= {SPREAD}: {'met' if spread <= SPREAD else 'MISSED'})")
    return 1 if missed and args.strict else 0


if __name__ == "__main__":
    raise SystemExit(main())
