"""When the run rebalances and what a rebalance does around the trades:
scheduling from the rebalance dates and position dates, tracker restarts,
stopped-out stocks, and the reference prices of suspended stocks."""

import math

import numpy as np
import pytest

from run_helpers import build, operations, trade_records

NAN = math.nan
DATES = [0, 10, 20, 30, 40, 50]


def entry_rows():
    return [t[1] for t in trade_records()]


def flat(n_rows=6, n_stocks=1, dates=DATES):
    return [[10.0] * n_stocks for _ in range(n_rows)], dates[:n_rows]


# --- rebalance rows from the rebalance dates ---------------------------------------------------


@pytest.mark.parametrize("resample, rebalance_row", [
    ([35], 4),          # between the dates of rows 3 and 4: marks row 3
    ([30], 4),          # on the date of row 3
    ([31, 39], 4),      # two dates between the same rows mark row 3 once
    ([-5], 1),          # before the first row: marks row 0
    ([0], 1),
    ([30, 10], 4),      # not ascending: the earlier date marks the row already reached
])
def test_a_rebalance_date_marks_the_last_row_on_or_before_it(resample, rebalance_row):
    price, dates = flat()
    build(price, [1.0], price_index=dates, pos_index=[0], resample=resample).run()
    assert trade_records() == [[0, rebalance_row, -1]]


@pytest.mark.parametrize("resample", [[], [60], [1000]])
def test_no_rebalance_row_inside_the_data(resample):
    price, dates = flat()
    creturn = build(price, [1.0], price_index=dates, pos_index=[0], resample=resample).run()
    assert creturn.tolist() == [1.0] * 6
    assert trade_records() == []
    # A date after the last row marks the last row: the rebalance is due on
    # the bar after the data, and the report says so.
    assert operations()["actions"] == ({} if resample == [] else {0: "enter"})


def test_a_single_position_row_is_traded_once():
    # Rebalance dates on every row; with one position row only the first
    # executes, so the fees are paid once and the stock is simply held.
    price = [10.0, 10.0, 11.0, 12.0, 9.0, 10.0]
    creturn = build(price, [0.9], resample=list(range(6))).run(fee_ratio=0.01, tax_ratio=0.01)
    cash = 1.0 - 0.9
    held = 0.0 + (0.9 - abs(0.9) * 0.01)
    expected = [1.0, cash + held * 10.0 / 10.0]
    for prev, now in zip(price[1:], price[2:]):
        held = held * (now / prev)
        expected.append(cash + held * now / now)
    assert creturn.tolist() == expected
    assert trade_records() == [[0, 1, -1]]


@pytest.mark.parametrize("second_date, traded_on", [(29, 3), (30, None), (20, 3), (15, 3)])
def test_a_position_row_is_active_only_from_its_own_date(second_date, traded_on):
    # Rebalance dates mark rows 0 and 2 only. A position row dated 30 (the
    # date of row 3) is not yet active at the end of row 2, so it is never
    # traded; one dated before 30 is traded on row 3.
    price, dates = flat(n_stocks=2)
    inp = build(price, [[1.0, 0.0], [0.0, 1.0]], price_index=dates, pos_index=[0, second_date],
                resample=[0, 20])
    inp.run()
    if traded_on is None:
        assert trade_records() == [[0, 1, -1]]
    else:
        assert trade_records() == [[0, 1, traded_on], [1, traded_on, -1]]


def test_a_position_row_dated_on_a_rebalance_row_trades_on_the_next_row():
    price, dates = flat(n_stocks=2)
    build(price, [[1.0, 0.0], [0.0, 1.0]], price_index=dates, pos_index=[0, 30],
          resample=[0, 30]).run()
    assert trade_records() == [[0, 1, 4], [1, 4, -1]]


def test_position_rows_activated_together_trade_only_the_last():
    price, dates = flat(n_stocks=3)
    weights = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    build(price, weights, price_index=dates, pos_index=[0, 21, 25], resample=[0, 20]).run()
    assert trade_records() == [[0, 1, 3], [2, 3, -1]]
    assert operations()["weight_time"] == 2


def test_a_new_position_row_waits_for_the_next_rebalance_date():
    price, dates = flat(n_stocks=2)
    build(price, [[1.0, 0.0], [0.0, 1.0]], price_index=dates, pos_index=[0, 15],
          resample=[0, 30]).run()
    assert trade_records() == [[0, 1, 4], [1, 4, -1]]


