"""The execution options through the user layer: refusals by name, the fills, financing and
currency tables on hand-made markets, the cash and pnl reconciliation with slippage and financing
under random options, and sweeps that vary them."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import assume, HealthCheck, given, settings
from hypothesis import strategies as st

import pelmora

from markets import ohlc_market, random_weights

NO_COSTS = {"fee": 0.0, "tax": 0.0}


@pytest.mark.parametrize("options, error, message", [
    ({"capital": 0}, ValueError, r"^capital must be a finite number above 0 .*got 0$"),
    ({"capital": math.inf}, ValueError, r"^capital must be a finite number above 0"),
    ({"lot_size": 100}, ValueError, r"^lot_size needs capital: lots are whole numbers of shares"),
    ({"min_fee": 5.0}, ValueError, r"^min_fee needs capital: it is an amount of currency"),
    ({"capital": 1e4, "lot_size": -1}, ValueError,
     r"^lot_size must be a finite number of shares above 0, got -1$"),
    ({"capital": 1e4, "lot_size": {"A": 100, "B": 0}}, ValueError,
     r"^lot_size must be .* for every stock: 'B' has 0$"),
    ({"capital": 1e4, "lot_size": "100"}, TypeError, r"^lot_size must be a number, or a pandas"),
    ({"capital": 1e4, "min_fee": -1}, ValueError, r"^min_fee must be a finite amount .*got -1$"),
    ({"slippage": 1.0}, ValueError, r"^slippage must be at least 0 and below 1, got 1.0$"),
    ({"max_gross": 0.0}, ValueError, r"^max_gross must be a finite number above 0, got 0.0$"),
    ({"cash_rate": -1.0}, ValueError, r"^cash_rate must be a finite annual rate above -1 and at "
                                      r"most 100 \(10,000 % a year\), got -1.0$"),
    ({"borrow_rate": -0.01}, ValueError, r"^borrow_rate must be a finite annual rate from 0 to 100"),
    ({"short_fee": math.nan}, ValueError, r"^short_fee must be a finite annual rate from 0 to 100"),
    ({"cash_rate": 1e300}, ValueError, r"^cash_rate must be .* a year\), got 1e\+300$"),
    ({"capital": True}, TypeError, r"^capital must be a number, got bool$"),
    ({"maintenance_margin": 1.0}, ValueError,
     r"^maintenance_margin must be at least 0 and below 1, got 1.0$"),
    ({"maintenance_margin": math.nan}, ValueError,
     r"^maintenance_margin must be at least 0 and below 1, got nan$"),
    ({"maintenance_margin": "0.3"}, TypeError, r"^maintenance_margin must be a number, got str$"),
])
def test_option_refusals_name_the_option(options, error, message):
    with pytest.raises(error, match=message):
        pelmora.BacktestOptions(**options)


def test_rates_that_read_as_percentages_warn():
    with pytest.warns(UserWarning, match=r"^borrow_rate=5.0 is 500 % a year"):
        pelmora.BacktestOptions(borrow_rate=5)


def flat(values: dict[str, float], n_days: int = 4, freq: str = "B") -> pd.DataFrame:
    dates = pd.date_range("2024-01-01", periods=n_days, freq=freq)
    return pd.DataFrame({k: [float(v)] * n_days for k, v in values.items()}, index=dates)


def test_a_stock_without_a_lot_is_refused_by_name():
    prices = flat({"A": 10, "B": 20})
    weights = prices.iloc[:1] * 0 + 0.5
    with pytest.raises(ValueError, match=r"^lot_size has no lot for B of weights"):
        pelmora.backtest(weights, prices, capital=1e4, lot_size={"A": 100})
    run = pelmora.backtest(weights, prices, capital=1e4, lot_size={"A": 300, "B": None},
                           **NO_COSTS)
    assert run.fills["shares"].tolist() == [300.0, 250.0]  # B trades without lots


def test_fills_with_lots_slippage_and_a_minimum_fee():
    prices = flat({"A": 33})
    all_in = prices.iloc[:1] * 0 + 1.0
    lots = pelmora.backtest(all_in, prices, capital=10_000, lot_size=100, **NO_COSTS)
    assert lots.fills[["shares", "requested"]].iloc[0].tolist() == [300.0, 10_000 / 33]
    assert lots.currency.cash.iloc[-1] == pytest.approx(100.0)
    run = pelmora.backtest(all_in * 0.5, prices, capital=10_000, lot_size=10, slippage=0.01,
                           fee=0.001, tax=0.0, min_fee=5.0)
    fill = run.fills.iloc[0]
    # 5,000 less the minimum fee of 5 (0.1 % would be 4.67) at 33 x 1.01 asks for 149.86
    # shares: 140 in lots of 10.
    assert (fill["shares"], fill["price"]) == (140.0, pytest.approx(33 * 1.01))
    assert fill["requested"] == pytest.approx(4995 / 33.33)
    assert fill["slippage"] == pytest.approx(0.01 * fill["value"])
    cash = run.currency
    assert cash.fills[["value", "fee", "slippage"]].iloc[0].tolist() == pytest.approx(
        [4620.0, 5.0, 46.2])
    np.testing.assert_allclose(cash.positions.sum(axis=1) + cash.cash, cash.equity, rtol=1e-12)
    np.testing.assert_allclose(cash.exposure["long"], run.exposure["long"] * run.equity * 1e4)
    assert "shares" not in pelmora.backtest(all_in, prices).fills
    with pytest.raises(ValueError, match=r"^currency needs the run's capital"):
        _ = pelmora.backtest(all_in, prices).currency


def test_a_year_of_borrowing_on_a_doubled_book():
    prices = flat({"A": 10, "B": 20}, n_days=262)  # 2024-01-01 to 2024-12-31: 365 days
    weights = prices.iloc[:1] * 0 + 1.0
    run = pelmora.backtest(weights, prices, max_gross=2.0, borrow_rate=0.05, **NO_COSTS)
    fin = run.financing
    assert fin["days"].sum() == 365 and (fin["interest"].iloc[1:] < 0).all()
    # Bought on the second day, borrowing from its close on.
    assert (run.cash.iloc[1], fin["balance"].iloc[1]) == (-1.0, -1.0)
    assert run.cash.iloc[2] == -1.0 + fin["interest"].iloc[1]
    # 364 days of borrowing 1.0, compounded on every trading day: near continuous compounding.
    assert run.equity.iloc[-1] == pytest.approx(2 - math.exp(0.05 * 364 / 365), abs=2e-5)
    stats = run.stats()
    assert stats["financing_cost"] == pytest.approx(-fin["interest"].sum(), rel=1e-12)
    assert stats["total_return"] == pytest.approx(-stats["financing_cost"], rel=1e-9)


@st.composite
def account_runs(draw):
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=draw(st.integers(3, 30)))
    stocks = ["S0", "S1", "S2"]
    frames = ohlc_market(rng, dates, stocks, start=20.0, vol=0.05,
                         gaps=draw(st.sampled_from([0.0, 0.1])))
    # A stock without a single price is refused, not run: not this test's concern.
    assume(frames["close"].notna().any().all())
    low = draw(st.sampled_from([-0.8, 0.0]))  # or a long book, which never borrows at gross 1
    weights = random_weights(rng, dates[::draw(st.integers(1, 5))], stocks, low=low, high=1.2)
    capital = draw(st.sampled_from([None, 1e3, 1e6]))
    options = draw(st.fixed_dictionaries({
        "fee": st.sampled_from([0.0, 0.001425]),
        "slippage": st.sampled_from([0.0, 0.001, 0.02]),
        "max_gross": st.sampled_from([1.0, 1.6, 3.0]),
        "cash_rate": st.sampled_from([0.0, -0.01, 0.04]),
        "borrow_rate": st.sampled_from([0.0, 0.07]),
        "short_fee": st.sampled_from([0.0, 0.03]),
        "stop_loss": st.sampled_from([None, 0.05]),
        "maintenance_margin": st.sampled_from([None, 0.2]),
    }))
    if capital is not None:
        lots = st.sampled_from([None, 1, 100, {"S0": 10, "S1": None, "S2": 50}])
        options.update(capital=capital, lot_size=draw(lots),
                       min_fee=draw(st.sampled_from([0.0, 1.0])))
    return weights, frames, options


@pytest.mark.filterwarnings("ignore:pelmora.backtest. no rebalance")
@pytest.mark.filterwarnings("ignore:pelmora.backtest. the equity was")
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(account_runs())
def test_cash_equity_pnl_and_costs_reconcile_under_any_account(run):
    weights, frames, options = run
    result = pelmora.backtest(weights, frames, **options)
    fills, fin, equity = result.fills, result.financing, result.equity
    # From the first close worth nothing (or below the margin) nothing trades; an account of
    # longs at a gross of at most 1 never borrows.
    closing = fills["reason"].isin(["wiped_out", "margin_call"]).to_numpy()
    if closing.any():
        stop = fills["date"][closing].iloc[0]
        assert (fills["date"] <= stop).all() and (fills["date"][closing] == stop).all()
        assert (equity[stop:] == result.cash[stop:]).all()
    else:
        assert not (equity.iloc[result.window_start:] <= 0).any()
    if (weights >= 0).all().all() and options["max_gross"] <= 1 and options.get("capital"):
        assert (result.cash >= -1e-12 * equity.abs()).all()
    flows = fills["before"] - fills["after"] - fills["fee"] - fills["tax"] - fills["slippage"]
    n = len(equity)
    on = equity.index.get_indexer
    moves = np.zeros(n)
    np.add.at(moves, on(fills["date"]), flows.to_numpy())
    np.add.at(moves, on(fin.index), (fin["interest"] - fin["short_fee"]).to_numpy())
    np.testing.assert_allclose(result.cash, 1.0 + np.cumsum(moves), rtol=1e-9, atol=1e-12)
    held = result.positions.mul(equity, axis=0).sum(axis=1)
    np.testing.assert_allclose(result.cash + held, equity, rtol=1e-9, atol=1e-12)
    financing = fin["interest"].sum() - fin["short_fee"].sum()
    assert result.trades["pnl"].sum() + financing == pytest.approx(equity.iloc[-1] - 1, abs=1e-9)
    stats = result.stats()
    paid = stats["fee_cost"] + stats["tax_cost"] + stats["slippage_cost"]
    assert paid == pytest.approx(result.trades["costs"].sum(), abs=1e-12)
    assert stats["financing_cost"] == pytest.approx(-financing, abs=1e-15)


def test_a_sweep_varying_the_account_gives_the_direct_runs():
    frames = ohlc_market(7, pd.bdate_range("2024-01-01", periods=60), ["A", "B", "C"])
    weights = random_weights(8, frames["close"].index[::10], ["A", "B", "C"], low=-0.5)
    lots = pd.Series({"A": 100.0, "B": 10.0, "C": np.nan})
    grid = {"slippage": [0.0, 0.01], "lot_size": [None, lots], "max_gross": [1.0, 2.0]}
    fixed = {"capital": 1e5, "borrow_rate": 0.05, "short_fee": 0.02}
    table = pelmora.sweep(grid, weights, frames, progress=False, **fixed)
    assert table["error"].isna().all() and table["slippage_cost"].gt(0).sum() == 4
    for row in table.itertuples():
        given = {"slippage": row.slippage, "lot_size": row.lot_size, "max_gross": row.max_gross}
        direct = pelmora.backtest(weights, frames, **given, **fixed).stats()
        assert row.total_return == direct["total_return"]
        assert row.financing_cost == direct["financing_cost"]


# The market: a short of the whole book at 10, A at 20 (the book is worth nothing), then
# at 25 the weights A -0.2, B 0.5, C 0, which a balance of -0.5 would have sized (B and C +0.5).
WIPED_DATES = pd.bdate_range("2024-01-01", periods=4)
WIPED_CLOSE = pd.DataFrame({"A": [10.0, 10.0, 20.0, 25.0], "B": 10.0, "C": 10.0},
                           index=WIPED_DATES)
WIPED_WEIGHTS = pd.DataFrame({"A": [-1.0, -0.2], "B": [0.0, 0.5], "C": [0.0, 0.0]},
                             index=WIPED_DATES[[0, 2]])


def test_a_wiped_out_account_warns_once_and_stops_trading():
    with pytest.warns(UserWarning) as caught:
        result = pelmora.backtest(WIPED_WEIGHTS, WIPED_CLOSE)
    texts = [str(w.message) for w in caught]
    equity = result.record.stopped["equity"]
    assert texts == [pelmora.runner.WIPED_OUT_WARNING.format(equity=equity, date="2024-01-03")]
    assert texts[0].startswith("pelmora.backtest: the equity was -0.001425 on 2024-01-03")
    assert result.fills["reason"].astype(str).tolist() == ["rebalance", "wiped_out"]
    assert (result.positions.iloc[2:] == 0).all().all()
    assert result.equity.iloc[3] == result.equity.iloc[2] < 0
    stats = result.stats()
    assert (stats["start"], stats["end"]) == (WIPED_DATES[1], WIPED_DATES[3])
    assert stats["total_return"] == result.equity.iloc[-1] - 1.0 and stats["n_trades"] == 1


def test_a_margin_call_warns_with_the_margin_and_the_gross_held():
    close = pd.DataFrame({"A": [10.0, 10.0, 14.0, 20.0]}, index=WIPED_DATES)
    weights = pd.DataFrame({"A": [-1.0]}, index=WIPED_DATES[:1])
    with pytest.warns(UserWarning) as caught:
        result = pelmora.backtest(weights, close, maintenance_margin=0.5, **NO_COSTS)
    stop = result.record.stopped
    assert [str(w.message) for w in caught] == [pelmora.runner.MARGIN_CALL_WARNING.format(
        equity=stop["equity"], date="2024-01-03", margin=0.5, gross=stop["gross"])]
    assert str(caught[0].message).startswith(
        "pelmora.backtest: the equity was 0.6 on 2024-01-03, below maintenance_margin=0.5 of "
        "the 1.4 held")
    assert result.fills["reason"].astype(str).tolist() == ["rebalance", "margin_call"]
    assert result.equity.tolist() == pytest.approx([1.0, 1.0, 0.6, 0.6])


def test_a_sweep_varies_the_maintenance_margin_as_the_direct_runs_do():
    frames = ohlc_market(3, pd.bdate_range("2024-01-01", periods=40), ["A", "B"], vol=0.05)
    weights = pd.DataFrame({"A": [1.5], "B": [-1.5]}, index=frames["close"].index[:1])
    fixed = {"capital": 1e5, "max_gross": 3.0, "position_limit": 2.0}
    table = pelmora.sweep({"maintenance_margin": [None, 0.45]}, weights, frames, progress=False,
                          **fixed)
    assert table["n_trades"].tolist() == [2, 2] and table["error"].isna().all()
    with pytest.warns(UserWarning, match="below maintenance_margin=0.45"):
        called = pelmora.backtest(weights, frames, maintenance_margin=0.45, **fixed)
    assert table["total_return"].tolist() == [
        pelmora.backtest(weights, frames, **fixed).stats()["total_return"],
        called.stats()["total_return"]]
    assert table["total_return"].nunique() == 2
