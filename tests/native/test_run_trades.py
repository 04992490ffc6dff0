"""The trades a run leaves in pelmora.core.swaylen, and the same trades
through get_trade_stocks."""

import numpy as np
import pytest

from pelmora.core import runvane, swaylen
from run_helpers import build, trade_lists, trade_records

DATES = [100, 200, 300, 400, 500, 600]


def stop_and_hold():
    """Stock 0 held to the end; stock 1 stopped on row 2's close, sold row 3."""
    price = [[20.0, 10.0], [20.0, 10.0], [21.0, 10.0], [22.0, 9.0], [23.0, 9.0], [24.0, 9.0]]
    close = [row[:] for row in price]
    close[2][1] = 8.0
    return build(price, [0.4, 0.6], close=close, price_index=DATES, price_columns=["AAA", "BBB"])


def test_closed_trades_come_first_then_the_open_ones_by_stock():
    stop_and_hold().run(stop_loss=0.1)
    trades, positions, arrays = trade_lists()
    assert trade_records() == [[1, 1, 3], [0, 1, -1]]
    assert positions == [0.6, 0.4]
    assert len(arrays) == 2
    assert all(isinstance(a, np.ndarray) and a.dtype == np.float64 for a in arrays)


def test_the_excursion_summary_of_a_stopped_trade():
    fee = 0.001
    stop_and_hold().run(stop_loss=0.1, fee_ratio=fee, tax_ratio=0.002)
    closed = swaylen.swaylen[0]
    assert len(closed) == 6  # window 0: the summary block only
    # Long from row 1 to row 3 on closes 10, 8, 9, sold at the trade price 9.
    ratio = (1 - fee) * (10.0 / 10.0)
    low = (8.0 / 10.0) * ratio
    last = (9.0 / 8.0) * low
    last = (9.0 / 9.0) * last
    last = (1 - fee - 0.002) * last
    assert closed.tolist() == [low - 1, 0.0, 0.0, low / 1 - 1, 0.0, last - 1]


@pytest.mark.parametrize("window, step, length", [(0, 1, 6), (3, 1, 24), (4, 3, 18), (2, 5, 12)])
def test_the_window_sets_the_length_of_every_excursion_array(window, step, length):
    stop_and_hold().run(stop_loss=0.1, swaylen_window=window, swaylen_window_step=step)
    assert [len(a) for a in swaylen.swaylen] == [length, length]


def test_a_second_run_empties_the_same_lists():
    lists = (swaylen.trades, swaylen.trade_positions, swaylen.swaylen)
    stop_and_hold().run(stop_loss=0.1)
    assert all(len(x) == 2 for x in lists)
    build([10.0, 10.0], [0.0]).run()
    assert (swaylen.trades, swaylen.trade_positions, swaylen.swaylen) == ([], [], [])
    assert all(a is b for a, b in zip(lists, (swaylen.trades, swaylen.trade_positions,
                                               swaylen.swaylen)))


def resized():
    price = [[10.0, 10.0]] * 2 + [[11.0, 9.0]] * 4
    return build(price, [[0.5, 0.5], [0.3, 0.7]], pos_index=[0, 2])


def test_a_resized_holding_starts_a_new_trade_record():
    resized().run()
    assert trade_records() == [[0, 1, 3], [1, 1, 3], [0, 3, -1], [1, 3, -1]]
    positions = list(swaylen.trade_positions)
    assert positions[:2] == [0.5, 0.5]
    assert positions[2:] == pytest.approx([0.3, 0.7], rel=1e-12)


@pytest.mark.parametrize("options", [dict(periodically_rebalance=False),
                                     dict(retain_cost_when_rebalance=True),
                                     dict(retain_cost_when_rebalance=True,
                                          periodically_rebalance=False)])
def test_a_resized_holding_stays_one_trade(options):
    resized().run(**options)
    assert trade_records() == [[0, 1, -1], [1, 1, -1]]
    assert list(swaylen.trade_positions) == [0.5, 0.5]


def test_a_short_trade_records_a_negative_position():
    build([[10.0, 10.0]] * 3, [0.5, -0.25]).run(fee_ratio=0.01)
    # The recorded position is the target over the value before trading,
    # before any fee.
    assert list(swaylen.trade_positions) == [0.5, -0.25]


def test_trade_stocks_of_closed_and_open_trades():
    inp = stop_and_hold()
    inp.run(stop_loss=0.1)
    rows, ops = runvane.get_trade_stocks(inp.pos_columns, inp.price_index, False)
    assert rows == [["BBB", 200, 400, 100, 300, 0.6, 2, 1, 3],
                    ["AAA", 200, -1, 100, -1, 0.4, 5, 1, -1]]
    assert ops == runvane.get_stock_operations()
    assert all(type(x) is int for x in rows[0][1:5])


def test_trade_stocks_with_intraday_exits_date_the_decision_on_the_exit_row():
    inp = stop_and_hold()
    inp.run(stop_loss=0.1)
    rows, _ = runvane.get_trade_stocks(inp.pos_columns, inp.price_index, True)
    assert rows[0][4] == 400 and rows[1][4] == -1


def test_trade_stocks_after_a_run_without_trades():
    inp = build([10.0, 10.0], [0.0])
    inp.run()
    assert runvane.get_trade_stocks(inp.pos_columns, inp.price_index, False) == (
        [], runvane.get_stock_operations())


def test_an_exit_on_the_entry_row():
    inp = build([10.0, 10.0, 10.0], [1.0], price_index=[7, 8, 9])
    inp.run(delisting_bars=np.array([1], dtype=np.int64))
    rows, _ = runvane.get_trade_stocks(inp.pos_columns, inp.price_index, False)
    assert rows == [["S0", 8, 8, 7, 7, 1.0, 0, 1, 1]]