def test_a_rebalance_date_without_a_new_position_row_trades_nothing():
    price, dates = flat(n_stocks=2)
    build(price, [[1.0, 0.0], [0.0, 1.0]], price_index=dates, pos_index=[0, 45],
          resample=[0, 10, 20, 30]).run()
    assert trade_records() == [[0, 1, -1]]


def test_the_last_row_activates_every_remaining_position_row():
    price, dates = flat(n_stocks=3)
    weights = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    build(price, weights, price_index=dates, pos_index=[0, 70, 90], resample=[0, 50]).run()
    ops = operations()
    assert ops["next_weight_time"] == 2 and ops["weight_time"] == 0
    assert ops["next_weights"] == {2: 1.0}
    assert ops["actions"] == {0: "exit", 2: "enter"}


def test_rebalance_trades_at_the_rebalance_rows_prices():
    # Stock 0 doubles by row 2, where the book is switched into stock 1: the
    # switch is priced at row 2's trade prices.
    price = [[10.0, 10.0], [10.0, 10.0], [20.0, 5.0], [20.0, 5.0]]
    creturn = build(price, [[1.0, 0.0], [0.0, 1.0]], pos_index=[0, 1]).run()
    h0 = 1.0 * (20.0 / 10.0)
    balance = 0.0 + h0
    cash = 0.0 + (h0 - 0.0)
    target = 1.0 * (balance / 1.0)
    cash, h1 = cash - target, 0.0 + (target - 0.0)
    assert creturn.tolist() == [1.0, 1.0, cash + h1 * 5.0 / 5.0, cash + h1 * 5.0 / 5.0]
    assert creturn[2] == 2.0



@pytest.mark.parametrize("spike", range(1, 11))
def test_a_rebalance_date_stops_at_the_first_later_row_even_past_it(spike):
    # The scan for the row a date marks takes rows four at a time: a row dated after the date
    # stops it at any offset in a group, even with earlier dates after it.
    dates = [10 * r for r in range(16)]
    dates[spike] = 10**9
    marked = 0
    while marked + 1 < len(dates) and dates[marked + 1] <= 500:
        marked += 1
    price, _ = flat(16)
    build(price, [1.0], price_index=dates, pos_index=[0], resample=[500]).run()
    assert marked == spike - 1 and trade_records() == [[0, marked + 1, -1]]


# --- tracker restarts --------------------------------------------------------------------------


def falling_then_rebalanced(second_weight):
    # Bought at 10 on row 1, down to 9.5 by row 3 where a rebalance (new
    # position row) trades it again; on row 4 its close is 8.7.
    price = [[10.0], [10.0], [9.5], [9.5], [9.5], [9.5]]
    close = [[10.0], [10.0], [9.5], [9.5], [8.7], [9.5]]
    return build(price, [[1.0], [second_weight]], close=close, pos_index=[0, 1],
                 resample=[0, 2])


@pytest.mark.parametrize("retain, stopped", [(True, True), (False, False)])
def test_retain_cost_keeps_the_stop_tied_to_the_first_entry(retain, stopped):
    # From the first entry the close of row 4 is 8.7 / 10 = 0.87, beyond a
    # 10% stop; from the rebalance on row 3 it is 8.7 / 9.5 = 0.916.
    falling_then_rebalanced(1.0).run(stop_loss=0.1, retain_cost_when_rebalance=retain)
    assert trade_records()[-1][2] == (5 if stopped else -1)


def test_retain_cost_restarts_a_stock_that_changes_side():
    # Long from 10, short from 9.5 on row 3. Its cumulative return restarts
    # at 1 for the short; had it continued from 0.95, the rise to 10.5 would
    # not reach the short's 10% stop.
    price = [[10.0], [10.0], [9.5], [9.5], [10.5], [10.5]]
    build(price, [[1.0], [-0.5]], pos_index=[0, 1], resample=[0, 2]).run(
        stop_loss=0.1, retain_cost_when_rebalance=True)
    # (retained cost: the flip on row 3 starts no new trade record)
    assert trade_records() == [[0, 1, 5]]


