"""pelmora.backtest: the run on the engine's arrays, what it returns, and runs side by side."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora
from pelmora.core import runvane

from markets import DATES, FLAT_DATES, STOCKS, make_market, make_weights


def engine_arrays(weights: pd.DataFrame, market: dict[str, pd.DataFrame], trade: str = "close"):
    """The eleven engine arrays built by hand, the way the engine's own docs describe them."""
    close = market["close"]
    names = np.array([str(c) for c in close.columns], dtype=object)
    pos_index = weights.index.values.astype("datetime64[ns]").astype(np.int64)
    return dict(
        price_values=market[trade].to_numpy(np.float64),
        close_values=close.to_numpy(np.float64),
        high_values=market["high"].to_numpy(np.float64),
        low_values=market["low"].to_numpy(np.float64),
        open_values=market["open"].to_numpy(np.float64),
        price_index=close.index.values.astype("datetime64[ns]").astype(np.int64),
        price_columns=names,
        pos_values=weights.to_numpy(np.float64, copy=True),
        pos_index=pos_index,
        pos_columns=np.array([str(c) for c in weights.columns], dtype=object),
        resample=pos_index.copy(),
    )


# (user options, the same options under the engine's names)
OPTION_SETS = [
    ({}, dict(stop_loss=math.inf)),
    (dict(fee=0.0, tax=0.0), dict(fee_ratio=0.0, tax_ratio=0.0, stop_loss=math.inf)),
    (dict(stop_loss=0.05, take_profit=0.08), dict(stop_loss=0.05, take_profit=0.08)),
    (
        dict(stop_loss=0.04, intraday_stops=True),
        dict(stop_loss=0.04, touched_exit=True),
    ),
    (
        dict(trailing_stop=0.03, trailing_activation=0.02, stop_trading_next_period=False),
        dict(stop_loss=math.inf, trail_stop=0.03, trail_stop_activation=0.02,
             stop_trading_next_period=False),
    ),
    (
        dict(retain_cost=True, position_limit=0.3, split_trades=False),
        dict(stop_loss=math.inf, retain_cost_when_rebalance=True, position_limit=0.3,
             periodically_rebalance=False),
    ),
    (
        dict(excursion_window=7, excursion_step=3, fee=0.002, tax=0.001),
        dict(stop_loss=math.inf, swaylen_window=7, swaylen_window_step=3, fee_ratio=0.002,
             tax_ratio=0.001),
    ),
]


@pytest.mark.parametrize("options, engine_options", OPTION_SETS)
def test_equity_equals_the_engine_curve_on_the_same_arrays(options, engine_options):
    market = make_market()
    weights = make_weights(DATES[::5])
    expected = runvane.backtest_(**engine_arrays(weights, market), **engine_options)
    result = pelmora.backtest(weights, market, **options)
    assert result.equity.index.equals(market["close"].index)
    assert result.equity.dtype == np.float64
    np.testing.assert_array_equal(result.equity.to_numpy(), expected)


def test_trade_at_open_trades_at_the_open_prices():
    market = make_market(3)
    weights = make_weights(DATES[::7])
    expected = runvane.backtest_(**engine_arrays(weights, market, trade="open"), stop_loss=0.05)
    result = pelmora.backtest(weights, market, trade_at="open", stop_loss=0.05)
    np.testing.assert_array_equal(result.equity.to_numpy(), expected)


def test_explicit_trading_price_is_used_when_given():
    market = make_market(4)
    trade = (market["open"] + market["close"]) / 2
    weights = make_weights(DATES[::6])
    expected = runvane.backtest_(
        **engine_arrays(weights, {**market, "trade": trade}, trade="trade"), stop_loss=math.inf
    )
    result = pelmora.backtest(weights, {**market, "trade": trade})
    np.testing.assert_array_equal(result.equity.to_numpy(), expected)


def test_returns_are_the_day_to_day_changes_of_equity_from_one():
    result = pelmora.backtest(make_weights(DATES[::5]), make_market())
    eq = result.equity.to_numpy()
    expected = np.concatenate(([eq[0] / 1.0 - 1.0], eq[1:] / eq[:-1] - 1.0))
    np.testing.assert_array_equal(result.returns.to_numpy(), expected)
    assert result.returns.index.equals(result.equity.index)


def test_equity_that_compounds_beyond_the_finite_range_is_an_error_not_a_result():
    # Each price within range and each stock's ratio below 1e150, but three of them in a row.
    rise = [1e-74, 1e-74, 1e74, 1e74, 1e74, 1e74, 1e74, 1e74]
    close = pd.DataFrame({"A": rise, "B": [1, 1] + rise[:6], "C": [1, 1, 1, 1] + rise[:4]},
                         index=FLAT_DATES)
    weights = pd.DataFrame(np.eye(3), index=FLAT_DATES[[0, 2, 4]], columns=["A", "B", "C"])
    with pytest.raises(ValueError, match=r"^the equity is inf on 2024-01-05 \(it was 1e\+148 the "
                       r"day before\): the prices' ratios compound beyond the finite range"):
        pelmora.backtest(weights, close, fee=0.0, tax=0.0)


# --------------------------------------------------------------------------------------- delisting


