"""Invariants of whole runs on random small inputs."""

import math

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from pelmora.core import runvane, swaylen
from run_helpers import Inputs, build, objs

NAN = math.nan
INF = math.inf


# --- never crashes: a result of the right shape or a Python exception -------------------------------

def mostly(usual, odd):
    """Drawn from `usual` seven times in eight, else from `odd`."""
    return st.integers(0, 7).flatmap(lambda k: odd if k == 0 else usual)


# Plausible values most of the time, and now and then anything that breaks them.
values = mostly(st.sampled_from([10.0, 11.0, 9.0, 12.5, 8.0, NAN]),
                st.sampled_from([0.0, -1.0, INF, -INF, 1e-300, 1e300, NAN]))
weights = mostly(st.sampled_from([0.0, 0.5, 0.25, 1.0, 0.3, -0.5]),
                 st.sampled_from([2.0, NAN, INF, -INF, 1e300]))
wild = st.sampled_from([NAN, INF, -INF, -0.2, 0.0, 1e300])
costs = mostly(st.sampled_from([0.0, 0.001425, 0.003, 0.01]), wild)
distances = mostly(st.sampled_from([1.0, 0.05, 0.1, 0.2, INF]), wild)


def matrix(shape, elements=values):
    odd = st.tuples(st.integers(0, 4), st.integers(0, 4))
    return mostly(st.just(shape), odd).flatmap(
        lambda sh: hnp.arrays(np.float64, sh, elements=elements))


def dates(n):
    # Usually 0, 1, 2, ... so that position rows and rebalances line up.
    odd = st.integers(0, 5).flatmap(
        lambda k: hnp.arrays(np.int64, k, elements=st.integers(-2, 8))).flatmap(
        lambda a: st.sampled_from([np.sort(a), a]))
    return mostly(st.just(np.arange(n, dtype=np.int64)), odd)


def labels(n):
    odd = st.lists(st.sampled_from(["S0", "S1", "X", ""]), max_size=5)
    return mostly(st.permutations([f"S{i}" for i in range(n)]), odd).map(objs)


def delisting(n_stocks, n_rows):
    usual = hnp.arrays(np.int64, n_stocks, elements=st.integers(-1, n_rows))
    odd = hnp.arrays(np.int64, st.integers(0, 5), elements=st.integers(-2, 6))
    return st.one_of(st.none(), mostly(usual, odd))


def run_options(n_stocks, n_rows):
    return st.fixed_dictionaries(dict(
        fee_ratio=costs, tax_ratio=costs, stop_loss=distances, take_profit=distances,
        trail_stop=distances, trail_stop_activation=distances, touched_exit=st.booleans(),
        position_limit=mostly(st.sampled_from([1.0, 0.5, 0.3]), wild),
        retain_cost_when_rebalance=st.booleans(),
        stop_trading_next_period=st.sampled_from([True, False, 1, "", None]),
        swaylen_window=mostly(st.integers(0, 5), st.integers(-3, 0)),
        swaylen_window_step=mostly(st.integers(1, 3), st.integers(-1, 0)),
        periodically_rebalance=st.booleans(), delisting_bars=delisting(n_stocks, n_rows),
    ))


@st.composite
def any_run(draw):
    # Empty tables come in through the odd shapes; the usual ones are not.
    n_rows, n_cols = draw(st.integers(1, 6)), draw(st.integers(1, 4))
    n_pos_rows = draw(mostly(st.integers(1, 3), st.integers(0, 3)))
    inp = Inputs(
        *[draw(matrix((n_rows, n_cols))) for _ in range(5)],
        draw(dates(n_rows)), draw(labels(n_cols)),
        draw(matrix((n_pos_rows, n_cols), weights)), draw(dates(n_pos_rows)),
        draw(labels(n_cols)), draw(mostly(st.just(np.arange(n_rows, dtype=np.int64)),
                                          dates(draw(st.integers(0, 3))))),
    )
    return inp, draw(run_options(n_cols, n_rows))


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NumPy scalar arithmetic on inf/NaN
@given(any_run())
def test_any_input_gives_a_result_or_a_python_exception(run):
    inp, opts = run
    try:
        creturn = runvane.backtest_(*inp.args(), **opts)
    except (ValueError, TypeError, IndexError, ZeroDivisionError, OverflowError):
        return
    assert isinstance(creturn, np.ndarray)
    assert creturn.dtype == np.float64 and creturn.shape == (len(inp.price_index),)
    assert len(swaylen.trades) == len(swaylen.trade_positions) == len(swaylen.swaylen)
    rows, _ = runvane.get_trade_stocks(inp.pos_columns, inp.price_index, opts["touched_exit"])
    assert len(rows) == len(swaylen.trades)


def test_the_random_inputs_reach_the_trading_paths():
    # A guard for the test above: plain inputs of its kind run through.
    inp = build([[10.0, 11.0]] * 4, [[0.5, 0.25]])
    assert inp.run(swaylen_window=3).shape == (4,)
    assert len(swaylen.trades) == 2


# --- a single rebalance, no costs: the value is weights times price ratios -----------------------------


