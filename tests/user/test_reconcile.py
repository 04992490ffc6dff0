"""What a result reports reconciles: fills give the cash, cash and holdings give the equity, the
trades' pnl gives the final equity, and a trade's return is the one of its fills."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelmora

from markets import ohlc_market, random_weights


@st.composite
def strategies_(draw):
    n_days = draw(st.integers(4, 40))
    n_stocks = draw(st.integers(1, 5))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=n_days)
    stocks = [f"S{i}" for i in range(n_stocks)]
    # A suspension (a gap) blanks the whole day.
    frames = ohlc_market(rng, dates, stocks, start=20.0, vol=0.05, open_noise=0.03, spread=0.05,
                         gaps=draw(st.sampled_from([0.0, 0.1])))
    every = draw(st.integers(1, 6))
    weights = random_weights(rng, dates[::every], stocks, low=-0.6, high=1.0)
    options = draw(st.fixed_dictionaries({
        "fee": st.sampled_from([0.0, 0.001425, 0.01]),
        "tax": st.sampled_from([0.0, 0.003]),
        "stop_loss": st.sampled_from([None, 0.03, 0.1]),
        "take_profit": st.sampled_from([None, 0.05]),
        "trailing_stop": st.sampled_from([None, 0.04]),
        "intraday_stops": st.booleans(),
        "stop_trading_next_period": st.booleans(),
        "position_limit": st.sampled_from([1.0, 0.4]),
        "rebalance": st.sampled_from([None, "W-FRI"]),
    }))
    if draw(st.booleans()):
        gone = rng.uniform(size=n_stocks) < 0.4
        options["delistings"] = {s: dates[rng.integers(0, n_days)] for s, g in zip(stocks, gone) if g}
    return weights, frames, options


def close(a, b):
    np.testing.assert_allclose(a, b, rtol=1e-10, atol=1e-12)


@pytest.mark.filterwarnings("ignore:pelmora.backtest. no rebalance")
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(strategies_(), st.booleans())
def test_fills_cash_positions_equity_and_trades_reconcile(strategy, split):
    weights, frames, options = strategy
    result = pelmora.backtest(weights, frames, split_trades=split, **options)
    fills, trades, equity = result.fills, result.trades, result.equity

    flows = (fills["before"] - fills["after"] - fills["fee"] - fills["tax"]).to_numpy()
    rows = result.equity.index.get_indexer(fills["date"])
    close(result.cash, 1.0 + np.cumsum(np.bincount(rows, weights=flows, minlength=len(equity))))
    held = result.positions.mul(equity, axis=0).sum(axis=1)
    close(result.cash + held, equity)
    close(result.exposure["cash"] + result.exposure["net"], np.ones(len(equity)))
    close(trades["pnl"].sum(), equity.iloc[-1] - 1.0)
    assert ((result.positions != 0).sum(axis=1) == result.exposure["n_holdings"]).all()
    base = np.concatenate(([1.0], equity.to_numpy()[:-1]))[rows]
    close(result.turnover.sum(), (fills["value"] / base).sum())
    assert (fills["fee"] >= 0).all() and (fills["tax"] >= 0).all()
    taxed = fills[fills["tax"] > 0]  # tax only where a holding shrinks (a flip is an entry)
    assert (taxed["after"].abs() < taxed["before"].abs()).all()
    assert (trades["bars_held"] >= 0).all()
    assert set(fills["reason"].astype(str)) <= set(pelmora.result.REASONS)

    if split:
        # One fill in, one fill out: the trade's return is its price move less its costs. A
        # holding bought while suspended follows the price only from the first one after its
        # fill, so its fill price (the last known one) is not where its value starts.
        suspended = fills.loc[fills["suspended"], ["date", "stock"]]
        bought_suspended = pd.MultiIndex.from_frame(trades[["entry_date", "stock"]]).isin(
            pd.MultiIndex.from_frame(suspended.rename(columns={"date": "entry_date"}))
        )
        t = trades[(trades["entry_value"] != 0) & ~bought_suspended]
        sign = np.sign(t["entry_value"])
        expected = sign * (t["exit_price"] / t["entry_price"] - 1.0) - t["costs"] / t["entry_value"].abs()
        close(t["return"], expected)


def test_an_intraday_stop_at_ten_percent_shows_minus_ten_percent_less_costs():
    dates = pd.bdate_range("2024-01-01", periods=5)
    close_ = pd.DataFrame({"A": [10.0, 10.0, 10.0, 9.5, 9.5]}, index=dates)
    low = close_.copy()
    low.iloc[2, 0] = 8.0
    prices = {"open": close_, "high": close_, "low": low, "close": close_}
    weights = pd.DataFrame({"A": [1.0]}, index=dates[:1])
    result = pelmora.backtest(weights, prices, stop_loss=0.1, intraday_stops=True, fee=0.001,
                              tax=0.003)
    trade = result.trades.iloc[0]
    assert trade["exit_reason"] == "stop_loss" and trade["exit_price"] == pytest.approx(9.0)
    # The target is sized before costs: the fee on 1.0 comes out of it, 0.999 is held and 90 %
    # of that is sold.
    assert trade["entry_value"] == pytest.approx(0.999, rel=1e-15)
    costs = 0.001 * 1.0 + (0.001 + 0.003) * 0.999 * 0.9
    assert trade["costs"] == pytest.approx(costs, rel=1e-12)
    assert trade["return"] == pytest.approx(-0.1 - costs / 0.999, rel=1e-12)
    stop = result.fills[result.fills["reason"] == "stop_loss"].iloc[0]
    assert (stop["side"], stop["price"]) == ("sell", pytest.approx(9.0))


def test_a_fill_while_suspended_shows_the_last_known_price():
    dates = pd.bdate_range("2024-01-01", periods=6)
    # B trades on: a row where every stock is missing would not be a trading day at all.
    close_ = pd.DataFrame({"A": [10.0, 10.0, 12.0, np.nan, np.nan, 13.0], "B": 5.0}, index=dates)
    weights = pd.DataFrame({"A": [1.0, 0.0]}, index=[dates[0], dates[3]])
    result = pelmora.backtest(weights, close_, fee=0.0, tax=0.0)
    sold = result.fills.iloc[-1]
    assert (sold["date"], sold["suspended"], sold["price"]) == (dates[4], True, 12.0)
    assert result.trades["return"].iloc[0] == pytest.approx(0.2, rel=1e-14)
    assert result.trades["bars_held"].iloc[0] == 3


def test_the_stated_conventions_hold():
    dates = pd.bdate_range("2024-01-01", periods=5)
    prices = pd.DataFrame({"A": 10.0, "B": 10.0}, index=dates)
    flip = pelmora.backtest(pd.DataFrame({"A": [0.5, -0.5], "B": 0.5}, index=dates[:2]), prices)
    last = flip.fills.iloc[-1]
    # One entry for the flip: the fee on all it trades, no tax on the closing leg.
    assert (last["reason"], last["tax"]) == ("rebalance", 0.0)
    assert last["fee"] == pytest.approx(0.001425 * last["value"], rel=0.01)
    assert flip.fills["after"].iloc[0] == 0.5 - 0.5 * 0.001425  # sized before costs
    scaled = pelmora.backtest(pd.DataFrame({"A": [0.8], "B": 0.8}, index=dates[:1]), prices,
                              fee=0.0, tax=0.0)
    assert scaled.positions.iloc[-1].tolist() == [0.5, 0.5]
