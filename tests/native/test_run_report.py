"""The next-period report that every run leaves behind: held and next
weights, their position rows and the action labels."""

import math

import numpy as np
import pytest

from pelmora.core import runvane
from run_helpers import build, operations

NAN = math.nan
KEYS = ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]


def test_a_run_without_an_executed_rebalance():
    inp = build([[10.0, 10.0]] * 4, [[0.2, 0.3], [0.0, 0.6]], pos_index=[0, 2], resample=[])
    inp.run()
    ops = operations()
    assert list(ops) == KEYS
    assert ops == {"actions": {}, "weights": {}, "next_weights": {1: 0.6}, "weight_time": -1,
                   "next_weight_time": 1}


def test_weights_held_and_next_after_one_rebalance():
    build([[10.0, 10.0, 10.0]] * 3, [0.2, 0.0, 0.3]).run()
    assert operations() == {"actions": {}, "weights": {0: 0.2, 2: 0.3},
                            "next_weights": {0: 0.2, 2: 0.3}, "weight_time": 0,
                            "next_weight_time": 0}


@pytest.mark.parametrize("limit, expected", [(1.0, {0: 0.5, 1: 0.5}), (0.4, {0: 0.4, 1: 0.4})])
def test_weights_above_a_gross_of_one_are_scaled_then_clipped(limit, expected):
    build([[10.0, 10.0]] * 3, [0.8, 0.8]).run(position_limit=limit)
    ops = operations()
    assert ops["weights"] == expected
    assert ops["next_weights"] == expected


def test_a_stock_sold_since_the_rebalance_reports_zero_but_keeps_its_share():
    # Gross weight 1.6; stock 1 is stopped out. Its 0.8 still counts in the
    # sum, so stock 0 reports 0.8 / 1.6, not 1.
    price = [[10.0, 10.0], [10.0, 10.0], [10.0, 8.0], [10.0, 8.0]]
    build(price, [0.8, 0.8]).run(stop_loss=0.1)
    ops = operations()
    assert ops["weights"] == {0: 0.5, 1: 0.0}
    assert ops["actions"] == {1: "sl_"}


def four_stock_story(stop_trading):
    """Rebalances on rows 1 and 4 to 0.25 each. With a 10% stop: stock 1 is
    stopped before the second rebalance (sold row 3), stock 2 after it (sold
    row 6), stock 3 signals on the last row (pending)."""
    price = [[10.0] * 4 for _ in range(8)]
    close = [row[:] for row in price]
    close[2][1] = 8.0
    close[5][2] = 8.0
    close[7][3] = 8.0
    inp = build(price, [[0.25] * 4, [0.25] * 4], close=close, pos_index=[0, 3])
    inp.run(stop_loss=0.1, stop_trading_next_period=stop_trading)
    return operations()


def test_stop_trading_next_period_leaves_stopped_and_pending_stocks_out():
    ops = four_stock_story(True)
    assert ops == {
        "actions": {3: "sl", 2: "sl_"},
        "weights": {0: 0.25, 2: 0.0, 3: 0.25},   # stock 1 was zeroed by the last rebalance
        "next_weights": {0: 0.25},
        "weight_time": 1,
        "next_weight_time": 1,
    }


def test_without_stop_trading_next_period_every_next_weight_stays():
    ops = four_stock_story(False)
    assert ops == {
        "actions": {3: "sl", 2: "sl_"},          # the last date lies after the position row
        "weights": {0: 0.25, 1: 0.25, 2: 0.0, 3: 0.25},
        "next_weights": {0: 0.25, 1: 0.25, 2: 0.25, 3: 0.25},
        "weight_time": 1,
        "next_weight_time": 1,
    }


def pending_rebalance(new_weights, *, close_last=None, n_stocks=3):
    """Stocks 0 and 1 held (0.4 each); the last row (5) is a rebalance date
    with a new position row dated on it, so a rebalance is due on the next bar."""
    price = [[10.0] * n_stocks for _ in range(6)]
    close = [row[:] for row in price]
    if close_last:
        for sid, value in close_last.items():
            close[5][sid] = value
    first = [0.4, 0.4] + [0.0] * (n_stocks - 2)
    return build(price, [first, new_weights], close=close, pos_index=[0, 5], resample=[0, 5])


