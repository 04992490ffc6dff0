"""Stop-loss, take-profit and trailing stop, in both exit modes, end to end.

Stock 1 carries the trades; stock 0 sits in column 0, whose index has no sign,
so the labels of the report show which side an exit was recorded on."""

import math

import pytest

from run_helpers import build, operations, trade_records

FEE = 0.001425
TAX = 0.003
NAN = math.nan


def stock1(prices, other=10.0):
    return [[other, p] for p in prices]


# --- close mode ---------------------------------------------------------------------------


def test_close_mode_stop_loss_is_signalled_on_the_close_and_sold_next_row():
    price = stock1([10.0, 10.0, 9.5, 9.2, 9.6, 9.0])
    close = stock1([10.0, 10.0, 8.9, 9.3, 9.6, 9.0])
    creturn = build(price, [0.0, 1.0], close=close).run(stop_loss=0.1, fee_ratio=FEE,
                                                        tax_ratio=TAX)
    cash = 1.0 - 1.0
    held = 0.0 + (1.0 - abs(1.0) * FEE)
    expected = [1.0, cash + held * 10.0 / 10.0]
    held = held * (9.5 / 10.0)
    expected.append(cash + held * 8.9 / 9.5)   # 0.95 * 8.9 / 9.5 = 0.89: signalled
    held = held * (9.2 / 9.5)                  # sold at row 3's trade price
    cash = cash + (held - abs(held) * (FEE + TAX))
    expected += [cash, cash, cash]
    assert creturn.tolist() == expected
    assert trade_records() == [[1, 1, 3]]
    assert operations() == {"actions": {1: "sl_"}, "weights": {1: 0.0}, "next_weights": {},
                            "weight_time": 0, "next_weight_time": 0}


@pytest.mark.parametrize("close, signalled", [(9.0, False), (8.99, True)])
def test_close_mode_stop_loss_is_strict(close, signalled):
    # cr at the close exactly 0.9 is not below the 0.9 floor.
    inp = build(stock1([10.0, 10.0, 10.0, 10.0]), [0.0, 1.0], close=stock1([10.0, 10.0, close, 10.0]))
    creturn = inp.run(stop_loss=0.1)
    assert trade_records() == ([[1, 1, 3]] if signalled else [[1, 1, -1]])
    assert creturn[3] == 1.0


@pytest.mark.parametrize("close, signalled", [(12.0, True), (11.99, False)])
def test_close_mode_take_profit_is_inclusive(close, signalled):
    inp = build(stock1([10.0, 10.0, 10.0, 11.0]), [0.0, 1.0],
                close=stock1([10.0, 10.0, close, 11.0]))
    creturn = inp.run(take_profit=0.2)
    if signalled:
        assert trade_records() == [[1, 1, 3]]
        assert operations()["actions"] == {1: "tp_"}
        assert creturn.tolist() == [1.0, 1.0, 0.0 + 1.0 * close / 10.0, 0.0 + (1.0 * (11.0 / 10.0))]
    else:
        assert trade_records() == [[1, 1, -1]]


def test_a_signal_on_the_last_row_is_left_pending_for_the_report():
    inp = build(stock1([10.0, 10.0, 10.0]), [0.0, 1.0], close=stock1([10.0, 10.0, 8.0]))
    inp.run(stop_loss=0.1)
    assert trade_records() == [[1, 1, -1]]
    assert operations()["actions"] == {1: "sl"}


def test_trailing_stop_arms_at_its_activation_and_trails_by_a_distance():
    # maxcr 1.19 does not arm a 0.2 activation: the drop to 1.08 is kept.
    # Later maxcr 1.25 arms it with a floor of 1.25 - 0.1 = 1.15, and a
    # close at 1.14 signals the exit.
    prices = [10.0, 10.0, 11.9, 10.8, 12.5, 12.5, 12.0]
    close = [10.0, 10.0, 11.9, 10.8, 12.5, 11.4, 12.0]
    inp = build(stock1(prices), [0.0, 1.0], close=stock1(close))
    creturn = inp.run(trail_stop=0.1, trail_stop_activation=0.2)
    assert trade_records() == [[1, 1, 6]]
    assert operations()["actions"] == {1: "sl_"}
    held = 1.0 * (11.9 / 10.0) * (10.8 / 11.9) * (12.5 / 10.8) * (12.5 / 12.5) * (12.0 / 12.5)
    assert creturn[6] == 0.0 + (held - abs(held) * 0.0)


