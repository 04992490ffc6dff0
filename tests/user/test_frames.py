"""yfinance frames, polars and pyarrow tables and long tables run as their pandas frames do."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest
from hypothesis import given, settings, strategies as st

import pelmora

pl = pytest.importorskip("polars")

FIELDS = ("open", "high", "low", "close")


def make_market(seed, n_days, n_stocks, tz):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=n_days, tz=tz, name="date")
    stocks = pd.Index([f"S{i}" for i in range(n_stocks)], name="stock")
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.05, (n_days, n_stocks)), axis=0))
    close[1:][rng.random((n_days - 1, n_stocks)) < 0.1] = np.nan  # suspensions
    spread = rng.uniform(0, 0.05, close.shape)
    raw = {"open": close * (1 + spread / 2), "high": close * (1 + spread),
           "low": close * (1 - spread), "close": close}
    raw = {k: pd.DataFrame(v, index=dates, columns=stocks) for k, v in raw.items()}
    adj = raw["close"] * rng.uniform(0.5, 1.0, close.shape)  # dividends and splits
    rows = np.sort(rng.choice(n_days - 1, size=min(4, n_days - 1), replace=False))
    weights = pd.DataFrame(rng.uniform(-0.5, 1, (len(rows), n_stocks)), index=dates[rows],
                           columns=stocks)
    return raw, adj, weights


def yahoo(raw, adj, ticker_first=False):
    fields = {"Open": raw["open"], "High": raw["high"], "Low": raw["low"], "Close": raw["close"],
              "Adj Close": adj, "Volume": raw["close"] * 0 + 1e6}
    frame = pd.concat(fields, axis=1, names=["Price", "Ticker"])
    return frame.swaplevel(axis=1).sort_index(axis=1) if ticker_first else frame


def long_rows(frames):
    stacked = {k: v.stack(future_stack=True) for k, v in frames.items()}
    return pd.concat(stacked, axis=1).reset_index()


def wide_table(frame, kind):
    flat = frame.reset_index()
    if kind == "polars":
        return pl.from_pandas(flat)
    return pa.Table.from_pandas(frame)  # its dates a column, marked as the index in metadata


def forms(raw, adj, weights):
    """(weights, prices, options) of each form, and the pandas inputs it stands for."""
    factor = adj / raw["close"]
    adjusted = {"close": adj, **{k: raw[k] * factor for k in ("open", "high", "low")}}
    return {
        "yfinance Adj Close": ((weights, yahoo(raw, adj), {"price_field": "Adj Close"}),
                               (weights, adjusted)),
        "yfinance ticker first": ((weights, yahoo(raw, adj, True), {"price_field": "close"}),
                                  (weights, raw)),
        "polars": ((wide_table(weights, "polars"),
                    {k: wide_table(v, "polars") for k, v in raw.items()}, {}), (weights, raw)),
        "pyarrow": ((wide_table(weights, "pyarrow"),
                     {k: wide_table(v, "pyarrow") for k, v in raw.items()}, {}), (weights, raw)),
        "long": ((pelmora.from_long(pa.Table.from_pandas(long_rows({"w": weights}).set_index(
                      "date")), value="w"),
                  pelmora.from_long(pl.from_pandas(long_rows(raw)), value=list(FIELDS)), {}),
                 (weights, raw)),
    }


def assert_same_run(a, b):
    np.testing.assert_array_equal(a.equity.to_numpy(), b.equity.to_numpy())
    pd.testing.assert_index_equal(a.equity.index, b.equity.index)
    pd.testing.assert_frame_equal(a.fills, b.fills)


# Markets without a rebalance or with all-NaN rows warn so; not what these tests are about.
@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("form", ["yfinance Adj Close", "yfinance ticker first", "polars",
                                  "pyarrow", "long"])
@settings(max_examples=15)
@given(seed=st.integers(0, 2**32 - 1), n_days=st.integers(3, 30), n_stocks=st.integers(1, 4),
       tz=st.sampled_from([None, "America/New_York"]), intraday=st.booleans(),
       stop=st.sampled_from([None, 0.02, 0.1]))
def test_every_form_runs_bit_for_bit_as_its_pandas_frames(form, seed, n_days, n_stocks, tz,
                                                          intraday, stop):
    (weights, prices, extra), (ref_weights, ref_prices) = forms(
        *make_market(seed, n_days, n_stocks, tz))[form]
    options = dict(intraday_stops=intraday, stop_loss=stop, take_profit=stop, fee=0.001)
    got = pelmora.backtest(weights, prices, **options, **extra)
    want = pelmora.backtest(ref_weights, ref_prices, **options)
    assert_same_run(got, want)
    assert got.equity.index.tz == want.equity.index.tz


def test_sweep_and_walk_forward_take_tables_as_pandas_frames():
    raw, _, weights = make_market(7, 300, 3, "Europe/Paris")
    weights = pd.DataFrame(np.random.default_rng(1).uniform(0, 1, (15, 3)),
                           index=raw["close"].index[::20], columns=raw["close"].columns)
    grid = {"stop_loss": [None, 0.03]}
    for kind in ("polars", "pyarrow"):
        tables = wide_table(weights, kind), wide_table(raw["close"], kind)
        pd.testing.assert_frame_equal(
            pelmora.sweep(grid, *tables, progress=False),
            pelmora.sweep(grid, weights, raw["close"], progress=False))
        got = pelmora.walk_forward(grid, *tables, train="6M", test="3M", progress=False)
        want = pelmora.walk_forward(grid, weights, raw["close"], train="6M", test="3M",
                                    progress=False)
        pd.testing.assert_series_equal(got.returns, want.returns)


def test_adjusted_intraday_prices_stay_on_the_close_scale():
    # Adj Close is half the Close: an unscaled high of 101 would read as +102 % on the entry.
    dates = pd.bdate_range("2024-01-01", periods=6)
    flat = pd.DataFrame({"A": 100.0}, index=dates)
    frame = yahoo({"open": flat, "high": flat + 1, "low": flat - 1, "close": flat}, flat / 2)
    weights = pd.DataFrame({"A": [1.0]}, index=dates[:1])
    result = pelmora.backtest(weights, frame, price_field="Adj Close", intraday_stops=True,
                              take_profit=0.1, stop_loss=0.1)
    assert list(result.fills["reason"]) == ["rebalance"]
    assert result.fills["price"].iloc[0] == 50.0


def test_level_names_tell_fields_from_a_ticker_named_like_one():
    dates = pd.bdate_range("2024-01-01", periods=4)
    close = pd.DataFrame({"LOW": [10.0, 11, 12, 13]}, index=dates)
    frame = pd.concat({"Close": close, "Low": close * 0.99}, axis=1, names=["Price", "Ticker"])
    weights = pd.DataFrame({"LOW": [1.0]}, index=dates[:1])
    assert_same_run(pelmora.backtest(weights, frame), pelmora.backtest(weights, close))
    with pytest.raises(ValueError, match="price fields in both column levels"):
        pelmora.backtest(weights, frame.rename_axis([None, None], axis=1))


def test_a_pandas_frame_keeps_its_dates_in_the_column_index_names():
    raw, _, weights = make_market(3, 10, 2, None)
    flat = raw["close"].reset_index()
    assert_same_run(pelmora.backtest(weights.reset_index(), flat, index="date"),
                    pelmora.backtest(weights, raw["close"]))


def test_boolean_table_with_nulls_holds_the_true_cells():
    raw, _, _ = make_market(5, 8, 3, None)
    held = pd.DataFrame({"S0": [True, None], "S1": [None, True], "S2": [True, False]},
                        index=raw["close"].index[[0, 4]]).rename_axis("date")
    table = pl.from_pandas(held.reset_index())
    assert table.schema["S0"] == pl.Boolean
    assert_same_run(pelmora.backtest(table, raw["close"]),
                    pelmora.backtest(held.fillna(False).astype(bool), raw["close"]))


def test_pandas_runs_never_import_polars():
    code = ("import sys, pandas as pd, pelmora; d = pd.bdate_range('2024-01-01', periods=3); "
            "pelmora.backtest(pd.DataFrame({'A': [1.0]}, index=d[:1]), "
            "pd.DataFrame({'A': [1.0, 2, 3]}, index=d)); assert 'polars' not in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)


DATES = pd.bdate_range("2024-01-01", periods=3)
CLOSE = pd.DataFrame({"A": [10.0, 11, 12], "B": [20.0, 21, 22]}, index=DATES)
WEIGHTS = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=DATES[:1])
YAHOO = pd.concat({"Close": CLOSE}, axis=1)
LONG = pd.DataFrame({"date": DATES[[0, 1, 1, 2, 1]], "stock": ["A", "A", "B", "A", "A"],
                     "value": [1.0, 2, 3, 4, 5]})

REFUSED = [
    (lambda: pelmora.backtest(WEIGHTS, pd.concat({"Close": CLOSE, "Foo": CLOSE}, axis=1)),
     ValueError, r"prices has unknown fields \['Foo'\] in column level 0; expected some of "
                 r"\['Open', 'High', 'Low', 'Close', 'Adj Close'"),
    (lambda: pelmora.backtest(WEIGHTS, pd.concat({"x": CLOSE, "y": CLOSE}, axis=1)),
     ValueError, "prices has two column levels and neither holds price fields"),
    (lambda: pelmora.backtest(WEIGHTS, pd.concat({"u": YAHOO}, axis=1)),
     ValueError, "prices has 3 column levels; a frame of several fields needs two"),
    (lambda: pelmora.backtest(WEIGHTS, pd.concat({"Close": CLOSE, "Adj Close": CLOSE}, axis=1)),
     ValueError, 'prices has both "Close" and "Adj Close": choose the close with '
                 'price_field="Adj Close" \\(adjusted for splits and dividends\\) or '
                 'price_field="Close"'),
    (lambda: pelmora.backtest(WEIGHTS, pd.concat({"Adj Close": CLOSE, "Open": CLOSE}, axis=1),
                              price_field="Adj Close"),
     ValueError, 'price_field="Adj Close" needs "Close" as well'),
    (lambda: pelmora.backtest(WEIGHTS, YAHOO, price_field="adj_close"),
     ValueError, 'price_field="Adj Close" but prices has no "Adj Close" field'),
    (lambda: pelmora.backtest(WEIGHTS, CLOSE.set_axis(["Close", "Volume"], axis=1)), ValueError,
     r"prices has the columns of one ticker's download, \['Close', 'Volume'\]: fields, not stocks"),
    (lambda: pelmora.backtest(WEIGHTS, CLOSE, price_field="Adj Close"),
     ValueError,
     "price_field='Adj Close' chooses the close of a prices frame with \\(field, stock\\)"),
    (lambda: pelmora.backtest(WEIGHTS, CLOSE, price_field="Open"),
     ValueError, 'price_field must be "Close", "Adj Close" or None, got \'Open\''),
    (lambda: pelmora.backtest(pl.DataFrame({"A": [0.5]}), CLOSE),
     TypeError, r"weights \(a polars table\) has no column of dates: give it a Date or Datetime "
                r"column, or name the column with index=; its columns are \['A'\]"),
    (lambda: pelmora.backtest(WEIGHTS, wide_table(CLOSE.rename_axis("day"), "pyarrow"),
                              index="date"),
     ValueError, r"index='date' is not a column of prices; its columns are \['A', 'B', 'day'\]"),
    (lambda: pelmora.backtest(WEIGHTS, pl.from_pandas(LONG)), TypeError,
     r"prices \(a polars table\) has a column of text, 'stock': a wide table has one column per "
     r"stock; a long table of \(date, stock, value\) rows becomes one with "
     r"pelmora.from_long\(frame, stock='stock', value=...\)"),
    (lambda: pelmora.from_long(LONG), ValueError,
     r"frame has more than one row for stock 'A' on 2024-01-02 \(rows 1 and 4\)"),
    (lambda: pelmora.from_long(pl.from_pandas(LONG.assign(stock=["A", None, "B", "A", "C"]))),
     ValueError, r"frame has a missing stock id in column 'stock' on 2024-01-02 \(row 1\)"),
    (lambda: pelmora.from_long(LONG.assign(date=1)), TypeError, "frame has no column of dates"),
    (lambda: pelmora.from_long(LONG.assign(day=1), date="day"), TypeError,
     r"frame\['day'\] must hold dates, got int64 values"),
    (lambda: pelmora.from_long(LONG, value="price"), ValueError, "frame has no column 'price'"),
    (lambda: pelmora.from_long(LONG[:4].assign(value="x")), TypeError,
     r"frame\['value'\] must hold numbers or booleans"),
]


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_layouts_that_cannot_be_read_are_refused_with_what_to_do(call, error, message):
    with pytest.raises(error, match=message):
        call()
