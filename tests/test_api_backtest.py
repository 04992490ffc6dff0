"""pelmora.backtest: aligning pandas inputs, converting them for the engine, and what it returns."""

from __future__ import annotations

import math
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora
from pelmora.api import prepare_inputs, rebalance_dates
from pelmora.core import runvane

DATES = pd.bdate_range("2024-01-01", periods=40)
STOCKS = ["AAA", "BBB", "CCC", "DDD"]


def make_market(seed: int = 0, n_days: int = 40, stocks: list = STOCKS) -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=n_days)
    close = 50 * np.exp(np.cumsum(rng.normal(0, 0.03, (n_days, len(stocks))), axis=0))
    open_ = close * np.exp(rng.normal(0, 0.01, close.shape))
    high = np.maximum(open_, close) * (1 + rng.uniform(0, 0.03, close.shape))
    low = np.minimum(open_, close) * (1 - rng.uniform(0, 0.03, close.shape))
    frame = lambda a: pd.DataFrame(a, index=dates, columns=stocks, copy=False)  # noqa: E731
    return {"open": frame(open_), "high": frame(high), "low": frame(low), "close": frame(close)}


def make_weights(dates: pd.DatetimeIndex, stocks: list = STOCKS, seed: int = 1) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    w = rng.uniform(-0.2, 0.6, (len(dates), len(stocks)))
    w[rng.uniform(size=w.shape) < 0.3] = 0.0
    return pd.DataFrame(w, index=dates, columns=stocks)


def engine_arrays(weights: pd.DataFrame, market: dict[str, pd.DataFrame], trade: str = "close"):
    """The eleven engine arrays built by hand, the way the engine's own docs describe them."""
    close = market["close"]
    names = np.array([str(c) for c in close.columns], dtype=object)
    pos_index = weights.index.values.astype("datetime64[ns]").astype(np.int64)
    return dict(
        price_values=market[trade].to_numpy(np.float64),
        close_values=close.to_numpy(np.float64),
        high_values=market["high"].to_numpy(np.float64),
        low_values=market["low"].to_numpy(np.float64),
        open_values=market["open"].to_numpy(np.float64),
        price_index=close.index.values.astype("datetime64[ns]").astype(np.int64),
        price_columns=names,
        pos_values=weights.to_numpy(np.float64, copy=True),
        pos_index=pos_index,
        pos_columns=np.array([str(c) for c in weights.columns], dtype=object),
        resample=pos_index.copy(),
    )


# (user options, the same options under the engine's names)
OPTION_SETS = [
    ({}, dict(stop_loss=math.inf)),
    (dict(fee=0.0, tax=0.0), dict(fee_ratio=0.0, tax_ratio=0.0, stop_loss=math.inf)),
    (dict(stop_loss=0.05, take_profit=0.08), dict(stop_loss=0.05, take_profit=0.08)),
    (
        dict(stop_loss=0.04, intraday_stops=True),
        dict(stop_loss=0.04, touched_exit=True),
    ),
    (
        dict(trailing_stop=0.03, trailing_activation=0.02, stop_trading_next_period=False),
        dict(stop_loss=math.inf, trail_stop=0.03, trail_stop_activation=0.02,
             stop_trading_next_period=False),
    ),
    (
        dict(retain_cost=True, position_limit=0.3, split_trades=False),
        dict(stop_loss=math.inf, retain_cost_when_rebalance=True, position_limit=0.3,
             periodically_rebalance=False),
    ),
    (
        dict(excursion_window=7, excursion_step=3, fee=0.002, tax=0.001),
        dict(stop_loss=math.inf, swaylen_window=7, swaylen_window_step=3, fee_ratio=0.002,
             tax_ratio=0.001),
    ),
]


@pytest.mark.parametrize("options, engine_options", OPTION_SETS)
def test_equity_equals_the_engine_curve_on_the_same_arrays(options, engine_options):
    market = make_market()
    weights = make_weights(DATES[::5])
    expected = runvane.backtest_(**engine_arrays(weights, market), **engine_options)
    result = pelmora.backtest(weights, market, **options)
    assert result.equity.index.equals(market["close"].index)
    assert result.equity.dtype == np.float64
    np.testing.assert_array_equal(result.equity.to_numpy(), expected)


