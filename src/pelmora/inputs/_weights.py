"""The target weights of a run as the engine reads them: float64, checked, row-major.

A weight is a finite number (NaN: not held); a boolean frame means equal weights among its True
cells; no row's sum of absolute weights may overflow. The common case is told by one native pass
(``_weights_scan``, or the same pass run beside the price checks), which also makes the engine's
row-major copy and marks the weighted columns; anything else is looked at closer here, naming the
stock and the date. pandas is imported on first call, not when this module is imported.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

from pelmora.inputs._dates import when
from pelmora._optional import import_optional
from pelmora.inputs._prices import float_matrix
from pelmora.core.journal import _weights_scan

__all__ = ["GROSS_SCALED", "ScannedWeights", "first_scaled_row", "weights_matrix"]

GROSS_SCALED = (
    "weights on {date} add up to a gross of {gross!r} (the sum of their absolute values), "
    "above max_gross={max_gross!r}: they are scaled down to it, as is every row above it; give "
    "a larger max_gross to hold them as they are"
)
"""The warning of a run whose rebalances scale weights down (named by the first such row)."""

_GROSS_SLACK = 1e-9
"""Relative excess of a gross over max_gross that is rounding, not a choice: equal weights of
1/3 may add up to 1.0000000000000002, which is scaled, but by nothing a user meant."""


def _pandas() -> Any:
    return import_optional("pandas", caller="pelmora.backtest")


@dataclass(frozen=True)
class ScannedWeights:
    """The weights as float64, and what the one native pass over them found.

    ``rows`` is the row-major copy the engine reads and ``held`` marks the columns with a weight
    from the first traded row on; both None when the weights took the slow path (their values
    were changed, or looked at closer), and then made from ``values`` when needed.
    """

    values: np.ndarray
    rows: np.ndarray | None = None
    held: np.ndarray | None = None


def weights_matrix(
    weights: Any,
    first_traded: int,
    given: np.ndarray | None = None,
    scan: tuple[bool, np.ndarray, np.ndarray | None] | None = None,
) -> ScannedWeights:
    """Target weights as float64; True cells of a boolean frame share each row equally.

    ``given`` are the frame's values when they were asked for already, and ``scan`` what the
    native pass over them found (see ``_weights_scan``), when it ran beside the prices'.
    """
    pd = _pandas()
    # The values' dtype answers for the common frames (float64, or bool throughout); the
    # columns' dtypes are read only when it does not.
    if given is None:
        given = weights.to_numpy(copy=False)
    if len(weights.columns) and (given.dtype == np.bool_ or given.dtype != np.float64 and all(
            pd.api.types.is_bool_dtype(dt) for dt in weights.dtypes)):
        mask = weights.to_numpy(dtype=np.float64, na_value=0.0)
        counts = mask.sum(axis=1, keepdims=True)
        with np.errstate(invalid="ignore", divide="ignore"):
            values: np.ndarray = np.where(counts > 0, mask / counts, 0.0)
        return ScannedWeights(values)
    values = given if given.dtype == np.float64 else float_matrix(weights, "weights")
    # The common case: every weight finite and small enough that no row's sum can overflow;
    # one native pass tells, and makes the engine's row-major copy and the weighted columns
    # on the way. Anything else is looked at below as before.
    if scan is None or values is not given:
        scan = _weights_scan(values, first_traded, not values.flags.c_contiguous)
    plain, held, rows = scan
    if plain:
        return ScannedWeights(values, values if rows is None else rows, held)
    with np.errstate(over="ignore", invalid="ignore"):
        # Finite row sums of absolute weights mean no infinity, no NaN and no overflow: the
        # common case needs none of the checks below, each a pass over the weights.
        if np.isfinite(np.abs(values).sum(axis=1)).all():
            return ScannedWeights(values)
    inf = np.isinf(values)
    if inf.any():
        row, col = (int(x[0]) for x in np.nonzero(inf))
        raise ValueError(
            f"weights must be finite: the weight of {weights.columns[col]!r} on "
            f"{when(weights.index[row])} is {float(values[row, col])!r}"
        )
    nan = np.isnan(values)
    if nan.any():
        empty = np.flatnonzero(nan.all(axis=1)) if values.shape[1] else np.empty(0, np.intp)
        if len(empty):
            # Most often a signal not yet defined (a rolling window's first rows, a weekend of a
            # calendar-day frame); as zeros it sells the whole book, which deserves a word.
            rows = f"{len(empty)} rows" if len(empty) > 1 else "1 row"
            warnings.warn(
                f"weights has {rows} where every weight is NaN, first on "
                f"{when(weights.index[empty[0]])}: treated as all zeros: the book is sold",
                UserWarning,
                stacklevel=4,
            )
        # A missing weight means "not held"; the engine would treat NaN as a position of its own.
        values = np.where(nan, 0.0, values)
    with np.errstate(over="ignore"):
        gross = np.abs(values).sum(axis=1)
    over = np.flatnonzero(~np.isfinite(gross))
    if len(over):
        row = int(over[0])
        col = int(np.argmax(np.abs(values[row])))
        raise ValueError(
            f"weights on {when(weights.index[row])} add up to {float(gross[row])!r}: the sum of "
            f"the row's absolute weights overflows (the weight of {weights.columns[col]!r} is "
            f"{float(values[row, col])!r}); weights must add up to a finite number"
        )
    return ScannedWeights(values)


def first_scaled_row(
    pos_rows: np.ndarray,
    pos_index: np.ndarray,
    price_index: np.ndarray,
    rebalance_rows: np.ndarray,
    max_gross: float,
) -> tuple[int, float] | None:
    """The first weight row a rebalance traded whose gross is above ``max_gross`` (by more than
    rounding), and its gross; None when there is none.

    ``pos_rows`` are the engine's row-major weights; a rebalance executed on price row ``r``
    traded the latest weight row dated before it. Only the rows the rebalances traded are read:
    every row for a daily rebalance, a few for a monthly one.
    """
    if not len(rebalance_rows) or not len(pos_index):
        return None
    traded = np.unique(np.searchsorted(pos_index, price_index[rebalance_rows], side="left") - 1)
    traded = traded[traded >= 0]
    if not len(traded):
        return None
    limit = max_gross * (1.0 + _GROSS_SLACK)
    # In blocks of rows that stay in the cache, the absolute values in one reused buffer; a row
    # is summed as the engine sums it (NumPy's pairwise sum of the row).
    step = max(1, (1 << 16) // max(pos_rows.shape[1], 1))
    buffer = np.empty((min(step, len(traded)), pos_rows.shape[1]))
    for at in range(0, len(traded), step):
        rows = traded[at:at + step]
        block = buffer[:len(rows)]
        if rows[-1] - rows[0] + 1 == len(rows):  # a run of rows (a daily rebalance): a slice
            np.abs(pos_rows[rows[0]:rows[-1] + 1], out=block)
        else:
            np.abs(np.take(pos_rows, rows, axis=0, out=block, mode="clip"), out=block)
        gross = block.sum(axis=1)
        over = np.flatnonzero(gross > limit)
        if len(over):
            return int(rows[over[0]]), float(gross[over[0]])
    return None
