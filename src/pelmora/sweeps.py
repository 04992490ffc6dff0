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
"""

from __future__ import annotations

import contextlib
import dataclasses
import itertools
import math
import os
import time
import uuid
import warnings
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

from pelmora import _fingerprint, _require
from pelmora.frames import as_pandas_inputs
from pelmora.inputs import (
    ARRAY_NAMES, ARRAY_OPTIONS, EngineInputs, check_equity, engine_options, prepare_inputs,
)
from pelmora.options import OPTION_NAMES, BacktestOptions, make_options

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.inputs import PriceInput

__all__ = ["FINGERPRINT_COLUMN", "KEEP", "WEIGHTS_COLUMN", "read_sweep", "sweep"]

KEEP = ("stats", "equity", "full")
"""What a sweep keeps of each run: its statistics, also its equity curve, or the whole result."""

WEIGHTS_COLUMN = "weights"
"""The grid column of the strategy variants when ``weights`` is a mapping of names to frames."""

FINGERPRINT_COLUMN = "inputs_fingerprint"
"""A store's column: the fingerprint of the inputs a row was run on (see :func:`read_sweep`)."""

_KEY = "combination_key"  # a store's column: which combination a row belongs to
_POSITION = "grid_index"  # a store's column: the row's place in the grid of the call that ran it
_DATE_STATS = ("start", "end", "max_drawdown_start", "max_drawdown_end")


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


def _key(combo: Mapping[str, Any], opts: BacktestOptions) -> str:
    """A stable name of a combination, the same in every process and every call.

    It is made of the checked option values (so ``fee=0`` and ``fee=0.0`` are one combination)
    and the strategy's name; what the combination runs on is the inputs' fingerprint.
    """
    named = sorted(
        (k, v if k == WEIGHTS_COLUMN else getattr(opts, k)) for k, v in combo.items()
    )
    return _fingerprint.digest([("combination", 1)] + named)


def _inputs_fingerprints(
    variants: Mapping[Any, Any], prices: Any, base: BacktestOptions, grid_names: Iterable[str]
) -> dict[Any, str]:
    """The fingerprint of the inputs of each strategy: what a stored row was computed from.

    It covers the package version, every price frame (values, index, columns), the options the
    grid does not set (delistings, calendar, costs, ...) and the strategy's own weight frame, so
    that changing one strategy reruns that strategy only. The price buffers are hashed once.
    """
    from concurrent.futures import ThreadPoolExecutor

    from pelmora import __version__

    # Every frame is hashed on its own thread (hashing releases the interpreter lock), and the
    # fingerprint is made of their digests: on two cores the close and the trade prices take
    # the time of one.
    pieces = (
        sorted(prices.items(), key=lambda kv: repr(kv[0])) if isinstance(prices, Mapping)
        else [(None, prices)]
    )
    frames = [frame for _, frame in pieces] + list(variants.values())
    with ThreadPoolExecutor(max_workers=max(1, min(len(frames), _cpus()))) as pool:
        digests = list(pool.map(_fingerprint.digest, frames))
    common = _fingerprint.new_hasher()
    _fingerprint.update(common, ("pelmora", __version__))
    # The fields by name (a Market and a dict of the same frames are the same prices).
    _fingerprint.update(common, (isinstance(prices, Mapping), [key for key, _ in pieces]))
    _fingerprint.update(common, digests[: len(pieces)])
    names = set(grid_names)
    _fingerprint.update(common, {k: v for k, v in base.to_dict().items() if k not in names})
    out = {}
    for name, own in zip(variants, digests[len(pieces):]):
        h = common.copy()
        _fingerprint.update(h, own)
        out[name] = _fingerprint.hex_of(h)
    return out


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
    fingerprints: list[str]  # of each combination's inputs ("" without a store)

    def stored_as(self, i: int) -> tuple[str, str]:
        """What identifies combination ``i`` in a store: its key and its inputs' fingerprint."""
        return self.keys[i], self.fingerprints[i]


