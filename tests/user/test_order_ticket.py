"""The order ticket: whole lots, reductions before buys, buys the cash can pay for, the band, and
every argument refused by name."""

from __future__ import annotations

import math

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora

DATES = pd.bdate_range("2024-01-01", periods=3)


def run(prices: dict, targets: dict, *, held: dict | None = None, **options):
    """A flat market whose last weight row, dated on the last day, is the next period's."""
    close = pd.DataFrame(prices, index=DATES, dtype=float)
    rows = [held or dict.fromkeys(prices, 0.0), targets]
    weights = pd.DataFrame(rows, index=DATES[[0, -1]], columns=list(prices)).fillna(0.0)
    return pelmora.backtest(weights, close, **{"fee": 0.0, "tax": 0.0, **options})


def orders(ticket: pd.DataFrame) -> list[tuple]:
    return list(ticket[["stock", "side", "shares"]].itertuples(index=False, name=None))


@pytest.mark.parametrize(("options", "lot_size"),
                         [({}, 100), ({"capital": 1e4, "lot_size": 100}, None)])
def test_lots_and_the_run_s_own_book(options, lot_size):
    # 10,000, a weight of 1.0 at 33 in lots of 100 (given, or the run's): 300 shares.
    ticket = run({"A": 33.0}, {"A": 1.0}, **options).order_ticket(10_000, holdings={},
                                                                   lot_size=lot_size)
    assert orders(ticket) == [("A", "buy", 300.0)] and ticket["value"].tolist() == [9900.0]
    # Without holdings the run's book (half in each) is the account: B is sold whole.
    ticket = run({"A": 10.0, "B": 20.0}, {"A": 1.0}, held={"A": 0.5, "B": 0.5}).order_ticket(1000)
    assert orders(ticket) == [("B", "sell", 25.0), ("A", "buy", 50.0)]


def test_the_run_s_book_is_held_in_whole_lots():
    # 100,000 on 0.4 of A at 33 and 0.6 of B at 7.7: 1212.12 and 7792.21 shares in lots of 100
    # are 1200 and 7700 (the rest is cash), so even the sale that closes B is whole lots.
    result = run({"A": 33.0, "B": 7.7}, {"A": 1.0}, held={"A": 0.4, "B": 0.6})
    ticket = result.order_ticket(100_000, lot_size=100)
    assert orders(ticket) == [("B", "sell", 7700.0), ("A", "buy", 1800.0)]


@pytest.mark.parametrize("short", [False, True])
def test_a_run_with_the_ticket_s_capital_and_lots_is_its_own_book(short):
    # The run's holdings are whole lots already: the ticket's account is them, share for share.
    held = {"A": -0.3 if short else 0.3, "B": 0.45, "C": 0.2}
    result = run({"A": 33.0, "B": 7.7, "C": 151.3}, {"A": 0.5, "B": 0.2, "C": 0.1}, held=held,
                 capital=250_000, lot_size={"A": 100, "B": 100, "C": 10},
                 fee=0.001425, tax=0.003)
    shares = result.fills.groupby("stock")["shares"].sum()
    assert (shares % [100, 100, 10] == 0).all() and shares.abs().min() > 0
    capital = float(result.equity.iloc[-1]) * 250_000
    pd.testing.assert_frame_equal(result.order_ticket(capital),
                                  result.order_ticket(capital, holdings=shares))


def test_reductions_then_short_sales_then_buys_in_whole_lots():
    result = run({"A": 10.0, "B": 20.0, "C": 5.0, "D": 40.0},
                 {"A": 0.5, "B": -0.25, "C": 0.0, "D": 0.25})
    ticket = result.order_ticket(10_000, holdings={"A": -30, "B": 55, "C": 17, "D": 60},
                                 lot_size=10)
    # Closing and flipping holdings go whole; D's 2.5 shares to buy are no lot.
    assert orders(ticket) == [("B", "sell", 55.0), ("C", "sell", 17.0), ("A", "cover", 30.0),
                              ("B", "sell short", 120.0), ("A", "buy", 500.0)]


@pytest.mark.parametrize(("capital", "lot_size", "shares"),
                         [(1e8, 1, 30_000_000.0), (1e8, 100, 30_000_000.0), (1e4, 1, 3_000.0)])