@st.composite
def buy_and_hold(draw):
    n_rows, n_cols = draw(st.integers(2, 8)), draw(st.integers(1, 4))
    price_elems = st.floats(1.0, 100.0, allow_nan=False)
    grid = st.lists(st.lists(price_elems, min_size=n_cols, max_size=n_cols), min_size=n_rows,
                    max_size=n_rows)
    price, close = np.array(draw(grid)), np.array(draw(grid))
    w = draw(st.lists(st.floats(-1.0, 1.0, allow_nan=False), min_size=n_cols, max_size=n_cols))
    first = draw(st.integers(0, n_rows - 2))          # the position date's row
    marked = draw(st.integers(first, n_rows - 2))     # the rebalance date's row
    return price, close, w, first, marked


@given(buy_and_hold())
def test_after_a_single_costless_rebalance_value_follows_the_prices(case):
    price, close, w, first, marked = case
    index = np.arange(len(price), dtype=np.int64) * 10
    inp = build(price, w, close=close, price_index=index, pos_index=[index[first]],
                resample=[index[marked] + 5])
    creturn = inp.run(stop_loss=INF)

    entry = marked + 1
    ratio = 1.0 / max(sum(abs(x) for x in w), 1.0)
    cash = 1.0 - sum(x * ratio for x in w)
    assert creturn[:entry].tolist() == [1.0] * entry
    for d in range(entry, len(price)):
        expected = cash + sum(x * ratio * close[d, i] / price[entry, i] for i, x in enumerate(w))
        assert creturn[d] == pytest.approx(expected, rel=1e-12, abs=1e-12)
        if creturn[d] <= 0.0:
            # A short that left nothing: the book is closed at that close (costless here), and
            # the equity stays there whatever the prices do after.
            assert (creturn[d:] == creturn[d]).all()
            break


# --- nothing moves before the first rebalance --------------------------------------------------------


@st.composite
def scheduled_run(draw):
    n_rows, n_cols = draw(st.integers(1, 8)), draw(st.integers(1, 3))
    price_elems = st.one_of(st.floats(0.5, 50.0), st.just(NAN))
    price = np.array(draw(st.lists(st.lists(price_elems, min_size=n_cols, max_size=n_cols),
                                   min_size=n_rows, max_size=n_rows)))
    index = np.array(sorted(draw(st.lists(st.integers(0, 40), min_size=n_rows,
                                          max_size=n_rows, unique=True))), dtype=np.int64)
    n_pos = draw(st.integers(1, 3))
    pos_index = sorted(draw(st.lists(st.integers(-5, 45), min_size=n_pos, max_size=n_pos)))
    w = draw(st.lists(st.lists(st.floats(-1.0, 1.0), min_size=n_cols, max_size=n_cols),
                      min_size=n_pos, max_size=n_pos))
    resample = sorted(draw(st.lists(st.integers(-5, 45), max_size=4)))
    opts = dict(fee_ratio=draw(st.floats(0, 0.01)), tax_ratio=draw(st.floats(0, 0.01)),
                stop_loss=draw(st.floats(0.01, 1.0)), touched_exit=draw(st.booleans()))
    return build(price, w, price_index=index, pos_index=pos_index, resample=resample), opts


def first_rebalance_row(inp):
    """The row of the first executed rebalance, worked out from the dates:
    the row after the first processed row that a rebalance date marks."""
    index = inp.price_index.tolist()
    marked = set()
    for date in inp.resample.tolist():
        marked.add(max([0] + [i for i, d in enumerate(index) if d <= date]))
    processed = [i for i in sorted(marked) if index[i] >= inp.pos_index[0]]
    return processed[0] + 1 if processed else len(index)


@given(scheduled_run())
def test_the_value_is_exactly_one_until_the_first_rebalance(case):
    inp, opts = case
    creturn = inp.run(**opts)
    start = first_rebalance_row(inp)
    assert creturn[:start].tolist() == [1.0] * min(start, len(creturn))
    assert all(int(t[1]) >= start for t in swaylen.trades)


# --- costs never help a long-only run ------------------------------------------------------------


@st.composite
def long_only_run(draw):
    n_rows, n_cols = draw(st.integers(2, 8)), draw(st.integers(1, 3))
    price_elems = st.one_of(st.floats(0.5, 50.0), st.just(NAN))
    grid = st.lists(st.lists(price_elems, min_size=n_cols, max_size=n_cols), min_size=n_rows,
                    max_size=n_rows)
    price, close = draw(grid), draw(grid)
    n_pos = draw(st.integers(1, 4))
    w = draw(st.lists(st.lists(st.floats(0.0, 1.0), min_size=n_cols, max_size=n_cols),
                      min_size=n_pos, max_size=n_pos))
    pos_index = sorted(draw(st.lists(st.integers(0, n_rows), min_size=n_pos, max_size=n_pos)))
    resample = sorted(draw(st.lists(st.integers(0, n_rows), max_size=n_rows)))
    fees = sorted(draw(st.lists(st.floats(0.0, 0.05), min_size=2, max_size=2)))
    opts = dict(tax_ratio=draw(st.floats(0.0, 0.01)), position_limit=draw(st.floats(0.1, 1.0)),
                stop_trading_next_period=draw(st.booleans()),
                retain_cost_when_rebalance=draw(st.booleans()))
    return build(price, w, close=close, pos_index=pos_index, resample=resample), fees, opts


@given(long_only_run())
def test_a_higher_fee_never_gives_a_higher_final_value(case):
    inp, (low_fee, high_fee), opts = case
    cheap = inp.run(fee_ratio=low_fee, **opts)[-1]
    dear = inp.run(fee_ratio=high_fee, **opts)[-1]
    assume(not math.isnan(cheap))
    assert dear <= cheap