def _plan(
    grid: Mapping[str, Sequence[Any]],
    weights: Any,
    prices: Any,
    base: BacktestOptions,
    stored: Mapping[tuple[str, str], Any] | None,
) -> _Plan:
    """Check every combination and prepare the arrays of those still to run, before any run.

    ``stored`` holds the rows of a store by (combination key, inputs' fingerprint): those
    combinations are not run; None: no store, and nothing is fingerprinted.
    """
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
    keys = [_key(c, o) for c, o in zip(combos, options)]
    if stored is not None:
        of_variant = _inputs_fingerprints(variants, prices, base, grid)
        fingerprints = [of_variant[c.get(WEIGHTS_COLUMN)] for c in combos]
    else:
        fingerprints = [""] * len(combos)
    groups: dict[str, _Group] = {}
    # Inputs that differ only in their rebalance schedule share every other array and check.
    converted: dict[str, EngineInputs] = {}
    for i, (combo, opts) in enumerate(zip(combos, options)):
        if stored is not None and (keys[i], fingerprints[i]) in stored:
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
    return _Plan(combos, options, keys, list(groups.values()), fingerprints)


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
            # An equity that left the finite range has no usable figure: an error row, as
            # backtest() raises for it.
            check_equity(out["creturn"], own)
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

try:  # advisory locks tell a crashed call's temporary file from one being written right now
    import fcntl
except ImportError:  # pragma: no cover - Windows: temporary files are removed by their age
    fcntl = None  # type: ignore[assignment]

_STALE_SECONDS = 3600.0  # without locks: a temporary file this old belongs to no live call

# The Parquet type of each option's grid column: a fixed type per option, so that the parts of a
# store read as one table whatever values each chunk happens to hold. None is a null. Options
# of other kinds (rebalance, calendar, delistings, trade_at) and strategy names are text: a
# string as it is, anything else as its repr (a calendar object as its name).
_FLOAT_OPTIONS = frozenset(
    {"fee", "tax", "stop_loss", "take_profit", "trailing_stop", "trailing_activation",
     "position_limit"}
)
_INT_OPTIONS = frozenset({"excursion_window", "excursion_step"})
_BOOL_OPTIONS = frozenset(
    {"intraday_stops", "retain_cost", "stop_trading_next_period", "split_trades"}
)


def _as_text(value: Any) -> str | None:
    if value is None or isinstance(value, str):
        return value
    if hasattr(value, "sessions_in_range") and isinstance(getattr(value, "name", None), str):
        return str(value.name)
    return repr(value)


def _grid_column(pa: Any, name: str, values: list[Any]) -> Any:
    if name in _FLOAT_OPTIONS:
        return pa.array([None if v is None else float(v) for v in values], pa.float64())
    if name in _INT_OPTIONS:
        return pa.array([None if v is None else int(v) for v in values], pa.int64())
    if name in _BOOL_OPTIONS:
        return pa.array([None if v is None else bool(v) for v in values], pa.bool_())
    return pa.array([_as_text(v) for v in values], pa.string())


def _stat_column(pa: Any, name: str, values: list[Any], tz: Any) -> Any:
    """A statistic's column: dates in ns and the inputs' zone, the others of their values' type."""
    pd = _pandas()
    if name in _DATE_STATS or any(isinstance(v, pd.Timestamp) for v in values):
        dates = pd.DatetimeIndex([pd.NaT if v is None else v for v in values])
        if tz is not None and dates.tz is None:  # no date in this chunk: every run failed
            dates = dates.tz_localize(tz)
        return pa.array(dates.as_unit("ns"))
    # A failed run has no statistics: null (NaN once read), whatever the column's type.
    column = pa.array([None if v is None or v != v else v for v in values])
    return column.cast(pa.float64()) if pa.types.is_null(column.type) else column


