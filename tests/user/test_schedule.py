"""When the book moves: rebalance frequencies, date lists and exchange calendars, and on which row
of the prices a date falls (time zones, stamps at the close, intraday bars, rows without any
price)."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.api import rebalance_dates

from markets import (DATES, FLAT_DATES, FLAT_WEIGHTS, STOCKS, flat_market, make_market,
                     make_weights, with_index)


# ---------------------------------------------------------------------- frequencies and date lists


def ns(dates) -> list[int]:
    return [int(x) for x in pd.DatetimeIndex(dates).as_unit("ns").asi8]


@pytest.mark.parametrize(
    "start, end, freq, expected",
    [
        # The running month is not a rebalance yet: its last trading day is unknown.
        ("2024-01-01", "2024-03-15", "ME", ["2024-01-31", "2024-02-29"]),
        # The data ends on the last business day of March: March is over.
        ("2024-01-01", "2024-03-29", "ME", ["2024-01-31", "2024-02-29", "2024-03-29"]),
        # Month-start labels, same months.
        ("2024-01-01", "2024-03-29", "MS", ["2024-01-31", "2024-02-29", "2024-03-29"]),
        ("2024-01-01", "2024-01-19", "W-FRI", ["2024-01-05", "2024-01-12", "2024-01-19"]),
        ("2024-01-01", "2024-01-17", "W-FRI", ["2024-01-05", "2024-01-12"]),
        ("2024-01-01", "2024-12-31", "QE", ["2024-03-29", "2024-06-28", "2024-09-30",
                                           "2024-12-31"]),
        ("2024-01-01", "2024-01-05", "D", ["2024-01-01", "2024-01-02", "2024-01-03",
                                          "2024-01-04", "2024-01-05"]),
    ],
)
def test_frequency_rebalances_on_the_last_trading_day_of_each_finished_period(
    start, end, freq, expected
):
    dates = pd.bdate_range(start, end).as_unit("ns")
    assert rebalance_dates(freq, dates, dates[:1]).tolist() == ns(expected)


def test_explicit_rebalance_dates_are_sorted_and_deduplicated():
    dates = pd.bdate_range("2024-01-01", "2024-02-29").as_unit("ns")
    given = ["2024-02-10", "2024-01-15", "2024-02-10"]
    assert rebalance_dates(given, dates, dates[:1]).tolist() == ns(["2024-01-15", "2024-02-10"])


def test_no_rebalance_frequency_means_every_weight_date():
    dates = pd.bdate_range("2024-01-01", "2024-02-29").as_unit("ns")
    assert rebalance_dates(None, dates, dates[::7]).tolist() == ns(dates[::7])


def test_monthly_rebalance_enters_on_the_first_trading_day_of_the_month():
    dates = pd.bdate_range("2024-01-01", "2024-06-28")
    market = make_market(11, n_days=len(dates))
    market = {k: v.set_axis(dates) for k, v in market.items()}
    # Daily signals rotating through the stocks: only month-end rows are traded.
    weights = pd.DataFrame(0.0, index=dates, columns=STOCKS)
    for i, d in enumerate(dates):
        weights.loc[d, STOCKS[d.month % 4]] = 1.0
    result = pelmora.backtest(weights, market, rebalance="ME", split_trades=False)
    entries = result.trades["entry_date"]
    assert list(entries.dt.strftime("%m-%d")) == ["02-01", "03-01", "04-01", "05-01", "06-03"]
    assert list(result.trades["stock"]) == [STOCKS[m % 4] for m in (1, 2, 3, 4, 5)]
    # June is over on the last row: the next period's orders switch from May's to June's stock.
    actions = result.next_period.set_index("stock")["action"]
    assert actions[STOCKS[5 % 4]] == "exit" and actions[STOCKS[6 % 4]] == "enter"


def test_a_run_without_an_executed_rebalance_warns_and_has_an_empty_window():
    weights = with_index(FLAT_WEIGHTS, FLAT_DATES[-1:])
    with pytest.warns(UserWarning, match="no rebalance was executed"):
        result = pelmora.backtest(weights, flat_market())
    assert result.next_period["action"].tolist() == ["enter", "enter"]
    assert pd.isna(result.stats()["start"])


# --------------------------------------------------------------------------------------- calendars


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
        pelmora.backtest(FLAT_WEIGHTS, flat_market(), rebalance=rebalance, calendar="NOPE")
    with pytest.raises(TypeError, match="calendar must be an exchange calendar name"):
        pelmora.backtest(FLAT_WEIGHTS, flat_market(), rebalance=rebalance, calendar=42)


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


# ---------------------------------------------------------------------------------- dates and rows


def test_time_zone_aware_dates_come_back_in_their_zone():
    market = {k: v.tz_localize("Asia/Taipei") for k, v in make_market(10).items()}
    weights = make_weights(DATES[::5]).tz_localize("Asia/Taipei")
    result = pelmora.backtest(weights, market)
    assert str(result.equity.index.tz) == "Asia/Taipei"
    assert result.equity.index.equals(market["close"].index)
    naive = pelmora.backtest(make_weights(DATES[::5]), make_market(10))
    np.testing.assert_array_equal(result.equity.to_numpy(), naive.equity.to_numpy())


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


@pytest.mark.parametrize("tz", [None, "America/New_York"])
@pytest.mark.parametrize("hours", [[16], [9, 13, 16]])  # daily rows, or several rows a day
def test_rebalance_dates_from_the_inputs_row_dates_are_the_public_ones(tz, hours):
    # prepare_inputs hands its own RowDates and weight keys over instead of making them again:
    # the dates are the ones rebalance_dates makes from the dates alone.
    from pelmora.inputs._dates import RowDates
    from pelmora.inputs.schedule import _rebalance_dates

    rng = np.random.default_rng(len(hours))
    days = pd.bdate_range("2024-01-01", periods=30)
    price_dates = pd.DatetimeIndex([d + pd.Timedelta(hours=h) for d in days for h in hours])
    weight_dates = pd.DatetimeIndex(np.sort(rng.choice(
        pd.date_range("2023-12-30", "2024-02-20", freq="7h").as_unit("ns").asi8, 12,
        replace=False)))
    rows = RowDates(price_dates, tz)
    # An explicit schedule too: dates on or after the first price date, in the prices' zone.
    explicit = weight_dates[weight_dates >= price_dates[0]]
    explicit = explicit if tz is None else explicit.tz_localize("UTC").tz_convert(tz)
    for schedule in (None, list(explicit)):
        expected = rebalance_dates(schedule, price_dates, weight_dates, tz)
        got = _rebalance_dates(schedule, price_dates, weight_dates, tz, None, rows,
                               rows.keys_of(weight_dates))
        assert got.tolist() == expected.tolist()
