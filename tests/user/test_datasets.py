"""Example data, and the quickstart script that runs the example strategy on it."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.datasets import Market, synthetic_market
from pelmora.strategies import momentum_weights

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture(scope="module")
def market() -> Market:
    return synthetic_market(n_stocks=40, n_days=504, seed=11)


def test_market_is_a_mapping_of_four_aligned_frames(market):
    assert sorted(market) == ["close", "high", "low", "open"] and len(market) == 4
    for key in market:
        frame = market[key]
        assert frame is getattr(market, key)
        assert frame.shape == (504, 40) and (frame.dtypes == np.float64).all()
        assert frame.index.equals(market.close.index) and frame.columns.equals(market.close.columns)
    assert isinstance(market.close.index, pd.DatetimeIndex)
    assert (market.close.index.day_of_week < 5).all()
    assert market.close.columns[0] == "S000"
    with pytest.raises(KeyError):
        market["volume"]


def test_same_seed_same_market_other_seed_other_market():
    a, b, c = (synthetic_market(10, 100, seed=s) for s in (1, 1, 2))
    for key in a:
        pd.testing.assert_frame_equal(a[key], b[key])
    pd.testing.assert_series_equal(a.delistings, b.delistings)
    assert not a.close.equals(c.close)


def test_highs_and_lows_bracket_open_and_close(market):
    o, h, low, c = (market[k].to_numpy() for k in ("open", "high", "low", "close"))
    traded = ~np.isnan(c)
    assert (h[traded] >= np.fmax(o, c)[traded]).all()
    assert (low[traded] <= np.fmin(o, c)[traded]).all()
    assert (low[traded] > 0).all()


def test_suspensions_blank_all_four_prices(market):
    missing = market.close.isna()
    for key in ("open", "high", "low"):
        assert market[key].isna().equals(missing)
    delisted = set(market.delistings.index)
    suspended = [s for s in market.close.columns if s not in delisted and missing[s].any()]
    assert len(suspended) >= 5


def test_delisted_stocks_stop_trading_after_their_last_day(market):
    assert len(market.delistings) == 2  # 5 % of 40
    for stock, last in market.delistings.items():
        column = market.close[stock]
        assert not np.isnan(column[last])
        assert column[column.index > last].isna().all()
        assert last >= market.close.index[len(market.close) // 2]


def test_prices_drift_and_move_like_stocks(market):
    log_ret = np.log(market.close).diff()
    vol = log_ret.std() * np.sqrt(252)
    assert vol.between(0.1, 0.7).all()
    assert log_ret.mean().std() > 0  # drifts differ between stocks


def test_example_data_and_strategy_backtest_end_to_end(market):
    weights = momentum_weights(market.close, lookback=40, top_n=5)
    result = pelmora.backtest(
        weights, market, rebalance="ME", stop_loss=0.1, delistings=market.delistings
    )
    trades = result.trades
    for stock, last in market.delistings.items():
        held = trades[trades["stock"] == stock]
        # A delisted stock is never held past its last day.
        assert (held["exit_date"].fillna(pd.Timestamp.max) <= last).all()
    assert (trades.groupby("entry_date")["stock"].nunique() <= 5).all()


@pytest.mark.heavy
def test_quickstart_runs_and_saves_both_plots(tmp_path):
    out = subprocess.run(
        [sys.executable, str(EXAMPLES / "quickstart.py"), str(tmp_path / "plots")],
        capture_output=True, text=True, timeout=120, cwd=tmp_path,
    )
    assert out.returncode == 0, out.stderr
    for heading in ("Statistics", "Last trades", "Orders for the next trading day", "sharpe"):
        assert heading in out.stdout
    for kind in ("equity", "excursions"):
        png = tmp_path / "plots" / f"quickstart_{kind}.png"
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 10_000