def test_whole_lots_counted_a_few_ulps_short_are_still_ordered(capital, lot_size, shares):
    # 0.33 of the capital at 1.1 is 30 % of it in shares; 0.33 * 1e8 / 1.1 is 29999999.999999996.
    ticket = run({"A": 1.1}, {"A": 0.33}).order_ticket(capital, holdings={}, lot_size=lot_size)
    assert orders(ticket) == [("A", "buy", shares)]


@pytest.mark.parametrize(("band", "ordered"), [(0.0, True), (0.01, True), (0.0101, False)])
def test_a_holding_within_the_band_gets_no_order(band, ordered):
    # D moves from 60 to 62.5 shares at 40: a change of 1 % of the account.
    result = run({"A": 10.0, "D": 40.0}, {"A": 0.75, "D": 0.25})
    ticket = result.order_ticket(10_000, holdings={"A": 750, "D": 60}, band=band)
    assert orders(ticket) == ([("D", "buy", 2.5)] if ordered else [])


@pytest.mark.parametrize(("least", "ordered"), [
    (0.0, [("B", "sell", 10.0), ("A", "buy", 100.0), ("C", "buy", 50.0)]),
    (200.0, [("B", "sell", 10.0), ("A", "buy", 100.0), ("C", "buy", 50.0)]),  # 200 is enough
    (200.5, [("A", "buy", 100.0), ("C", "buy", 50.0)]),
    (1000.5, [("C", "buy", 50.0)]),
    (2000.5, []),
])
def test_orders_worth_less_than_the_minimum_are_left_out(least, ordered):
    # 10,000 with 3,800 of cash: A 300 -> 400 shares at 10 (1,000), B 160 -> 150 at 20 (200),
    # C 0 -> 50 at 40 (2,000); the cash pays for every buy whatever the sale brings.
    result = run({"A": 10.0, "B": 20.0, "C": 40.0}, {"A": 0.4, "B": 0.3, "C": 0.2})
    ticket = result.order_ticket(10_000, holdings={"A": 300, "B": 160}, min_order_value=least)
    assert orders(ticket) == ordered
    assert (ticket["value"] == ticket["shares"] * ticket["price"]).all()


def test_given_prices_size_the_targets_and_value_the_holdings():
    # The run closed A at 10 and B at 20; the desk's prices are 5 and 25. Held: 1,000 A, worth
    # 5,000 at 5, so 5,000 of cash; A's target of half the account is the 1,000 held, and B's
    # half is 200 shares at 25, which the 5,000 pays for exactly. (At the closes: 500 A to sell
    # and 250 B to buy; with the holdings valued at the close, no cash for B at all.)
    result = run({"A": 10.0, "B": 20.0}, {"A": 0.5, "B": 0.5})
    ticket = result.order_ticket(10_000, holdings={"A": 1000}, prices={"A": 5.0, "B": 25.0})
    assert orders(ticket) == [("B", "buy", 200.0)]
    assert ticket[["price", "value"]].values.tolist() == [[25.0, 5000.0]]
    closes = result.order_ticket(10_000, holdings={"A": 1000})
    assert orders(closes) == [("A", "sell", 500.0), ("B", "buy", 250.0)]
    assert closes["price"].tolist() == [10.0, 20.0]


@st.composite
def accounts(draw):
    n = draw(st.integers(1, 5))
    stocks = [f"S{i}" for i in range(n)]
    prices = dict(zip(stocks, draw(st.lists(st.floats(1.0, 500.0), min_size=n, max_size=n))))
    targets = dict(zip(stocks, draw(st.lists(st.floats(-0.5, 1.0), min_size=n, max_size=n))))
    holdings = dict(zip(stocks, draw(st.lists(st.integers(-300, 1000), min_size=n, max_size=n))))
    lots = draw(st.one_of(st.none(), st.sampled_from([1, 10, 100]),
                          st.lists(st.sampled_from([0, 1, 50]), min_size=n, max_size=n)))
    costs = {"fee": draw(st.sampled_from([0.0, 0.001425])),
             "tax": draw(st.sampled_from([0.0, 0.003]))}
    return prices, targets, holdings, lots, costs, draw(st.sampled_from([0.0, 5.0])), {
        "capital": draw(st.floats(1_000.0, 1e6)), "cash_buffer": draw(st.floats(0.0, 5_000.0)),
        "min_order_value": draw(st.sampled_from([0.0, 500.0]))}


