"""The trials of a sweep's table and the daily returns it kept (``keep="returns"``), for the
statistics that judge its best row: :func:`pelmora.overfitting`, :func:`pelmora.reality_check`
and :func:`pelmora.false_discoveries`."""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["NO_RETURNS", "NO_SHARPE", "trial_returns", "window_lengths"]

NO_RETURNS = (
    'table has no daily returns: run the sweep with keep="returns" '
    '(pelmora.sweep(grid, weights, prices, keep="returns")); a table of read_sweep has none'
)

NO_SHARPE = 'table has no "sharpe" column: pass the table pelmora.sweep returns'


def trial_returns(table: Any, pandas: Any) -> tuple[Any, Any]:
    """The rows of ``table`` that ran without error (its trials) and their daily returns, a
    DataFrame of every price date with a column per trial, labelled by the table's index."""
    if not isinstance(table, pandas.DataFrame):
        raise TypeError(f"table must be a pandas DataFrame, got {type(table).__name__}")
    returns = table.attrs.get("returns")
    if not isinstance(returns, pandas.DataFrame):
        raise ValueError(NO_RETURNS)
    errors = table["error"] if "error" in table.columns else pandas.Series(None, index=table.index)
    trials = table[errors.isna().to_numpy()]
    missing = [label for label in trials.index if label not in returns.columns]
    if missing:
        raise ValueError(
            f"table rows {missing[:5]} have no column in table.attrs['returns']: keep the "
            "table's index as the sweep made it"
        )
    return trials, returns[list(trials.index)]


def window_lengths(trials: Any, dates: Any, pandas: Any) -> np.ndarray:
    """The number of daily returns in each trial's statistics window, from its ``start`` to its
    ``end`` on the kept returns' ``dates`` (0 for a trial that never started)."""
    starts = pandas.DatetimeIndex(trials["start"])
    ends = pandas.DatetimeIndex(trials["end"])
    lengths = dates.searchsorted(ends, side="right") - dates.searchsorted(starts, side="left")
    known = ~(np.asarray(starts.isna()) | np.asarray(ends.isna()))
    return np.where(known, np.maximum(lengths, 0), 0).astype(np.int64)
