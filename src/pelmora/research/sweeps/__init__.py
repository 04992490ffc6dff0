"""Many backtests: :func:`sweep` runs every combination of a grid of options.

The inputs are checked and converted once per set of arrays (the data, the weights and the options
that change arrays: rebalance schedule, calendar, delistings, trading price, intraday stops); the
combinations that share them run as variants of one :func:`pelmora.core.journal.run_many` call, on
native threads, the arrays shared and never copied. The same chunk function runs in this process
("threads"), in a process pool ("processes") or on Dask workers ("dask"), so every backend gives
the same table. A combination that fails while it runs becomes a row with its error; with a
``store`` every finished chunk is written at once, and a later call with the same grid, inputs and
store runs only what is missing: every stored row carries its combination's key and the
fingerprint of the inputs it was run on, and is served only to a call with both the same.

A sweep is a pipeline whose stages hand their data down and never call back up: ``_plan`` (the
grid's combinations, checked, keyed and grouped by the arrays they share, cut into chunks) ->
``_backends`` (the chunks run through ``_chunk``'s one function; each finished chunk handed to an
``arrived`` callback) -> ``_store`` (the Parquet parts, :func:`read_sweep`; fingerprints from
``_fingerprint``) -> ``_table`` (the table, its statistic columns). :func:`sweep` joins them.
"""

from __future__ import annotations

import math
import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal

from pelmora._optional import import_optional
from pelmora.inputs.frames import as_pandas_inputs
from pelmora.inputs.options import BacktestOptions, make_options
from pelmora.research.sweeps._backends import BACKENDS, run_chunks
from pelmora.research.sweeps._progress import TextProgress
from pelmora.research.sweeps._chunk import Row
from pelmora.research.sweeps._plan import WEIGHTS_COLUMN, _cpus, _make_plan
from pelmora.research.sweeps._store import (
    FINGERPRINT_COLUMN, _returns_name, _Store, _stored_record, read_sweep,
)
from pelmora.research.sweeps._table import Outcome, sweep_table

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.inputs._prepare import PriceInput

__all__ = ["FINGERPRINT_COLUMN", "KEEP", "WEIGHTS_COLUMN", "read_sweep", "sweep"]

KEEP = ("stats", "equity", "returns", "full")
"""What a sweep keeps of each run: its statistics, also its equity curve, also its daily returns
(a frame of every combination's, for :func:`pelmora.overfitting`), or the whole result."""


