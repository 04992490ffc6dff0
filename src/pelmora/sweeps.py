"""Many backtests: :func:`sweep` runs every combination of a grid of options.

The inputs are checked and converted once per set of arrays (the data, the weights and the options
that change arrays: rebalance schedule, calendar, delistings, trading price, intraday stops); the
combinations that share them run as variants of one :func:`pelmora.core.journal.run_many` call, on
native threads, the arrays shared and never copied. The same chunk function runs in this process
("threads"), in a process pool ("processes") or on Dask workers ("dask"), so every backend gives
the same table. A combination that fails while it runs becomes a row with its error; with a
``store`` every finished chunk is written at once, and a later call with the same grid and store
runs only what is missing.
"""

from __future__ import annotations

import dataclasses
import hashlib
import itertools
import math
import os
import uuid
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from pelmora import _require
from pelmora.inputs import ARRAY_NAMES, ARRAY_OPTIONS, EngineInputs, engine_options, prepare_inputs
from pelmora.options import OPTION_NAMES, BacktestOptions, make_options

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.inputs import PriceInput

__all__ = ["KEEP", "WEIGHTS_COLUMN", "sweep"]

KEEP = ("stats", "equity", "full")
"""What a sweep keeps of each run: its statistics, also its equity curve, or the whole result."""

WEIGHTS_COLUMN = "weights"
"""The grid column of the strategy variants when ``weights`` is a mapping of names to frames."""

_KEY = "combination_key"  # a store's column: which combination a row belongs to


def _pandas(feature: str = "pelmora.sweep") -> Any:
    return _require("pandas", feature)


# --------------------------------------------------------------------------------- the grid


def _combinations(grid: Mapping[str, Sequence[Any]]) -> list[dict[str, Any]]:
    if not isinstance(grid, Mapping) or not grid:
        raise ValueError("grid must be a non-empty mapping of option name to a list of values")
    columns: dict[str, list[Any]] = {}
    for name, values in grid.items():
        if name not in OPTION_NAMES:
            raise TypeError(f"grid names an unknown backtest option {name!r}")
        if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
            raise TypeError(f"grid[{name!r}] must be a list of values, got {values!r}")
        columns[name] = list(values)  # once: a generator can be walked only once
        if not columns[name]:
            raise ValueError(f"grid[{name!r}] has no values: give at least one")
    names = list(columns)
    return [dict(zip(names, combo)) for combo in itertools.product(*columns.values())]


def _key(combo: Mapping[str, Any]) -> str:
    """A stable name of a combination, the same in every process and every call."""
    text = repr(sorted((k, _canonical(v)) for k, v in combo.items()))
    return hashlib.sha1(text.encode()).hexdigest()[:20]


def _canonical(value: Any) -> Any:
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    if isinstance(value, (list, tuple)):
        return tuple(_canonical(v) for v in value)
    if isinstance(value, Mapping):
        return tuple(sorted((repr(k), _canonical(v)) for k, v in value.items()))
    if hasattr(value, "to_dict"):  # a Series of delistings
        return _canonical(value.to_dict())
    return repr(value)


@dataclasses.dataclass
class _Group:
    """Combinations that share one set of engine arrays."""

    inputs: EngineInputs
    members: list[int]  # indexes into the combinations


@dataclasses.dataclass
class _Plan:
    combos: list[dict[str, Any]]
    options: list[BacktestOptions]
    keys: list[str]
    groups: list[_Group]


