"""walk_forward(method="purged"): combinatorial purged cross-validation of a grid."""

from __future__ import annotations

import itertools
import math
from collections import Counter

import numpy as np
import pandas as pd
import pytest

import pelmora
import pelmora.sweeps
from pelmora.datasets import synthetic_market
from pelmora.strategies import momentum_weights

GRID = {"stop_loss": [0.03, 0.08, None]}
N, K = 4, 2
PURGE, EMBARGO = pd.DateOffset(days=5), pd.DateOffset(days=10)


@pytest.fixture(scope="module")
def data():
    market = synthetic_market(n_stocks=25, n_days=700, seed=11)
    return momentum_weights(market.close, lookback=20, top_n=5), market


@pytest.fixture(scope="module")
def purged(data):
    """The result, and the price dates handed to every training sweep."""
    swept, sweep = [], pelmora.sweeps.sweep

    def recording(grid, weights, prices, **kwargs):
        swept.append(prices["close"].index)
        return sweep(grid, weights, prices, **kwargs)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(pelmora.sweeps, "sweep", recording)
        result = pelmora.walk_forward(
            GRID, *data, method="purged", n_groups=N, n_test_groups=K, purge="5D",
            embargo="10D", rebalance="ME", fee=0.0, progress=False,
        )
    return result, swept


def _training(dates, groups, tested):
    """A split's training dates: none in a test group, its purge before or its embargo after."""
    keep = pd.Series(True, index=dates)
    for g in tested:
        first, last = groups.loc[g, "start"], groups.loc[g, "end"]
        keep &= ~((dates >= first - PURGE) & (dates <= last + EMBARGO))
    return dates[keep.to_numpy()]


def _spans(train, dates):
    """``train`` cut where it skips a price date: (first, last) of each run."""
    rows = dates.get_indexer(train)
    breaks = np.flatnonzero(np.diff(rows) > 1)
    return list(zip(train[np.r_[0, breaks + 1]], train[np.r_[breaks, len(train) - 1]]))


def test_every_date_is_tested_phi_times_and_once_per_path(data, purged):
    result, _ = purged
    phi = math.comb(N - 1, K - 1)
    dates = data[1].close.index
    assert result.paths.shape == (len(dates), phi) and result.paths.index.equals(dates)
    groups = result.groups
    assert groups["days"].sum() == len(dates) and groups["days"].max() - groups["days"].min() <= 1
    starts, ends = dates.get_indexer(groups["start"]), dates.get_indexer(groups["end"])
    assert starts[0] == 0 and (starts[1:] == ends[:-1] + 1).all()
    assert list(result.splits["test_groups"]) == list(itertools.combinations(range(N), K))
    pairs = [(g, j) for gs, js in zip(result.splits["test_groups"], result.splits["paths"])
             for g, j in zip(gs, js)]
    assert Counter(g for g, _ in pairs) == dict.fromkeys(range(N), phi)
    assert Counter(pairs) == dict.fromkeys(itertools.product(range(N), range(phi)), 1)
    stats = result.stats()
    assert stats["n_paths"] == phi and stats["mean"] == pytest.approx(result.path_sharpe.mean())
    assert len(result.plot().axes) == 2


def test_purge_and_embargo_leave_out_the_training_dates_around_each_test_group(data, purged):
    result, swept = purged
    dates = data[1].close.index
    expected = set()
    for split in result.splits.itertuples():
        train = _training(dates, result.groups, split.test_groups)
        assert split.train_days == len(train)
        expected |= set(_spans(train, dates))
    # Each span is swept once, on its own prices, whichever splits share it.
    assert sorted((d[0], d[-1]) for d in swept) == sorted(expected)
    assert all(len(d) == dates.get_loc(d[-1]) - dates.get_loc(d[0]) + 1 for d in swept)


