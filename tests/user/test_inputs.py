"""Inputs that would give a wrong run are refused before it starts, naming option, stock and date;
the inputs that are taken are aligned and handed to the engine without a needless copy."""

from __future__ import annotations

import dataclasses
import math
import re
import warnings
from unittest import mock

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora
import pelmora.inputs._layout as layout
import pelmora.inputs._prepare as inputs_module
from pelmora.api import prepare_inputs
from pelmora.core import runvane
from pelmora.options import BacktestOptions

from markets import (DATES, FLAT_DATES, FLAT_WEIGHTS, STOCKS, flat_market, make_market,
                     make_weights, with_cell, with_index)

CLOSE = flat_market()["close"]


# Every input that would give a wrong run, refused before it starts: (weights, prices, options,
# error, what the message says). The weights and prices are those of the flat market (FLAT_WEIGHTS,
# MARKET, CLOSE) or of the random one (W, P), changed where the case needs it.
W, P = make_weights(DATES[::5]), make_market()["close"]
MARKET = flat_market()

REFUSED = [
    # Options.
    (FLAT_WEIGHTS, MARKET, dict(fee=math.nan), ValueError,
     "fee must be at least 0 and below 1, got nan"),
    (FLAT_WEIGHTS, MARKET, dict(fee=1.5), ValueError,
     "fee must be at least 0 and below 1, got 1.5"),
    (FLAT_WEIGHTS, MARKET, dict(tax=-0.01), ValueError, "tax must be at least 0 and below 1"),
    (FLAT_WEIGHTS, MARKET, dict(tax=1), ValueError, "tax must be at least 0 and below 1, got 1"),
    (FLAT_WEIGHTS, MARKET, dict(fee="0.1"), TypeError, "fee must be a number, got str"),
    (FLAT_WEIGHTS, MARKET, dict(position_limit=-1), ValueError,
     "position_limit must be above 0, got -1"),
    (FLAT_WEIGHTS, MARKET, dict(position_limit=math.nan), ValueError,
     "position_limit must be above 0, got nan"),
    (FLAT_WEIGHTS, MARKET, dict(stop_loss=math.nan), ValueError,
     "stop_loss must be 0 or more, or None for no stop_loss"),
    (FLAT_WEIGHTS, MARKET, dict(take_profit=-0.1), ValueError, "take_profit must be 0 or more"),
    (FLAT_WEIGHTS, MARKET, dict(trailing_stop=math.nan), ValueError,
     "trailing_stop must be 0 or more"),
    (FLAT_WEIGHTS, MARKET, dict(trailing_activation=-1.0), ValueError,
     "trailing_activation must be 0 or more"),
    (FLAT_WEIGHTS, MARKET, dict(intraday_stops="yes"), TypeError,
     "intraday_stops must be True or False, got 'yes'"),
    (FLAT_WEIGHTS, MARKET, dict(split_trades=1), TypeError,
     "split_trades must be True or False, got 1"),
    (FLAT_WEIGHTS, MARKET, dict(excursion_window=2.5), TypeError,
     "excursion_window must be an integer, got float"),
    (FLAT_WEIGHTS, MARKET, dict(excursion_step=0), ValueError,
     "excursion_step must be 1 or more, got 0"),
    (FLAT_WEIGHTS, MARKET, dict(trade_at="vwap"), ValueError,
     'trade_at must be "close", "open" or None'),
    (FLAT_WEIGHTS, MARKET, dict(rebalance=5), TypeError, "rebalance must be a frequency alias"),
    (FLAT_WEIGHTS, MARKET, dict(delistings=["A"]), TypeError,
     "delistings must be a pandas Series or a mapping"),
    (FLAT_WEIGHTS, MARKET, dict(stoploss=0.1), TypeError,
     "backtest() got an unexpected keyword argument 'stoploss'"),
    (FLAT_WEIGHTS, MARKET, dict(fee=10**400), ValueError,
     "fee must be a number a float can hold, got an integer of 1329 bits"),
    (FLAT_WEIGHTS, MARKET, dict(position_limit=-(10**400)), ValueError,
     "position_limit must be a number a float can hold"),
    (FLAT_WEIGHTS, MARKET, dict(excursion_step=2**31), ValueError,
     "excursion_step must be at most 2147483647, got an integer of 32 bits"),
    # The stocks, dates and values of the data.
    (FLAT_WEIGHTS, flat_market(close=(2, 1, 0.0)), {}, ValueError,
     "prices['close'] of 'B' on 2024-01-03 is 0.0"),
    (FLAT_WEIGHTS, flat_market(open=(3, 0, -1.0)), dict(trade_at="open"), ValueError,
     "prices['open'] of 'A' on 2024-01-04 is -1.0: prices must be positive and finite"),
    (FLAT_WEIGHTS, flat_market(close=(4, 0, math.inf)), dict(trade_at="open"), ValueError,
     "prices['close'] of 'A' on 2024-01-05 is inf"),
    (FLAT_WEIGHTS, flat_market(high=(1, 1, math.inf)), dict(intraday_stops=True), ValueError,
     "prices['high'] of 'B' on 2024-01-02 is inf"),
    (FLAT_WEIGHTS, flat_market(high=(5, 0, 9.0)), dict(intraday_stops=True), ValueError,
     "prices['high'] of 'A' on 2024-01-08 is 9.0, below prices['low'] 9.9"),
    (FLAT_WEIGHTS, with_index(flat_market()["close"], pd.RangeIndex(8)), {}, TypeError,
     "the index of prices must hold dates, got RangeIndex of int64 values"),
    (with_index(FLAT_WEIGHTS, pd.Index([3])), CLOSE, {}, TypeError,
     "the index of weights must hold dates"),
    (FLAT_WEIGHTS.set_axis(["A", None], axis=1), CLOSE, {}, ValueError,
     "weights has a missing stock id (None or NaN) in column 1"),
    (FLAT_WEIGHTS, flat_market()["close"].set_axis([np.nan, "B"], axis=1), {}, ValueError,
     "prices has a missing stock id (None or NaN) in column 0"),
    (with_index(FLAT_WEIGHTS, [pd.Timestamp("2025-01-01")]), CLOSE, {}, ValueError,
     "weights has no date inside the price dates (2024-01-01 to 2024-01-10)"),
    (FLAT_WEIGHTS, CLOSE, dict(rebalance=["2023-12-01", "2024-01-05"]), ValueError,
     "rebalance date 2023-12-01 is before the first price date 2024-01-01"),
    (FLAT_WEIGHTS, CLOSE, dict(delistings={"A": "soon"}), TypeError,
     "delistings must map stock ids to dates"),
    (FLAT_WEIGHTS.replace(0.5, math.inf), CLOSE, {}, ValueError,
     "the weight of 'A' on 2024-01-01 is inf"),
    # A frame that would align to nothing: the stock frozen at its entry value.
    (FLAT_WEIGHTS, {"close": CLOSE, "trade": CLOSE.shift(100, freq="D")}, {}, ValueError,
     'prices["trade"] shares no date with prices["close"] (2024-01-01 to 2024-01-10); its dates '
     "run from 2024-04-10 to 2024-04-19"),
    (FLAT_WEIGHTS, {**flat_market(), "open": CLOSE[["A"]]}, dict(trade_at="open"), ValueError,
     "prices[\"open\"] has no column for 'B', which weights hold; every price frame needs the "
     "stocks of the weights"),
    (FLAT_WEIGHTS, CLOSE.assign(B=np.nan), {}, ValueError,
     "prices['close'] has no price for 'B', which weights hold (0.5 on 2024-01-01): every "
     "weighted stock needs at least one price"),
    # Values pandas would turn into numbers without a word.
    (FLAT_WEIGHTS, CLOSE.assign(B=pd.Timestamp("2024-01-01")), {}, TypeError,
     "prices[\"close\"] must hold numbers: the column of 'B' holds datetime64"),
    (FLAT_WEIGHTS, CLOSE.assign(B=pd.Timedelta("1D")), {}, TypeError,
     "prices[\"close\"] must hold numbers: the column of 'B' holds timedelta64"),
    (FLAT_WEIGHTS, CLOSE.assign(B=pd.Series(["20"] * 8, index=FLAT_DATES, dtype=object)), {},
     TypeError,
     "prices[\"close\"] must hold numbers: 'B' on 2024-01-01 is '20' (str)"),
    (FLAT_WEIGHTS.assign(B=pd.Series(["0.5"], index=FLAT_DATES[:1], dtype=object)), CLOSE, {},
     TypeError,
     "weights must hold numbers: 'B' on 2024-01-01 is '0.5' (str)"),
    (FLAT_WEIGHTS, CLOSE, dict(delistings={"A": 20240105}), TypeError,
     "delistings must map stock ids to dates: 'A' has 20240105 (int), a number, not a date"),
    (FLAT_WEIGHTS, CLOSE, dict(delistings=pd.Series({"B": True})), TypeError,
     "delistings must map stock ids to dates: 'B' has True (bool), a number, not a date"),
    # Numbers whose run would leave the finite range.
    (FLAT_WEIGHTS.replace(0.5, 1e308), CLOSE, {}, ValueError,
     "weights on 2024-01-01 add up to inf: the sum of the row's absolute weights overflows (the "
     "weight of 'A' is 1e+308); weights must add up to a finite number"),
    (FLAT_WEIGHTS, flat_market(close=(2, 0, 1e150))["close"], {}, ValueError,
     "prices['close'] of 'A' on 2024-01-03 is 1e+150: prices must lie from "
     "2.2250738585072014e-308 to below 1e+150; beyond, the run's arithmetic leaves the finite range"),
    (FLAT_WEIGHTS, flat_market(close=(2, 1, 5e-324))["close"], {}, ValueError,
     "prices['close'] of 'B' on 2024-01-03 is 5e-324: prices must lie from"),
    (FLAT_WEIGHTS, flat_market(close=(4, 0, 1e-150))["close"], {}, ValueError,
     "the prices of 'A' run from 1e-150 on 2024-01-05 to 10.0 on 2024-01-01: a ratio of 1e+150 or "
     "more between two prices of a stock leaves the finite range of the run's arithmetic"),
    # The frames' types, order and labels.
    (W, P.iloc[[0, 0, 1]], {}, ValueError, "duplicate dates"),
    (W, P.set_axis(["A", "A", "B", "C"], axis=1), {}, ValueError, "duplicate stock"),
    (W.iloc[::-1], P, {}, ValueError, "weights must be sorted"),
    (W.reset_index(drop=True).set_axis(list("abcdefgh")), P, {}, TypeError, "dates"),
    (W.to_numpy(), P, {}, TypeError, "weights must be a DataFrame"),
    (W, P.to_numpy(), {}, TypeError, "prices must be a DataFrame or a mapping"),
    (W, {"open": P}, {}, ValueError, '"close"'),
    (W, {"close": P, "vwap": P}, {}, ValueError, "unknown price fields"),
    (W.iloc[:0], P, {}, ValueError, "weights has no rows"),
    (W.replace(0.0, np.inf), P, {}, ValueError, "finite"),
    (W.tz_localize("UTC"), P, {}, ValueError, "time-zone"),
    (make_weights(DATES[::5], stocks=STOCKS + ["ZZZ", "YYY"]), make_market(), {}, ValueError,
     "weights has stocks without prices: ZZZ, YYY"),
    (pd.DataFrame({"BBB": [1.0]}, index=DATES[:1]), with_cell(P, 12, 1, 0.0), {}, ValueError,
     "prices['close'] of 'BBB' on 2024-01-17 is 0.0"),
    # Options that need data the prices do not have.
    (W, P, dict(intraday_stops=True), ValueError, "intraday_stops needs open, high and low"),
    (W, {"close": P}, dict(intraday_stops=True), ValueError, 'no "open", "high", "low"'),
    (W, P, dict(trade_at="open"), ValueError, 'trade_at="open" needs open'),
    (W, {"close": P}, dict(trade_at="open"), ValueError, 'needs "open"'),
    (W, P, dict(trade_at="vwap"), ValueError, "trade_at must be"),
    (W, P, dict(excursion_step=0), ValueError, "excursion_step must be 1 or more"),
    (W, P, dict(excursion_window=-1), ValueError, "excursion_window must be 0 or more"),
    (W, P, dict(rebalance="every other tuesday"), ValueError, "not a pandas frequency"),
]


