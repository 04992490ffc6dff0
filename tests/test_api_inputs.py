"""Inputs that would give a wrong run are refused before it starts, naming option, stock and date."""

from __future__ import annotations

import dataclasses
import math
import warnings

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
CLOSE = market()["close"]

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
    (dict(fee=10**400), ValueError, "fee must be a number a float can hold, got an integer of 1329 bits"),
    (dict(position_limit=-(10**400)), ValueError, "position_limit must be a number a float can hold"),
    (dict(excursion_step=2**31), ValueError,
     "excursion_step must be at most 2147483647, got an integer of 32 bits"),
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
    # A frame that would align to nothing: the stock frozen at its entry value.
    ({"close": CLOSE, "trade": CLOSE.shift(100, freq="D")}, None, {}, ValueError,
     'prices["trade"] shares no date with prices["close"] (2024-01-01 to 2024-01-10); its dates '
     "run from 2024-04-10 to 2024-04-19"),
    ({**market(), "open": CLOSE[["A"]]}, None, dict(trade_at="open"), ValueError,
     "prices[\"open\"] has no column for 'B', which weights hold; every price frame needs the "
     "stocks of the weights"),
    (CLOSE.assign(B=np.nan), None, {}, ValueError,
     "prices['close'] has no price for 'B', which weights hold (0.5 on 2024-01-01): every "
     "weighted stock needs at least one price"),
    # Values pandas would turn into numbers without a word.
    (CLOSE.assign(B=pd.Timestamp("2024-01-01")), None, {}, TypeError,
     "prices[\"close\"] must hold numbers: the column of 'B' holds datetime64"),
    (CLOSE.assign(B=pd.Timedelta("1D")), None, {}, TypeError,
     "prices[\"close\"] must hold numbers: the column of 'B' holds timedelta64"),
    (CLOSE.assign(B=pd.Series(["20"] * 8, index=DATES, dtype=object)), None, {}, TypeError,
     "prices[\"close\"] must hold numbers: 'B' on 2024-01-01 is '20' (str)"),
    (None, WEIGHTS.assign(B=pd.Series(["0.5"], index=DATES[:1], dtype=object)), {}, TypeError,
     "weights must hold numbers: 'B' on 2024-01-01 is '0.5' (str)"),
    (None, None, dict(delistings={"A": 20240105}), TypeError,
     "delistings must map stock ids to dates: 'A' has 20240105 (int), a number, not a date"),
    (None, None, dict(delistings=pd.Series({"B": True})), TypeError,
     "delistings must map stock ids to dates: 'B' has True (bool), a number, not a date"),
    # Numbers whose run would leave the finite range.
    (None, WEIGHTS.replace(0.5, 1e308), {}, ValueError,
     "weights on 2024-01-01 add up to inf: the sum of the row's absolute weights overflows (the "
     "weight of 'A' is 1e+308); weights must add up to a finite number"),
    (market(close=(2, 0, 1e150))["close"], None, {}, ValueError,
     "prices['close'] of 'A' on 2024-01-03 is 1e+150: prices must lie from "
     "2.2250738585072014e-308 to below 1e+150; beyond, the run's arithmetic leaves the finite range"),
    (market(close=(2, 1, 5e-324))["close"], None, {}, ValueError,
     "prices['close'] of 'B' on 2024-01-03 is 5e-324: prices must lie from"),
    (market(close=(4, 0, 1e-150))["close"], None, {}, ValueError,
     "the prices of 'A' run from 1e-150 on 2024-01-05 to 10.0 on 2024-01-01: a ratio of 1e+150 or "
     "more between two prices of a stock leaves the finite range of the run's arithmetic"),
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


