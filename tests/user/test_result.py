"""BacktestResult: the trade table, excursions and next-period orders, against the engine."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.core import runvane, swaylen
from pelmora.result import EXCURSION_FIELDS

from markets import SUSPENDED_DATES, one_stock_run, suspended_market, suspended_weights


# ------------------------------------------------------------------------------------------ trades


RUNS = [
    dict(stop_loss=0.05, excursion_window=5, excursion_step=2),
    dict(stop_loss=0.04, take_profit=0.06, intraday_stops=True, excursion_window=8),
    dict(trailing_stop=0.03, retain_cost=True, excursion_window=0),
    dict(split_trades=False, stop_trading_next_period=False, excursion_window=12, excursion_step=5),
]


@pytest.mark.parametrize("options", RUNS)
def test_trades_match_the_engine_trade_list_and_excursion_summaries(options):
    market = suspended_market(1)
    result = pelmora.backtest(suspended_weights(2, market["close"].columns), market, **options)
    args = result.inputs.arguments
    # The module-state engine on the same arrays, read straight after its run.
    runvane.backtest_(**args)
    rows, _ = runvane.get_trade_stocks(
        args["pos_columns"], args["price_index"], args["touched_exit"]
    )
    trades = result.trades
    assert len(trades) == len(rows) == len(swaylen.swaylen) > 0
    dates = lambda v: pd.Timestamp(np.int64(v).astype("datetime64[ns]"))  # noqa: E731
    for (_, t), row, positions, arr in zip(
        trades.iterrows(), rows, swaylen.trade_positions, swaylen.swaylen
    ):
        assert t["stock"] == row[0]
        assert t["entry_date"] == dates(row[1])
        assert (pd.isna(t["exit_date"]) and row[2] == -1) or t["exit_date"] == dates(row[2])
        assert t["entry_signal_date"] == dates(row[3])
        if not args["touched_exit"]:
            assert (pd.isna(t["exit_signal_date"]) and row[4] == -1) or (
                t["exit_signal_date"] == dates(row[4])
            )
        assert t["weight"] == row[5] == positions
        # Rows from entry to exit; an open trade counts to the last row, not one past it.
        assert t["bars_held"] == row[6] - (row[2] == -1)
        np.testing.assert_array_equal(t[list(EXCURSION_FIELDS)].to_numpy(np.float64), arr[-6:])
    assert list(trades.columns) == [
        "stock", "entry_date", "exit_date", "entry_signal_date", "exit_signal_date", "weight",
        "entry_price", "exit_price", "entry_value", "exit_value", "costs", "pnl", "return",
        "exit_reason", "bars_held", *EXCURSION_FIELDS,
    ]


def test_exit_signal_date_is_the_day_before_the_exit_for_close_stops_and_the_day_for_intraday():
    market = suspended_market(3)
    weights = suspended_weights(4, market["close"].columns).abs()
    for intraday in (False, True):
        trades = pelmora.backtest(
            weights, market, stop_loss=0.03, intraday_stops=intraday
        ).trades.dropna(subset=["exit_date"])
        position = SUSPENDED_DATES.get_indexer(trades["exit_date"])
        # A rebalance exit is decided the day before in both modes.
        same_day = intraday & (trades["exit_reason"] == "stop_loss").to_numpy()
        expected = np.where(same_day, SUSPENDED_DATES[position], SUSPENDED_DATES[position - 1])
        assert same_day.any() == intraday
        assert (trades["exit_signal_date"].to_numpy() == expected).all()


def test_trade_returns_are_measured_at_the_fills():
    result = one_stock_run(
        {
            "UP": [10.0, 10.0, 9.5, 11.0, 12.0],
            "DOWN": [20.0, 20.0, 19.0, 16.0, 15.0],
            "SHORT": [5.0, 5.0, 4.0, 4.5, 4.0],
        },
        {"UP": 0.3, "DOWN": 0.3, "SHORT": -0.3},
        stop_loss=0.1,
    )
    trades = result.trades.set_index("stock")
    # DOWN closes below -10 % on day 3 and is sold on day 4 at 15; the others stay open.
    assert trades.loc["DOWN", "exit_date"] == pd.Timestamp("2024-01-05")
    assert trades.loc["DOWN", "return"] == pytest.approx(15.0 / 20.0 - 1.0, rel=1e-14)
    assert trades.loc["DOWN", ["entry_price", "exit_price"]].tolist() == [20.0, 15.0]
    assert pd.isna(trades.loc["UP", "exit_date"])
    assert trades.loc["UP", "return"] == pytest.approx(12.0 / 10.0 - 1.0, rel=1e-14)
    assert trades.loc["SHORT", "return"] == pytest.approx(1.0 - 4.0 / 5.0, rel=1e-14)
    assert trades.loc["DOWN", "trade_return"] == pytest.approx(-0.25)
    assert trades.loc["UP", "mae"] == pytest.approx(-0.05)
    assert trades.loc["UP", "gmfe"] == pytest.approx(0.2)


def test_a_missing_price_on_the_exit_day_is_bridged_by_the_last_known_one():
    # B keeps trading: rows where every stock is missing would not be trading days.
    result = one_stock_run({"A": [10.0, 10.0, 12.0, np.nan, np.nan], "B": [5.0] * 5}, {"A": 1.0})
    assert result.trades["return"].tolist() == [pytest.approx(12.0 / 10.0 - 1.0, rel=1e-14)]
    assert result.trades["exit_price"].tolist() == [12.0]


def test_no_trades_gives_empty_tables_with_the_columns():
    result = one_stock_run({"A": [10.0, 11.0, 12.0]}, {"A": 0.0})
    assert result.trades.empty and result.excursions.empty
    assert "trade_return" in result.trades and "bar" in result.excursions
    assert result.stats()["n_trades"] == 0 and math.isnan(result.stats()["win_rate"])


# -------------------------------------------------------------------------------------- excursions


@pytest.mark.parametrize("window, step", [(0, 1), (5, 1), (10, 3), (40, 7)])
def test_excursions_are_the_sampled_blocks_of_every_trade(window, step):
    market = suspended_market(5)
    result = pelmora.backtest(
        suspended_weights(6, market["close"].columns), market, stop_loss=0.05,
        excursion_window=window, excursion_step=step,
    )
    runvane.backtest_(**result.inputs.arguments)
    arrays = list(swaylen.swaylen)
    excursions = result.excursions
    assert list(excursions.columns) == ["trade", "stock", "bar", *EXCURSION_FIELDS]
    expected_rows = 0
    for k, arr in enumerate(arrays):
        blocks = arr[:-6].reshape(-1, 6)
        inside = blocks[blocks[:, 4] != -1.0]
        part = excursions[excursions["trade"] == k]
        expected_rows += len(inside)
        np.testing.assert_array_equal(part[list(EXCURSION_FIELDS)].to_numpy(), inside)
        assert part["bar"].tolist() == list(range(0, len(inside) * step, step))
        assert (part["stock"] == result.trades["stock"].iloc[k]).all()
    assert len(excursions) == expected_rows
    if window == 0:
        assert excursions.empty


def test_excursion_samples_stop_at_the_end_of_the_data():
    result = one_stock_run({"A": [10.0, 10.0, 11.0, 12.0]}, {"A": 1.0}, excursion_window=10)
    # Entry on day 1, three rows of data from there on.
    assert result.excursions["bar"].tolist() == [0, 1, 2]
    assert result.excursions["gmfe"].iloc[-1] == pytest.approx(0.2)


# ------------------------------------------------------------------------------------- next period


def test_next_period_matches_the_engine_report():
    market = suspended_market(7)
    columns = market["close"].columns
    weights = suspended_weights(8, columns, every=1)
    result = pelmora.backtest(weights, market, stop_loss=0.03, rebalance="W-FRI")
    runvane.backtest_(**result.inputs.arguments)
    ops = runvane.get_stock_operations()
    assert ops["actions"], "the last row is a Friday: a rebalance is pending"
    frame = result.next_period
    sids = sorted(set(ops["actions"]) | set(ops["weights"]) | set(ops["next_weights"]))
    assert frame["stock"].tolist() == [columns[s] for s in sids]
    assert frame["action"].tolist() == [ops["actions"].get(s) for s in sids]
    assert frame["weight"].tolist() == [ops["weights"].get(s, 0) for s in sids]
    assert frame["next_weight"].tolist() == [ops["next_weights"].get(s, 0) for s in sids]
    assert (frame["weight_date"] == weights.index[ops["weight_time"]]).all()
    assert (frame["next_weight_date"] == weights.index[ops["next_weight_time"]]).all()


@pytest.mark.filterwarnings("ignore:pelmora.backtest. no rebalance")
def test_next_period_before_any_rebalance_has_no_weight_date():
    close = pd.DataFrame({"A": [10.0, 11.0]}, index=pd.bdate_range("2024-01-01", periods=2))
    weights = pd.DataFrame({"A": [1.0]}, index=[pd.Timestamp("2024-01-02")])
    frame = pelmora.backtest(weights, close).next_period
    assert frame["stock"].tolist() == ["A"]
    assert frame["action"].tolist() == ["enter"] and frame["next_weight"].tolist() == [1.0]
    assert frame["weight_date"].isna().all()


@pytest.mark.parametrize("key", ["next_period", "report"])
def test_run_record_reads_the_next_period_orders_by_either_key_and_warns_on_the_old_name(key):
    from pelmora.core import journal
    from pelmora.result import RunRecord

    market = suspended_market(7)
    result = pelmora.backtest(suspended_weights(8, market["close"].columns, every=1), market,
                              rebalance="W-FRI")
    output = journal.run(**result.inputs.arguments)
    orders = output.pop("next_period", None) or output.pop("report")
    output.pop("report", None)
    output[key] = orders
    record = RunRecord.from_journal(output)
    assert record.next_period is orders and orders["actions"]
    with pytest.warns(DeprecationWarning, match="RunRecord.report is renamed next_period"):
        assert record.report is orders
