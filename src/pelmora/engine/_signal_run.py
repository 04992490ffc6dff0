"""Signals run with their prices: the walk of :mod:`pelmora.signals` with the run's own exits.

A stop or a delisting closes a position that the signals still hold, and what follows depends on
it: the other positions take its share, a slot is free for another entry, and the stock may enter
again on a later entry signal. The weights cannot know this before the run, so the run and the
walk are brought to agree: run, read the exits the run made on its own (stops, delistings), walk
the signals again with those exits forced, and run again until the exits the run made are the ones
the walk was given.

Each round agrees with the previous one up to the first date where the two sets of exits differ,
and exits up to that date depend only on the weights before it, so that date moves forward every
round: the rounds end, in practice after one round per date where a stop changed what followed.
"""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.engine._vocabulary import REASONS, run_journal
from pelmora._optional import import_optional
from pelmora.inputs._prepare import prepare_inputs
from pelmora.inputs.signals import SignalPlan, plan_frame, plan_signals

if TYPE_CHECKING:  # pragma: no cover
    from pelmora.engine._vocabulary import RunRecord
    from pelmora.inputs._prepare import EngineInputs
    from pelmora.inputs.options import BacktestOptions

__all__ = ["run_signals"]

_REBALANCE = REASONS.index("rebalance")
_STOPS = {REASONS.index(r) for r in ("stop_loss", "take_profit", "trailing_stop")}

Exit = tuple[Any, int, bool]
"""A forced exit: (signal date, column of the stock in the plan, whether it bars later entries:
a delisting, or an account that stopped trading, against a stop that the next entry undoes)."""


def _run_exits(plan: SignalPlan, inputs: EngineInputs, record: RunRecord) -> set[Exit]:
    """The exits the run made on its own, dated as a signal would be that trades on the same
    day: the day before the fill, or the fill's own day for an intraday stop."""
    trades = record.trades
    reason = np.asarray(trades["exit_reason"], dtype=np.int64)
    rows = np.asarray(trades["exit_row"], dtype=np.int64)
    sid = np.asarray(trades["sid"], dtype=np.int64)
    own = (rows >= 0) & (reason != _REBALANCE)
    if not own.any():
        return set()
    dates = inputs.user_dates()
    columns = plan.stocks.get_indexer(np.asarray(inputs.stocks, dtype=object)[sid[own]])
    intraday = bool(inputs.options.intraday_stops)
    found = set()
    for row, column, why in zip(rows[own].tolist(), columns.tolist(), reason[own].tolist()):
        # A delisting (or an account closed for good) sells whatever the weights say: its exit
        # is dated on its own day, so the weights close the stock after the sale (a weight of 0
        # on the day before would sell it first, as a rebalance).
        for_good = why not in _STOPS
        signal_row = row if for_good or intraday else row - 1
        if column >= 0 and signal_row >= 0:
            found.add((_signal_date(dates[signal_row], plan.dates), column, for_good))
    return found


def _signal_date(date: Any, dates: Any) -> Any:
    """A price date as a label of the signals' index (their time zone, if any)."""
    tz = getattr(dates, "tz", None)
    stamp_tz = getattr(date, "tz", None)
    if tz is not None and stamp_tz is not None:
        return date.tz_convert(tz)
    if tz is None and stamp_tz is not None:
        return date.tz_localize(None)
    return date


def _forced_walk(plan: SignalPlan, exits: set[Exit]) -> tuple[SignalPlan, np.ndarray]:
    """The plan on its dates and the forced exits' dates, with the sides of its walk."""
    if not exits:
        return plan, plan.walk()
    dates = plan.dates.union(import_optional("pandas").Index(sorted({d for d, _, _ in exits})))
    at = dates.get_indexer(plan.dates)
    counted = np.zeros(len(dates), dtype=bool)
    counted[at] = True

    def spread(cells: np.ndarray | None, fill: Any) -> np.ndarray | None:
        if cells is None:
            return None
        out = np.full((len(dates), cells.shape[1]), fill, dtype=cells.dtype)
        out[at] = cells
        return out

    grid = SignalPlan(dates, plan.stocks, *(spread(c, False) for c in (  # type: ignore[misc]
        plan.long_in, plan.long_out, plan.short_in, plan.short_out)),
        spread(plan.rank, np.nan), plan.size, plan.max_positions, plan.hold)
    forced = np.zeros(grid.long_in.shape, dtype=bool)
    barred = np.zeros(grid.long_in.shape, dtype=bool)
    for date, column, permanent in exits:
        row = dates.get_loc(date)
        forced[row, column] = True
        # A stopped stock may enter again on a later row; a delisted one never.
        barred[row: len(dates) if permanent else row + 1, column] = True
    return grid, grid.walk(forced, barred, counted)


def run_signals(
    signals: dict[str, Any], prices: Any, options: BacktestOptions
) -> tuple[EngineInputs, RunRecord, list[warnings.WarningMessage]]:
    """Run the signals with the prices until the run's own exits are those the walk was given.

    Returns the last round's inputs and record, and the warnings its checks gave (the earlier
    rounds' are dropped: they were made on weights that are not the run's).
    """
    plan = plan_signals(**signals)
    # Stops depend on the path and are replaced from round to round; a delisting is a fact of
    # the data, kept once seen.
    stops: set[Exit] = set()
    gone: set[Exit] = set()
    rounds = 0
    while True:
        grid, sides = _forced_walk(plan, stops | gone)
        weights = plan_frame(grid, *grid.weights(sides))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            inputs = prepare_inputs(weights, prices, options=options)
            record = run_journal(inputs)
        made = _run_exits(plan, inputs, record)
        made_stops = {e for e in made if not e[2]}
        differ = (stops ^ made_stops) | {e for e in made if e[2]} - gone
        if not differ:
            return inputs, record, caught
        first = min(date for date, _, _ in differ)
        stops = {e for e in stops if e[0] < first} | {e for e in made_stops if e[0] >= first}
        gone |= {e for e in made if e[2]}
        # Every round moves the first disagreement at least one date on: the dates bound them.
        rounds += 1
        if rounds > len(inputs.user_dates()) + len(plan.dates) + 2:  # pragma: no cover
            raise RuntimeError("pelmora.backtest: the signals' exits did not settle")