@pytest.mark.parametrize("stop_loss", [0.1, -0.1])
def test_a_short_stopped_in_close_mode_is_recorded_on_the_upper_side(stop_loss):
    # For a short the upper threshold is the stop; close mode records the
    # crossed threshold (+), so the report calls it "tp_". The sign of the
    # argument does not matter.
    inp = build(stock1([10.0, 10.0, 10.0, 11.5]), [0.0, -1.0],
                close=stock1([10.0, 10.0, 11.0, 11.5]))
    creturn = inp.run(stop_loss=stop_loss)
    assert trade_records() == [[1, 1, 3]]
    assert operations()["actions"] == {1: "tp_"}
    cash = 1.0 + (-(-1.0) - 0.0)
    held = -1.0 * (11.5 / 10.0)
    assert creturn[3] == cash + (held - abs(held) * 0.0)


# --- intraday mode ---------------------------------------------------------------------------


INTRADAY = [
    # id, open, high, low, options, exit side of the row's cumulative return, label
    ("low at the stop", 9.9, 10.0, 9.0, dict(stop_loss=0.1), "min", "sl_"),
    ("gap below the stop", 8.5, 9.0, 8.0, dict(stop_loss=0.1), "open", "sl_"),
    ("high at the take-profit", 10.1, 12.0, 10.0, dict(take_profit=0.2), "max", "tp_"),
    ("gap above the take-profit", 12.5, 13.0, 12.2, dict(take_profit=0.2), "open", "tp_"),
    ("both sides touched", 10.0, 12.5, 8.5, dict(stop_loss=0.1, take_profit=0.2), "max", "sl_"),
]


@pytest.mark.parametrize("case, open_, high, low, options, side, label", INTRADAY,
                         ids=[c[0] for c in INTRADAY])
def test_intraday_exit_trades_at_the_threshold_or_the_open(case, open_, high, low, options, side,
                                                          label):
    price = stock1([10.0, 10.0, 9.8, 9.7])
    inp = build(price, [0.0, 1.0], open=stock1([10.0, 10.0, open_, 9.7]),
                high=stock1([10.0, 10.0, high, 9.7]), low=stock1([10.0, 10.0, low, 9.7]))
    creturn = inp.run(touched_exit=True, fee_ratio=FEE, tax_ratio=TAX, **options)

    cash = 1.0 - 1.0
    held = 0.0 + (1.0 - abs(1.0) * FEE)
    r = 9.8 / 10.0
    held = held * r
    cr = 1.0 * r
    entry_pos = held / cr
    max_r = 1 + options.get("take_profit", math.inf)
    min_r = 1 - options.get("stop_loss", 1.0)
    open_r = (cr / r) * (open_ / 10.0)
    exit_value = {"open": open_r, "max": max_r, "min": min_r}[side] * entry_pos
    cash = cash + (exit_value - abs(exit_value) * (FEE + TAX))
    assert creturn.tolist() == [1.0, 0.0 + (1.0 - abs(1.0) * FEE) * 10.0 / 10.0, cash, cash]
    assert trade_records() == [[1, 1, 2]]
    assert operations()["actions"] == {1: label}


def test_intraday_mode_ignores_the_close():
    inp = build(stock1([10.0, 10.0, 10.0, 10.0]), [0.0, 1.0], close=stock1([10.0, 10.0, 5.0, 10.0]))
    inp.run(touched_exit=True, stop_loss=0.1)
    assert trade_records() == [[1, 1, -1]]


@pytest.mark.parametrize("high, low, value, label", [(11.0, 9.5, 1.1, "sl_"), (10.5, 8.0, 0.8, "tp_")])
def test_intraday_short(high, low, value, label):
    # A short touching its upper threshold is stopped (-); touching the lower
    # one takes its profit (+). The exit value is the threshold times the
    # (negative) entry value.
    inp = build(stock1([10.0, 10.0, 10.0, 10.0]), [0.0, -1.0],
                high=stock1([10.0, 10.0, high, 10.0]), low=stock1([10.0, 10.0, low, 10.0]))
    creturn = inp.run(touched_exit=True, stop_loss=0.1, take_profit=0.2)
    cash = 1.0 + (-(-1.0) - 0.0)
    exit_value = value * (-1.0 / 1.0)
    cash = cash + (exit_value - abs(exit_value) * 0.0)
    assert creturn.tolist() == [1.0, 1.0, cash, cash]
    assert operations()["actions"] == {1: label}


