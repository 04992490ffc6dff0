"""A backtest through the native engine on synthetic data.

Builds a market of 2000 stocks over 3000 trading days, holds 100 random stocks
in equal weights rebalanced monthly with a 10% stop-loss, and prints the final
value, the trades, a summary of their excursion arrays and the orders for the
next period.

    python examples/core_example.py
"""

import numpy as np

from pelmora.core import runvane, swaylen

rng = np.random.default_rng(7)
n_days, n_stocks, n_hold = 3000, 2000, 100

# Prices: a geometric random walk per stock, traded at the open.
log_ret = rng.normal(0.0003, 0.02, (n_days, n_stocks))
close = 50.0 * np.exp(np.cumsum(log_ret, axis=0))
open_ = np.vstack([close[:1], close[:-1]]) * np.exp(rng.normal(0, 0.005, (n_days, n_stocks)))
high = np.maximum(open_, close) * 1.01
low = np.minimum(open_, close) * 0.99
dates = (np.datetime64("2014-01-02") + np.arange(n_days)).astype("datetime64[ns]").astype(np.int64)
stocks = np.array([f"STK{i:04d}" for i in range(n_stocks)], dtype=object)

# Target weights: a new random basket every 21 trading days.
rows = np.arange(0, n_days, 21)
weights = np.zeros((len(rows), n_stocks))
for k in range(len(rows)):
    weights[k, rng.choice(n_stocks, n_hold, replace=False)] = 1.0 / n_hold
pos_index = dates[rows]

creturn = runvane.backtest_(
    open_, close, high, low, open_, dates, stocks,
    weights, pos_index, stocks, pos_index,
    stop_loss=0.10, swaylen_window=60, swaylen_window_step=20,
)

trades, operations = runvane.get_trade_stocks(stocks, dates, False)
closed = [t for t in trades if t[8] != -1]
summary = np.array([a[-6:] for a in swaylen.swaylen])  # mae, gmfe, bmfe, mdd, rows in profit, return

print(f"final value      {creturn[-1]:.6f} (from 1.0 over {n_days} days)")
print(f"trades           {len(trades)} ({len(closed)} closed, {len(trades) - len(closed)} open)")
print(f"mean MAE / MFE   {summary[:, 0].mean():+.4f} / {summary[:, 1].mean():+.4f}")
print(f"worst drawdown   {summary[:, 3].min():+.4f} in a single trade")
print(f"win rate         {(summary[:, 5] > 0).mean():.1%}")
print("first trade      " + str(trades[0][:3]) + " ...")
actions = operations["actions"]
labels, counts = np.unique(list(actions.values()) or ["none"], return_counts=True)
print("next period      " + ", ".join(f"{l}: {c}" for l, c in zip(labels, counts)))
print(f"next weights     {len(operations['next_weights'])} stocks from position row "
      f"{operations['next_weight_time']}")