@pytest.mark.parametrize("rebalance", ["ME", None, ["2024-01-05"]])
def test_an_unknown_calendar_is_named_whatever_the_rebalance(rebalance):
    pytest.importorskip("exchange_calendars")
    with pytest.raises(ValueError, match="calendar 'NOPE' is not a known exchange calendar"):
        pelmora.backtest(WEIGHTS, market(), rebalance=rebalance, calendar="NOPE")
    with pytest.raises(TypeError, match="calendar must be an exchange calendar name"):
        pelmora.backtest(WEIGHTS, market(), rebalance=rebalance, calendar=42)


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


# -------------------------------------------------------------------------------------- warnings

NAN_ROW = pd.DataFrame({"A": [0.5, np.nan], "B": [0.5, np.nan]}, index=DATES[[0, 3]])


@pytest.mark.parametrize(
    "weights, options, message",
    [
        (WEIGHTS, dict(fee=0.1425), "fee=0.1425 is 14.25 % per trade: fee reads as a fraction of "
         "the traded value (0.001425 is 0.1425 %)"),
        (WEIGHTS, dict(tax=0.3), "tax=0.3 is 30 % per trade: tax reads as a fraction of the "
         "traded value (0.001425 is 0.1425 %)"),
        (NAN_ROW, {}, "weights has 1 row where every weight is NaN, first on 2024-01-04: treated "
         "as all zeros: the book is sold"),
    ],
)
def test_suspicious_inputs_warn_once(weights, options, message):
    with pytest.warns(UserWarning) as caught:
        result = pelmora.backtest(weights, CLOSE, **options)
    assert [str(w.message) for w in caught] == [message]
    if weights is NAN_ROW:
        assert result.exposure["n_holdings"].iloc[-1] == 0


def test_a_cost_of_two_percent_is_taken_as_given():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        pelmora.backtest(WEIGHTS, CLOSE, fee=0.02, tax=0.02)


# ----------------------------------------------------------------------------------------- dates


def test_month_end_weights_on_weekends_trade_on_the_next_trading_day():
    dates = pd.bdate_range("2024-03-01", "2024-09-10")
    close = pd.DataFrame({"A": np.linspace(10, 20, len(dates)), "B": 15.0}, index=dates)
    # March 31 and June 30 are Sundays, August 31 a Saturday; the first one used to be dropped.
    weights = close.resample("ME").last().iloc[:6]
    weights[:] = [[1.0, 0.0], [0.0, 1.0]] * 3
    result = pelmora.backtest(weights, close, fee=0.0, tax=0.0)
    buys = result.fills[result.fills["side"] == "buy"]
    assert buys["date"].tolist() == [dates[dates > d][0] for d in weights.index]
    assert result.next_period["weight_date"].tolist() == [pd.Timestamp("2024-08-31")]


DAYS = pd.bdate_range("2024-01-01", periods=8)


@pytest.mark.parametrize("zone", [None, "America/New_York"])
@pytest.mark.parametrize(
    "options",
    [{}, dict(rebalance=[DAYS[0], DAYS[3]]), dict(rebalance="W-FRI"),
     dict(delistings={"B": DAYS[5]})],
)
def test_daily_prices_stamped_at_the_close_trade_as_on_their_calendar_dates(options, zone):
    def run(close_time, weights_zone):
        stamp = lambda d: d if zone is None else d.tz_localize(zone)  # noqa: E731
        close = pd.DataFrame({"A": np.arange(10.0, 18.0), "B": 20.0}, index=DAYS + close_time)
        weights = pd.DataFrame({"A": [1.0, 0.0], "B": [0.0, 1.0]}, index=DAYS[[0, 3]])
        weights = weights.set_axis(stamp(weights.index), axis=0)
        if zone is not None and weights_zone:
            weights = weights.tz_convert(weights_zone)  # the same instants, another zone
        opts = dict(options)
        if "rebalance" in opts and not isinstance(opts["rebalance"], str):
            opts["rebalance"] = stamp(pd.DatetimeIndex(opts["rebalance"]))
        return pelmora.backtest(weights, close.set_axis(stamp(close.index), axis=0),
                                fee=0.0, tax=0.0, **opts)

    midnight, at_close = run(pd.Timedelta(0), None), run(pd.Timedelta(hours=16), "Asia/Tokyo")
    np.testing.assert_array_equal(at_close.equity.to_numpy(), midnight.equity.to_numpy())
    days = lambda r: r.fills["date"].dt.normalize().tolist()  # noqa: E731
    assert days(at_close) == days(midnight) and len(midnight.fills) > 0
    if not options:  # the first weight row trades on the next day, not on its own nor never
        assert days(at_close)[0] == days(midnight)[0] == (
            DAYS[1] if zone is None else DAYS[1].tz_localize(zone))