class _Store:
    """Finished rows in a folder of Parquet files, one file per finished chunk.

    A file is written under a temporary name, flushed to disk, and renamed (the folder flushed
    after), so a killed process or a full disk leaves whole files only; a file that cannot be
    read all the same is set aside with a warning, and its rows run again. Reading keeps the
    first row of every (combination, inputs' fingerprint), so nothing is counted twice.
    """

    def __init__(self, path: str | os.PathLike[str], *, create: bool = True) -> None:
        self.pq = _require("pyarrow.parquet", "pelmora.sweep(store=...)")
        self.pa = _require("pyarrow", "pelmora.sweep(store=...)")
        self.path = Path(path)
        if self.path.exists() and not self.path.is_dir():
            raise ValueError(f"store {str(self.path)!r} exists and is not a folder of a sweep")
        if not create:
            if not self.path.exists():
                raise FileNotFoundError(f"store {str(self.path)!r} does not exist")
            return
        self.path.mkdir(parents=True, exist_ok=True)
        self._remove_stale_temporaries()

    # -------------------------------------------------------------------------------- reading

    def parts(self) -> list[Path]:
        """The part files, oldest first."""
        found = []
        for part in self.path.glob("part-*.parquet"):
            with contextlib.suppress(OSError):  # removed meanwhile by someone else
                found.append((part.stat().st_mtime_ns, part.name, part))
        return [part for _, _, part in sorted(found)]

    def rows(self, set_aside: bool, stacklevel: int) -> list[dict[str, Any]]:
        """Every row of every readable part; an unreadable part warns (and is renamed).

        ``stacklevel`` is the user's frame counted from the caller of this method (itself 1).
        """
        rows: list[dict[str, Any]] = []
        for part in self.parts():
            try:
                rows += self._read_part(part)
            except Exception as exc:  # torn, truncated, garbage: whatever pyarrow raises
                self._unreadable(part, exc, set_aside, stacklevel + 2)  # + rows, _unreadable
        return rows

    def read(self) -> dict[tuple[str, str], dict[str, Any]]:
        """The stored rows by (combination key, inputs' fingerprint)."""
        done: dict[tuple[str, str], dict[str, Any]] = {}
        for row in self.rows(set_aside=True, stacklevel=3):  # read, sweep, the user
            fingerprint = row.get(FINGERPRINT_COLUMN)
            if fingerprint is not None:  # rows of older stores had none: never served
                done.setdefault((row[_KEY], fingerprint), row)
        return done

    def _read_part(self, part: Path) -> list[dict[str, Any]]:
        table = self.pq.read_table(part)
        if _KEY not in table.column_names:
            raise ValueError(f"it has no {_KEY!r} column")
        dates = [f.name for f in table.schema if self.pa.types.is_timestamp(f.type)]
        rows: list[dict[str, Any]] = table.drop_columns(dates).to_pylist()
        for name in dates:  # through pandas: Timestamps keep their nanoseconds and zone
            for row, value in zip(rows, table.column(name).to_pandas()):
                row[name] = value
        return rows

    def _unreadable(self, part: Path, exc: Exception, set_aside: bool, stacklevel: int) -> None:
        message = (
            f"store part {str(part)!r} cannot be read ({type(exc).__name__}: {exc}); "
            "its rows are left out"
        )
        if set_aside:
            # A leading underscore hides it from pandas and pyarrow, which read the store
            # folder as one table; the file is kept for whoever wants to look at it.
            aside = part.with_name(f"_unreadable-{part.name}")
            with contextlib.suppress(OSError):
                os.replace(part, aside)
                message += f" and run again; the file is kept as {str(aside)!r}"
        warnings.warn(message, UserWarning, stacklevel=stacklevel)

    # -------------------------------------------------------------------------------- writing

    def write(self, records: list[dict[str, Any]], grid_names: list[str], tz: Any) -> None:
        """Write rows as one new part: grid values, statistics, error, fingerprint, key."""
        if not records:
            return
        from pelmora.stats import STAT_NAMES

        pa = self.pa
        columns = {name: _grid_column(pa, name, [r.get(name) for r in records])
                   for name in grid_names}
        for name in STAT_NAMES:
            columns[name] = _stat_column(pa, name, [r.get(name) for r in records], tz)
        columns["error"] = pa.array([r.get("error") for r in records], pa.string())
        columns[FINGERPRINT_COLUMN] = pa.array([r[FINGERPRINT_COLUMN] for r in records],
                                               pa.string())
        columns[_KEY] = pa.array([r[_KEY] for r in records], pa.string())
        columns[_POSITION] = pa.array([r[_POSITION] for r in records], pa.int64())
        self._write_table(pa.table(columns))

    def _write_table(self, table: Any) -> None:
        while True:
            name = f"part-{uuid.uuid4().hex}.parquet"
            tmp = self.path / f".{name}.tmp"
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            with os.fdopen(fd, "wb") as file:  # closing it releases the lock
                if fcntl is not None:
                    fcntl.flock(file.fileno(), fcntl.LOCK_EX)
                    if not _same_file(tmp, file.fileno()):
                        # A cleaner took it for a crashed call's between its creation and the
                        # lock: write under a new name.
                        continue
                try:
                    self.pq.write_table(table, file)
                    file.flush()
                    os.fsync(file.fileno())  # the data on disk before the name points at it
                    os.replace(tmp, self.path / name)
                except BaseException:
                    with contextlib.suppress(OSError):
                        tmp.unlink()
                    raise
            _fsync_folder(self.path)  # the rename itself on disk
            return

    def _remove_stale_temporaries(self) -> None:
        """Remove the temporary files of calls that crashed while writing a part.

        A writer holds an exclusive lock on its temporary file until it has renamed it, so a
        file whose lock can be taken belongs to no live writer (a concurrent call's file is
        locked, and kept). Without advisory locks, files older than an hour are removed.
        """
        for tmp in self.path.glob(".*.tmp"):
            try:
                fd = os.open(tmp, os.O_RDONLY)
            except OSError:
                continue  # renamed or removed meanwhile
            try:
                if fcntl is not None:
                    try:
                        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    except OSError:
                        continue  # being written right now
                elif time.time() - os.fstat(fd).st_mtime < _STALE_SECONDS:
                    continue
                if _same_file(tmp, fd):
                    with contextlib.suppress(OSError):
                        tmp.unlink()
            finally:
                os.close(fd)