@settings(max_examples=60, deadline=None)
@given(accounts())
def test_buys_never_take_the_cash_below_the_buffer(account):
    prices, targets, holdings, lots, costs, min_fee, knobs = account
    result = run(prices, targets, **costs, capital=knobs["capital"], min_fee=min_fee)
    if isinstance(lots, list):
        lots = dict(zip(prices, lots))
    ticket = result.order_ticket(holdings=holdings, lot_size=lots, **knobs)
    rank = ticket["side"].map({"sell": 0, "cover": 1, "sell short": 2, "buy": 3})
    assert rank.is_monotonic_increasing and (ticket["shares"] > 0).all()
    for stock, side, shares in orders(ticket):
        lot = (lots.get(stock) if isinstance(lots, dict) else lots) or 0
        closing = side in ("sell", "cover") and shares == abs(holdings[stock])
        assert closing or not lot or math.isclose(shares / lot, round(shares / lot))
    flows = ticket["value"].where(ticket["side"].isin(["sell", "sell short"]), -ticket["value"])
    cash = (knobs["capital"] - sum(holdings[s] * prices[s] for s in prices)
            + flows.sum() - ticket["fee"].sum() - ticket["tax"].sum())
    if (ticket["side"] == "buy").any():
        assert cash >= knobs["cash_buffer"] - 1e-9 * knobs["capital"]
    assert (ticket["value"] >= knobs["min_order_value"]).all()


@pytest.mark.parametrize("given", ["run", "ticket"])
def test_lots_for_a_whole_universe_serve_the_run_and_the_ticket(given):
    # A table of lots naming stocks the run does not trade is fine in both; one that leaves out
    # a stock of the weights is refused by both with the same words.
    universe = pd.Series({"A": 100, "B": 10, "ZZZ": 1})
    options = {"capital": 10_000, "lot_size": universe} if given == "run" else {}
    result = run({"A": 33.0, "B": 20.0}, {"A": 0.5, "B": 0.5}, **options)
    ticket = result.order_ticket(10_000, holdings={},
                                 lot_size=None if given == "run" else universe)
    assert orders(ticket) == [("A", "buy", 100.0), ("B", "buy", 250.0)]
    message = ("lot_size has no lot for B of weights: give every stock a lot (NaN: no lots for "
               "it)")
    with pytest.raises(ValueError) as refused:
        if given == "run":
            run({"A": 33.0, "B": 20.0}, {"A": 1.0}, capital=10_000, lot_size={"A": 100, "C": 1})
        else:
            result.order_ticket(10_000, lot_size={"A": 100, "C": 1})
    assert str(refused.value) == message


@pytest.mark.parametrize(("arguments", "error", "message"), [
    ({"capital": 0}, ValueError, "capital must be above 0, got 0"),
    ({"capital": math.nan}, ValueError, "capital must be finite, got nan"),
    ({"capital": "1e6"}, TypeError, "capital must be a real number, got str"),
    ({"band": -0.1}, ValueError, "band must be at least 0, got -0.1"),
    ({"cash_buffer": math.inf}, ValueError, "cash_buffer must be finite, got inf"),
    ({"min_order_value": -1}, ValueError, "min_order_value must be at least 0, got -1"),
    ({"lot_size": 0}, ValueError, "lot_size must be above 0, got 0"),
    ({"lot_size": {"A": -100, "B": 100}}, ValueError,
     "lot_size of 'A' must be a finite number, at least 0"),
    ({"holdings": [1, 2]}, TypeError, "holdings must be a pandas Series or a mapping"),
    ({"holdings": {"ZZZ": 1, "A": 2}}, ValueError,
     "holdings has stocks that are not among the run's stocks: 'ZZZ'"),
    ({"holdings": pd.Series([1, 2], index=["A", "A"])}, ValueError, "holdings has stock 'A' twice"),
    ({"holdings": {"A": "10"}}, TypeError, "holdings of 'A' must be a number, got str"),
    ({"holdings": {"B": math.nan}}, ValueError, "holdings of 'B' must be finite, got nan"),
    ({"prices": {"A": -1}}, ValueError, r"prices of 'A' must be finite and above 0, got -1.0"),
    ({"prices": {"A": 10.0}}, ValueError,
     "prices has no price for 'B', which is held or has a target weight"),
])
def test_arguments_are_refused_by_name(arguments, error, message):
    result = run({"A": 10.0, "B": 20.0}, {"A": 0.5, "B": 0.5})
    with pytest.raises(error, match=f"^{message}"):
        result.order_ticket(**{"capital": 1000.0, **arguments})
