"""Synthetic workloads for the benchmarks, built with a fixed seed.

W1 "monthly": 4000 rows x 2000 stocks, about 1% missing prices, a monthly
rebalance into 100 rotating equal-weight stocks, stop-loss 0.1, take-profit
0.2, trailing stop 0.05 armed at 0.1, excursion window 60 step 5.
W2 "daily": 2500 rows x 500 stocks, a rebalance on every row into 50 stocks,
default options, excursion window 20.
W1' ("w1_plain"): W1 without stops and missing prices, long-only, no fees.
W3 "long panel": 1,000,000 rows x 8 stocks (minute bars), a rebalance every 720 rows into 4
equal-weight stocks, long-only, no stops, fees or gaps: the work vectorbt can do as well.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np


@dataclass
class Workload:
    name: str
    arrays: dict[str, np.ndarray]
    options: dict[str, Any] = field(default_factory=dict)

    def args(self) -> tuple:
        a = self.arrays
        return (a["price"], a["close"], a["high"], a["low"], a["open"], a["price_index"],
                a["columns"], a["pos_values"], a["pos_index"], a["columns"], a["resample"])

    def run(self, fn):
        return fn(*self.args(), **self.options)


def market(n_rows: int, n_stocks: int, seed: int, missing: float = 0.0,
           bars_per_day: int = 1) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    # Daily drift and volatility, spread over the bars of a day (minute bars: 390).
    drift = rng.normal(0.0003, 0.0002, n_stocks) / bars_per_day
    vol = rng.uniform(0.01, 0.03, n_stocks) / np.sqrt(bars_per_day)
    log_ret = drift + vol * rng.standard_normal((n_rows, n_stocks))
    close = 20.0 * np.exp(np.cumsum(log_ret, axis=0))
    gap = np.exp(0.3 * vol * rng.standard_normal((n_rows, n_stocks)))
    open_ = np.vstack([close[:1], close[:-1]]) * gap
    spread = 1.0 + np.abs(vol * rng.standard_normal((n_rows, n_stocks)))
    high = np.maximum(open_, close) * spread
    low = np.minimum(open_, close) / spread
    if missing:
        hole = rng.random((n_rows, n_stocks)) < missing
        for m in (close, open_, high, low):
            m[hole] = np.nan
    # Bars a day apart, or a minute apart when a day has several.
    step = 86_400 * 10**9 if bars_per_day == 1 else 60 * 10**9
    price_index = (np.arange(n_rows, dtype=np.int64) + 18_000) * step
    columns = np.array([f"S{i:04d}" for i in range(n_stocks)], dtype=object)
    return {"price": open_, "close": close, "high": high, "low": low, "open": open_,
            "price_index": price_index, "columns": columns}


def rotating_weights(n_stocks: int, n_periods: int, n_hold: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed + 1)
    w = np.zeros((n_periods, n_stocks))
    for k in range(n_periods):
        w[k, rng.choice(n_stocks, n_hold, replace=False)] = 1.0 / n_hold
    return w


def w1(touched_exit: bool, n_rows: int = 4000, n_stocks: int = 2000) -> Workload:
    a = market(n_rows, n_stocks, seed=1, missing=0.01)
    rows = np.arange(0, n_rows, 21)
    a["pos_values"] = rotating_weights(n_stocks, len(rows), 100, seed=1)
    a["pos_index"] = a["price_index"][rows]
    a["resample"] = a["pos_index"].copy()
    opts = dict(stop_loss=0.1, take_profit=0.2, trail_stop=0.05, trail_stop_activation=0.1,
                touched_exit=touched_exit, swaylen_window=60, swaylen_window_step=5)
    return Workload(f"W1 monthly, touched_exit={touched_exit}", a, opts)


def w1_plain(n_rows: int = 4000, n_stocks: int = 2000) -> Workload:
    a = market(n_rows, n_stocks, seed=1, missing=0.0)
    rows = np.arange(0, n_rows, 21)
    a["pos_values"] = rotating_weights(n_stocks, len(rows), 100, seed=1)
    a["pos_index"] = a["price_index"][rows]
    a["resample"] = a["pos_index"].copy()
    opts = dict(fee_ratio=0.0, tax_ratio=0.0, swaylen_window=60, swaylen_window_step=5)
    return Workload("W1' monthly, no stops/fees/gaps", a, opts)


def w2(n_rows: int = 2500, n_stocks: int = 500) -> Workload:
    a = market(n_rows, n_stocks, seed=2)
    a["pos_values"] = rotating_weights(n_stocks, n_rows, 50, seed=2)
    a["pos_index"] = a["price_index"].copy()
    a["resample"] = a["price_index"].copy()
    return Workload("W2 daily", a, dict(swaylen_window=20))


def w3(n_rows: int = 1_000_000, n_stocks: int = 8) -> Workload:
    a = market(n_rows, n_stocks, seed=4, bars_per_day=390)
    rows = np.arange(0, n_rows, 720)
    a["pos_values"] = rotating_weights(n_stocks, len(rows), n_stocks // 2, seed=4)
    a["pos_index"] = a["price_index"][rows]
    a["resample"] = a["pos_index"].copy()
    opts = dict(fee_ratio=0.0, tax_ratio=0.0, swaylen_window=20)
    return Workload("W3 long panel", a, opts)


ALL = {"w1_close": lambda: w1(False), "w1_touched": lambda: w1(True), "w1_plain": w1_plain,
       "w2": w2}
