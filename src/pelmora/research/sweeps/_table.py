"""The sweep's table: one row per combination, its grid values, statistics and error.

The statistic columns are those of :meth:`pelmora.result.BacktestResult.stats`
(:data:`pelmora.stats.STAT_NAMES`), taken from there once: the table of a sweep, the parts of a
store and the table read back from a store all have these columns, in this order.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from pelmora.engine._vocabulary import RunRecord
from pelmora.statistics.performance import STAT_NAMES
from pelmora.research.sweeps._chunk import _own_inputs

if TYPE_CHECKING:  # pragma: no cover
    from pelmora.inputs._prepare import EngineInputs
    from pelmora.inputs.options import BacktestOptions

__all__ = [
    "DATE_COLUMNS", "STAT_COLUMNS", "Outcome", "_none_stays_none", "_stat_record", "sweep_table",
]

STAT_COLUMNS: tuple[str, ...] = tuple(STAT_NAMES)
"""The statistic columns of every sweep table, in their order."""

DATE_COLUMNS = ("start", "end", "max_drawdown_start", "max_drawdown_end")
"""The statistic columns that hold dates (NaT where a run has none)."""


@dataclasses.dataclass
class Outcome:
    """What the table shows of one combination: a run of this call, or a stored row."""

    error: str | None
    stats: Mapping[str, Any]  # a stored row: every column of the store, statistics among them
    # What the run kept: None, its equity curve, its returns or the journal's output; a stored
    # row's returns are a Series on their dates.
    kept: Any = None
    inputs: EngineInputs | None = None  # the shared arrays it ran on (None: a stored row)
    options: BacktestOptions | None = None


def _stat_record(pd: Any, stats: Mapping[str, Any], error: str | None) -> dict[str, Any]:
    """The statistics and error of a table row: NaN where missing, dates as Timestamps."""
    record = {}
    for n in STAT_COLUMNS:
        value = stats.get(n)
        if n in DATE_COLUMNS:
            value = pd.NaT if value is None or pd.isna(value) else pd.Timestamp(value)
        elif value is None:
            value = math.nan
        record[n] = value
    record["error"] = error
    return record


def _none_stays_none(
    pd: Any, table: Any, records: Sequence[Mapping[str, Any]], names: list[str]
) -> None:
    for name in names:
        values = [r[name] for r in records]
        if any(v is None for v in values):
            # None means "off": a float column would turn it into NaN, which no option takes.
            table[name] = pd.Series(values, dtype=object, index=table.index)


def sweep_table(
    pd: Any, combos: list[dict[str, Any]], outcomes: list[Outcome], keep: str
) -> Any:
    """The table :func:`pelmora.sweep` returns, one row per combination in the grid's order."""
    from pelmora.results.result import BacktestResult

    rows = []
    for combo, outcome in zip(combos, outcomes):
        record = {**combo, **_stat_record(pd, outcome.stats, outcome.error)}
        kept = outcome.kept
        if keep == "equity":
            record["equity"] = None
            if kept is not None:
                record["equity"] = pd.Series(kept, index=outcome.inputs.user_dates(), name="equity")
        elif keep == "full":
            record["result"] = None
            if kept is not None:
                own = _own_inputs(outcome.inputs, outcome.options)
                record["result"] = BacktestResult(own, RunRecord.from_journal(kept))
        rows.append(record)
    columns = list(combos[0]) + list(STAT_COLUMNS) + ["error"]
    if keep == "equity":
        columns.append("equity")
    elif keep == "full":
        columns.append("result")
    table = pd.DataFrame(rows, columns=columns)
    _none_stays_none(pd, table, combos, list(combos[0]))
    if keep == "returns":
        table.attrs["returns"] = _returns_frame(pd, outcomes, table.index)
    return table


def _returns_frame(pd: Any, outcomes: list[Outcome], labels: Any) -> Any:
    """Every combination's daily returns: dates down, a column per row of the table."""
    kept = {}
    for label, outcome in zip(labels, outcomes):
        if outcome.error is not None or outcome.kept is None:
            continue
        if isinstance(outcome.kept, pd.Series):  # from the store
            kept[label] = outcome.kept
        else:
            kept[label] = pd.Series(outcome.kept, index=outcome.inputs.user_dates())
    if kept:
        frame = pd.concat(kept, axis=1)
    else:
        frame = pd.DataFrame(index=pd.DatetimeIndex([]), dtype="float64")
    # A failed run has no returns: a column of NaN keeps the columns those of the table.
    frame = frame.reindex(columns=labels).astype("float64")
    frame.index.name, frame.columns.name = "date", None
    # pandas deep-copies a table's attrs on every operation and compares them when it joins
    # tables: a frame of thousands of columns would be copied at every sort or selection, and
    # comparing two copies raises. Every table made from this one shares the one frame instead.
    object.__setattr__(frame, "__deepcopy__", lambda memo: frame)
    return frame
