"""walk_forward: parameters chosen on each training span, judged on the span after it."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights

GRID = {"stop_loss": [0.03, 0.08, None]}


@pytest.fixture(scope="module")
def data():
    market = synthetic_market(n_stocks=25, n_days=900, seed=11)
    return momentum_weights(market.close, lookback=20, top_n=5), market


@pytest.fixture(scope="module")
def walked(data):
    weights, market = data
    return pelmora.walk_forward(GRID, weights, market, train="1Y", test="6M", rebalance="ME",
                                progress=False, fee=0.0)


def test_each_window_takes_the_training_best_and_its_test_returns_are_a_direct_run(data, walked):
    weights, market = data
    windows = walked.windows
    assert len(windows) >= 3
    assert (windows["test_start"] > windows["train_end"]).all()
    assert (windows["test_start"].iloc[1:].to_numpy() > windows["test_end"].iloc[:-1].to_numpy()).all()
    for k, window in windows.iterrows():
        table = walked.trainings[k]
        assert table["sharpe"].max() == window["train_sharpe"]
        chosen = GRID["stop_loss"][int(table["sharpe"].astype(float).idxmax())]
        assert window["stop_loss"] == chosen or (chosen is None and pd.isna(window["stop_loss"]))
        upto = market.close.index <= window["test_end"]
        direct = pelmora.backtest(
            weights[weights.index <= window["test_end"]],
            {f: frame[upto] for f, frame in market.items()},
            rebalance="ME", fee=0.0,
            stop_loss=chosen,
        )
        span = direct.returns[window["test_start"]:window["test_end"]]
        pd.testing.assert_series_equal(walked.returns[span.index], span, check_names=False)
    assert walked.equity.iloc[-1] == pytest.approx(np.prod(1.0 + walked.returns.to_numpy()))
    assert walked.stats()["total_return"] == pytest.approx(walked.equity.iloc[-1] - 1.0)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(metric="start"), ValueError, "metric must be one of"),
        (dict(train="three years"), ValueError, 'train must be a positive span such as "3Y"'),
        (dict(test="0M"), ValueError, "test must be a positive span"),
        (dict(test=pd.Timedelta(days=-30)), ValueError, "test must be a positive span"),
        (dict(train="999Y"), ValueError,
         r"^train='999Y' after 2020-01-01 reaches past the dates pandas holds at the price dates' "
         r"resolution \('ns'\): give a shorter span$"),
        (dict(train="10Y"), ValueError, "too short for a training span of '10Y'"),
        (dict(metric="alpha"), ValueError,
         "metric='alpha' compares the run with a benchmark, which walk_forward does not take"),
        (dict(fee=10**400), ValueError, "fee must be a number a float can hold"),
    ],
)
def test_bad_walk_forward_arguments_are_named(data, kwargs, error, message):
    weights, market = data
    with pytest.raises(error, match=message):
        pelmora.walk_forward(GRID, weights, market, progress=False, **kwargs)


@pytest.mark.parametrize(
    "inputs, error, message",
    [
        (lambda w, m: (w, [m.close, m.open]), TypeError,
         "prices must be a DataFrame or a mapping of DataFrames, got list"),
        (lambda w, m: (w, {"open": m.open}), ValueError, 'prices must have "close" prices'),
        (lambda w, m: (w.tz_localize("UTC"), m), ValueError,
         "prices and weights must both have time-zone-aware dates or both naive"),
        (lambda w, m: (w, m.close.iloc[::-1]), ValueError,
         "the index of prices must be sorted in ascending order"),
        (lambda w, m: (w, m.close.assign(**{m.close.columns[0]: -1.0})), ValueError,
         r"prices\['close'\] of 'S000' on 2020-01-01 is -1.0"),
    ],
)
def test_walk_forward_checks_its_inputs_as_backtest_does_before_slicing(data, inputs, error, message):
    weights, prices = inputs(*data)
    with pytest.raises(error, match=message):
        pelmora.walk_forward(GRID, weights, prices, train="1Y", test="6M", progress=False)


def test_calendar_day_prices_walk_forward_like_business_days_with_one_warning(data):
    weights, market = data
    close = market.close.iloc[:400]
    with pytest.warns(UserWarning, match="where every stock is missing") as caught:
        every_day = pelmora.walk_forward(GRID, weights, close.asfreq("D"), train="1Y", test="3M",
                                         progress=False)
    assert len(caught) == 1
    business = pelmora.walk_forward(GRID, weights, close, train="1Y", test="3M", progress=False)
    pd.testing.assert_series_equal(every_day.returns, business.returns)


def test_anchored_windows_train_from_the_first_date_and_can_minimise(data):
    weights, market = data
    walked = pelmora.walk_forward(GRID, weights, market, train="1Y", test="6M", anchored=True,
                                  metric="annual_volatility", maximize=False, progress=False)
    windows = walked.windows
    assert (windows["train_start"] == market.close.index[0]).all()
    assert windows["train_end"].is_monotonic_increasing
    for k, table in enumerate(walked.trainings):
        assert windows["train_annual_volatility"].iloc[k] == table["annual_volatility"].min()


def test_windows_after_a_delisting_do_not_ask_for_the_dead_stocks_prices():
    dates = pd.bdate_range("2020-01-01", periods=520)
    rng = np.random.default_rng(5)
    close = pd.DataFrame(20 * np.exp(np.cumsum(rng.normal(0, 0.01, (520, 3)), axis=0)),
                         index=dates, columns=["A", "B", "C"])
    close.loc[dates[120]:, "C"] = np.nan  # delisted in the first training span
    weights = pd.DataFrame(1 / 3, index=dates[::21], columns=close.columns)
    delistings = {"C": dates[119]}
    wf = pelmora.walk_forward(GRID, weights, close, train="1Y", test="6M", progress=False,
                              delistings=delistings)
    assert len(wf.windows) >= 2 and wf.returns.notna().all()
    # A stock gone before the data starts is never bought, whatever the weights say.
    later = pelmora.backtest(weights, close.loc[dates[200]:], delistings=delistings)
    assert "C" not in set(later.fills["stock"])


# ------------------------------------------------------------------------ figure and notebook view


def test_the_plot_draws_the_stitched_equity_and_each_windows_figures(walked):
    import matplotlib.figure

    fig = walked.plot(title="windows")
    assert isinstance(fig, matplotlib.figure.Figure) and fig._suptitle.get_text() == "windows"
    top, bottom = fig.axes
    np.testing.assert_array_equal(top.lines[0].get_ydata(), walked.equity.to_numpy())
    train, test = bottom.containers
    windows = walked.windows
    assert [b.get_height() for b in train] == windows["train_sharpe"].tolist()
    assert [b.get_height() for b in test] == windows["test_sharpe"].tolist()
    assert [t.get_text() for t in bottom.get_xticklabels()] == [
        f"{d:%Y-%m}" for d in windows["test_start"]
    ]
    assert fig._repr_png_()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_notebook_view_lists_each_window_and_its_choice(walked):
    windows = walked.windows
    assert repr(walked) == (
        f"<WalkForwardResult {walked.equity.index[0].date()}..{walked.equity.index[-1].date()}, "
        f"{len(windows)} windows chosen by sharpe, final equity {walked.equity.iloc[-1]:.4f}>"
    )
    text = walked._repr_html_()
    for w in windows.to_dict("records"):
        span = f"{w['test_start']:%Y-%m-%d} .. {w['test_end']:%Y-%m-%d}"
        chosen = "–" if pd.isna(w["stop_loss"]) else f"{w['stop_loss']:.2f}"
        assert f"<td>{span}</td><td>{chosen}</td><td>{w['train_sharpe']:,.2f}</td>" in text
    assert "Trades" not in text  # the stitched equity has no trades of its own
    assert "<svg" in text and "<script" not in text and len(text) < 20_000