def test_the_chosen_combination_is_the_best_of_a_direct_sweep_on_the_training_dates(data, purged):
    weights, market = data
    result, _ = purged
    dates = market.close.index
    for split, table in zip(result.splits.itertuples(), result.trainings):
        spans = _spans(_training(dates, result.groups, split.test_groups), dates)
        returns = {}
        for first, last in spans:
            kept = (dates >= first) & (dates <= last)
            # The weights from the last row on or before the span's first date: its opening book.
            opening = weights.index[weights.index <= first][-1]
            held = weights[(weights.index >= opening) & (weights.index <= last)]
            direct = pelmora.sweep(
                GRID, held, {f: p[kept] for f, p in market.items()},
                keep="full", rebalance="ME", fee=0.0, progress=False,
            )
            for i, run in enumerate(direct["result"]):
                returns.setdefault(i, []).append(run.returns.iloc[run.window_start:])
            if len(spans) == 1:  # the training figure is the sweep's own, to the last bit
                assert table["train_sharpe"].tolist() == direct["sharpe"].tolist()
        r = [pd.concat(parts).to_numpy() for parts in returns.values()]
        sharpe = [x.mean() / x.std(ddof=1) * math.sqrt(252) for x in r]
        np.testing.assert_allclose(table["train_sharpe"], sharpe, rtol=1e-9)
        best = int(np.argmax(sharpe))
        chosen = GRID["stop_loss"][best]
        assert split.stop_loss == chosen or (chosen is None and pd.isna(split.stop_loss))
        assert split.train_sharpe == table["train_sharpe"][best]


def test_the_paths_are_direct_backtests_of_the_chosen_combinations(data, purged):
    weights, market = data
    result, _ = purged
    chosen = [None if pd.isna(v) else v for v in result.splits["stop_loss"]]
    for split in result.splits.itertuples():
        for g, j in zip(split.test_groups, split.paths):
            first, last = result.groups.loc[g, ["start", "end"]]
            upto = market.close.index <= last
            direct = pelmora.backtest(
                weights[weights.index <= last], {f: p[upto] for f, p in market.items()},
                rebalance="ME", fee=0.0, stop_loss=chosen[split.Index],
            )
            pd.testing.assert_series_equal(
                result.paths.loc[first:last, j], direct.returns[first:], check_names=False
            )


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(method="cpcv"), ValueError, "method must be 'rolling' or 'purged', got 'cpcv'"),
        (dict(purge="5D"), ValueError, "purge is for method='purged' only"),
        (dict(n_groups=6, embargo="5D"), ValueError, "n_groups, embargo are for method='purged'"),
        (dict(method="purged", n_groups=1), ValueError, "n_groups must be at least 2, got 1"),
        (dict(method="purged", n_groups=2.0), TypeError, "n_groups must be an integer, got float"),
        (dict(method="purged", n_test_groups=6), ValueError,
         "n_test_groups must be at least 1 and less than n_groups=6, got 6"),
        (dict(method="purged", purge="a week"), ValueError, 'purge must be a positive span such as "3Y"'),
        (dict(method="purged", embargo=0), ValueError, "embargo must be a positive span"),
        (dict(method="purged", metric="win_rate"), ValueError,
         "metric='win_rate' is a figure of the trades"),
        (dict(method="purged", anchored=True), ValueError, "anchored applies to method='rolling'"),
        (dict(method="purged", n_groups=701, n_test_groups=1), ValueError,
         "n_groups=701 is more than the 700 price dates"),
        (dict(method="purged", n_groups=3, purge="1Y", embargo="1Y"), ValueError,
         r"purge='1Y' and embargo='1Y' leave no training date beside the test groups \(0, 1\)"),
    ],
)
def test_bad_purged_arguments_are_named(data, kwargs, error, message):
    with pytest.raises(error, match=message):
        pelmora.walk_forward(GRID, *data, progress=False, **kwargs)


SPAN = ('{} must be a positive span such as "3Y", "6M", "13W" or "90D" (or a pandas DateOffset or '
        "Timedelta), got {!r}")