def test_trade_at_open_trades_at_the_open_prices():
    market = make_market(3)
    weights = make_weights(DATES[::7])
    expected = runvane.backtest_(**engine_arrays(weights, market, trade="open"), stop_loss=0.05)
    result = pelmora.backtest(weights, market, trade_at="open", stop_loss=0.05)
    np.testing.assert_array_equal(result.equity.to_numpy(), expected)


def test_explicit_trading_price_is_used_when_given():
    market = make_market(4)
    trade = (market["open"] + market["close"]) / 2
    weights = make_weights(DATES[::6])
    expected = runvane.backtest_(
        **engine_arrays(weights, {**market, "trade": trade}, trade="trade"), stop_loss=math.inf
    )
    result = pelmora.backtest(weights, {**market, "trade": trade})
    np.testing.assert_array_equal(result.equity.to_numpy(), expected)


def test_returns_are_the_day_to_day_changes_of_equity_from_one():
    result = pelmora.backtest(make_weights(DATES[::5]), make_market())
    eq = result.equity.to_numpy()
    expected = np.concatenate(([eq[0] / 1.0 - 1.0], eq[1:] / eq[:-1] - 1.0))
    np.testing.assert_array_equal(result.returns.to_numpy(), expected)
    assert result.returns.index.equals(result.equity.index)


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


def test_a_stock_without_prices_is_named_in_the_error():
    weights = make_weights(DATES[::5], stocks=STOCKS + ["ZZZ", "YYY"])
    with pytest.raises(ValueError, match="weights has stocks without prices: ZZZ, YYY"):
        pelmora.backtest(weights, make_market())


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


def test_time_zone_aware_dates_come_back_in_their_zone():
    market = {k: v.tz_localize("Asia/Taipei") for k, v in make_market(10).items()}
    weights = make_weights(DATES[::5]).tz_localize("Asia/Taipei")
    result = pelmora.backtest(weights, market)
    assert str(result.equity.index.tz) == "Asia/Taipei"
    assert result.equity.index.equals(market["close"].index)
    naive = pelmora.backtest(make_weights(DATES[::5]), make_market(10))
    np.testing.assert_array_equal(result.equity.to_numpy(), naive.equity.to_numpy())


@pytest.mark.parametrize(
    "mutate, error, message",
    [
        (lambda w, p: (w.iloc[::-1], p), ValueError, "weights must be sorted"),
        (lambda w, p: (w, p.iloc[[0, 0, 1]]), ValueError, "duplicate dates"),
        (lambda w, p: (w, p.set_axis(["A", "A", "B", "C"], axis=1)), ValueError, "duplicate stock"),
        (lambda w, p: (w.reset_index(drop=True).set_axis(list("abcdefgh")), p), TypeError, "dates"),
        (lambda w, p: (w.to_numpy(), p), TypeError, "weights must be a DataFrame"),
        (lambda w, p: (w, p.to_numpy()), TypeError, "prices must be a DataFrame or a mapping"),
        (lambda w, p: (w, {"open": p}), ValueError, '"close"'),
        (lambda w, p: (w, {"close": p, "volume": p}), ValueError, "unknown price fields"),
        (lambda w, p: (w.iloc[:0], p), ValueError, "weights has no rows"),
        (lambda w, p: (w.replace(0.0, np.inf), p), ValueError, "finite"),
        (lambda w, p: (w.tz_localize("UTC"), p), ValueError, "time-zone"),
    ],
)
def test_unusable_inputs_raise_clear_errors(mutate, error, message):
    weights, prices = mutate(make_weights(DATES[::5]), make_market()["close"])
    with pytest.raises(error, match=message):
        pelmora.backtest(weights, prices)


