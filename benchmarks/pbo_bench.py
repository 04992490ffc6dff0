"""PBO of 1,000 trials x 2,500 days in 16 blocks: the 12,870 splits of combinatorially symmetric
cross-validation, timed.

    python benchmarks/pbo_bench.py            # 2500 x 1000, 16 blocks
    python benchmarks/pbo_bench.py --quick    # 500 x 200, 12 blocks

``pelmora.pbo`` computes every split from per-block sums through matrix products. The baseline, in
the same process, is the loop a user writes from the paper: for each split, gather the in-sample and
out-of-sample rows, take each trial's mean and standard deviation, pick the in-sample winner and rank
it out of sample. It runs on the first splits only (a whole run would take minutes) and its time is
scaled up to all of them; the logits of those splits must equal pelmora's before anything is timed.
"""

from __future__ import annotations

import argparse
import itertools
import math
import statistics
import time

import numpy as np

from pelmora.selection import pbo


def returns(n_rows: int, n_trials: int, seed: int = 11) -> np.ndarray:
    """Daily returns of a sweep: one market factor, each trial's exposure and skill, its own noise."""
    rng = np.random.default_rng(seed)
    market = rng.normal(0.0003, 0.01, (n_rows, 1))
    beta = rng.uniform(0.2, 1.2, n_trials)
    skill = rng.normal(0.0, 0.0002, n_trials)
    return market * beta + skill + rng.normal(0.0, 0.006, (n_rows, n_trials))


def naive_logits(x: np.ndarray, n_splits: int, limit: int) -> np.ndarray:
    """The first ``limit`` splits' logits, one split at a time."""
    blocks = np.array_split(np.arange(x.shape[0]), n_splits)
    everything = np.arange(x.shape[0])
    out = []
    for chosen in itertools.islice(itertools.combinations(range(n_splits), n_splits // 2), limit):
        inside = np.concatenate([blocks[b] for b in chosen])
        outside = np.setdiff1d(everything, inside)
        ins, outs = x[inside], x[outside]
        perf_in = ins.mean(axis=0) / ins.std(axis=0, ddof=1)
        perf_out = outs.mean(axis=0) / outs.std(axis=0, ddof=1)
        value = perf_out[int(np.argmax(perf_in))]
        rank = np.count_nonzero(perf_out < value) + (np.count_nonzero(perf_out == value) + 1) / 2
        w = rank / (x.shape[1] + 1)
        out.append(math.log(w / (1 - w)))
    return np.array(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="500 x 200 in 12 blocks")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs of pelmora.pbo")
    parser.add_argument("--baseline-splits", type=int, default=300,
                        help="splits the per-split loop runs before its time is scaled up")
    args = parser.parse_args()
    n_rows, n_trials, n_splits = (500, 200, 12) if args.quick else (2500, 1000, 16)
    x = returns(n_rows, n_trials)
    n_comb = math.comb(n_splits, n_splits // 2)
    limit = min(args.baseline_splits, n_comb)

    result = pbo(x, n_splits=n_splits)  # warm, and the figures to check the loop against
    t = time.perf_counter()
    loop = naive_logits(x, n_splits, limit)
    loop_s = (time.perf_counter() - t) * n_comb / limit
    if not np.allclose(loop, result.logits[:limit], rtol=1e-12, atol=0):
        print("the per-split loop and pelmora.pbo disagree: nothing timed")
        return 1

    times = []
    for _ in range(args.repeat):
        t = time.perf_counter()
        pbo(x, n_splits=n_splits)
        times.append(time.perf_counter() - t)
    fast_s = statistics.median(times)

    print(f"\nPBO: {n_rows} days x {n_trials} trials, {n_splits} blocks, {n_comb:,} splits "
          f"(pbo = {result.pbo:.3f}, degradation slope {result.slope:.3f})")
    print(f"{'runner':<58} {'seconds':>9}")
    print(f"{'pelmora.pbo, median of ' + str(args.repeat):<58} {fast_s:>9.3f}")
    label = f"per-split loop, {limit} splits timed, scaled to {n_comb:,}"
    print(f"{label:<58} {loop_s:>9.3f}")
    print(f"ratio loop / pelmora.pbo: {loop_s / fast_s:.1f}x")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
