"""The orders of a run capped by volume: those still open after each day, and how much of what
the orders asked for was filled.

With ``max_participation`` an order (a rebalance's, a stop's or a delisting's, for one stock) may
fill over several days. The journal records every fill, with the shares it moved (``shares``) and
those its order still asked for (``requested``), and the orders open after each row
(``pending``). This module labels the latter (:func:`pending_table`) and tells, from both, the
share of the ordered shares that were filled (:func:`fill_rate`). pandas is imported on first
call.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.engine._vocabulary import REASONS, RunRecord
from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.inputs._prepare import EngineInputs
    from pelmora.results.result import BacktestResult

__all__ = ["fill_rate", "pending_orders", "pending_table"]


def pending_table(inputs: EngineInputs, record: RunRecord) -> Any:
    """The orders still open after each trading day (see :attr:`BacktestResult.pending`)."""
    pd = import_optional("pandas", caller="pelmora.BacktestResult")
    p = record.pending
    rows = np.asarray(p["row"], dtype=np.int64)
    index = inputs.arguments["price_index"]
    return pd.DataFrame({
        "date": inputs.dates_of(index[rows]),
        "stock": np.asarray(inputs.stocks, dtype=object)[np.asarray(p["sid"], dtype=np.intp)],
        "shares": np.asarray(p["shares"], dtype=np.float64),
        "reason": pd.Categorical.from_codes(
            np.asarray(p["reason"], dtype=np.int64), categories=list(REASONS)
        ),
    })


def _find(sorted_keys: np.ndarray, keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Where each of ``keys`` is in ``sorted_keys`` (a valid index), and whether it is there."""
    if len(sorted_keys) == 0:
        return np.zeros(len(keys), dtype=np.intp), np.zeros(len(keys), dtype=bool)
    pos = np.minimum(np.searchsorted(sorted_keys, keys), len(sorted_keys) - 1)
    return pos, sorted_keys[pos] == keys


def pending_orders(result: BacktestResult) -> pd.DataFrame:
    """The orders still open after each trading day, one row per day and stock.

    Only a run with ``max_participation`` leaves orders open: what a fill could not take of a
    day's volume waits, in shares, and fills on the next days under the same cap until it is
    done, replaced by the next rebalance (every open order is), or its stock is delisted (the
    rest is written off: :attr:`fills` ``written_off``). Empty otherwise.

    Columns
    -------
    date
        The trading day after which the order is open.
    stock
        Stock id.
    shares
        The shares still to trade (signed: positive to buy, negative to sell).
    reason
        What placed the order: "rebalance", "stop_loss", "take_profit", "trailing_stop" or
        "delisting".
    """
    return pending_table(result.inputs, result.record)


def fill_rate(record: RunRecord) -> float:
    """The shares the orders filled over the shares they asked for, over the whole run.

    Each order (a rebalance's, a stop's or a delisting's, for one stock) counts the shares it
    asked for when it was placed (the ``requested`` of its first fill, in absolute value; of its
    first open row when that day filled nothing) and the shares its fills moved until it was
    filled, replaced by the next rebalance, written off at a delisting or left open at the end.
    A fill carries on an order when the stock's order of the same reason was open after the day
    before and that day is not a rebalance day (a rebalance replaces every open order); any
    other fill places one. Shares written off are not filled. Lots count too: an order rounded
    down to whole lots fills less than it asked. 1.0 when every order filled in full; NaN
    without shares (no capital) or without orders.
    """
    if record.figures is not None:
        return float(record.figures["fill_rate"])
    f = record.fills
    requested = np.asarray(f["requested"], dtype=np.float64)
    # Without a capital every fill's request is NaN: the first one tells, without a pass.
    if (len(requested) and math.isnan(requested[0])) or np.isnan(requested).any():
        return float("nan")
    # A write-off is the unsold rest of a delisting's order: neither filled nor an order.
    traded = np.asarray(f["written_off"], dtype=np.float64) == 0.0
    filled = float(np.abs(np.asarray(f["shares"], dtype=np.float64)[traded]).sum())
    if len(record.pending["row"]) == 0:
        # No order was ever left open: each fill is an order of its own.
        asked = float(np.abs(requested[traded]).sum())
        return filled / asked if asked else float("nan")
    p = record.pending
    rows = np.asarray(f["row"], dtype=np.int64)[traded]
    sids = np.asarray(f["sid"], dtype=np.int64)[traded]
    reasons = np.asarray(f["reason"], dtype=np.int64)[traded]
    p_rows = np.asarray(p["row"], dtype=np.int64)
    p_sids = np.asarray(p["sid"], dtype=np.int64)
    p_reasons = np.asarray(p["reason"], dtype=np.int64)
    rebalanced = np.zeros(len(record.creturn) + 1, dtype=bool)
    rebalanced[np.asarray(record.rebalance_rows, dtype=np.int64)] = True
    # Every (row, stock) as one number, the open orders sorted by it.
    width = int(max(sids.max(initial=0), p_sids.max(initial=0))) + 1
    p_keys = p_rows * width + p_sids
    order = np.argsort(p_keys, kind="stable")
    sorted_keys, sorted_reasons = p_keys[order], p_reasons[order]

    def carried(at_rows: np.ndarray, at_sids: np.ndarray) -> np.ndarray:
        """The reason of the stock's order open after the day before (-1: none, or a
        rebalance day, which replaces every open order)."""
        pos, found = _find(sorted_keys, (at_rows - 1) * width + at_sids)
        return np.where(found & ~rebalanced[at_rows], sorted_reasons[pos], -1)

    # Before each fill, the stock's order is the one its previous fill of the day left (a stop
    # placed and carried on in one day), else the one open after the day before.
    before = carried(rows, sids)
    keys = rows * width + sids
    by_key = np.argsort(keys, kind="stable")
    again = keys[by_key][1:] == keys[by_key][:-1]
    before[by_key[1:][again]] = reasons[by_key[:-1][again]]
    asked = float(np.abs(requested[traded][before != reasons]).sum())
    # An order placed on a day that filled nothing of it counts from its first open row.
    placed = ~_find(keys[by_key], p_keys)[1] & (carried(p_rows, p_sids) != p_reasons)
    asked += float(np.abs(np.asarray(p["shares"], dtype=np.float64)[placed]).sum())
    return filled / asked if asked else float("nan")