def _plan(
    grid: Mapping[str, Sequence[Any]],
    weights: Any,
    prices: Any,
    base: BacktestOptions,
    skip: set[str],
) -> _Plan:
    """Check every combination and prepare the arrays of those still to run, before any run."""
    pd = _pandas()
    variants: dict[str, Any]
    if isinstance(weights, Mapping):
        if not weights:
            raise ValueError("weights is an empty mapping: give at least one strategy")
        if WEIGHTS_COLUMN in grid:
            raise TypeError(f"grid may not name {WEIGHTS_COLUMN!r} when weights is a mapping")
        variants = dict(weights)
        combos = [
            {WEIGHTS_COLUMN: name, **c} for name in variants for c in _combinations(grid)
        ]
    else:
        variants = {None: weights}
        combos = _combinations(grid)
    options = []
    for combo in combos:
        given = {k: v for k, v in combo.items() if k != WEIGHTS_COLUMN}
        try:
            options.append(dataclasses.replace(base, **given))
        except (TypeError, ValueError) as exc:
            shown = ", ".join(f"{k}={v!r}" for k, v in given.items())
            raise type(exc)(f"grid combination {shown} is refused: {exc}") from exc
    keys = [_key(c) for c in combos]
    groups: dict[str, _Group] = {}
    # Inputs that differ only in their rebalance schedule share every other array and check.
    converted: dict[str, EngineInputs] = {}
    for i, (combo, opts) in enumerate(zip(combos, options)):
        if keys[i] in skip:
            continue
        name = combo.get(WEIGHTS_COLUMN)
        group_key = repr((_canonical(name),) + tuple(_canonical(getattr(opts, o)) for o in ARRAY_OPTIONS))
        if group_key not in groups:
            frame = variants[name]
            if not isinstance(frame, pd.DataFrame):
                raise TypeError(
                    f"weights[{name!r}] must be a DataFrame, got {type(frame).__name__}"
                    if name is not None
                    else f"weights must be a DataFrame, got {type(frame).__name__}"
                )
            data_key = repr((_canonical(name),) + tuple(
                _canonical(getattr(opts, o)) for o in ARRAY_OPTIONS if o not in _SCHEDULE
            ))
            if data_key not in converted:
                converted[data_key] = prepare_inputs(frame, prices, options=opts)
                inputs = converted[data_key]
            else:
                inputs = _rescheduled(converted[data_key], opts)
            groups[group_key] = _Group(inputs, [])
        groups[group_key].members.append(i)
    return _Plan(combos, options, keys, list(groups.values()))


_SCHEDULE = ("rebalance", "calendar")


def _rescheduled(inputs: EngineInputs, opts: BacktestOptions) -> EngineInputs:
    """``inputs`` with the rebalance dates of ``opts``; every other array is shared."""
    from pelmora.inputs import rebalance_dates

    resample = rebalance_dates(
        opts.rebalance, inputs.price_dates, inputs.weight_dates, inputs.tz, opts.calendar
    )
    return dataclasses.replace(
        inputs, arguments={**inputs.arguments, "resample": resample}, options=opts
    )


# --------------------------------------------------------------------------------- running


def _run_chunk(
    inputs: EngineInputs, options: list[BacktestOptions], keep: str, threads: int | None
) -> list[tuple[str | None, dict[str, Any], Any]]:
    """Run variants of one set of arrays: (error, statistics, kept output) per variant.

    The kept output is None, the equity curve (keep="equity") or the journal's output dict
    (keep="full"); the caller turns it into what it keeps, with the inputs it holds itself.
    """
    from pelmora.core import journal
    from pelmora.result import BacktestResult, RunRecord

    args = inputs.arguments
    arrays = {name: args[name] for name in ARRAY_NAMES if args.get(name) is not None}
    n_rows = len(args["price_index"])
    variants = [engine_options(o, n_rows) for o in options]
    outputs = journal.run_many(
        arrays, variants, threads=threads, positions=keep == "full", excursions=True
    )
    rows: list[tuple[str | None, dict[str, Any], Any]] = []
    for opts, out in zip(options, outputs):
        if isinstance(out, BaseException):
            rows.append((f"{type(out).__name__}: {out}", {}, None))
            continue
        own = _own_inputs(inputs, opts)
        try:
            stats = dict(BacktestResult(own, RunRecord.from_journal(out)).stats())
        except Exception as exc:  # a failure of the statistics is the combination's failure
            rows.append((f"{type(exc).__name__}: {exc}", {}, None))
            continue
        kept = out["creturn"] if keep == "equity" else out if keep == "full" else None
        rows.append((None, stats, kept))
    return rows