@pytest.mark.parametrize(
    "prices, options, message",
    [
        ("single", dict(intraday_stops=True), "intraday_stops needs open, high and low"),
        ("close_only", dict(intraday_stops=True), 'no "open", "high", "low"'),
        ("single", dict(trade_at="open"), 'trade_at="open" needs open'),
        ("close_only", dict(trade_at="open"), 'needs "open"'),
        ("single", dict(trade_at="vwap"), "trade_at must be"),
        ("single", dict(excursion_step=0), "excursion_step must be 1 or more"),
        ("single", dict(excursion_window=-1), "excursion_window must be 0 or more"),
        ("single", dict(rebalance="every other tuesday"), "not a pandas frequency"),
    ],
)
def test_options_that_need_missing_data_say_so(prices, options, message):
    market = make_market()
    given_prices = market["close"] if prices == "single" else {"close": market["close"]}
    with pytest.raises(ValueError, match=message):
        pelmora.backtest(make_weights(DATES[::5]), given_prices, **options)


def test_a_bad_price_is_named_with_its_stock_and_date_before_the_run():
    close = make_market()["close"].copy()
    close.iloc[12, 1] = 0.0
    weights = pd.DataFrame({"BBB": [1.0]}, index=DATES[:1])
    with pytest.raises(ValueError, match=r"prices\['close'\] of 'BBB' on 2024-01-17 is 0.0"):
        pelmora.backtest(weights, close)


# ---------------------------------------------------------------------------------------- rebalance


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


# ---------------------------------------------------------------------------------------- delisting


def test_a_delisted_stock_is_sold_on_its_last_day_and_not_bought_again():
    market = make_market(12)
    last_day = DATES[20]
    for frame in market.values():
        frame.loc[frame.index > last_day, "CCC"] = np.nan
    weights = pd.DataFrame(0.25, index=DATES[::5], columns=STOCKS)
    result = pelmora.backtest(
        weights, market, delistings=pd.Series({"CCC": last_day, "XXX": DATES[3]}),
        split_trades=False, fee=0.0, tax=0.0,
    )
    ccc = result.trades[result.trades["stock"] == "CCC"]
    assert list(ccc["exit_date"]) == [last_day]
    # The same run through the engine, with the delisting row and the zeroed later weights.
    arrays = engine_arrays(weights, market)
    arrays["pos_values"][weights.index >= last_day, 2] = 0.0
    expected = runvane.backtest_(
        **arrays, fee_ratio=0.0, tax_ratio=0.0, stop_loss=math.inf, periodically_rebalance=False,
        delisting_bars=np.array([-1, -1, 20, -1], dtype=np.int64),
    )
    np.testing.assert_array_equal(result.equity.to_numpy(), expected)


# ------------------------------------------------------------------------------- results coexist


def test_two_results_coexist():
    market = make_market(13)
    w1, w2 = make_weights(DATES[::5], seed=1), make_weights(DATES[::4], seed=2)
    first = pelmora.backtest(w1, market, stop_loss=0.05)
    second = pelmora.backtest(w2, market, stop_loss=0.02, intraday_stops=True)
    again = pelmora.backtest(w1, market, stop_loss=0.05)  # the module state now holds this run
    pelmora.backtest(w2, market)  # and now another one
    pd.testing.assert_frame_equal(first.trades, again.trades)
    pd.testing.assert_frame_equal(first.excursions, again.excursions)
    pd.testing.assert_frame_equal(first.next_period, again.next_period)
    assert len(second.trades) != len(first.trades) or not second.trades.equals(first.trades)


# --------------------------------------------------------------------------------- optional extras


