"""A backtest keeps what its statistics read; the excursion paths and the book come when read."""

from __future__ import annotations

import numpy as np
import pytest

import pelmora
from markets import make_market, make_weights
from pelmora.core import journal


@pytest.mark.parametrize("read_first", ["excursions", "positions"])
def test_paths_and_book_read_later_are_those_of_a_full_run(read_first):
    market = make_market(seed=4, n_days=60)
    weights = make_weights(market["close"].index, seed=5)
    result = pelmora.backtest(weights, market, stop_loss=0.05, excursion_window=7,
                              excursion_step=2)
    record = result.record
    assert record.kept_excursions is None and record.kept_positions is None
    stats = result.stats()
    full = journal.run(**result.inputs.arguments, **result.inputs.execution)
    getattr(result, read_first)  # one of them first, the other then
    assert np.array_equal(record.excursions, full["excursions"])
    for column, values in full["positions"].items():
        assert np.array_equal(record.positions[column], values)
    # The statistics read the summaries the lean run kept, the same as the paths' last blocks.
    assert np.array_equal(record.excursion_summary, full["excursions"][:, -6:])
    assert result.stats().equals(stats)


def test_a_result_survives_pickling_and_still_makes_its_lazy_outputs():
    # The record's way to run again is an object, not a closure: a result can be cached or sent
    # to another process, and reads its paths there as it would have here.
    import pickle

    market = pelmora.datasets.synthetic_market(n_stocks=8, n_days=150, seed=3)
    weights = pelmora.strategies.momentum_weights(market["close"], lookback=20, top_n=3)
    result = pelmora.backtest(weights, market, rebalance="ME")
    back = pickle.loads(pickle.dumps(result))
    assert back.record.kept_excursions is None
    assert back.stats().equals(result.stats()) and back.trades.equals(result.trades)
    assert back.excursions.equals(result.excursions)
    assert back.positions.equals(result.positions)