def test_retain_cost_restarts_a_stock_entered_afresh():
    # Stock 0 is stopped intraday on row 2 at 0.9 without a tracker restart,
    # then bought again by the rebalance on row 3. From its new entry the
    # low of row 4 is 8.6 / 9 = 0.956, inside the 10% stop; from the old
    # entry it would be far beyond it.
    price = [[10.0, 5.0], [10.0, 5.0], [9.0, 5.0], [9.0, 5.0], [9.0, 5.0], [9.0, 5.0]]
    low = [row[:] for row in price]
    low[2][0] = 8.9
    low[4][0] = 8.6
    build(price, [[1.0, 0.0], [0.5, 0.5]], low=low, pos_index=[0, 1], resample=[0, 2]).run(
        stop_loss=0.1, touched_exit=True, retain_cost_when_rebalance=True,
        stop_trading_next_period=False)
    assert [t for t in trade_records() if t[0] == 0] == [[0, 1, 2], [0, 3, -1]]


def test_retain_cost_restarts_a_stock_bought_back_after_a_rebalance_sold_it():
    # Stock 0: bought at 10 (row 1), sold at 9.5 by the rebalance of row 3
    # (its tracker is not touched then), bought back at 9.5 on row 5. From
    # there the close of 8.7 on row 6 is inside a 10% stop.
    price = [[10.0, 5.0], [10.0, 5.0], [9.5, 5.0], [9.5, 5.0], [9.5, 5.0], [9.5, 5.0],
             [9.5, 5.0], [9.5, 5.0]]
    close = [row[:] for row in price]
    close[6][0] = 8.7
    inp = build(price, [[1.0, 0.0], [0.0, 1.0], [1.0, 0.0]], close=close, pos_index=[0, 2, 4],
                resample=[0, 2, 4])
    inp.run(stop_loss=0.1, retain_cost_when_rebalance=True)
    assert [t for t in trade_records() if t[0] == 0] == [[0, 1, 3], [0, 5, -1]]


# --- stopped-out stocks and the next rebalance ------------------------------------------------------


def test_a_stopped_stock_is_zeroed_in_a_copy_of_the_target_row():
    price = [[10.0, 10.0], [10.0, 10.0], [10.0, 8.0], [10.0, 8.0], [10.0, 8.0], [10.0, 8.0]]
    inp = build(price, [[0.5, 0.5], [0.5, 0.5]], pos_index=[0, 2])
    weights = inp.pos_values.copy()
    inp.run(stop_loss=0.1)
    assert np.array_equal(inp.pos_values, weights)
    # Stock 1 is sold on row 3 by its stop, before that row's rebalance,
    # which then only resizes stock 0.
    assert trade_records() == [[1, 1, 3], [0, 1, 3], [0, 3, -1]]
    # The executed row (stock 1 at 0) is what the next period starts from.
    assert operations()["next_weights"] == {0: 0.5}


def test_exits_before_the_last_rebalance_do_not_reach_past_it():
    # Stock 1 stopped before the rebalance on row 4 is kept out by it and
    # bought again by the one on row 6.
    price = [[10.0, 10.0]] * 2 + [[10.0, 8.0]] + [[10.0, 8.0]] * 5
    build(price, [[0.5, 0.5]] * 3, pos_index=[0, 3, 5]).run(stop_loss=0.1)
    assert [t for t in trade_records() if t[0] == 1] == [[1, 1, 3], [1, 6, -1]]


# --- reference prices of suspended stocks on a rebalance row ------------------------------------


def test_a_held_stock_suspended_on_a_rebalance_row_keeps_its_last_price():
    # Stock 1 is held from row 1 and has no price on row 3, where a
    # rebalance (new position row) happens. Its move from 11 (row 2) to 12.1
    # (row 4) must still count.
    price = [[20.0, 10.0], [20.0, 10.0], [20.0, 11.0], [20.0, NAN], [20.0, 12.1], [20.0, 12.1]]
    creturn = build(price, [[0.0, 1.0], [0.0, 1.0]], pos_index=[0, 2]).run()
    held = 1.0 * (11.0 / 10.0)
    assert creturn[3] == 0.0 + held
    held = held * (12.1 / 11.0)
    assert creturn[4] == 0.0 + held * 12.1 / 12.1
    assert creturn[4] == pytest.approx(1.21, rel=1e-15)


