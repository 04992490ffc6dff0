"""Inputs that would give a wrong run are refused before it starts, naming option, stock and date."""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.options import BacktestOptions

DATES = pd.bdate_range("2024-01-01", periods=8)


def market(**cells) -> dict[str, pd.DataFrame]:
    close = pd.DataFrame({"A": 10.0, "B": 20.0}, index=DATES)
    frames = {"open": close.copy(), "high": close * 1.01, "low": close * 0.99, "close": close}
    for name, (row, col, value) in cells.items():
        frames[name].iloc[row, col] = value
    return frames


WEIGHTS = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=DATES[:1])

OPTION_ERRORS = [
    (dict(fee=math.nan), ValueError, "fee must be at least 0 and below 1, got nan"),
    (dict(fee=1.5), ValueError, "fee must be at least 0 and below 1, got 1.5"),
    (dict(tax=-0.01), ValueError, "tax must be at least 0 and below 1"),
    (dict(tax=1), ValueError, "tax must be at least 0 and below 1, got 1"),
    (dict(fee="0.1"), TypeError, "fee must be a number, got str"),
    (dict(position_limit=-1), ValueError, "position_limit must be above 0, got -1"),
    (dict(position_limit=math.nan), ValueError, "position_limit must be above 0, got nan"),
    (dict(stop_loss=math.nan), ValueError, "stop_loss must be 0 or more, or None for no stop_loss"),
    (dict(take_profit=-0.1), ValueError, "take_profit must be 0 or more"),
    (dict(trailing_stop=math.nan), ValueError, "trailing_stop must be 0 or more"),
    (dict(trailing_activation=-1.0), ValueError, "trailing_activation must be 0 or more"),
    (dict(intraday_stops="yes"), TypeError, "intraday_stops must be True or False, got 'yes'"),
    (dict(split_trades=1), TypeError, "split_trades must be True or False, got 1"),
    (dict(excursion_window=2.5), TypeError, "excursion_window must be an integer, got float"),
    (dict(excursion_step=0), ValueError, "excursion_step must be 1 or more, got 0"),
    (dict(trade_at="vwap"), ValueError, 'trade_at must be "close", "open" or None'),
    (dict(rebalance=5), TypeError, "rebalance must be a frequency alias"),
    (dict(delistings=["A"]), TypeError, "delistings must be a pandas Series or a mapping"),
    (dict(stoploss=0.1), TypeError, "backtest() got an unexpected keyword argument 'stoploss'"),
]


@pytest.mark.parametrize("options, error, message", OPTION_ERRORS)
def test_bad_options_are_refused_naming_the_option(options, error, message):
    with pytest.raises(error) as info:
        pelmora.backtest(WEIGHTS, market(), **options)
    assert message in str(info.value)


def test_options_object_is_frozen_checked_on_replace_and_combines_with_keywords():
    opts = BacktestOptions(stop_loss=0.1, fee=0)
    with pytest.raises(dataclasses.FrozenInstanceError):
        opts.fee = 0.5  # type: ignore[misc]
    with pytest.raises(ValueError, match="fee must be"):
        dataclasses.replace(opts, fee=2.0)
    a = pelmora.backtest(WEIGHTS, market(), options=opts, tax=0.0)
    b = pelmora.backtest(WEIGHTS, market(), stop_loss=0.1, fee=0.0, tax=0.0)
    assert a.options == b.options and a.options["trailing_activation"] == 0.0
    np.testing.assert_array_equal(a.equity, b.equity)


def with_index(frame, index):
    return frame.set_axis(index, axis=0)


DATA_ERRORS = [
    # (prices, weights, options, error, message)
    (market(close=(2, 1, 0.0)), None, {}, ValueError, "prices['close'] of 'B' on 2024-01-03 is 0.0"),
    (market(open=(3, 0, -1.0)), None, dict(trade_at="open"), ValueError,
     "prices['open'] of 'A' on 2024-01-04 is -1.0: prices must be positive and finite"),
    (market(close=(4, 0, math.inf)), None, dict(trade_at="open"), ValueError,
     "prices['close'] of 'A' on 2024-01-05 is inf"),
    (market(high=(1, 1, math.inf)), None, dict(intraday_stops=True), ValueError,
     "prices['high'] of 'B' on 2024-01-02 is inf"),
    (market(high=(5, 0, 9.0)), None, dict(intraday_stops=True), ValueError,
     "prices['high'] of 'A' on 2024-01-08 is 9.0, below prices['low'] 9.9"),
    (with_index(market()["close"], pd.RangeIndex(8)), None, {}, TypeError,
     "the index of prices must hold dates, got RangeIndex of int64 values"),
    (None, with_index(WEIGHTS, pd.Index([3])), {}, TypeError, "the index of weights must hold dates"),
    (None, WEIGHTS.set_axis(["A", None], axis=1), {}, ValueError,
     "weights has a missing stock id (None or NaN) in column 1"),
    (market()["close"].set_axis([np.nan, "B"], axis=1), None, {}, ValueError,
     "prices has a missing stock id (None or NaN) in column 0"),
    (None, with_index(WEIGHTS, [pd.Timestamp("2025-01-01")]), {}, ValueError,
     "weights has no date inside the price dates (2024-01-01 to 2024-01-10)"),
    (None, None, dict(rebalance=["2023-12-01", "2024-01-05"]), ValueError,
     "rebalance date 2023-12-01 is before the first price date 2024-01-01"),
    (None, None, dict(delistings={"A": "soon"}), TypeError, "delistings must map stock ids to dates"),
    (None, WEIGHTS.replace(0.5, math.inf), {}, ValueError,
     "the weight of 'A' on 2024-01-01 is inf"),
]


