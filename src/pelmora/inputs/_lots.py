"""Lots per stock: the rule a run and an order ticket share on the stocks a table covers."""

from __future__ import annotations

from typing import Any

__all__ = ["MISSING_LOTS", "check_lots_cover"]

MISSING_LOTS = (
    "lot_size has no lot for {stocks} of weights: give every stock a lot (NaN: no lots for it)"
)
"""The refusal of per-stock lots that leave out a stock of the weights (a run's or a ticket's)."""


def check_lots_cover(named: Any, stocks: Any) -> None:
    """Refuse per-stock lots naming the stocks ``named`` when one of ``stocks`` (the weights'
    columns) is not among them.

    A table of lots for a whole universe names stocks the weights do not hold: those are fine.
    A stock of the weights left out is refused rather than traded without lots, so that a
    misspelt id cannot pass unnoticed while the run (or the ticket) looks lot-exact.
    """
    missing = [str(s) for s in stocks[~stocks.isin(named)]]
    if missing:
        more = f" and {len(missing) - 20} more" if len(missing) > 20 else ""
        raise ValueError(MISSING_LOTS.format(stocks=", ".join(missing[:20]) + more))