@pytest.mark.parametrize("weights, prices, options, error, message", REFUSED)
def test_inputs_that_would_give_a_wrong_run_are_refused_saying_why(weights, prices, options, error,
                                                                   message):
    with pytest.raises(error, match=re.escape(message)):
        pelmora.backtest(weights, prices, **options)


def test_options_object_is_frozen_checked_on_replace_and_combines_with_keywords():
    opts = BacktestOptions(stop_loss=0.1, fee=0)
    with pytest.raises(dataclasses.FrozenInstanceError):
        opts.fee = 0.5  # type: ignore[misc]
    with pytest.raises(ValueError, match="fee must be"):
        dataclasses.replace(opts, fee=2.0)
    a = pelmora.backtest(FLAT_WEIGHTS, flat_market(), options=opts, tax=0.0)
    b = pelmora.backtest(FLAT_WEIGHTS, flat_market(), stop_loss=0.1, fee=0.0, tax=0.0)
    assert a.options == b.options and a.options["trailing_activation"] == 0.0
    np.testing.assert_array_equal(a.equity, b.equity)


# ------------------------------------------------------------------------------ alignment & dtypes


def test_aligned_float64_prices_are_not_copied():
    market = make_market()
    sources = {k: v.to_numpy() for k, v in market.items()}
    inputs = prepare_inputs(make_weights(DATES[::5]), market, intraday_stops=True)
    args = inputs.arguments
    assert np.shares_memory(args["close_values"], sources["close"])
    assert np.shares_memory(args["price_values"], sources["close"])
    for key in ("open", "high", "low"):
        assert np.shares_memory(args[f"{key}_values"], sources[key])