def test_a_delisted_stock_is_sold_on_its_last_day_and_not_bought_again():
    market = make_market(12)
    last_day = DATES[20]
    for frame in market.values():
        frame.loc[frame.index > last_day, "CCC"] = np.nan
    weights = pd.DataFrame(0.25, index=DATES[::5], columns=STOCKS)
    result = pelmora.backtest(
        weights, market, delistings=pd.Series({"CCC": last_day, "XXX": DATES[3]}),
        split_trades=False, fee=0.0, tax=0.0,
    )
    ccc = result.trades[result.trades["stock"] == "CCC"]
    assert list(ccc["exit_date"]) == [last_day]
    # The same run through the engine, with the delisting row and the zeroed later weights.
    arrays = engine_arrays(weights, market)
    arrays["pos_values"][weights.index >= last_day, 2] = 0.0
    expected = runvane.backtest_(
        **arrays, fee_ratio=0.0, tax_ratio=0.0, stop_loss=math.inf, periodically_rebalance=False,
        delisting_bars=np.array([-1, -1, 20, -1], dtype=np.int64),
    )
    np.testing.assert_array_equal(result.equity.to_numpy(), expected)


# --------------------------------------------------------------------------------- results coexist


def test_two_results_coexist():
    market = make_market(13)
    w1, w2 = make_weights(DATES[::5], seed=1), make_weights(DATES[::4], seed=2)
    first = pelmora.backtest(w1, market, stop_loss=0.05)
    second = pelmora.backtest(w2, market, stop_loss=0.02, intraday_stops=True)
    again = pelmora.backtest(w1, market, stop_loss=0.05)  # the module state now holds this run
    pelmora.backtest(w2, market)  # and now another one
    pd.testing.assert_frame_equal(first.trades, again.trades)
    pd.testing.assert_frame_equal(first.excursions, again.excursions)
    pd.testing.assert_frame_equal(first.next_period, again.next_period)
    assert len(second.trades) != len(first.trades) or not second.trades.equals(first.trades)


def test_backtests_on_threads_give_the_results_of_serial_runs():
    from concurrent.futures import ThreadPoolExecutor

    dates = pd.bdate_range("2024-01-01", periods=300)
    rng = np.random.default_rng(5)
    prices = pd.DataFrame(10 * np.exp(np.cumsum(rng.normal(0, 0.02, (300, 40)), axis=0)),
                          index=dates, columns=[f"S{i}" for i in range(40)])
    weights = (prices.pct_change(20).rank(axis=1) <= 8)[20:]
    stops = [0.02, 0.05, 0.1, None]

    def run(stop):
        return pelmora.backtest(weights, prices, stop_loss=stop, rebalance="W-FRI")

    serial = [run(s) for s in stops]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(run, stops))
    for a, b in zip(serial, threaded):
        np.testing.assert_array_equal(a.equity, b.equity)
        pd.testing.assert_frame_equal(a.fills, b.fills)
        pd.testing.assert_frame_equal(a.trades, b.trades)


# -------------------------------------------------------------------------------------- invariants


price_cell = st.one_of(st.floats(0.5, 200.0), st.just(np.nan))


@st.composite
def runs(draw):
    n_days = draw(st.integers(1, 12))
    n_stocks = draw(st.integers(1, 4))
    stocks = [f"S{i}" for i in range(n_stocks)]
    dates = pd.bdate_range("2024-01-01", periods=n_days)
    prices = pd.DataFrame(
        draw(st.lists(st.lists(price_cell, min_size=n_stocks, max_size=n_stocks),
                      min_size=n_days, max_size=n_days)),
        index=dates, columns=stocks, dtype=np.float64,
    )
    rows = draw(st.lists(st.integers(0, n_days + 2), min_size=1, max_size=4, unique=True))
    weight_dates = pd.bdate_range("2023-12-28", periods=n_days + 5)[sorted(rows)]
    if draw(st.booleans()):
        weights = pd.DataFrame(
            draw(st.lists(st.lists(st.booleans(), min_size=n_stocks, max_size=n_stocks),
                          min_size=len(rows), max_size=len(rows))),
            index=weight_dates, columns=stocks,
        )
    else:
        cell = st.one_of(st.floats(-2.0, 2.0), st.just(np.nan))
        weights = pd.DataFrame(
            draw(st.lists(st.lists(cell, min_size=n_stocks, max_size=n_stocks),
                          min_size=len(rows), max_size=len(rows))),
            index=weight_dates, columns=stocks, dtype=np.float64,
        )
    options = draw(st.fixed_dictionaries({}, optional={
        "stop_loss": st.floats(0.01, 1.0),
        "take_profit": st.floats(0.01, 1.0),
        "trailing_stop": st.floats(0.01, 0.5),
        "rebalance": st.sampled_from([None, "W-FRI", "ME", "D"]),
        "position_limit": st.floats(0.1, 1.0),
        "retain_cost": st.booleans(),
        "stop_trading_next_period": st.booleans(),
        "excursion_window": st.integers(0, 6),
        "excursion_step": st.integers(1, 3),
    }))
    return weights, prices, options


@pytest.mark.filterwarnings("ignore:pelmora.backtest. no rebalance")
@settings(max_examples=40)
@given(runs(), st.booleans())
def test_any_run_gives_a_consistent_result_or_a_clear_error(run, intraday):
    weights, prices, options = run
    market = {"open": prices, "high": prices * 1.02, "low": prices * 0.98, "close": prices}
    try:
        result = pelmora.backtest(weights, market, intraday_stops=intraday, **options)
    except (ValueError, TypeError):
        return
    equity = result.equity
    # Rows where every stock is missing are not trading days.
    assert equity.index.equals(prices.index[prices.notna().any(axis=1)])
    assert (equity[equity.index < weights.index[0]] == 1.0).all()
    trades = result.trades
    assert len(trades) == len(result.record.excursions)
    assert (trades["exit_date"].isna() | (trades["exit_date"] >= trades["entry_date"])).all()
    assert set(result.next_period["stock"]) <= set(weights.columns)
    stats = result.stats()
    assert stats["n_trades"] <= len(trades)
