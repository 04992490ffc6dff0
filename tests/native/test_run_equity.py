"""End-to-end equity curves worked out by hand.

Every expected value is computed here with the operations the engine does, in
its order: a buy pays the full amount from cash and takes the fee out of the
holding; a holding moves by the ratio of consecutive trade prices; a row's
value is cash plus each holding times close over trade price. So the curves
compare exactly."""

import math

import numpy as np
import pytest

from run_helpers import build, trade_records

NAN = math.nan
FEE = 0.001425
TAX = 0.003


def test_one_stock_without_fees_follows_the_price_from_the_rebalance_row():
    price = [10.0, 10.0, 11.0, 12.1, 9.0]
    close = [10.5, 10.2, 11.3, 12.0, 9.5]
    creturn = build(price, [1.0], close=close).run()

    cash = 1.0 - 1.0          # the whole unit is invested on row 1
    held = 0.0 + (1.0 - 0.0)  # no fee
    expected = [1.0, cash + held * 10.2 / 10.0]
    for prev, now, c in [(10.0, 11.0, 11.3), (11.0, 12.1, 12.0), (12.1, 9.0, 9.5)]:
        held = held * (now / prev)
        expected.append(cash + held * c / now)
    assert creturn.tolist() == expected
    # In words: the value is the close over the entry row's trade price.
    assert creturn[1:] == pytest.approx(np.array(close[1:]) / 10.0, rel=1e-15)


def test_a_partial_weight_leaves_the_rest_in_cash():
    # The documented example: 0.5 held at 10, close 11, cash 0.5 -> 1.05.
    creturn = build([10.0, 10.0], [0.5], close=[10.0, 11.0]).run()
    assert creturn.tolist() == [1.0, 0.5 + 0.5 * 11.0 / 10.0]


def test_fees_and_tax_on_entry_and_exit():
    # Two stocks bought on row 1; on row 3 stock 0 is sold and the whole
    # value moved into stock 1, which is topped up (an entry: fee only).
    price = [[10.0, 20.0], [10.0, 20.0], [11.0, 19.0], [12.0, 18.0], [13.0, 21.0]]
    inp = build(price, [[0.6, 0.4], [0.0, 1.0]], pos_index=[0, 2])
    creturn = inp.run(fee_ratio=FEE, tax_ratio=TAX)

    cash = 1.0
    cash = cash - 0.6
    h0 = 0.0 + (0.6 - abs(0.6) * FEE)
    cash = cash - 0.4
    h1 = 0.0 + (0.4 - abs(0.4) * FEE)
    expected = [1.0, cash + h0 * 10.0 / 10.0 + h1 * 20.0 / 20.0]
    h0, h1 = h0 * (11.0 / 10.0), h1 * (19.0 / 20.0)
    expected.append(cash + h0 * 11.0 / 11.0 + h1 * 19.0 / 19.0)
    h0, h1 = h0 * (12.0 / 11.0), h1 * (18.0 / 19.0)
    balance = cash + h0 + h1
    cash = cash + (h0 - abs(h0) * (FEE + TAX))        # sell stock 0: fee and tax
    amount = 1.0 * (balance / 1.0) - h1
    cash = cash - amount                              # top up stock 1: fee only
    h1 = h1 + (amount - abs(amount) * FEE)
    expected.append(cash + h1 * 18.0 / 18.0)
    h1 = h1 * (21.0 / 18.0)
    expected.append(cash + h1 * 21.0 / 21.0)
    assert creturn.tolist() == expected


def test_a_full_exit_pays_fee_and_tax_and_then_stays_flat():
    inp = build([10.0, 10.0, 12.0, 15.0, 14.0, 16.0], [[1.0], [0.0]], pos_index=[0, 2])
    creturn = inp.run(fee_ratio=FEE, tax_ratio=TAX)
    cash = 1.0 - 1.0
    held = 0.0 + (1.0 - abs(1.0) * FEE)
    expected = [1.0, cash + held * 10.0 / 10.0]
    held = held * (12.0 / 10.0)
    expected.append(cash + held * 12.0 / 12.0)
    held = held * (15.0 / 12.0)
    cash = cash + (held - abs(held) * (FEE + TAX))
    expected += [cash, cash, cash]
    assert creturn.tolist() == expected
    assert trade_records() == [[0, 1, 3]]


