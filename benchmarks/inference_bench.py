"""The reality check of a sweep (500 trials x 2,520 days, 1,000 repetitions) and the bootstrap
intervals of one run's statistics (2,520 days, 1,000 repetitions), timed against ``arch``.

    python benchmarks/inference_bench.py            # full sizes (arch's loops take a minute)
    python benchmarks/inference_bench.py --quick    # 100 trials x 1,000 days, 200 repetitions
    python benchmarks/inference_bench.py --no-arch  # pelmora alone

Targets: ``pelmora.reality_check`` (White's reality check, Hansen's SPA, Romano and Wolf's StepM
and the model confidence set together) in at most 10 s on two cores at full size, and
``BacktestResult.stats(ci=0.95)`` in at most 0.5 s. The baseline, in the same process, is
``arch.bootstrap``'s loop over the repetitions: ``SPA`` and ``StepM`` on the same returns, seed
and block (its StepM reuses its SPA's repetitions), and ``StationaryBootstrap.conf_int`` of the
Sharpe ratio alone. Before anything is timed, the reality check's raw p-value must equal arch's
upper SPA p-value. The first call of each (importing arch, about a second) is not counted.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import statistics
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(__file__))
from timing import timed  # noqa: E402

import pelmora  # noqa: E402
from pelmora.stats import performance_stats  # noqa: E402


def sweep_table(n_rows: int, n_trials: int, seed: int = 11) -> pd.DataFrame:
    """A sweep's table as ``keep="returns"`` leaves it: one market factor, each trial's exposure
    and skill, its own noise."""
    rng = np.random.default_rng(seed)
    market = rng.normal(0.0003, 0.01, (n_rows, 1))
    beta = rng.uniform(0.2, 1.2, n_trials)
    skill = rng.normal(0.0, 0.0002, n_trials)
    values = market * beta + skill + rng.normal(0.0, 0.006, (n_rows, n_trials))
    dates = pd.bdate_range("2010-01-04", periods=n_rows)
    table = pd.DataFrame({"trial": range(n_trials), "error": None})
    table.attrs["returns"] = pd.DataFrame(values, index=dates, columns=table.index)
    return table


def median_of(fn, repeat: int) -> tuple[float, float]:
    runs = [timed(fn)[:2] for _ in range(repeat)]
    return statistics.median(w for w, _ in runs) / 1e3, statistics.median(c for _, c in runs) / 1e3


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="100 trials x 1,000 days, 200 reps")
    parser.add_argument("--no-arch", action="store_true", help="time pelmora alone")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs of pelmora's calls")
    args = parser.parse_args()
    n_rows, n_trials, reps = (1000, 100, 200) if args.quick else (2520, 500, 1000)
    table = sweep_table(n_rows, n_trials)
    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"load {os.getloadavg()[0]:.1f}; NumPy {np.__version__}")

    found = pelmora.reality_check(table, reps=reps, progress=False)  # warm: imports arch
    block = found["block"]
    rows = []
    wall, cpu = median_of(lambda: pelmora.reality_check(table, reps=reps, progress=False),
                          args.repeat)
    rows.append((f"reality_check {n_trials} x {n_rows}, {reps} reps", wall, cpu, 10.0))

    equity = pd.Series(np.cumprod(1 + table.attrs["returns"].iloc[:, 0].to_numpy()),
                       index=table.attrs["returns"].index)
    performance_stats(equity, ci=0.95, reps=reps)
    wall_ci, cpu_ci = median_of(lambda: performance_stats(equity, ci=0.95, reps=reps),
                                args.repeat)
    rows.append((f"performance_stats(ci=0.95) {n_rows} days, {reps} reps", wall_ci, cpu_ci, 0.5))

    if not args.no_arch:
        from arch.bootstrap import SPA, StationaryBootstrap, StepM

        values = table.attrs["returns"].to_numpy()
        zeros = np.zeros(n_rows)
        spa = SPA(zeros, -values, block_size=block, reps=reps, seed=0)
        spa.compute()
        if spa.pvalues["upper"] != found["rc_pvalue"]:
            print("arch's upper SPA p-value and rc_pvalue disagree: nothing of arch timed")
            return 1

        def arch_tests() -> None:
            stepm = StepM(zeros, -values, block_size=block, reps=reps, seed=0)
            stepm.compute()  # its SPA's repetitions, then the steps
            stepm.spa.pvalues

        w, c, _ = timed(arch_tests)
        rows.append(("arch SPA + StepM (raw means; no MCS)", w / 1e3, c / 1e3, math.nan))
        r = equity.pct_change().fillna(equity.iloc[0] - 1).to_numpy()
        boot = StationaryBootstrap(pelmora_block(r), r, seed=0)
        w, c, _ = timed(lambda: boot.conf_int(lambda x: x.mean() / x.std(ddof=1) * math.sqrt(252),
                                               reps=reps, method="percentile"))
        rows.append(("arch conf_int of the Sharpe ratio alone", w / 1e3, c / 1e3, math.nan))

    print(f"{'call':58} {'wall s':>8} {'cpu s':>8} {'target':>8}")
    for name, w, c, target in rows:
        mark = "" if math.isnan(target) else f"{target:8.1f}"
        print(f"{name:58} {w:8.2f} {c:8.2f} {mark}")
    return 0


def pelmora_block(r: np.ndarray) -> float:
    from pelmora.statistics._bootstrap import optimal_block

    return optimal_block(r[:, None], "benchmark")


if __name__ == "__main__":
    raise SystemExit(main())
