"""The unit of a sweep's work: variants of one set of engine arrays, run by one call.

Every backend runs chunks through :func:`_run_chunk`, in this process, in a process-pool worker or
on a Dask worker, so that every backend gives the same rows. Workers find it by its module path:
it has to stay a module-level function of this module.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.engine._vocabulary import ARRAY_NAMES, RunRecord, check_equity, engine_options

if TYPE_CHECKING:  # pragma: no cover
    from pelmora.inputs._prepare import EngineInputs
    from pelmora.inputs.options import BacktestOptions

__all__ = ["Chunk", "Row", "_own_inputs", "_run_chunk", "daily_returns"]

Chunk = tuple[int, list[int], list["BacktestOptions"]]
"""A backend's unit of work, as the plan cuts it: (group index, combinations, their options)."""

Row = tuple[str | None, dict[str, Any], Any]
"""What a run gives a sweep: (error or None, statistics, kept output)."""


def _run_chunk(
    inputs: EngineInputs, options: list[BacktestOptions], keep: str, threads: int | None
) -> list[Row]:
    """Run variants of one set of arrays: (error, statistics, kept output) per variant.

    The kept output is None, the equity curve (keep="equity"), the daily returns
    (keep="returns") or the journal's output dict (keep="full"); the caller turns it into what it
    keeps, with the inputs it holds itself.
    """
    from pelmora.core import journal

    args = inputs.arguments
    arrays = {name: args[name] for name in ARRAY_NAMES if args.get(name) is not None}
    n_rows = len(args["price_index"])
    owns = [_own_inputs(inputs, o) for o in options]
    # A variant carries the scalar options and the execution keywords (lots per column, rates,
    # ...) of its own combination: a grid may vary any of them over the shared arrays.
    variants = [
        {**engine_options(o, n_rows), **own.execution} for o, own in zip(options, owns)
    ]

    def run(first: int, stop: int, figures: bool) -> list[Any]:
        # Only a kept run keeps its paths and its book. prepare_inputs has refused a zero
        # close.
        return journal.run_many(
            arrays, variants[first:stop], threads=threads, positions=keep == "full",
            excursions=True if keep == "full" else "summary", closes_checked=True,
            figures=figures,
        )

    if keep == "full":
        return [_row(own, out, keep) for own, out in zip(owns, run(0, len(variants), False))]
    # A variant whose fills and trades are not kept hands over what the statistics read of
    # them, and is reduced to its row as soon as it is run. Its columns still live while it
    # runs, and the variants of one call run together: a call holds as many as a quarter of
    # the shared arrays makes room for, so that a sweep never holds the columns of a whole
    # chunk (they can weigh more than the prices). The first variant runs alone, with its
    # columns, and tells what one weighs.
    rows: list[Row] = []
    step, first = 1, 0
    budget = sum(a.nbytes for a in arrays.values() if isinstance(a, np.ndarray)) // 4
    while first < len(variants):
        outputs = run(first, stop := min(first + step, len(variants)), first > 0)
        if first == 0:
            step = max(threads or 1, budget // max(_weight(outputs[0]), 1))
        for own in owns[first:stop]:
            rows.append(_row(own, outputs.pop(0), keep))
        first = stop
    return rows


def _row(own: EngineInputs, out: Any, keep: str) -> Row:
    """What a sweep keeps of one variant's run."""
    from pelmora.results.result import BacktestResult

    if isinstance(out, BaseException):
        return (f"{type(out).__name__}: {out}", {}, None)
    try:
        # An equity that left the finite range has no usable figure: an error row, as
        # backtest() raises for it.
        check_equity(out["creturn"], own)
        stats = dict(BacktestResult(own, RunRecord.from_journal(out)).stats())
    except Exception as exc:  # a failure of the statistics is the combination's failure
        return (f"{type(exc).__name__}: {exc}", {}, None)
    kept = (
        out["creturn"] if keep == "equity" else daily_returns(out["creturn"])
        if keep == "returns" else out if keep == "full" else None
    )
    return (None, stats, kept)


def _weight(output: Any) -> int:
    """The bytes of the arrays of one variant's output (0 for a failure)."""
    if isinstance(output, np.ndarray):
        return output.nbytes
    if isinstance(output, dict):
        return sum(_weight(value) for value in output.values())
    return 0


def daily_returns(equity: Any) -> np.ndarray:
    """The returns of an equity curve over every price date, the first from the initial 1.0.

    The arithmetic of :attr:`BacktestResult.returns`, so a sweep keeps the same numbers to the bit.
    """
    values = np.asarray(equity, dtype=np.float64)
    prev = np.concatenate(([1.0], values[:-1]))
    return values / prev - 1.0


def _own_inputs(inputs: EngineInputs, opts: BacktestOptions) -> EngineInputs:
    """The inputs of one combination: the shared arrays with its own options."""
    return inputs.with_options(opts)