def test_a_short_position():
    price = [10.0, 10.0, 9.0, 11.0, 12.0, 8.0]
    inp = build(price, [[-1.0], [0.0]], pos_index=[0, 3])
    creturn = inp.run(fee_ratio=FEE, tax_ratio=TAX)
    # Selling short is an entry: fee only, and the proceeds go to cash.
    cash = 1.0 + (-(-1.0) - abs(-1.0) * FEE)
    held = 0.0 + -1.0
    expected = [1.0, cash + held * 10.0 / 10.0]
    held = held * (9.0 / 10.0)
    expected.append(cash + held * 9.0 / 9.0)
    held = held * (11.0 / 9.0)
    expected.append(cash + held * 11.0 / 11.0)
    held = held * (12.0 / 11.0)
    cash = cash + (held - abs(held) * (FEE + TAX))   # covering pays fee and tax
    expected += [cash, cash]
    assert creturn.tolist() == expected
    assert expected[2] > 1.0 > expected[3]  # gains when the price falls


def test_rows_before_the_first_position_date_are_one():
    price = [0.0, -3.0, NAN, 10.0, 10.0, 12.0]
    inp = build(price, [1.0], price_index=[100, 101, 102, 103, 104, 105], pos_index=[103],
                resample=[100, 103])
    creturn = inp.run()
    # Rows 0-2 are not simulated at all (their prices are never looked at);
    # row 0's rebalance date is not scheduled because row 0 is not processed.
    assert creturn.tolist() == [1.0, 1.0, 1.0, 1.0, 0.0 + 1.0 * 10.0 / 10.0,
                                0.0 + (1.0 * (12.0 / 10.0)) * 12.0 / 12.0]
    assert trade_records() == [[0, 4, -1]]


def test_a_rebalance_date_only_before_the_first_position_date_never_trades():
    inp = build([10.0, 11.0, 12.0, 13.0], [1.0], pos_index=[2], resample=[0, 1])
    assert inp.run().tolist() == [1.0, 1.0, 1.0, 1.0]
    assert trade_records() == []


@pytest.mark.parametrize("column", [0, 1])
def test_a_suspended_price_bridges_the_gap(column):
    price = np.array([[10.0, 5.0], [10.0, 5.0], [NAN, NAN], [NAN, 5.5], [12.0, NAN],
                      [13.0, 6.0]])
    price = price[:, [column, 1 - column]]
    weights = [0.0, 0.0]
    weights[column] = 1.0
    creturn = build(price, weights).run()
    held = 1.0
    expected = [1.0, 0.0 + held * 10.0 / 10.0, 0.0 + held, 0.0 + held]
    held = held * (12.0 / 10.0)         # one step over the gap
    expected.append(0.0 + held * 12.0 / 12.0)
    held = held * (13.0 / 12.0)
    expected.append(0.0 + held * 13.0 / 13.0)
    assert creturn.tolist() == expected


@pytest.mark.parametrize("trade, close", [(NAN, 11.0), (10.5, NAN), (NAN, NAN)])
def test_a_missing_trade_or_close_price_counts_the_book_value(trade, close):
    inp = build([10.0, 10.0, trade, 11.0], [0.5], close=[10.0, 10.0, close, 11.0])
    creturn = inp.run()
    held = 0.5
    if not math.isnan(trade):
        held = held * (trade / 10.0)
    assert creturn[2] == 0.5 + held
    held = held * (11.0 / (10.0 if math.isnan(trade) else trade))
    assert creturn[3] == 0.5 + held * 11.0 / 11.0


def test_an_empty_book_is_worth_its_cash():
    creturn = build([10.0, 11.0, 12.0], [0.0]).run()
    assert creturn.tolist() == [1.0, 1.0, 1.0]