def test_actions_of_the_pending_rebalance():
    pending_rebalance([0.0, 0.5, 0.5]).run()
    ops = operations()
    assert ops["actions"] == {0: "exit", 1: "hold", 2: "enter"}
    assert ops["next_weights"] == {1: 0.5, 2: 0.5}
    assert (ops["weight_time"], ops["next_weight_time"]) == (0, 1)


def test_a_nan_weight_of_a_held_stock_is_a_hold():
    pending_rebalance([NAN, 0.0, 0.5]).run()
    ops = operations()
    assert ops["actions"] == {0: "hold", 1: "exit", 2: "enter"}
    # The NaN makes the sum NaN: nothing is scaled, the NaN itself stays.
    assert list(ops["next_weights"]) == [0, 2]
    assert math.isnan(ops["next_weights"][0]) and ops["next_weights"][2] == 0.5


def test_a_nan_weight_in_the_next_row_stops_the_scaling():
    build([[10.0] * 3] * 3, [0.8, NAN, 0.8], resample=[]).run()
    nw = operations()["next_weights"]
    assert list(nw) == [0, 1, 2]
    assert nw[0] == 0.8 and math.isnan(nw[1]) and nw[2] == 0.8


@pytest.mark.parametrize("stop_trading, label, next_weights", [
    (True, "sl", {2: 0.8}),        # left out, and its weight not counted in the sum
    (False, "sl_enter", {1: 0.5, 2: 0.5}),
])
def test_a_pending_stop_against_a_pending_rebalance(stop_trading, label, next_weights):
    # Stock 1 is held, kept by the new row, and signals its stop on the last
    # row, whose date is the new position row's.
    pending_rebalance([0.0, 0.8, 0.8], close_last={1: 8.0}).run(
        stop_loss=0.1, stop_trading_next_period=stop_trading)
    ops = operations()
    assert ops["actions"] == {0: "exit", 1: label, 2: "enter"}
    assert ops["next_weights"] == next_weights


@pytest.mark.parametrize("stop_trading, label", [(True, "tp"), (False, "tp_enter")])
def test_a_pending_take_profit_against_a_pending_rebalance(stop_trading, label):
    pending_rebalance([0.0, 0.5, 0.5], close_last={1: 13.0}).run(
        take_profit=0.2, stop_trading_next_period=stop_trading)
    assert operations()["actions"] == {0: "exit", 1: label, 2: "enter"}


def test_a_pending_exit_of_a_stock_the_next_row_drops_keeps_its_exit_label():
    pending_rebalance([0.0, 0.5, 0.5], close_last={0: 8.0}).run(
        stop_loss=0.1, stop_trading_next_period=False)
    assert operations()["actions"] == {0: "exit", 2: "enter", 1: "hold"}


@pytest.mark.parametrize("stop_trading, label, next_weights", [
    (True, "sl_", {0: 0.8}),
    (False, "enter", {0: 0.5, 1: 0.5}),
])
def test_a_stock_stopped_since_the_rebalance_against_a_pending_one(stop_trading, label,
                                                                   next_weights):
    # Stock 1 is stopped on row 2 (sold row 3); the last row schedules a
    # rebalance to a row that wants it back. Without stop_trading_next_period
    # the "enter" of the pending rebalance stands.
    price = [[10.0, 10.0]] * 6
    close = [row[:] for row in price]
    close[2][1] = 8.0
    build(price, [[0.4, 0.4], [0.8, 0.8]], close=close, pos_index=[0, 5], resample=[0, 5]).run(
        stop_loss=0.1, stop_trading_next_period=stop_trading)
    ops = operations()
    assert ops["actions"] == {0: "hold", 1: label}
    assert ops["next_weights"] == next_weights