@pytest.mark.parametrize(("name", "value"), [
    ("purge", "0D"), ("purge", "-5D"), ("purge", pd.Timedelta(days=-5)), ("purge", pd.Timedelta(0)),
    ("embargo", pd.DateOffset(days=-3)), ("embargo", pd.DateOffset(days=0)),
    ("embargo", pd.DateOffset(months=-1)), ("purge", pd.offsets.BDay(-2)), ("embargo", pd.offsets.MonthEnd(0)),
])
def test_a_span_of_zero_or_less_is_refused_in_every_form(data, name, value):
    # A negative Timedelta or DateOffset ran as no purge at all, where "-5D" was refused.
    with pytest.raises(ValueError) as caught:
        pelmora.walk_forward(GRID, *data, method="purged", progress=False, **{name: value})
    assert str(caught.value) == SPAN.format(name, value)


@pytest.mark.parametrize(("kwargs", "message"), [
    (dict(embargo="999Y"), "embargo='999Y' after {last} reaches past the dates pandas holds at the price "
     "dates' resolution ('ns'): give a shorter span"),
    (dict(purge=pd.DateOffset(years=5000)), "purge=<DateOffset: years=5000> before {first} reaches past the "
     "dates pandas holds at the price dates' resolution ('ns'): give a shorter span"),
    (dict(purge="99999999999999999999D"), "purge='99999999999999999999D' before {first} reaches past the "
     "dates pandas holds at the price dates' resolution ('ns'): give a shorter span"),
])
def test_a_span_past_the_dates_pandas_holds_is_named(data, kwargs, message):
    # A pandas OutOfBoundsDatetime from a comparison deep in the first split before.
    dates = data[1].close.index
    groups = np.array_split(np.arange(len(dates)), N)
    with pytest.raises(ValueError) as caught:
        pelmora.walk_forward(GRID, *data, method="purged", n_groups=N, n_test_groups=K, progress=False,
                             **kwargs)
    assert str(caught.value) == message.format(first=dates[0].date(), last=dates[groups[0][-1]].date())


@pytest.mark.parametrize(("n_groups", "n_test_groups", "splits"), [
    (26, 13, "10,400,600"), (40, 20, "137,846,528,820"), (10_001, 1, "10,001"),
    (10**9, 5 * 10**8, "more than 10**15"),
])
def test_splits_are_capped_before_anything_is_made(data, n_groups, n_test_groups, splits):
    # 26/13 ran for hours and 40/20 raised a bare MemoryError.
    with pytest.raises(ValueError) as caught:
        pelmora.walk_forward(GRID, *data, method="purged", n_groups=n_groups, n_test_groups=n_test_groups,
                             progress=False)
    assert str(caught.value) == (f"n_groups={n_groups} and n_test_groups={n_test_groups} make {splits} splits "
                                 "(C(n_groups, n_test_groups)); use at most 10,000")
    # The cap itself passes, to the check against the data.
    with pytest.raises(ValueError, match="^n_groups=10000 is more than the 700 price dates$"):
        pelmora.walk_forward(GRID, *data, method="purged", n_groups=10_000, n_test_groups=1, progress=False)


def test_the_notebook_view_shows_the_spread_of_the_paths(purged):
    result, _ = purged
    text = result._repr_html_()
    n_paths = result.paths.shape[1]
    assert repr(result).startswith("<PurgedResult ") and f"{n_paths} paths chosen by sharpe>" in repr(result)
    stats = result.stats()
    assert f"<th style=\"text-align:left\">path Sharpe mean</th><td>{stats['mean']:,.2f}</td>" in text
    for path, sharpe in result.path_sharpe.items():
        final = result.equity[path].iloc[-1]
        assert f"<td>{path}</td><td>{sharpe:,.2f}</td><td>{final:,.2f}</td>" in text
    assert "<svg" in text and "<script" not in text