@pytest.mark.parametrize(
    "blocked, code, message",
    [
        ("pandas", "pelmora.backtest(None, None)",
         "pelmora.backtest needs pandas: pip install 'pelmora[pandas]'"),
        ("pandas", "import pelmora.datasets",
         "pelmora.datasets needs pandas: pip install 'pelmora[pandas]'"),
        ("matplotlib", "r.plot()",
         "BacktestResult.plot needs matplotlib: pip install 'pelmora[plot]'"),
        ("tqdm", "pelmora.sweep({'fee': [0.0]}, w, p)",
         "pelmora.sweep(progress=True) needs tqdm: pip install 'pelmora[sweep]'"),
        ("exchange_calendars", "pelmora.backtest(w, p, rebalance='ME', calendar='XNYS')",
         "calendar='XNYS' needs exchange-calendars: pip install 'pelmora[calendar]'"),
    ],
)
def test_a_missing_extra_is_named_in_the_import_error(blocked, code, message):
    script = textwrap.dedent(
        f"""
        import sys
        import numpy as np
        w = p = r = None
        if {blocked!r} != "pandas":
            import pandas as pd
            import pelmora
            p = pd.DataFrame(np.full((3, 1), 10.0), index=pd.bdate_range("2024-01-01", periods=3),
                             columns=["A"])
            w = p * 0 + 1.0
            r = pelmora.backtest(w, p)
        sys.modules[{blocked!r}] = None
        import pelmora
        try:
            {code}
        except ImportError as exc:
            print(exc)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == message, out.stderr


def test_importing_pelmora_loads_no_optional_dependency():
    script = (
        "import sys, pelmora; from pelmora import *; pelmora.runvane; pelmora.swaylen;"
        "print(sorted(m for m in ('pandas', 'matplotlib', 'dask', 'distributed', 'tqdm')"
        " if m in sys.modules))"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "[]", out.stderr


# ------------------------------------------------------------------------------------ invariants

price_cell = st.one_of(st.floats(0.5, 200.0), st.just(np.nan))


@st.composite
def runs(draw):
    n_days = draw(st.integers(1, 12))
    n_stocks = draw(st.integers(1, 4))
    stocks = [f"S{i}" for i in range(n_stocks)]
    dates = pd.bdate_range("2024-01-01", periods=n_days)
    prices = pd.DataFrame(
        draw(st.lists(st.lists(price_cell, min_size=n_stocks, max_size=n_stocks),
                      min_size=n_days, max_size=n_days)),
        index=dates, columns=stocks, dtype=np.float64,
    )
    rows = draw(st.lists(st.integers(0, n_days + 2), min_size=1, max_size=4, unique=True))
    weight_dates = pd.bdate_range("2023-12-28", periods=n_days + 5)[sorted(rows)]
    if draw(st.booleans()):
        weights = pd.DataFrame(
            draw(st.lists(st.lists(st.booleans(), min_size=n_stocks, max_size=n_stocks),
                          min_size=len(rows), max_size=len(rows))),
            index=weight_dates, columns=stocks,
        )
    else:
        cell = st.one_of(st.floats(-2.0, 2.0), st.just(np.nan))
        weights = pd.DataFrame(
            draw(st.lists(st.lists(cell, min_size=n_stocks, max_size=n_stocks),
                          min_size=len(rows), max_size=len(rows))),
            index=weight_dates, columns=stocks, dtype=np.float64,
        )
    options = draw(st.fixed_dictionaries({}, optional={
        "stop_loss": st.floats(0.01, 1.0),
        "take_profit": st.floats(0.01, 1.0),
        "trailing_stop": st.floats(0.01, 0.5),
        "rebalance": st.sampled_from([None, "W-FRI", "ME", "D"]),
        "position_limit": st.floats(0.1, 1.0),
        "retain_cost": st.booleans(),
        "stop_trading_next_period": st.booleans(),
        "excursion_window": st.integers(0, 6),
        "excursion_step": st.integers(1, 3),
    }))
    return weights, prices, options


@pytest.mark.filterwarnings("ignore:pelmora.backtest. no rebalance")
@settings(max_examples=40)
@given(runs(), st.booleans())
def test_any_run_gives_a_consistent_result_or_a_clear_error(run, intraday):
    weights, prices, options = run
    market = {"open": prices, "high": prices * 1.02, "low": prices * 0.98, "close": prices}
    try:
        result = pelmora.backtest(weights, market, intraday_stops=intraday, **options)
    except (ValueError, TypeError):
        return
    equity = result.equity
    # Rows where every stock is missing are not trading days.
    assert equity.index.equals(prices.index[prices.notna().any(axis=1)])
    assert (equity[equity.index < weights.index[0]] == 1.0).all()
    trades = result.trades
    assert len(trades) == len(result.record.excursions)
    assert (trades["exit_date"].isna() | (trades["exit_date"] >= trades["entry_date"])).all()
    assert set(result.next_period["stock"]) <= set(weights.columns)
    stats = result.stats()
    assert stats["n_trades"] == len(trades)
