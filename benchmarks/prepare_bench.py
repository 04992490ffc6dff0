"""What checking the inputs costs: ``prepare_inputs`` on a W1 market of DataFrames against the floor.

W1 (4000 rows x 2000 stocks, about 1% missing prices) is turned into what a user hands over:
close, open, high, low and trade DataFrames with dates and stock ids, and a weights DataFrame
with the 190 monthly rows. ``pelmora.api.prepare_inputs`` checks and aligns them (every price of
the fields the run reads, the weights, the schedule); the numeric floor
(``_testsupport.backtest_floor``) runs the same arrays. Both are timed alternately in this
process, each call after a ``gc.collect()``; the figure is the ratio of the medians, and the
target is prepare_inputs at most 0.3x the floor. "W1 close" reads the trade and close prices,
"W1 touched" (intraday stops) the open, high and low as well, with high against low. The
native pass of the price checks alone (``_price_fault`` on the frames' arrays, as ``prepare_inputs``
hands them) is timed in the same rotation, to show how much of ``prepare_inputs`` is the reading of
the prices (bound by memory bandwidth) and how much the rest.

    python benchmarks/prepare_bench.py [--quick] [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics

import numpy as np
import pandas as pd

import workloads
from timing import timed
from pelmora.api import prepare_inputs
from pelmora.inputs._prices import MODERATE, PRICE_RANGE
from pelmora.core import _testsupport
from pelmora.core.journal import _price_fault

TARGET = 0.3


def user_market(w: workloads.Workload) -> tuple[pd.DataFrame, dict[str, pd.DataFrame]]:
    a = w.arrays
    dates, stocks = pd.DatetimeIndex(a["price_index"]), pd.Index(a["columns"])
    frame = lambda values: pd.DataFrame(values, index=dates, columns=stocks)  # noqa: E731
    prices = {"close": frame(a["close"]), "open": frame(a["open"]), "high": frame(a["high"]),
              "low": frame(a["low"]), "trade": frame(a["price"])}
    weights = pd.DataFrame(a["pos_values"], index=pd.DatetimeIndex(a["pos_index"]), columns=stocks)
    return weights, prices


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="W1 at 1000 x 500")
    ap.add_argument("--repeat", type=int, default=21)
    args = ap.parse_args(argv)
    size = (1000, 500) if args.quick else (4000, 2000)
    missed = False
    for touched in (False, True):
        w = workloads.w1(touched, *size)
        weights, prices = user_market(w)
        options = dict(rebalance=None, intraday_stops=touched, stop_loss=0.1, take_profit=0.2,
                       trailing_stop=0.05, trailing_activation=0.1, excursion_window=60,
                       excursion_step=5)
        prepare = lambda: prepare_inputs(weights, prices, **options)  # noqa: E731
        floor = lambda: w.run(_testsupport.backtest_floor)  # noqa: E731
        arrays = prepare().arguments
        same = all(np.array_equal(arrays[name], w.arrays[key], equal_nan=True) for name, key in
                   (("close_values", "close"), ("price_values", "price"), ("pos_values", "pos_values")))
        floor()
        # The distinct matrices the checks read, as check_prices passes them.
        fields = ("price_values", "close_values") + (
            ("open_values", "high_values", "low_values") if touched else ())
        matrices = [arrays[name] for name in fields]
        used = np.arange(matrices[0].shape[1], dtype=np.int64)
        pair = (3, 4) if touched else (-1, -1)
        bounds = (*PRICE_RANGE, *MODERATE)
        native = lambda: _price_fault(matrices, used, *pair, bounds)  # noqa: E731
        times: dict[str, list[float]] = {"prepare": [], "floor": [], "native": []}
        for k in range(args.repeat):
            order = (("prepare", prepare), ("floor", floor), ("native", native))
            for name, fn in order if k % 2 == 0 else order[::-1]:
                times[name].append(timed(fn)[0])
        p, f = statistics.median(times["prepare"]), statistics.median(times["floor"])
        n = statistics.median(times["native"])
        ratio = p / f
        missed = missed or ratio > TARGET
        label = "W1 touched" if touched else "W1 close"
        print(f"{label} ({size[0]} x {size[1]}), arrays as the workload's: {same}")
        print(f"  prepare_inputs  median {p:7.2f} ms  min {min(times['prepare']):7.2f} ms")
        print(f"  floor           median {f:7.2f} ms  min {min(times['floor']):7.2f} ms")
        print(f"  native checks   median {n:7.2f} ms  min {min(times['native']):7.2f} ms  "
              f"({n / p:.0%} of prepare_inputs: {len(matrices)} matrices of "
              f"{matrices[0].nbytes / 2**20:.0f} MB read)")
        print(f"  prepare_inputs / floor = {ratio:.2f}x (target <= {TARGET}x: "
              f"{'met' if ratio <= TARGET else 'MISSED'})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
