"""Fixtures the tests of the user layer share (the markets and weights they build are in
markets.py, importable from every test module here)."""

from __future__ import annotations

import pytest


@pytest.fixture(scope="session")
def momentum_run():
    """A momentum strategy's run on a synthetic market with stops and delistings, and an
    equal-weight benchmark of its closes (its name to be escaped in HTML)."""
    import pelmora
    from pelmora.datasets import synthetic_market
    from pelmora.strategies import momentum_weights

    market = synthetic_market(n_stocks=30, n_days=600, seed=3)
    weights = momentum_weights(market.close, lookback=60, top_n=5)
    result = pelmora.backtest(
        weights, market, rebalance="ME", stop_loss=0.1, delistings=market.delistings
    )
    return result, market.close.mean(axis=1).rename("equal <weight>")