def test_intraday_thresholds_are_measured_across_a_missing_price():
    # Row 2 has no trade price: the intraday returns of row 3 are measured
    # from row 1's price of 10 (the last known), so a low of 9 touches 0.9.
    price = stock1([10.0, 10.0, NAN, 9.5])
    inp = build(price, [0.0, 1.0], low=stock1([10.0, 10.0, NAN, 9.0]),
                high=stock1([10.0, 10.0, NAN, 9.6]), open=stock1([10.0, 10.0, NAN, 9.5]))
    creturn = inp.run(touched_exit=True, stop_loss=0.1)
    assert trade_records() == [[1, 1, 3]]
    r = 9.5 / 10.0
    assert creturn[3] == 0.0 + (1 - 0.1) * ((1.0 * r) / (1.0 * r))


# --- a holding left at 0.0 by an intraday exit ------------------------------------------------


def stopped_then_spiking():
    # Stopped out intraday on row 2; on rows 3 and 4 the stock jumps far
    # above its old price. The empty holding waits in the book for the next
    # rebalance (none comes).
    price = stock1([10.0, 10.0, 9.0, 12.0, 13.0])
    return build(price, [0.0, 1.0], low=stock1([10.0, 10.0, 8.5, 11.0, 12.5]),
                 high=stock1([10.0, 10.0, 9.2, 12.5, 14.0]),
                 open=stock1([10.0, 10.0, 9.1, 12.0, 13.0]))


def test_an_empty_holding_is_not_tested_against_the_exit_rules():
    creturn = stopped_then_spiking().run(touched_exit=True, stop_loss=0.1)
    exit_value = (1 - 0.1) * ((1.0 * (9.0 / 10.0)) / (1.0 * (9.0 / 10.0)))
    cash = 0.0 + (exit_value - abs(exit_value) * 0.0)
    assert creturn.tolist() == [1.0, 1.0, cash, cash, cash]
    assert trade_records() == [[1, 1, 2]]
    # Its stop stays a stop: the later spikes are not recorded as exits on
    # the short side, which would relabel it "tp_".
    assert operations()["actions"] == {1: "sl_"}


def test_an_empty_holding_still_reports_its_weight():
    stopped_then_spiking().run(touched_exit=True, stop_loss=0.1)
    # The key stays in the book at 0.0, so the held weight is reported.
    assert operations()["weights"] == {1: 1.0}


def test_an_empty_holding_is_still_revalued_and_its_price_validated():
    inp = stopped_then_spiking()
    inp.price_values[3, 1] = 0.0
    with pytest.raises(ValueError) as e:
        inp.run(touched_exit=True, stop_loss=0.1)
    assert str(e.value) == ("Invalid trading price for S1 at price row 3: 0.0. Expected a "
                            "positive finite price; check the trading-price dataset.")


def test_an_empty_holding_tolerates_a_missing_price():
    inp = stopped_then_spiking()
    inp.price_values[3, 1] = NAN
    creturn = inp.run(touched_exit=True, stop_loss=0.1)
    assert creturn[3] == creturn[2] == creturn[4]


def test_a_stopped_stock_is_not_re_entered_before_the_next_rebalance():
    # Close mode: the stop on row 2 is sold on row 3; the rebalance on row 4
    # (new position row, same weight) leaves it out while
    # stop_trading_next_period is true.
    price = stock1([10.0, 10.0, 9.0, 8.0, 8.0, 9.0])
    inp = build(price, [[0.0, 1.0], [0.0, 1.0]], pos_index=[0, 3])
    inp.run(stop_loss=0.05)
    assert trade_records() == [[1, 1, 3]]
    inp.run(stop_loss=0.05, stop_trading_next_period=False)
    assert trade_records() == [[1, 1, 3], [1, 4, -1]]


# --- take-profit with stop_trading_next_period ---------------------------------------------------


def take_profit_market():
    # Stock 0 never gains 20% from any of its entries, so only stock 1 exits.
    price = [[10.0, 20.0], [10.0, 20.0], [10.0, 20.0], [10.5, 24.0], [11.0, 25.0], [11.0, 26.0],
             [11.5, 27.0], [11.8, 28.0], [12.0, 29.0]]
    close = [row[:] for row in price]
    close[2][1] = 24.5  # 24.5 / 20 = 1.225: take-profit signalled on row 2
    return build(price, [[0.5, 0.5]] * 3, close=close, pos_index=[0, 3, 6])