def test_a_pending_exit_after_the_active_position_date():
    # Position row dated 3, last row dated 5: the exit happens on the next
    # bar whatever the option says.
    price = [[10.0, 10.0]] * 6
    close = [row[:] for row in price]
    close[5][1] = 13.0
    build(price, [[0.5, 0.5], [0.5, 0.5]], close=close, pos_index=[0, 3]).run(
        take_profit=0.2, stop_trading_next_period=False)
    assert operations()["actions"] == {1: "tp"}


def test_stock_column_0_always_gets_the_sl_forms():
    # A take-profit of stock 0 carries no sign.
    price = [[10.0, 10.0]] * 5
    close = [row[:] for row in price]
    close[2][0] = 13.0
    close[4][1] = 13.0
    build(price, [0.5, 0.5], close=close).run(take_profit=0.2)
    assert operations()["actions"] == {1: "tp", 0: "sl_"}


def test_exits_since_the_rebalance_are_labelled_by_their_side():
    # Stock 1 is stopped, stock 2 takes its profit, each sold on the next row.
    price = [[10.0, 10.0, 10.0]] * 6
    close = [row[:] for row in price]
    close[2][1] = 8.0
    close[3][2] = 13.0
    build(price, [0.0, 0.5, 0.5], close=close).run(stop_loss=0.1, take_profit=0.2)
    assert operations()["actions"] == {1: "sl_", 2: "tp_"}


def test_the_report_of_a_failed_run_is_the_previous_one():
    build([[10.0, 10.0]] * 3, [0.2, 0.3]).run()
    before = operations()
    broken = build([[10.0, 10.0], [10.0, 10.0], [10.0, 0.0]], [0.5, 0.5])
    with pytest.raises(ValueError):
        broken.run()
    assert operations() == before
    with pytest.raises(TypeError):
        broken.run(fee_ratio="x")
    assert operations() == before


def test_each_run_builds_a_new_report():
    inp = build([[10.0, 10.0]] * 3, [0.2, 0.3])
    inp.run()
    first = runvane.get_trade_stocks(inp.pos_columns, inp.price_index, False)[1]
    inp.run()
    second = runvane.get_trade_stocks(inp.pos_columns, inp.price_index, False)[1]
    assert first == second and first is not second
    for key in ("actions", "weights", "next_weights"):
        assert first[key] is not second[key]


def test_get_stock_operations_is_a_copy_and_get_trade_stocks_the_dict_itself():
    inp = build([[10.0, 10.0]] * 3, [0.2, 0.3])
    inp.run()
    copy = runvane.get_stock_operations()
    copy["weight_time"] = 99
    assert runvane.get_stock_operations()["weight_time"] == 0
    live = runvane.get_trade_stocks(inp.pos_columns, inp.price_index, False)[1]
    live["weight_time"] = 99
    assert runvane.get_stock_operations()["weight_time"] == 99


def test_weights_are_numpy_scalars_and_rows_are_ints():
    build([[10.0, 10.0]] * 3, [0.2, 0.3]).run()
    ops = operations()
    assert all(type(k) is int for k in ops["weights"])
    assert all(isinstance(v, np.floating) for v in ops["weights"].values())
    assert type(ops["weight_time"]) is int and type(ops["next_weight_time"]) is int


def test_normalize_weight_is_looked_up_by_name(monkeypatch):
    calls = []

    def spy(weights, limit):
        calls.append((dict(weights), limit))
        return {"spied": len(calls)}

    monkeypatch.setattr(runvane, "normalize_weight", spy)
    build([[10.0, 10.0]] * 3, [0.2, 0.3]).run(position_limit=np.float32(0.5))
    assert calls == [({0: 0.2, 1: 0.3}, 0.5), ({0: 0.2, 1: 0.3}, 0.5)]
    assert type(calls[0][1]) is float
    ops = runvane.get_stock_operations()
    assert ops["weights"] == {"spied": 1} and ops["next_weights"] == {"spied": 2}