@pytest.mark.parametrize("prices, weights, options, error, message", DATA_ERRORS)
def test_bad_data_is_refused_naming_the_stock_and_the_date(prices, weights, options, error, message):
    prices = market()["close"] if prices is None else prices
    with pytest.raises(error) as info:
        pelmora.backtest(WEIGHTS if weights is None else weights, prices, **options)
    assert message in str(info.value)


def test_a_missing_price_stays_a_suspension_and_unused_stocks_are_not_checked():
    prices = market(close=(3, 0, np.nan))["close"].assign(C=-5.0)
    result = pelmora.backtest(WEIGHTS, prices, fee=0.0, tax=0.0)
    assert result.equity.notna().all()


def test_an_excursion_window_longer_than_the_data_is_capped_to_it():
    result = pelmora.backtest(WEIGHTS, market(), excursion_window=10**6)
    assert result.inputs.arguments["swaylen_window"] == len(DATES)
    assert result.excursions.groupby("trade")["bar"].max().tolist() == [6, 6]


def test_a_run_without_an_executed_rebalance_warns_and_has_an_empty_window():
    weights = with_index(WEIGHTS, DATES[-1:])
    with pytest.warns(UserWarning, match="no rebalance was executed"):
        result = pelmora.backtest(weights, market())
    assert result.next_period["action"].tolist() == ["enter", "enter"]
    assert pd.isna(result.stats()["start"])


def test_an_empty_sweep_grid_value_is_named():
    with pytest.raises(ValueError, match=r"grid\['stop_loss'\] has no values"):
        pelmora.sweep({"stop_loss": []}, WEIGHTS, market(), progress=False)


# ------------------------------------------------------------------------------------- calendars

GOOD_FRIDAY = pd.bdate_range("2024-02-20", "2024-03-28")  # data ends the day before Good Friday


@pytest.mark.parametrize("calendar", [None, "XNYS", "object"])
def test_month_end_follows_the_exchange_calendar(calendar):
    xcals = pytest.importorskip("exchange_calendars")
    if calendar == "object":
        calendar = xcals.get_calendar("XNYS")
    close = pd.DataFrame({"A": np.linspace(10, 12, len(GOOD_FRIDAY)), "B": 5.0}, index=GOOD_FRIDAY)
    weights = pd.DataFrame({"A": [1.0, 0.5], "B": [0.0, 0.5]},
                           index=[GOOD_FRIDAY[0], pd.Timestamp("2024-03-20")])
    result = pelmora.backtest(weights, close, rebalance="ME", calendar=calendar)
    marks = pd.DatetimeIndex(result.inputs.arguments["resample"])
    if calendar is None:
        # The business day after the data is Friday the 29th, still March: March is not over.
        assert list(marks) == [pd.Timestamp("2024-02-29")]
        assert result.next_period["action"].isna().all()
    else:
        assert list(marks) == [pd.Timestamp("2024-02-29"), pd.Timestamp("2024-03-28")]
        assert result.next_period["action"].tolist() == ["hold", "enter"]


def test_an_unknown_calendar_is_named():
    pytest.importorskip("exchange_calendars")
    with pytest.raises(ValueError, match="calendar 'NOPE' is not a known exchange calendar"):
        pelmora.backtest(WEIGHTS, market(), rebalance="ME", calendar="NOPE")
    with pytest.raises(TypeError, match="calendar must be an exchange calendar name"):
        pelmora.backtest(WEIGHTS, market(), rebalance="ME", calendar=42)


def test_a_week_whose_friday_is_a_holiday_ends_on_thursday_by_the_calendar():
    pytest.importorskip("exchange_calendars")
    close = pd.DataFrame({"A": np.linspace(10, 12, len(GOOD_FRIDAY))}, index=GOOD_FRIDAY)
    weights = pd.DataFrame({"A": [1.0]}, index=GOOD_FRIDAY[:1])
    marks = pd.DatetimeIndex(
        pelmora.backtest(weights, close, rebalance="W-FRI", calendar="XNYS")
        .inputs.arguments["resample"]
    )
    assert marks[-1] == pd.Timestamp("2024-03-28") and marks[-2] == pd.Timestamp("2024-03-22")
    # Presidents' Day week is whole; each mark is the week's last session.
    assert pd.Timestamp("2024-02-23") in marks


def test_time_zones_reach_every_table_and_naive_delistings_are_read_in_them():
    dates = pd.bdate_range("2024-01-01", periods=8, tz="Asia/Taipei")
    close = pd.DataFrame({"A": 10.0, "B": 20.0}, index=dates)
    weights = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=dates[:1])
    result = pelmora.backtest(weights, close, delistings={"B": "2024-01-05"})
    for column in (result.fills["date"], result.trades["entry_date"], result.trades["exit_date"]):
        assert str(column.dt.tz) == "Asia/Taipei"
    sold = result.fills[(result.fills["stock"] == "B") & (result.fills["reason"] == "delisting")]
    assert sold["date"].tolist() == [pd.Timestamp("2024-01-05", tz="Asia/Taipei")]
    assert result.positions.index.equals(close.index)