def test_a_stock_bought_on_a_row_without_price_starts_from_its_first_price():
    price = [[20.0, 10.0], [20.0, 10.0], [20.0, 11.0], [NAN, NAN], [20.0, 12.1], [22.0, 12.1]]
    creturn = build(price, [[0.0, 1.0], [0.5, 0.5]], pos_index=[0, 2]).run()
    cash = 1.0 - 1.0
    h1 = 0.0 + (1.0 - 0.0)
    h1 = h1 * (11.0 / 10.0)
    # Row 3: the rebalance prices both stocks at their book values.
    balance = cash + h1
    ratio = balance / 1.0
    cash, h0 = cash - 0.5 * ratio, 0.0 + (0.5 * ratio - 0.0)
    amount = 0.5 * ratio - h1
    cash, h1 = cash + (-amount - 0.0), h1 + amount
    assert creturn[3] == cash + h0 + h1
    # Row 4: stock 0's first price is its reference (no move); stock 1 moves
    # from its last known price 11.
    h1 = h1 * (12.1 / 11.0)
    assert creturn[4] == cash + h0 * 20.0 / 20.0 + h1 * 12.1 / 12.1
    h0 = h0 * (22.0 / 20.0)
    assert creturn[5] == cash + h0 * 22.0 / 22.0 + h1 * 12.1 / 12.1


def test_an_empty_holding_on_a_rebalance_row_takes_the_rows_price():
    # Stock 0 is stopped intraday on row 2 (its key stays at 0.0), then
    # bought back by the rebalance on row 3, a row without its price. It is
    # not held going in, so it is measured from its first price after
    # (9.5 on row 4), not from the 9.0 it last traded at.
    price = [[10.0, 5.0], [10.0, 5.0], [9.0, 5.0], [NAN, 5.0], [9.5, 5.0], [9.5, 5.0]]
    low = [row[:] for row in price]
    low[2][0] = 8.9
    creturn = build(price, [[1.0, 0.0], [0.5, 0.0]], low=low, pos_index=[0, 2]).run(
        stop_loss=0.1, touched_exit=True, stop_trading_next_period=False)
    assert trade_records() == [[0, 1, 2], [0, 3, -1]]
    assert creturn[4] == creturn[3] == creturn[5]


def test_a_suspended_stock_sold_by_the_rebalance_is_not_affected():
    price = [[20.0, 10.0], [20.0, 10.0], [20.0, 11.0], [20.0, NAN], [30.0, 12.1], [30.0, 12.1]]
    creturn = build(price, [[0.0, 1.0], [1.0, 0.0]], pos_index=[0, 2]).run()
    h1 = 1.0 * (11.0 / 10.0)
    cash = 0.0 + (h1 - 0.0)
    balance = 0.0 + h1
    cash, h0 = cash - 1.0 * (balance / 1.0), 0.0 + (1.0 * (balance / 1.0) - 0.0)
    assert creturn[3] == cash + h0 * 20.0 / 20.0
    h0 = h0 * (30.0 / 20.0)
    assert creturn[4] == cash + h0 * 30.0 / 30.0


# --- degenerate tables ---------------------------------------------------------------------------


def test_no_price_rows_with_rebalance_dates():
    inp = build([[10.0]], [1.0]).with_(price_index=np.array([], dtype=np.int64),
                                       resample=np.array([0, 5], dtype=np.int64))
    creturn = inp.run()
    assert creturn.dtype == np.float64 and creturn.shape == (0,)
    assert trade_records() == []


def test_no_position_dates():
    inp = build([10.0, 10.0], [1.0]).with_(pos_index=np.array([], dtype=np.int64))
    with pytest.raises(IndexError) as e:
        inp.run()
    assert str(e.value) == "Out of bounds on buffer access (axis 0)"


@pytest.mark.parametrize("which", ["price_values", "pos_values"])
def test_a_table_without_rows(which):
    inp = build([10.0, 10.0], [1.0])
    inp = inp.with_(**{which: np.zeros((0, 1))})
    with pytest.raises(IndexError):
        inp.run()


@pytest.mark.parametrize("early_row", [3, 9, 17])
def test_a_row_dated_before_the_first_weights_breaks_a_held_stretch(early_row):
    # Held for 30 quiet rows; one row dated before the first weights keeps an equity of 1.0
    # whatever the book holds, and the rows around it are marked as usual.
    price = [[10.0 + 0.1 * r] for r in range(30)]
    dates = [100 + r for r in range(30)]
    dates[early_row] = 50
    equity = build(price, [1.0], price_index=dates, pos_index=[100]).run()
    assert equity[early_row] == 1.0
    assert equity[early_row - 1] != 1.0 and equity[early_row + 1] != 1.0
