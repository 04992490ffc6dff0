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