def test_intraday_bars_compare_instants():
    bars = pd.DatetimeIndex([f"2024-01-05 {h}:30" for h in (9, 10, 11)]
                            + [f"2024-01-08 {h}:30" for h in (9, 10, 11)])
    close = pd.DataFrame({"A": np.arange(10.0, 16.0), "B": 5.0}, index=bars)
    # A Sunday row trades on Monday's first bar; one at 10:45 on the bar after 10:30.
    weights = pd.DataFrame({"A": [1.0, 0.0], "B": [0.0, 1.0]},
                           index=pd.DatetimeIndex(["2024-01-07 12:00", "2024-01-08 10:45"]))
    result = pelmora.backtest(weights, close, fee=0.0, tax=0.0)
    assert result.fills["date"].unique().tolist() == [bars[3], bars[5]]


def test_rows_without_any_price_are_not_trading_days():
    close = pd.DataFrame({"A": np.linspace(10, 13, 15), "B": np.linspace(20, 17, 15)},
                         index=pd.bdate_range("2024-01-01", periods=15))
    weights = pd.DataFrame({"A": [0.7, 0.2], "B": [0.3, 0.8]}, index=close.index[[0, 6]])
    every_day = close.reindex(pd.date_range("2023-12-30", close.index[-1]))  # NaN weekends
    with pytest.warns(UserWarning) as caught:
        calendar = pelmora.backtest(weights, every_day)
    assert [str(w.message) for w in caught] == [
        'prices["close"] has 6 rows where every stock is missing (NaN), first on 2023-12-30: not '
        "trading days, dropped"
    ]
    business = pelmora.backtest(weights, close)
    pd.testing.assert_series_equal(calendar.equity, business.equity)
    pd.testing.assert_series_equal(calendar.stats(), business.stats())


def test_equity_that_compounds_beyond_the_finite_range_is_an_error_not_a_result():
    # Each price within range and each stock's ratio below 1e150, but three of them in a row.
    rise = [1e-74, 1e-74, 1e74, 1e74, 1e74, 1e74, 1e74, 1e74]
    close = pd.DataFrame({"A": rise, "B": [1, 1] + rise[:6], "C": [1, 1, 1, 1] + rise[:4]},
                         index=DATES)
    weights = pd.DataFrame(np.eye(3), index=DATES[[0, 2, 4]], columns=["A", "B", "C"])
    with pytest.raises(ValueError, match=r"^the equity is inf on 2024-01-05 \(it was 1e\+148 the "
                       r"day before\): the prices' ratios compound beyond the finite range"):
        pelmora.backtest(weights, close, fee=0.0, tax=0.0)


def test_a_sweep_combination_whose_equity_overflows_is_an_error_row():
    rise = [1e-74, 1e-74, 1e74, 1e74, 1e74, 1e74, 1e74, 1e74]
    close = pd.DataFrame({"A": rise, "B": [1, 1] + rise[:6], "C": [1, 1, 1, 1] + rise[:4]},
                         index=DATES)
    weights = pd.DataFrame(np.eye(3), index=DATES[[0, 2, 4]], columns=["A", "B", "C"])
    table = pelmora.sweep({"fee": [0.0]}, weights, close, tax=0.0, progress=False)
    assert table["error"].iloc[0].startswith("ValueError: the equity is inf on 2024-01-05")