def daily_market(n_rows, n_stocks, entering, seed=5, every=1):
    """Close and open frames, and weights on every `every`-th row holding a quarter of the
    stocks, `entering` new ones per 32 stocks a day."""
    rng = np.random.default_rng(seed)
    dates = pd.date_range("2024-01-01", periods=n_rows, freq="D")
    stocks = [f"S{i}" for i in range(n_stocks)]
    close = pd.DataFrame(
        20 * np.exp(np.cumsum(rng.normal(0, 0.02, (n_rows, n_stocks)), axis=0)),
        index=dates, columns=stocks)
    held = np.zeros((n_rows, n_stocks), dtype=bool)
    for r in range(n_rows):
        held[r, (np.arange(n_stocks // 4) + r * entering * n_stocks // 32) % n_stocks] = True
    weights = pd.DataFrame(held / (n_stocks // 4), index=dates, columns=stocks).iloc[::every]
    return weights, {"close": close, "open": close.shift(1).fillna(close) * 1.001}


@pytest.mark.parametrize("entering, copied", [(8, True), (1, False)])
@pytest.mark.parametrize("n_rows, n_stocks", [(60, 32), (600, 256)])  # the second: pooled memory
def test_a_run_trading_many_stocks_daily_reads_row_major_prices_with_the_same_results(
        entering, copied, n_rows, n_stocks):
    # Stocks rebalanced daily, a quarter of them held: 8 new ones a day per 32 stocks is a
    # quarter of them (copied row-major), 1 a day per 32 leaves the column-major frames as
    # they are.
    weights, prices = daily_market(n_rows, n_stocks, entering)
    inputs = prepare_inputs(weights, prices, fee=0.001, trade_at="open")
    args = inputs.arguments
    assert args["close_values"].flags.c_contiguous == copied
    assert args["price_values"].flags.c_contiguous == copied
    as_given = {**args, **{k: np.asfortranarray(args[k]) for k in ("price_values", "close_values")}}
    a, b = runvane.backtest_(**args), runvane.backtest_(**as_given)
    assert a.tobytes() == b.tobytes()
    # The whole call (the journal on the copies, the statistics) gives that same equity.
    result = pelmora.backtest(weights, prices, fee=0.001, trade_at="open")
    assert result.equity.to_numpy().tobytes() == a.tobytes()
    assert 0 < result.stats()["n_trades"] <= len(result.trades)


@pytest.mark.parametrize("case, copied", [
    ("weights every third row", False),   # too few rebalances to repay a copy
    ("one frame for both prices", True),  # copied once, shared
    ("larger than worth copying", False),
    ("prices of stocks never weighted", True),  # copied after the checks, not by them
])
def test_which_runs_read_row_major_prices(case, copied, monkeypatch):
    weights, prices = daily_market(64, 32, 8, every=3 if case.startswith("weights") else 1)
    if case == "one frame for both prices":
        prices = prices["close"]
    if case == "prices of stocks never weighted":
        weights = weights.iloc[:, :-1]
    if case == "larger than worth copying":
        monkeypatch.setattr(layout, "_MOST_CELLS", 64 * 32 - 1)
    args = prepare_inputs(weights, prices, trade_at="open" if isinstance(prices, dict) else
                          "close").arguments
    assert args["close_values"].flags.c_contiguous == copied
    if copied:
        for key, field in (("close_values", "close"), ("price_values", "open")):
            given = prices if isinstance(prices, pd.DataFrame) else prices[field]
            assert args[key].tobytes() == np.ascontiguousarray(given.to_numpy()).tobytes()
    if case == "one frame for both prices":
        assert args["price_values"] is args["close_values"]


@settings(max_examples=15, deadline=None)
@given(n_rows=st.integers(20, 70), n_stocks=st.sampled_from([32, 64]),
       entering=st.integers(2, 16), seed=st.integers(0, 99), stop=st.sampled_from([None, 0.1]))
def test_row_major_prices_change_no_result(n_rows, n_stocks, entering, seed, stop):
    # The same backtest read from the frames as they are and from the row-major copies.
    weights, prices = daily_market(n_rows, n_stocks, entering, seed)
    options = dict(fee=0.001, trade_at="open", stop_loss=stop)
    copied = pelmora.backtest(weights, prices, **options)
    never = lambda *args: False  # noqa: E731
    with mock.patch.object(inputs_module, "worth_copying", never), \
            mock.patch.object(layout, "worth_copying", never):
        assert not prepare_inputs(weights, prices, **options).arguments[
            "price_values"].flags.c_contiguous
        given_ = pelmora.backtest(weights, prices, **options)
    assert copied.equity.to_numpy().tobytes() == given_.equity.to_numpy().tobytes()
    pd.testing.assert_frame_equal(copied.trades, given_.trades)
    pd.testing.assert_frame_equal(copied.fills, given_.fills)
    assert copied.stats().equals(given_.stats())


# Weights the one native pass takes (plain), and ones it leaves to the closer look (huge but
# summing to a finite number, a NaN, an integer frame): the engine gets the same row-major values.
@pytest.mark.parametrize("weights", [
    make_weights(DATES[::5]),
    make_weights(DATES[::5]).replace(0.0, 1e300),
    with_cell(make_weights(DATES[::5]), 1, 2, np.nan),
    (make_weights(DATES[::5]) > 0.2).astype(np.int64),
])
def test_weights_reach_the_engine_row_major_and_unchanged(weights):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        args = prepare_inputs(weights, make_market(), intraday_stops=True).arguments
    assert args["pos_values"].flags.c_contiguous
    expected = weights.to_numpy(dtype=np.float64, na_value=0.0)
    assert args["pos_values"].tobytes() == np.where(np.isnan(expected), 0.0, expected).tobytes()


@pytest.mark.parametrize(("prices", "options", "message"), [
    # The field read for trading, not only the close, needs a price for every weighted stock.
    ({**flat_market(), "open": flat_market()["open"].assign(B=np.nan)}, dict(trade_at="open"),
     "prices['open'] has no price for 'B', which weights hold (0.5 on 2024-01-01)"),
    # Weighted only on a row older than the one the run starts from: no price is needed.
    ({"close": flat_market()["close"].assign(B=np.nan).iloc[2:]}, {}, None),
])
def test_weighted_stocks_without_a_price(prices, options, message):
    weights = FLAT_WEIGHTS if message else pd.concat(
        [FLAT_WEIGHTS, pd.DataFrame({"A": [1.0, 1.0], "B": 0.0}, index=FLAT_DATES[[1, 3]])])
    if message is None:
        assert prepare_inputs(weights, prices, **options).arguments["pos_values"].shape == (3, 2)
    else:
        with pytest.raises(ValueError, match=re.escape(message)):
            prepare_inputs(weights, prices, **options)


def test_a_single_price_frame_is_used_for_every_price_without_copy():
    arr = make_market()["close"].to_numpy().copy()
    prices = pd.DataFrame(arr, index=DATES, columns=STOCKS, copy=False)
    args = prepare_inputs(make_weights(DATES[::5]), prices).arguments
    for key in ("price_values", "close_values", "high_values", "low_values", "open_values"):
        assert np.shares_memory(args[key], arr), key


@pytest.mark.parametrize("dtype", [np.float32, np.int64, "Float64"])
def test_other_price_dtypes_are_converted_to_float64(dtype):
    market = make_market()
    close = (market["close"] * 10).round().astype(dtype)
    inputs = prepare_inputs(make_weights(DATES[::5]), close)
    values = inputs.arguments["close_values"]
    assert values.dtype == np.float64 and values.ndim == 2
    np.testing.assert_array_equal(values, close.to_numpy(dtype=np.float64))


def test_engine_arguments_have_the_exact_dtypes():
    args = prepare_inputs(make_weights(DATES[::5]), make_market(), rebalance="W-FRI").arguments
    assert list(args) == list(__import__("inspect").signature(runvane.backtest_).parameters)
    for key in ("price_index", "pos_index", "resample"):
        assert args[key].dtype == np.int64 and args[key].ndim == 1
    for key in ("price_columns", "pos_columns"):
        assert args[key].dtype == object and all(isinstance(x, str) for x in args[key])
    assert args["pos_values"].dtype == np.float64
    assert args["price_index"][0] == np.datetime64("2024-01-01", "ns").astype(np.int64)


def test_extra_and_reordered_price_columns_do_not_change_the_run():
    market = make_market(stocks=STOCKS + ["EEE", "FFF"], seed=5)
    weights = make_weights(DATES[::5], stocks=STOCKS)
    base = pelmora.backtest(weights, {k: v[STOCKS] for k, v in market.items()}, stop_loss=0.05)
    order = ["FFF", "DDD", "AAA", "EEE", "CCC", "BBB"]
    shuffled = pelmora.backtest(weights, {k: v[order] for k, v in market.items()}, stop_loss=0.05)
    np.testing.assert_array_equal(base.equity.to_numpy(), shuffled.equity.to_numpy())
    pd.testing.assert_frame_equal(base.trades, shuffled.trades)


def test_other_frames_are_aligned_to_the_close():
    market = make_market(6)
    weights = make_weights(DATES[::5])
    messy = {
        "close": market["close"],
        "open": market["open"][STOCKS[::-1]],
        "high": market["high"].iloc[::-1],
        "low": market["low"],
    }
    a = pelmora.backtest(weights, market, intraday_stops=True, stop_loss=0.03)
    b = pelmora.backtest(weights, messy, intraday_stops=True, stop_loss=0.03)
    np.testing.assert_array_equal(a.equity.to_numpy(), b.equity.to_numpy())


def test_boolean_weights_mean_equal_weights_among_true_cells():
    market = make_market(7)
    mask = make_weights(DATES[::5]) > 0.1
    mask.iloc[2] = False  # a row with nothing selected holds nothing
    counts = mask.sum(axis=1).to_numpy()[:, None]
    explicit = pd.DataFrame(
        np.where(counts > 0, mask.to_numpy() / np.maximum(counts, 1), 0.0),
        index=mask.index, columns=mask.columns,
    )
    a = pelmora.backtest(mask, market)
    b = pelmora.backtest(explicit, market)
    np.testing.assert_array_equal(a.equity.to_numpy(), b.equity.to_numpy())
    held = a.trades["weight"].to_numpy()[:, None]
    assert np.isclose(held, [0.25, 1 / 3, 0.5, 1.0], rtol=1e-12, atol=0).any(axis=1).all()


def test_missing_weights_mean_zero():
    market = make_market(8)
    weights = make_weights(DATES[::5])
    holes = weights.mask(weights == 0.0)
    assert holes.isna().any().any()
    a = pelmora.backtest(holes, market)
    b = pelmora.backtest(weights, market)
    np.testing.assert_array_equal(a.equity.to_numpy(), b.equity.to_numpy())


def test_integer_stock_ids_come_back_as_given():
    stocks = [2330, 1101, 2454]
    market = make_market(9, stocks=stocks)
    weights = make_weights(DATES[::10], stocks=stocks, seed=3).abs()
    result = pelmora.backtest(weights, market)
    assert set(result.trades["stock"]) <= set(stocks)
    assert all(isinstance(s, int) for s in result.trades["stock"])


def test_a_missing_price_stays_a_suspension_and_unused_stocks_are_not_checked():
    prices = flat_market(close=(3, 0, np.nan))["close"].assign(C=-5.0)
    result = pelmora.backtest(FLAT_WEIGHTS, prices, fee=0.0, tax=0.0)
    assert result.equity.notna().all()


def test_an_excursion_window_longer_than_the_data_is_capped_to_it():
    result = pelmora.backtest(FLAT_WEIGHTS, flat_market(), excursion_window=10**6)
    assert result.inputs.arguments["swaylen_window"] == len(FLAT_DATES)
    assert result.excursions.groupby("trade")["bar"].max().tolist() == [6, 6]


# ---------------------------------------------------------------------------------------- warnings


NAN_ROW = pd.DataFrame({"A": [0.5, np.nan], "B": [0.5, np.nan]}, index=FLAT_DATES[[0, 3]])
# A gross of 1, then 2 on the third day, then 0.6; only the rows a rebalance trades count.
GROSS = pd.DataFrame({"A": [0.5, 1.0, 0.3], "B": [0.5, 1.0, -0.3]}, index=FLAT_DATES[[0, 2, 5]])


@pytest.mark.parametrize(
    "weights, options, message",
    [
        (FLAT_WEIGHTS, dict(fee=0.1425), "fee=0.1425 is 14.25 % per trade: fee reads as a fraction of "
         "the traded value (0.001425 is 0.1425 %)"),
        (FLAT_WEIGHTS, dict(tax=0.3), "tax=0.3 is 30 % per trade: tax reads as a fraction of the "
         "traded value (0.001425 is 0.1425 %)"),
        (NAN_ROW, {}, "weights has 1 row where every weight is NaN, first on 2024-01-04: treated "
         "as all zeros: the book is sold"),
        (FLAT_WEIGHTS, dict(stop_loss=10), "stop_loss=10.0 is 1000 %: stop_loss reads as a "
         "fraction (0.1 is 10 %)"),
        (FLAT_WEIGHTS, dict(take_profit=2.5), "take_profit=2.5 is 250 %: take_profit reads as a "
         "fraction (0.1 is 10 %)"),
        (FLAT_WEIGHTS, dict(trailing_stop=1.5), "trailing_stop=1.5 is 150 %: trailing_stop reads "
         "as a fraction (0.1 is 10 %)"),
        (GROSS, {}, "weights on 2024-01-03 add up to a gross of 2.0 (the sum of their absolute "
         "values), above max_gross=1.0: they are scaled down to it, as is every row above it; "
         "give a larger max_gross to hold them as they are"),
        (GROSS, dict(max_gross=1.5), "weights on 2024-01-03 add up to a gross of 2.0 (the sum of "
         "their absolute values), above max_gross=1.5: they are scaled down to it, as is every "
         "row above it; give a larger max_gross to hold them as they are"),
    ],
)
def test_suspicious_inputs_warn_once(weights, options, message):
    with pytest.warns(UserWarning) as caught:
        result = pelmora.backtest(weights, CLOSE, **options)
    assert [str(w.message) for w in caught] == [message]
    if weights is NAN_ROW:
        assert result.exposure["n_holdings"].iloc[-1] == 0
    if weights is GROSS or {"stop_loss", "take_profit", "trailing_stop"} & set(options):
        assert caught[0].filename == __file__  # named where the user called
    if weights is GROSS:  # the rows are held scaled down
        limit = options.get("max_gross", 1.0)
        assert result.exposure["gross"].loc["2024-01-04"] == pytest.approx(limit, rel=0.01)


@pytest.mark.parametrize(("weights", "options"), [
    (FLAT_WEIGHTS, dict(fee=0.02, tax=0.02)),
    (FLAT_WEIGHTS, dict(stop_loss=1.0, take_profit=1.0, trailing_stop=1.0)),
    (FLAT_WEIGHTS, dict(stop_loss=math.inf, take_profit=math.inf)),
    (GROSS, dict(max_gross=2.0)),
    # Equal weights of 20 stocks add up to a hair above 1 (or 2) in floating point: scaled by
    # nothing a user meant, so without a word.
    (pd.DataFrame(1 / 20, index=FLAT_DATES[:1], columns=range(20)), {}),
    (pd.DataFrame(2 / 20, index=FLAT_DATES[:1], columns=range(20)), dict(max_gross=2.0)),
])
def test_values_at_the_warning_bounds_are_taken_as_given(weights, options):
    close = pd.DataFrame(10.0, index=FLAT_DATES, columns=weights.columns)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        pelmora.backtest(weights, close, **options)


def test_a_cost_of_two_percent_is_charged_as_given():
    # Half in each stock, then A sold: no warning, and every fill pays 2 % as asked.
    weights = pd.DataFrame({"A": [0.5, 0.0], "B": [0.5, 0.5]}, index=FLAT_DATES[[0, 3]])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = pelmora.backtest(weights, CLOSE, fee=0.02, tax=0.02)
    fills = result.fills
    assert fills[["stock", "side"]].values.tolist() == [["A", "buy"], ["B", "buy"], ["A", "sell"]]
    # A buy is sized before its fee (0.5 ordered: 0.01 of fee, 0.49 held); the sale of the
    # 0.49 pays 2 % of fee and 2 % of tax on it.
    assert fills["fee"].tolist() == pytest.approx([0.01, 0.01, 0.0098], rel=1e-15)
    assert fills["tax"].tolist() == pytest.approx([0.0, 0.0, 0.0098], rel=1e-15)
    assert result.cash.iloc[-1] == pytest.approx(0.49 - 2 * 0.0098, rel=1e-15)
    assert result.equity.iloc[-1] == pytest.approx(0.49 + 0.49 - 2 * 0.0098, rel=1e-15)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("n_stocks", [64, 600])
@pytest.mark.parametrize(("entering", "n_price_rows", "expected"), [
    (1 / 4, 1000, True),    # an eighth of the stocks comes in on every row, on average
    (1 / 32, 1000, False),  # too few to repay a copy (under a sixteenth)
    (1 / 4, 2001, False),   # weights on fewer than every other price row
])
def test_the_turnover_that_makes_a_copy_worth_it(order, n_stocks, entering, n_price_rows,
                                                 expected):
    # Read from blocks of consecutive rows (one run of memory per column of a frame), on a
    # sample of the columns of a wide frame: the same answer for either layout, on more rows
    # than the blocks hold.
    rng = np.random.default_rng(5)
    weights = np.zeros((1000, n_stocks))
    for row in range(1000):
        picked = rng.choice(n_stocks, int(entering * n_stocks), replace=False)
        weights[row, picked if row % 2 else []] = 0.1
    weights = np.asarray(weights, order=order)
    assert layout._trades_many_stocks_on_most_rows(weights, n_price_rows) is expected


@pytest.mark.parametrize("flag", ["intraday_stops", "retain_cost", "stop_trading_next_period",
                                  "split_trades"])
def test_numpy_booleans_are_booleans(flag):
    # NumPy 2 names its boolean type "bool": a flag read from an array is still a flag.
    from pelmora import BacktestOptions

    assert getattr(BacktestOptions(**{flag: np.True_}), flag) is True
    assert getattr(BacktestOptions(**{flag: np.bool_(False)}), flag) is False