def _same_file(path: Path, fd: int) -> bool:
    """Whether ``path`` still names the file open as ``fd``."""
    try:
        st = os.stat(path)
    except OSError:
        return False
    own = os.fstat(fd)
    return (st.st_dev, st.st_ino) == (own.st_dev, own.st_ino)


def _fsync_folder(path: Path) -> None:
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:  # pragma: no cover - a platform that cannot open folders (Windows)
        return
    try:
        os.fsync(fd)
    except OSError:  # pragma: no cover - file systems that do not sync folders
        pass
    finally:
        os.close(fd)


def read_sweep(
    store: str | os.PathLike[str], *, fingerprint: str | None = None
) -> pd.DataFrame:
    """Read the rows of a sweep store as the table :func:`sweep` returns.

    Parameters
    ----------
    store : path
        The folder given to :func:`sweep` as ``store``.
    fingerprint : str, optional
        Only the rows run on the inputs with this fingerprint (a value of the
        "inputs_fingerprint" column). Default: every row of the store; a store that several
        calls with different inputs wrote holds a set of rows per fingerprint.

    Returns
    -------
    pandas.DataFrame
        One row per combination and fingerprint, in the grid's order within each fingerprint
        (fingerprints in the order they were first stored): the grid columns (named as in the
        grid; "weights" for strategy variants), the columns of :meth:`BacktestResult.stats`
        (dates as Timestamps), "error", and "inputs_fingerprint". Grid values are as the store
        holds them: numbers and flags as they were, None as None, and values of the other
        options (rebalance, calendar, delistings, trade_at) and strategy names as text: a string
        as given, anything else as its repr (a calendar object as its name).

    Raises
    ------
    FileNotFoundError
        When ``store`` does not exist.
    ValueError
        When ``store`` is not a folder, or no row has the ``fingerprint`` given.
    ImportError
        When pandas or pyarrow is missing.

    Warns
    -----
    UserWarning
        For each part file that cannot be read (named); its rows are left out.
    """
    from pelmora.stats import STAT_NAMES

    pd = _pandas("pelmora.read_sweep")
    box = _Store(store, create=False)
    rows = box.rows(set_aside=False, stacklevel=2)
    if fingerprint is not None:
        if not isinstance(fingerprint, str):
            raise TypeError(f"fingerprint must be a str, got {type(fingerprint).__name__}")
        held = list(dict.fromkeys(r.get(FINGERPRINT_COLUMN) for r in rows))
        rows = [r for r in rows if r.get(FINGERPRINT_COLUMN) == fingerprint]
        if not rows:
            raise ValueError(
                f"fingerprint {fingerprint!r} has no rows in store {str(box.path)!r}; "
                f"it holds {[h for h in held if h is not None]}"
            )
    seen: set[tuple[Any, Any]] = set()
    unique = []
    for row in rows:
        ident = (row[_KEY], row.get(FINGERPRINT_COLUMN))
        if ident not in seen:
            seen.add(ident)
            unique.append(row)
    rank = {f: k for k, f in enumerate(dict.fromkeys(r.get(FINGERPRINT_COLUMN) for r in unique))}
    unique.sort(key=lambda r: (rank[r.get(FINGERPRINT_COLUMN)], r.get(_POSITION) or 0))
    fixed = {*STAT_NAMES, "error", FINGERPRINT_COLUMN, _KEY, _POSITION}
    grid_names = list(dict.fromkeys(n for r in unique for n in r if n not in fixed))
    records = []
    for row in unique:
        stats = {n: row.get(n) for n in STAT_NAMES}
        record = {n: row.get(n) for n in grid_names}
        record.update(_stat_record(pd, stats, row.get("error")))
        record[FINGERPRINT_COLUMN] = row.get(FINGERPRINT_COLUMN)
        records.append(record)
    table = pd.DataFrame(records, columns=[*grid_names, *STAT_NAMES, "error", FINGERPRINT_COLUMN])
    _none_stays_none(pd, table, records, grid_names)
    return table


