"""Excursion arrays walked ahead of the exits on a helper thread: a run gives the same trades,
arrays and failures as one that computes each array at its exit."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora.core._testsupport as ts
import pelmora.core.swaylen as sw
from excursion_oracle import compute_excursion
from run_helpers import build, trade_lists

NAN = float("nan")


@pytest.fixture(autouse=True)
def no_lookahead_knob():
    yield
    vars(sw).pop("_lookahead_rows", None)
    vars(sw).pop("_lookahead_settle", None)


def outcome(inputs, options, ahead):
    if ahead:
        sw._lookahead_rows = 0
    else:
        vars(sw).pop("_lookahead_rows", None)
    try:
        equity = inputs.run(**options)
    except Exception as exc:  # noqa: BLE001 - the failures are compared
        return type(exc), str(exc)
    trades, positions, arrays = trade_lists()
    bits = [np.where(np.isnan(a), NAN, a).tobytes() for a in arrays]
    return equity.tobytes(), trades, [float(p) for p in positions], bits


@st.composite
def markets(draw):
    rows, cols = draw(st.integers(30, 600)), draw(st.integers(1, 5))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    close = 10 * np.exp(np.cumsum(rng.normal(0.0, 0.02, (rows, cols)), axis=0))
    price = close * np.exp(rng.normal(0.0, 0.005, (rows, cols)))
    # Missing closes, and now and then a zero close inside a held stretch: the walk of a trade
    # over it fails, where the array's walk would fail too, or never reaches it.
    close[rng.random((rows, cols)) < draw(st.sampled_from([0.0, 0.02]))] = NAN
    for _ in range(draw(st.integers(0, 2))):
        close[rng.integers(rows), rng.integers(cols)] = 0.0
    every = draw(st.integers(5, 120))
    pos_index = np.arange(0, rows, every)
    weights = rng.choice([0.0, 0.2, 0.5, -0.3], size=(len(pos_index), cols))
    inputs = build(price, weights, close=close, pos_index=pos_index)
    options = dict(
        swaylen_window=draw(st.integers(1, 30)), swaylen_window_step=draw(st.integers(1, 4)),
        stop_loss=draw(st.sampled_from([1.0, 0.05])), take_profit=draw(st.sampled_from([np.inf, 0.1])),
        fee_ratio=0.001, tax_ratio=0.003,
    )
    return inputs, options


@settings(max_examples=60)
@given(markets())
def test_walking_ahead_changes_no_output_and_no_failure(market):
    inputs, options = market
    assert outcome(inputs, options, True) == outcome(inputs, options, False)


def test_a_long_run_walked_ahead_matches_and_the_next_run_starts_clean():
    rng = np.random.default_rng(5)
    rows = 20_000
    close = 10 * np.exp(np.cumsum(rng.normal(0.0, 0.002, (rows, 4)), axis=0))
    inputs = build(close, np.full((rows // 700 + 1, 4), 0.25), pos_index=np.arange(0, rows, 700))
    options = dict(swaylen_window=20)
    ahead = outcome(inputs, options, True)
    assert ahead == outcome(inputs, options, False)
    assert len(ahead[1]) >= 4 * (rows // 700)
    # A run that fails midway leaves walks open; the next run drops them.
    broken = inputs.with_(close_values=np.where(np.arange(rows)[:, None] == 9_000, 0.0, close))
    assert outcome(broken, options, True) == outcome(broken, options, False)
    assert outcome(inputs, options, True) == ahead


@pytest.mark.parametrize("zero_at", [None, 300])
def test_a_walk_taken_past_the_exit_is_dropped_with_what_it_met_there(zero_at):
    # The run declares rows up to 399 and then exits at 200: the walk ahead went past the exit
    # (and, with a zero close at row 300, failed on row 301, which the array never reads).
    close = 10 * np.exp(np.linspace(0.0, 0.1, 400))[:, None]
    if zero_at is not None:
        close[zero_at, 0] = 0.0
    price = close * 1.001
    sw._lookahead_rows = 0
    sw._lookahead_settle = True  # a date waits until the helper has walked the rows before it
    ts.start_analysis(price, close, {0: 0}, 1, 0.001, 0.003, 10, 1)
    ts.record_date(5)
    ts.record_entry(0, 1.0, 1)
    ts.record_date(399)
    ts.record_date(200)  # only once the walk has reached 399 (or failed on row 301)
    ts.record_exit(0, 1)
    want = compute_excursion(price, close, 0, 5, 200, True, True, True, 0.001, 0.003, 10, 1)
    assert np.asarray(sw.swaylen[0]).tobytes() == np.asarray(want).tobytes()
    ts.end_analysis({})