def _own_inputs(inputs: EngineInputs, opts: BacktestOptions) -> EngineInputs:
    """The inputs of one combination: the shared arrays with its own options."""
    n_rows = len(inputs.arguments["price_index"])
    return dataclasses.replace(
        inputs, arguments={**inputs.arguments, **engine_options(opts, n_rows)}, options=opts
    )


def _work(plan: _Plan, size: int) -> list[tuple[int, list[int]]]:
    """(group index, combinations) of every chunk, group after group."""
    return [
        (k, group.members[i : i + size])
        for k, group in enumerate(plan.groups)
        for i in range(0, len(group.members), size)
    ]


# Data of a process-pool worker, installed once per process by the pool's initializer.
_WORKER_GROUPS: list[EngineInputs] = []


def _install_groups(groups: list[EngineInputs]) -> None:
    _WORKER_GROUPS[:] = groups


def _worker_chunk(group: int, options: list[BacktestOptions], keep: str) -> list[Any]:
    return _run_chunk(_WORKER_GROUPS[group], options, keep, 1)


# ---------------------------------------------------------------------------------- storing


class _Store:
    """Finished rows in a folder of Parquet files, one file per finished chunk.

    A file is written under a temporary name and renamed, so a killed process leaves whole files
    only; reading keeps the first row of every combination, so nothing is counted twice.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.pq = _require("pyarrow.parquet", "pelmora.sweep(store=...)")
        self.pa = _require("pyarrow", "pelmora.sweep(store=...)")
        self.path = Path(path)
        if self.path.exists() and not self.path.is_dir():
            raise ValueError(f"store {str(self.path)!r} exists and is not a folder of a sweep")
        self.path.mkdir(parents=True, exist_ok=True)

    def read(self) -> dict[str, dict[str, Any]]:
        done: dict[str, dict[str, Any]] = {}
        for part in sorted(self.path.glob("part-*.parquet")):
            for row in self.pq.read_table(part).to_pylist():
                done.setdefault(row.pop(_KEY), row)
        return done

    def write(self, rows: list[dict[str, Any]]) -> None:
        if not rows:
            return
        table = self.pa.Table.from_pylist([_storable(r) for r in rows])
        name = f"part-{uuid.uuid4().hex}.parquet"
        tmp = self.path / f".{name}.tmp"
        self.pq.write_table(table, tmp)
        os.replace(tmp, self.path / name)


def _storable(row: dict[str, Any]) -> dict[str, Any]:
    pd = _pandas()
    out: dict[str, Any] = {}
    for k, v in row.items():
        if isinstance(v, pd.Timestamp):
            v = None if v is pd.NaT else v.to_pydatetime()
        elif v is pd.NaT:
            v = None
        elif isinstance(v, (np.floating, np.integer)):
            v = v.item()
        out[k] = v
    return out


# ------------------------------------------------------------------------------------ sweep


def sweep(
    grid: Mapping[str, Sequence[Any]],
    weights: pd.DataFrame | Mapping[str, pd.DataFrame],
    prices: PriceInput,
    *,
    backend: Literal["threads", "processes", "dask"] = "threads",
    keep: Literal["stats", "equity", "full"] = "stats",
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
        CPU) and closed after; a chunk whose worker dies is run again by Dask.
    keep : {"stats", "equity", "full"}, default "stats"
        What is kept of each run besides its statistics: nothing, also its equity curve (column
        "equity", a Series), or the whole :class:`BacktestResult` (column "result"). Memory is
        bounded by what is kept: the runs of a chunk are dropped once their rows are made.
    store : path, optional
        A folder (for example "sweep.parquet") where every finished chunk's rows are written as
        they arrive (needs pyarrow). A later call with the same grid and store runs only the
        combinations missing from it, after an interruption, a killed process or a lost worker;
        their rows come back from the store (statistics only: no equity or result).
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

    Raises
    ------
    TypeError
        A grid or fixed option that :func:`backtest` does not have.
    ValueError
        An empty grid or grid value, a refused option value, an unknown backend or keep.
    ImportError
        When the backend's packages (extra ``sweep``) or pyarrow (for ``store``) are missing.
    """
    pd = _pandas()
    if backend not in ("threads", "processes", "dask"):
        raise ValueError(f'backend must be "threads", "processes" or "dask", got {backend!r}')
    if keep not in KEEP:
        raise ValueError(f'keep must be "stats", "equity" or "full", got {keep!r}')
    for name in fixed:
        if name in grid:
            raise TypeError(f"option {name!r} is both in the grid and fixed")
    base = make_options(options, fixed, "sweep")
    for label, value in (("max_workers", max_workers), ("chunk_size", chunk_size)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
            raise ValueError(f"{label} must be a positive integer, got {value!r}")
    box = _Store(store) if store is not None else None
    stored = box.read() if box is not None else {}
    plan = _plan(grid, weights, prices, base, set(stored))
    todo = sum(len(g.members) for g in plan.groups)
    workers = max_workers or _cpus()
    size = chunk_size or max(1, min(64, math.ceil(todo / (4 * workers)) if todo else 1))

    results: dict[int, tuple[str | None, dict[str, Any], Any]] = {}
    failed = 0
    bar = _progress_bar(todo, progress)

    def arrived(indexes: list[int], rows: list[Any]) -> None:
        nonlocal failed
        records = []
        for i, row in zip(indexes, rows):
            results[i] = row
            failed += row[0] is not None
            records.append({_KEY: plan.keys[i], "error": row[0], **row[1]})
        if box is not None:
            box.write(records)
        if bar is not None:
            bar.update(len(indexes))
            bar.set_postfix(failed=failed, refresh=False)

    try:
        if backend == "threads":
            _sweep_threads(plan, keep, size, workers, arrived)
        elif backend == "processes":
            _sweep_processes(plan, keep, size, workers, arrived)
        else:
            _sweep_dask(plan, keep, size, workers, client, arrived)
    finally:
        if bar is not None:
            bar.close()
    return _table(pd, grid, plan, results, stored, keep, failed)


def _cpus() -> int:
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def _table(
    pd: Any,
    grid: Mapping[str, Any],
    plan: _Plan,
    results: dict[int, Any],
    stored: dict[str, dict[str, Any]],
    keep: str,
    failed: int,
) -> Any:
    from pelmora.result import BacktestResult, RunRecord
    from pelmora.stats import STAT_NAMES

    group_of = {i: g for g in plan.groups for i in g.members}
    rows = []
    reused = 0
    for i, combo in enumerate(plan.combos):
        if i in results:
            error, stats, kept = results[i]
        else:
            row = dict(stored[plan.keys[i]])
            error, kept = row.pop("error", None), None
            stats = row
            reused += 1
        record = {**combo, **{n: stats.get(n, math.nan) for n in STAT_NAMES}, "error": error}
        for n in ("start", "end", "max_drawdown_start", "max_drawdown_end"):
            value = record[n]
            record[n] = pd.NaT if value is None or pd.isna(value) else pd.Timestamp(value)
        if keep == "equity":
            record["equity"] = None
            if kept is not None:
                record["equity"] = pd.Series(
                    kept, index=group_of[i].inputs.user_dates(), name="equity"
                )
        elif keep == "full":
            record["result"] = None
            if kept is not None:
                own = _own_inputs(group_of[i].inputs, plan.options[i])
                record["result"] = BacktestResult(own, RunRecord.from_journal(kept))
        rows.append(record)
    columns = list(plan.combos[0]) + list(STAT_NAMES) + ["error"]
    if keep == "equity":
        columns.append("equity")
    elif keep == "full":
        columns.append("result")
    table = pd.DataFrame(rows, columns=columns)
    for name in plan.combos[0]:
        values = [c[name] for c in plan.combos]
        if any(v is None for v in values):
            # None means "off": a float column would turn it into NaN, which no option takes.
            table[name] = pd.Series(values, dtype=object)
    table.attrs["sweep"] = {"ran": len(results), "failed": failed, "stored": reused}
    return table


def _progress_bar(total: int, progress: bool) -> Any:
    if not progress:
        return None
    tqdm = _require("tqdm", "pelmora.sweep(progress=True)")
    return tqdm.tqdm(total=total, desc="sweep", unit="run")


def _sweep_threads(plan: _Plan, keep: str, size: int, workers: int, arrived: Any) -> None:
    from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

    work = [(plan.groups[k], chunk) for k, chunk in _work(plan, size)]
    if workers == 1 or len(work) == 1:
        for group, chunk in work:
            arrived(chunk, _run_chunk(group.inputs, [plan.options[i] for i in chunk], keep, workers))
        return
    # Chunks of all groups side by side, one thread each (the runs release the interpreter
    # lock); no more than two per thread in flight, so finished runs do not pile up.
    queue = iter(work)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        running: dict[Any, list[int]] = {}

        def submit() -> None:
            for group, chunk in queue:
                opts = [plan.options[i] for i in chunk]
                running[pool.submit(_run_chunk, group.inputs, opts, keep, 1)] = chunk
                if len(running) >= 2 * workers:
                    return

        submit()
        while running:
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in done:
                arrived(running.pop(future), future.result())
            submit()


def _sweep_processes(plan: _Plan, keep: str, size: int, workers: int, arrived: Any) -> None:
    from concurrent.futures import ProcessPoolExecutor, as_completed

    # The converted inputs go to each worker once, through the initializer, not with every task.
    with ProcessPoolExecutor(
        max_workers=workers,
        initializer=_install_groups,
        initargs=([g.inputs for g in plan.groups],),
    ) as pool:
        futures = {}
        for k, chunk in _work(plan, size):
            opts = [plan.options[i] for i in chunk]
            futures[pool.submit(_worker_chunk, k, opts, keep)] = chunk
        for future in as_completed(futures):
            arrived(futures[future], future.result())


_DASK_ATTEMPTS = 4


def _dask_round(
    distributed: Any, client: Any, plan: _Plan, keep: str, pending: list[Any], arrived: Any
) -> list[Any]:
    """Submit the pending chunks once; return those to submit again.

    A worker that dies has its running chunks rerun by the scheduler. When the last worker
    holding a set of inputs dies the inputs are gone and the chunks that need them are cancelled:
    those are scattered and submitted anew. A chunk that kills every worker it runs on fails as
    rows naming the error.
    """
    needed = sorted({k for k, _ in pending})
    data = dict(zip(needed, client.scatter([plan.groups[k].inputs for k in needed],
                                           broadcast=True)))
    chunks = {}
    for k, chunk in pending:
        opts = [plan.options[i] for i in chunk]
        # One thread per task: a worker runs as many chunks at once as it has threads.
        future = client.submit(_run_chunk, data[k], opts, keep, 1, pure=False)
        chunks[future.key] = (future, k, chunk)
    again = []
    for future in distributed.as_completed([f for f, _, _ in chunks.values()]):
        _, k, chunk = chunks[future.key]
        if future.status == "finished":
            arrived(chunk, future.result())
        elif future.status == "cancelled":
            again.append((k, chunk))
        else:
            exc = future.exception()
            arrived(chunk, [(f"{type(exc).__name__}: {exc}", {}, None)] * len(chunk))
    return again


def _sweep_dask(
    plan: _Plan, keep: str, size: int, workers: int, client: Any, arrived: Any
) -> None:
    distributed = _require("distributed", "pelmora.sweep(backend='dask')")
    own_cluster = own_client = None
    if client is None:
        own_cluster = distributed.LocalCluster(
            n_workers=1, threads_per_worker=workers, processes=True, dashboard_address=None
        )
        own_client = client = distributed.Client(own_cluster)
    try:
        pending = _work(plan, size)
        for _attempt in range(_DASK_ATTEMPTS):
            pending = _dask_round(distributed, client, plan, keep, pending, arrived)
            if not pending:
                break
        for k, chunk in pending:
            lost = ("RuntimeError: the chunk's inputs were lost with its workers "
                    f"{_DASK_ATTEMPTS} times")
            arrived(chunk, [(lost, {}, None)] * len(chunk))
    finally:
        if own_client is not None:
            own_client.close()
        if own_cluster is not None:
            own_cluster.close()
