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

from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._engine import REASONS, RunRecord
from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.inputs import EngineInputs
    from pelmora.result import BacktestResult

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
    f = record.fills
    requested = np.asarray(f["requested"], dtype=np.float64)
    if np.isnan(requested).any():
        return float("nan")
    # A write-off is the unsold rest of a delisting's order: neither filled nor an order.
    traded = np.asarray(f["written_off"], dtype=np.float64) == 0.0
    filled = float(np.abs(np.asarray(f["shares"], dtype=np.float64)[traded]).sum())
    if len(record.pending["row"]) == 0:
        # No order was ever left open: each fill is an order of its own.
        asked = float(np.abs(requested[traded]).sum())
        return filled / asked if asked else float("nan")
    p = record.pending
    # The orders open after each row, by row: {sid: reason}, and what they asked for.
    open_after: dict[int, dict[int, tuple[int, float]]] = {}
    for r, s, q, c in zip(p["row"].tolist(), p["sid"].tolist(), p["shares"].tolist(),
                          p["reason"].tolist()):
        open_after.setdefault(int(r), {})[int(s)] = (int(c), float(q))
    by_row: dict[int, list[int]] = {}
    for k in np.flatnonzero(traded).tolist():
        by_row.setdefault(int(f["row"][k]), []).append(k)
    rebalanced = set(np.asarray(record.rebalance_rows, dtype=np.int64).tolist())
    asked = 0.0
    for r in sorted(set(by_row) | set(open_after)):
        before = {} if r in rebalanced else {
            s: c for s, (c, _) in open_after.get(r - 1, {}).items()
        }
        reasons = dict(before)
        moved = set()
        for k in by_row.get(r, ()):
            s, c = int(f["sid"][k]), int(f["reason"][k])
            if reasons.get(s) != c:
                asked += abs(float(requested[k]))  # placed by this fill
            reasons[s] = c
            moved.add(s)
        for s, (c, q) in open_after.get(r, {}).items():
            if s not in moved and before.get(s) != c:
                asked += abs(q)  # placed this day, nothing filled
    return filled / asked if asked else float("nan")
