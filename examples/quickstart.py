"""Quickstart: monthly top-10 momentum with a 10 % stop-loss on a synthetic market.

Builds three years of prices for 50 stocks (no download needed), holds the ten stocks with the best
60-day return in equal weights, rebalanced at every month end, and prints the statistics, the last
fills and trades and the orders for the next trading day. The equity and excursion plots are saved
as PNG files in the directory given as the first argument (default: a folder of their own,
``quickstart_output`` in the current directory). The prices are random walks, so no strategy has a
real edge on them: the point is the workflow.

    pip install "pelmora[pandas,plot]"
    python examples/quickstart.py [output-directory]
"""

from __future__ import annotations

import sys
from pathlib import Path

import pelmora
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights


def main(argv: list[str]) -> int:
    out_dir = Path(argv[1]) if len(argv) > 1 else Path.cwd() / "quickstart_output"
    out_dir.mkdir(parents=True, exist_ok=True)

    # 783 business days: 2020-01-01 to 2022-12-30, so the last month is complete.
    market = synthetic_market(n_stocks=50, n_days=783, seed=42)
    weights = momentum_weights(market.close, lookback=60, top_n=10)

    result = pelmora.backtest(
        weights,
        market,
        rebalance="ME",
        stop_loss=0.10,
        delistings=market.delistings,
        excursion_window=20,
    )

    print("Statistics")
    print(result.stats().to_string())
    print()
    print("Last fills")
    columns = ["date", "stock", "reason", "side", "price", "value", "fee", "tax"]
    print(result.fills[columns].tail(6).to_string(index=False, float_format="{:.4f}".format))
    print()
    print("Last trades")
    columns = ["stock", "entry_date", "exit_date", "weight", "pnl", "return", "exit_reason", "mae"]
    print(result.trades[columns].tail(8).to_string(index=False, float_format="{:.4f}".format))
    print()
    print("Orders for the next trading day")
    orders = result.next_period[result.next_period["action"].notna()]
    print(orders.to_string(index=False, float_format="{:.4f}".format))
    print()
    for kind in ("equity", "excursions"):
        path = out_dir / f"quickstart_{kind}.png"
        result.plot(kind).savefig(path, dpi=90)
        print(f"saved {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
