"""A user's script as the docs write it: type-checked with ``mypy --strict`` by the tests, so the
public face stays readable to a type checker (the types a user's editor shows)."""

from __future__ import annotations

import pandas as pd

import pelmora
from pelmora import BacktestOptions, BacktestResult
from pelmora.walkforward import PurgedResult, WalkForwardResult
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights

market = synthetic_market(n_stocks=8, n_days=300, seed=1)
weights: pd.DataFrame = momentum_weights(market["close"], lookback=40, top_n=3)
result: BacktestResult = pelmora.backtest(weights, market, rebalance="ME", stop_loss=0.1)
options: BacktestOptions = result.options
fee: float = options.fee
stats: pd.Series = result.stats()
equity: pd.Series = result.equity

long = market["close"].rename_axis("date").reset_index().melt(
    id_vars="date", var_name="stock", value_name="close"
)
wide: pd.DataFrame = pelmora.from_long(long, date="date", value="close")
several: dict[str, pd.DataFrame] = pelmora.from_long(long, date="date", value=["close"])

rolling: WalkForwardResult = pelmora.walk_forward(
    {"stop_loss": [0.05, 0.1]}, weights, market, train="6M", test="3M", progress=False
)
purged: PurgedResult = pelmora.walk_forward(
    {"stop_loss": [0.05, 0.1]}, weights, market, method="purged", n_groups=4, n_test_groups=2,
    progress=False,
)
print(fee, float(stats["sharpe"]), len(equity), wide.shape, len(several), rolling, purged)