def _stat_record(pd: Any, stats: Mapping[str, Any], error: str | None) -> dict[str, Any]:
    """The statistics and error of a table row: NaN where missing, dates as Timestamps."""
    from pelmora.stats import STAT_NAMES

    record = {}
    for n in STAT_NAMES:
        value = stats.get(n)
        if n in _DATE_STATS:
            value = pd.NaT if value is None or pd.isna(value) else pd.Timestamp(value)
        elif value is None:
            value = math.nan
        record[n] = value
    record["error"] = error
    return record


def _none_stays_none(pd: Any, table: Any, records: list[Mapping[str, Any]], names: list[str]) -> None:
    for name in names:
        values = [r[name] for r in records]
        if any(v is None for v in values):
            # None means "off": a float column would turn it into NaN, which no option takes.
            table[name] = pd.Series(values, dtype=object, index=table.index)


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
        CPU) and closed after; a chunk whose worker dies is run again by Dask, and chunks the
        cluster loses otherwise (a worker killed during the scatter, the inputs lost with the
        last worker holding them) are submitted again, at most four times each, then become
        rows with an error: no Dask exception leaves the sweep.
    keep : {"stats", "equity", "full"}, default "stats"
        What is kept of each run besides its statistics: nothing, also its equity curve (column
        "equity", a Series), or the whole :class:`BacktestResult` (column "result"). Memory is
        bounded by what is kept: the runs of a chunk are dropped once their rows are made.
    store : path, optional
        A folder (for example "sweep.parquet") where every finished chunk's rows are written as
        they arrive (needs pyarrow). A later call with the same store runs only the combinations
        missing from it, after an interruption, a killed process or a lost worker; their rows
        come back from the store (statistics only: no equity or result). A row is served only
        to a call with the same inputs: the same weights, prices, options outside the grid and
        package version (their fingerprint, see :func:`read_sweep`); rows of other inputs stay
        in the store. A part file that cannot be read warns, naming it, is renamed
        "_unreadable-...", and its rows run again.
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
    weights, prices = as_pandas_inputs(weights, prices, index=base.index)  # polars, pyarrow
    for label, value in (("max_workers", max_workers), ("chunk_size", chunk_size)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
            raise ValueError(f"{label} must be a positive integer, got {value!r}")
    box = _Store(store) if store is not None else None
    stored = box.read() if box is not None else None
    plan = _plan(grid, weights, prices, base, stored)
    todo = sum(len(g.members) for g in plan.groups)
    workers = max_workers or _cpus()
    size = chunk_size or max(1, min(64, math.ceil(todo / (4 * workers)) if todo else 1))

    results: dict[int, tuple[str | None, dict[str, Any], Any]] = {}
    failed = 0
    bar = _progress_bar(todo, progress)

    group_of = {i: g for g in plan.groups for i in g.members}
    grid_names = list(plan.combos[0])

    def arrived(indexes: list[int], rows: list[Any]) -> None:
        nonlocal failed
        records = []
        for i, row in zip(indexes, rows):
            results[i] = row
            failed += row[0] is not None
            records.append({**plan.combos[i], **row[1], "error": row[0],
                            FINGERPRINT_COLUMN: plan.fingerprints[i], _KEY: plan.keys[i],
                            _POSITION: i})
        if box is not None and indexes:
            box.write(records, grid_names, group_of[indexes[0]].inputs.tz)
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
    return _table(pd, plan, results, stored or {}, keep, failed)


def _cpus() -> int:
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def _table(
    pd: Any,
    plan: _Plan,
    results: dict[int, Any],
    stored: Mapping[tuple[str, str], dict[str, Any]],
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
            stats = stored[plan.stored_as(i)]
            error, kept = stats.get("error"), None
            reused += 1
        record = {**combo, **_stat_record(pd, stats, error)}
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
    _none_stays_none(pd, table, plan.combos, list(plan.combos[0]))
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


_DASK_ATTEMPTS = 4  # submissions of one chunk before its rows become errors
_DASK_WAIT = 30.0  # seconds a round waits for a worker (a killed one is restarted by its nanny)


@dataclasses.dataclass
class _DaskChunk:
    group: int
    members: list[int]
    attempts: int = 0
    failure: str = ""  # the last failure of the cluster that sent it back


def _failure(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def _dask_round(
    distributed: Any, client: Any, plan: _Plan, keep: str, pending: list[_DaskChunk],
    arrived: Any,
) -> list[_DaskChunk]:
    """Submit the pending chunks once; return those to submit again.

    A worker that dies has its running chunks rerun by the scheduler. Everything else the
    cluster may throw at us sends chunks to the next round instead of out of the sweep: a
    worker killed while the inputs are scattered (the scatter raises), the last worker holding
    the inputs dying (their chunks are cancelled), a result lost on its way (fetching it
    raises), the connection itself failing. Only a chunk's own failure, an exception raised
    by the run or a worker killed by the chunk time after time (KilledWorker), is its rows'
    error. What ``arrived`` raises (a full disk under the store) is not the cluster's: it
    propagates.
    """
    for work in pending:
        work.attempts += 1
    needed = sorted({w.group for w in pending})
    try:
        client.wait_for_workers(1, timeout=_DASK_WAIT)
        # Fresh keys every round: the data of an earlier round may be lost or forgotten.
        scattered = client.scatter(
            [plan.groups[k].inputs for k in needed], broadcast=True, hash=False
        )
        data = dict(zip(needed, scattered))
        running = {}
        for work in pending:
            opts = [plan.options[i] for i in work.members]
            # One thread per task: a worker runs as many chunks at once as it has threads.
            future = client.submit(_run_chunk, data[work.group], opts, keep, 1, pure=False)
            running[future.key] = (future, work)
        finished = distributed.as_completed([f for f, _ in running.values()])
    except Exception as exc:
        for work in pending:
            work.failure = _failure(exc)
        return pending
    again, dropped = [], []
    while running:
        try:
            future = next(finished)
        except StopIteration:  # pragma: no cover - every future is yielded once
            break
        except Exception as exc:  # the iteration itself lost the scheduler
            for _, work in running.values():
                work.failure = _failure(exc)
            break
        _, work = running.pop(future.key)
        try:
            if future.status == "finished":
                rows = future.result()
            elif future.status == "error":
                exc = future.exception()
                rows = [(_failure(exc), {}, None)] * len(work.members)
            else:  # cancelled: its inputs died with the last worker that held them
                raise RuntimeError(f"the chunk was {future.status} by the cluster")
        except Exception as exc:
            work.failure = _failure(exc)
            again.append(work)
            dropped.append(future)
            continue
        arrived(work.members, rows)
    left = dropped + [f for f, _ in running.values()]
    again += [work for _, work in running.values()]
    if left:  # nothing of this round runs on beside the next one
        with contextlib.suppress(Exception):
            client.cancel(left)
    return again


def _start_cluster(distributed: Any, workers: int) -> tuple[Any, Any, str]:
    """(cluster, client, "") of a LocalCluster for one sweep, or (None, None, the failure).

    Its worker process may be killed while it starts (the nanny then gives up): try again.
    """
    failure = ""
    for _attempt in range(_DASK_ATTEMPTS):
        cluster = None
        try:
            cluster = distributed.LocalCluster(
                n_workers=1, threads_per_worker=workers, processes=True, dashboard_address=None
            )
            return cluster, distributed.Client(cluster), ""
        except Exception as exc:
            failure = _failure(exc)
            if cluster is not None:
                with contextlib.suppress(Exception):
                    cluster.close()
    return None, None, failure


def _sweep_dask(
    plan: _Plan, keep: str, size: int, workers: int, client: Any, arrived: Any
) -> None:
    distributed = _require("distributed", "pelmora.sweep(backend='dask')")
    pending = [_DaskChunk(k, chunk) for k, chunk in _work(plan, size)]
    own_cluster = own_client = None
    if client is None:
        own_cluster, own_client, failure = _start_cluster(distributed, workers)
        if own_client is None:
            lost = (f"RuntimeError: the sweep's Dask cluster could not be started in "
                    f"{_DASK_ATTEMPTS} attempts; last: {failure}")
            for work in pending:
                arrived(work.members, [(lost, {}, None)] * len(work.members))
            return
        client = own_client
    try:
        while pending:
            retry = [w for w in pending if w.attempts < _DASK_ATTEMPTS]
            for work in pending:
                if work.attempts >= _DASK_ATTEMPTS:
                    lost = (f"RuntimeError: the chunk could not be run on the Dask cluster in "
                            f"{work.attempts} attempts; last: {work.failure}")
                    arrived(work.members, [(lost, {}, None)] * len(work.members))
            pending = _dask_round(distributed, client, plan, keep, retry, arrived) if retry else []
    finally:
        # The sweep's rows are in; a cluster that had a worker killed may complain on its
        # way down, which is no reason to lose them.
        if own_client is not None:
            with contextlib.suppress(Exception):
                own_client.close()
        if own_cluster is not None:
            with contextlib.suppress(Exception):
                own_cluster.close()