def test_take_profit_keeps_the_stock_out_until_the_next_rebalance():
    creturn = take_profit_market().run(take_profit=0.2, stop_trading_next_period=True)

    cash = 1.0
    cash = cash - 0.5
    h0 = 0.0 + (0.5 - 0.0)
    cash = cash - 0.5
    h1 = 0.0 + (0.5 - 0.0)
    expected = [1.0, cash + h0 * 10.0 / 10.0 + h1 * 20.0 / 20.0]
    h0, h1 = h0 * (10.0 / 10.0), h1 * (20.0 / 20.0)
    expected.append(cash + h0 * 10.0 / 10.0 + h1 * 24.5 / 20.0)
    h0, h1 = h0 * (10.5 / 10.0), h1 * (24.0 / 20.0)
    cash = cash + (h1 - abs(h1) * 0.0)                 # row 3: the pending take-profit
    expected.append(cash + h0 * 10.5 / 10.5)
    h0 = h0 * (11.0 / 10.5)
    balance = cash + h0                                # row 4: rebalance, stock 1 kept at 0
    amount = 0.5 * (balance / 1) - h0
    if amount > 0:
        cash, h0 = cash - amount, h0 + (amount - 0.0)
    else:
        cash, h0 = cash + (-amount - 0.0), h0 + amount
    expected.append(cash + h0 * 11.0 / 11.0)
    h0 = h0 * (11.0 / 11.0)
    expected.append(cash + h0 * 11.0 / 11.0)
    h0 = h0 * (11.5 / 11.0)
    expected.append(cash + h0 * 11.5 / 11.5)
    h0 = h0 * (11.8 / 11.5)
    balance = cash + h0                                # row 7: rebalance, stock 1 re-enters
    ratio = balance / 1.0
    amount = 0.5 * ratio - h0
    if amount > 0:
        cash, h0 = cash - amount, h0 + (amount - 0.0)
    else:
        cash, h0 = cash + (-amount - 0.0), h0 + amount
    cash, h1 = cash - 0.5 * ratio, 0.0 + (0.5 * ratio - 0.0)
    expected.append(cash + h0 * 11.8 / 11.8 + h1 * 28.0 / 28.0)
    h0, h1 = h0 * (12.0 / 11.8), h1 * (29.0 / 28.0)
    expected.append(cash + h0 * 12.0 / 12.0 + h1 * 29.0 / 29.0)

    assert creturn.tolist() == expected
    assert [t for t in trade_records() if t[0] == 1] == [[1, 1, 3], [1, 7, -1]]


def test_without_stop_trading_next_period_the_next_rebalance_re_enters():
    take_profit_market().run(take_profit=0.2, stop_trading_next_period=False)
    # (the row-7 rebalance resizes it, which starts a new trade record)
    assert [t for t in trade_records() if t[0] == 1] == [[1, 1, 3], [1, 4, 7], [1, 7, -1]]


@pytest.mark.parametrize("stop_trading", [True, False])
def test_a_pending_exit_on_a_rebalance_row_that_keeps_the_stock(stop_trading):
    # The take-profit is signalled on row 3, the row whose rebalance date
    # makes row 4 rebalance to a position row that keeps stock 1.
    # Row 4's own close (22 / 20 = 1.1) signals nothing new.
    price = [[10.0, 20.0]] * 4 + [[10.0, 22.0], [10.0, 22.0]]
    close = [row[:] for row in price]
    close[3][1] = 25.0
    inp = build(price, [[0.5, 0.5], [0.5, 0.5]], close=close, pos_index=[0, 3])
    creturn = inp.run(take_profit=0.2, stop_trading_next_period=stop_trading,
                      periodically_rebalance=False)
    if stop_trading:
        # Sold by the exit on row 4, and the rebalance gives it a target of 0.
        assert trade_records() == [[1, 1, 4], [0, 1, -1]]
        assert operations()["actions"] == {}
        assert operations()["next_weights"] == {0: 0.5}
    else:
        # Left to the rebalance, which keeps it (no exit, no fee).
        assert trade_records() == [[0, 1, -1], [1, 1, -1]]
        assert operations()["next_weights"] == {0: 0.5, 1: 0.5}
    assert creturn[4] == pytest.approx(0.5 + 0.5 * 22.0 / 20.0, rel=1e-15)