def sweep(
    grid: Mapping[str, Sequence[Any]],
    weights: pd.DataFrame | Mapping[str, pd.DataFrame],
    prices: PriceInput,
    *,
    backend: Literal["threads", "processes", "dask"] = "threads",
    keep: Literal["stats", "equity", "returns", "full"] = "stats",
    store: str | os.PathLike[str] | None = None,
    client: Any = None,
    progress: bool = True,
    max_workers: int | None = None,
    chunk_size: int | None = None,
    options: BacktestOptions | None = None,
    **fixed: Any,
) -> pd.DataFrame:
    """Run :func:`pelmora.backtest` for every combination of a parameter grid.

    Parameters
    ----------
    grid : mapping of str to list
        Backtest options and the values to try, for example
        ``{"stop_loss": [0.05, 0.1], "rebalance": ["ME", "QE"]}``; the cartesian product is run.
        A value the options refuse raises before anything runs, naming the combination.
    weights : pandas.DataFrame or mapping of str to pandas.DataFrame
        As for :func:`pelmora.backtest`; a mapping of names to weight frames (strategy variants)
        becomes the first grid dimension, the column "weights".
    prices
        As for :func:`pelmora.backtest`, shared by every run.
    backend : {"threads", "processes", "dask"}, default "threads"
        "threads": in this process, on native threads (the runs release the interpreter lock), the
        inputs converted once and shared. "processes": a local process pool, the converted inputs
        sent to each worker once. "dask": chunks of combinations on a Dask cluster, ``client`` if
        given, else a LocalCluster started for this sweep (one worker process with a thread per
        CPU) and closed after; a chunk whose worker dies is run again by Dask, and chunks the
        cluster loses otherwise (a worker killed during the scatter, the inputs lost with the
        last worker holding them) are submitted again, at most four times each, then become
        rows with an error: no Dask exception leaves the sweep.
    keep : {"stats", "equity", "returns", "full"}, default "stats"
        What is kept of each run besides its statistics: nothing, also its equity curve (column
        "equity", a Series), also its daily returns (``table.attrs["returns"]``, below; what
        :func:`pelmora.overfitting` reads), or the whole :class:`BacktestResult` (column
        "result"). Memory is bounded by what is kept: the runs of a chunk are dropped once their
        rows are made.
    store : path, optional
        A folder (for example "sweep.parquet") where every finished chunk's rows are written as
        they arrive (needs pyarrow). A later call with the same store runs only the combinations
        missing from it, after an interruption, a killed process or a lost worker; their rows
        come back from the store (statistics, and the daily returns with keep="returns": no
        equity or result; a stored row without its returns, from a sweep that kept none, runs
        again). A row is served only
        to a call with the same inputs: the same weights, prices, options outside the grid and
        package version and build (their fingerprint, see :func:`read_sweep`; the build is
        :data:`pelmora.core.journal.BUILD_ID`); rows of other inputs stay in the store. A part
        file that cannot be read warns, naming it, is renamed "_unreadable-...", and its rows
        run again; a ``part-*.parquet`` the store did not write warns, naming it, and is left
        out (and where it is).
    client : distributed.Client, optional
        Client for the "dask" backend.
    progress : bool, default True
        Show a tqdm progress bar with the runs done, failed and the rate.
    max_workers : int, optional
        Threads or processes (default: the CPUs this process may use). Ignored with a client.
    chunk_size : int, optional
        Combinations per chunk (default: enough chunks to keep every worker busy, at most 64).
    options : BacktestOptions, optional
        Options shared by every run; ``**fixed`` keywords replace its fields.
    **fixed
        Backtest options shared by every run (for example ``fee=0.0``).

    Returns
    -------
    pandas.DataFrame
        One row per combination, in grid order: the grid's options, the columns of
        :meth:`BacktestResult.stats`, "error" (None, or the type and message of the exception a
        failed run raised; its statistics are NaN), and "equity" or "result" when kept.
        ``table.attrs["sweep"]`` counts the runs: ``{"ran": ..., "failed": ..., "stored": ...}``.
        With keep="returns", ``table.attrs["returns"]`` is a DataFrame of every combination's
        daily returns, dates down (every price date, as :attr:`BacktestResult.returns`: 0 before
        the first fill, the first day measured from the initial 1.0) and a column per
        combination, labelled by its row of the table (the table's index; NaN for a failed
        run). The shared grid is every price date rather than each run's statistics window,
        which starts at its own first fill. The tables made from this one (a selection, a sort,
        ``pd.concat`` of its parts) share this frame rather than copy it: ``.copy()`` it before
        changing it in place.

    Raises
    ------
    TypeError
        A grid or fixed option that :func:`backtest` does not have.
    ValueError
        An empty grid or grid value, a refused option value, an unknown backend or keep.
    ImportError
        When the backend's packages (extra ``sweep``) or pyarrow (for ``store``) are missing.
    """
    pd = import_optional("pandas", caller="pelmora.sweep")
    if backend not in BACKENDS:
        raise ValueError(f'backend must be "threads", "processes" or "dask", got {backend!r}')
    if keep not in KEEP:
        raise ValueError(f'keep must be "stats", "equity", "returns" or "full", got {keep!r}')
    for name in fixed:
        if name in grid:
            raise TypeError(f"option {name!r} is both in the grid and fixed")
    base = make_options(options, fixed, "sweep")
    weights, prices = as_pandas_inputs(weights, prices, index=base.index)  # polars, pyarrow
    for label, value in (("max_workers", max_workers), ("chunk_size", chunk_size)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
            raise ValueError(f"{label} must be a positive integer, got {value!r}")
    box = _Store(store) if store is not None else None
    stored = box.read() if box is not None else None
    stored_returns: dict[tuple[str, str], Any] = {}
    if keep == "returns" and stored:
        stored_returns = box.read_returns()  # type: ignore[union-attr]
        # A finished row without its returns (stored by a sweep that kept none) runs again.
        stored = {ident: row for ident, row in stored.items()
                  if row.get("error") is not None or ident in stored_returns}
    plan = _make_plan(grid, weights, prices, base, stored)
    todo = sum(len(g.members) for g in plan.groups)
    workers = max_workers or _cpus()
    size = chunk_size or max(1, min(64, math.ceil(todo / (4 * workers)) if todo else 1))

    results: dict[int, Row] = {}
    failed = 0
    bar = _progress_bar(todo, progress)

    group_of = {i: g for g in plan.groups for i in g.members}
    grid_names = list(plan.combos[0])

    def arrived(indexes: list[int], rows: list[Row]) -> None:
        nonlocal failed
        records = []
        for i, row in zip(indexes, rows):
            results[i] = row
            failed += row[0] is not None
            records.append(_stored_record(plan.combos[i], row, *plan.stored_as(i), i))
        if box is not None and indexes:
            inputs = group_of[indexes[0]].inputs
            if keep == "returns":  # before the rows: a row in the store has its returns there
                box.write_returns({_returns_name(*plan.stored_as(i)): row[2]
                                   for i, row in zip(indexes, rows) if row[0] is None},
                                  inputs.user_dates())
            box.write(records, grid_names, inputs.tz)
        if bar is not None:
            bar.update(len(indexes))
            bar.set_postfix(failed=failed, refresh=False)

    try:
        run_chunks(backend, [g.inputs for g in plan.groups], plan.chunks(size), keep, workers,
                   client, arrived)
    finally:
        if bar is not None:
            bar.close()
    outcomes = []
    for i in range(len(plan.combos)):
        if i in results:
            inputs, opts = group_of[i].inputs, plan.options[i]
            outcomes.append(Outcome(*results[i], inputs=inputs, options=opts))
        else:  # served by the store
            row = (stored or {})[plan.stored_as(i)]
            outcomes.append(Outcome(row.get("error"), row, stored_returns.get(plan.stored_as(i))))
    table = sweep_table(pd, plan.combos, outcomes, keep)
    ran = len(results)
    table.attrs["sweep"] = {"ran": ran, "failed": failed, "stored": len(plan.combos) - ran}
    return table


def _progress_bar(total: int, progress: bool) -> Any:
    if not progress:
        return None
    try:
        tqdm = import_optional("tqdm", caller="pelmora.sweep(progress=True)")
    except ImportError:
        # A bar is no reason to install anything: a plain line on stderr does without tqdm.
        return TextProgress(total, "sweep", "run")
    return tqdm.tqdm(total=total, desc="sweep", unit="run")
