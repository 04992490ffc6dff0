"""The example strategy: momentum weights by hand."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from pelmora.strategies import momentum_weights


def test_momentum_holds_the_top_n_trailing_returns():
    dates = pd.bdate_range("2024-01-01", periods=6)
    close = pd.DataFrame(
        {
            "A": [10, 11, 12, 13, 14, 15],
            "B": [10, 10, 10, 10, 10, 30],
            "C": [10, 9, 8, 7, 6, 5],
            "D": [10, 12, np.nan, 20, 25, 30],
        },
        index=dates, dtype=float,
    )
    w = momentum_weights(close, lookback=2, top_n=2)
    assert not w.iloc[:2].any().any()  # no trailing return yet
    assert w.loc[dates[2]].tolist() == [True, True, False, False]  # D has no price on the day
    assert w.loc[dates[3]].tolist() == [True, False, False, True]  # D: 20 / 12 - 1
    assert w.loc[dates[4]].tolist() == [True, True, False, False]  # D had no price 2 rows back
    assert w.loc[dates[5]].tolist() == [False, True, False, True]
    positive = momentum_weights(close, lookback=2, top_n=3, min_return=0.0)
    assert not positive["C"].any()


def test_momentum_rejects_empty_selections():
    with pytest.raises(ValueError, match="at least 1"):
        momentum_weights(pd.DataFrame({"A": [1.0]}), lookback=0)