def test_an_infinite_close_makes_the_value_infinite():
    creturn = build([10.0, 10.0, 10.0], [1.0], close=[10.0, 10.0, math.inf]).run()
    assert creturn.tolist() == [1.0, 1.0, math.inf]


def test_a_zero_close_values_the_holding_at_zero():
    creturn = build([10.0, 10.0, 10.0], [0.4], close=[10.0, 10.0, 0.0]).run()
    assert creturn.tolist() == [1.0, 0.6 + 0.4 * 10.0 / 10.0, 0.6 + 0.0]


def test_gross_weight_above_one_is_scaled_and_capped():
    # Weights 1, 1, 2 (gross 4) against a value of 1 give targets 0.25, 0.25,
    # 0.5; a limit of 0.4 caps the third at 0.4.
    price = [[10.0, 20.0, 40.0], [10.0, 20.0, 40.0], [11.0, 21.0, 42.0]]
    creturn = build(price, [1.0, 1.0, 2.0]).run(position_limit=0.4)
    ratio = 1.0 / 4.0
    targets = [1.0 * ratio, 1.0 * ratio, (0.4 * 1.0) * 1]
    cash = 1.0 - targets[0] - targets[1] - targets[2]
    assert creturn[1] == cash + targets[0] * 10.0 / 10.0 + targets[1] * 20.0 / 20.0 \
        + targets[2] * 40.0 / 40.0
    held = [targets[0] * (11.0 / 10.0), targets[1] * (21.0 / 20.0), targets[2] * (42.0 / 40.0)]
    assert creturn[2] == cash + held[0] * 11.0 / 11.0 + held[1] * 21.0 / 21.0 + held[2] * 42.0 / 42.0


def test_a_short_beyond_the_limit_is_capped():
    creturn = build([[10.0, 10.0], [10.0, 10.0], [9.0, 12.0]], [-0.8, 0.1]).run(position_limit=0.5)
    # Targets -0.5 (capped) and 0.1; the short sale adds its proceeds to cash.
    cash = 1.0 + (-(-0.5) - 0.0)
    cash = cash - 0.1
    h0, h1 = -0.5, 0.1
    assert creturn[1] == cash + h0 * 10.0 / 10.0 + h1 * 10.0 / 10.0
    h0, h1 = h0 * (9.0 / 10.0), h1 * (12.0 / 10.0)
    assert creturn[2] == cash + h0 * 9.0 / 9.0 + h1 * 12.0 / 12.0


def test_weights_summing_below_one_leave_the_rest_in_cash_at_every_rebalance():
    price = [[10.0, 10.0], [10.0, 10.0], [20.0, 10.0], [20.0, 10.0]]
    inp = build(price, [[0.3, 0.0], [0.0, 0.3]], pos_index=[0, 1])
    creturn = inp.run()
    # Row 1 buys 0.3 of stock 0; it doubles on row 2, when the rebalance
    # switches 30% of the new value of 1.3 into stock 1.
    cash = 1.0 - 0.3
    h0 = 0.3 * (20.0 / 10.0)
    balance = cash + h0
    cash = cash + (h0 - 0.0)
    cash = cash - 0.3 * (balance / 1)
    h1 = 0.3 * (balance / 1)
    assert creturn.tolist() == [1.0, 1.0, cash + h1 * 10.0 / 10.0, cash + h1 * 10.0 / 10.0]
    assert creturn[-1] == pytest.approx(1.3)


def test_a_nan_weight_makes_the_other_targets_raw_money_amounts():
    # ratio falls back to 1.0; the NaN stock's own target is NaN and is
    # bought as such, so the value turns NaN.
    price = [[10.0, 10.0], [10.0, 10.0], [10.0, 11.0]]
    creturn = build(price, [0.5, NAN]).run()
    assert creturn[0] == 1.0
    assert math.isnan(creturn[1]) and math.isnan(creturn[2])
