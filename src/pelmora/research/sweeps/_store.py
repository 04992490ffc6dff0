"""The sweep's store: finished rows in a folder of Parquet files, safe against crashes.

Every finished chunk is written as one part file, under a temporary name that is renamed once the
data is on disk, so a killed call or a full disk leaves whole parts only. Every row carries its
combination's key and the fingerprint of the inputs it was run on (``_fingerprint``), and is
served again only to a call with both the same. :func:`read_sweep` reads a store back as
the table :func:`pelmora.sweep` returns.

A sweep that keeps its combinations' daily returns (``keep="returns"``) writes them too, a part
per chunk in the folder "_returns" (the leading underscore keeps it out of the one table pandas
and pyarrow read from the store folder): a date column and a column per combination, named by
its inputs' fingerprint and its key, so they are served under the same rule as the statistics.
"""

from __future__ import annotations

import contextlib
import os
import time
import uuid
import warnings
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

from pelmora._optional import import_optional
from pelmora.research.sweeps._table import (
    DATE_COLUMNS, STAT_COLUMNS, _none_stays_none, _stat_record,
)

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.research.sweeps._chunk import Row

__all__ = [
    "FINGERPRINT_COLUMN", "FOREIGN_PART", "_Store", "_returns_name", "_stored_record", "read_sweep"
]

FINGERPRINT_COLUMN = "inputs_fingerprint"
"""A store's column: the fingerprint of the inputs a row was run on (see :func:`read_sweep`)."""

_MARK = b"pelmora_sweep_store"
"""The key of the Parquet metadata every part carries (the store's format, b"1"): a file
without it was not written by a store, whatever its name and columns."""

FOREIGN_PART = (
    "store part {part!r} was not written by a pelmora sweep store (its metadata has no "
    "{mark!r}: a file of another program or of an older pelmora); its rows are left out"
)
"""The warning for a ``part-*.parquet`` of a store folder that the store did not write."""

_KEY = "combination_key"  # a store's column: which combination a row belongs to
_POSITION = "grid_index"  # a store's column: the row's place in the grid of the call that ran it
_RETURNS = "_returns"  # the store's folder of returns parts
_DATE = "date"  # a returns part's column of the price dates


def _returns_name(key: str, fingerprint: str) -> str:
    """A returns part's column of a combination: its inputs' fingerprint, then its key."""
    return f"{fingerprint}.{key}"


def _stored_record(
    combo: Mapping[str, Any], row: Row, key: str, fingerprint: str, position: int
) -> dict[str, Any]:
    """A finished run as :meth:`_Store.write` takes it: grid values, statistics, error, identity."""
    error, stats, _ = row
    return {**combo, **stats, "error": error, FINGERPRINT_COLUMN: fingerprint, _KEY: key,
            _POSITION: position}


try:  # advisory locks tell a crashed call's temporary file from one being written right now
    import fcntl
except ImportError:  # pragma: no cover - Windows: temporary files are removed by their age
    fcntl = None  # type: ignore[assignment]

_STALE_SECONDS = 3600.0  # without locks: a temporary file this old belongs to no live call

# The Parquet type of each option's grid column: a fixed type per option, so that the parts of a
# store read as one table whatever values each chunk happens to hold. None is a null. Options
# of other kinds (rebalance, calendar, delistings, trade_at, lot_size: a number or lots per
# stock) and strategy names are text: a string as it is, anything else as its repr (a calendar
# object as its name).
_FLOAT_OPTIONS = frozenset(
    {"fee", "tax", "stop_loss", "take_profit", "trailing_stop", "trailing_activation",
     "position_limit", "capital", "slippage", "min_fee", "max_gross", "cash_rate",
     "borrow_rate", "short_fee", "maintenance_margin"}
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
    pd = import_optional("pandas", caller="pelmora.sweep")
    if name in DATE_COLUMNS or any(isinstance(v, pd.Timestamp) for v in values):
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
        self.pq = import_optional("pyarrow.parquet", caller="pelmora.sweep(store=...)")
        self.pa = import_optional("pyarrow", caller="pelmora.sweep(store=...)")
        self.path = Path(path)
        if self.path.exists() and not self.path.is_dir():
            raise ValueError(f"store {str(self.path)!r} exists and is not a folder of a sweep")
        if not create:
            if not self.path.exists():
                raise FileNotFoundError(f"store {str(self.path)!r} does not exist")
            return
        self.path.mkdir(parents=True, exist_ok=True)
        self._remove_stale_temporaries(self.path)
        if (self.path / _RETURNS).is_dir():
            self._remove_stale_temporaries(self.path / _RETURNS)

    # -------------------------------------------------------------------------------- reading

    def parts(self, folder: Path | None = None) -> list[Path]:
        """The part files (of ``folder``, default the statistics'), oldest first."""
        found = []
        for part in (folder or self.path).glob("part-*.parquet"):
            with contextlib.suppress(OSError):  # removed meanwhile by someone else
                found.append((part.stat().st_mtime_ns, part.name, part))
        return [part for _, _, part in sorted(found)]

    def rows(self, set_aside: bool, stacklevel: int) -> list[dict[str, Any]]:
        """Every row of every readable part; an unreadable part warns (and is renamed), a file
        the store did not write warns (and is left as it is).

        ``stacklevel`` is the user's frame counted from the caller of this method (itself 1).
        """
        rows: list[dict[str, Any]] = []
        for part in self.parts():
            try:
                table = self.pq.read_table(part)
            except Exception as exc:  # torn, truncated, garbage: whatever pyarrow raises
                self._unreadable(part, exc, set_aside, stacklevel + 2)  # + rows, _unreadable
                continue
            if self._foreign(part, table, stacklevel + 2):  # + rows, _foreign
                continue
            try:
                rows += self._rows_of(table)
            except Exception as exc:
                self._unreadable(part, exc, set_aside, stacklevel + 2)
        return rows

    def read(self) -> dict[tuple[str, str], dict[str, Any]]:
        """The stored rows by (combination key, inputs' fingerprint)."""
        done: dict[tuple[str, str], dict[str, Any]] = {}
        for row in self.rows(set_aside=True, stacklevel=3):  # read, sweep, the user
            fingerprint = row.get(FINGERPRINT_COLUMN)
            if fingerprint is not None:  # rows of older stores had none: never served
                done.setdefault((row[_KEY], fingerprint), row)
        return done

    def read_returns(self) -> dict[tuple[str, str], Any]:
        """The stored daily returns, a Series on the price dates by (key, inputs' fingerprint)."""
        pd = import_optional("pandas", caller="pelmora.sweep")
        done: dict[tuple[str, str], Any] = {}
        for part in self.parts(self.path / _RETURNS):
            try:
                table = self.pq.read_table(part)
            except Exception as exc:  # torn, truncated, garbage: whatever pyarrow raises
                self._unreadable(part, exc, True, 4)  # read_returns, sweep, the user
                continue
            if self._foreign(part, table, 4):
                continue
            try:
                dates = pd.DatetimeIndex(table.column(_DATE).to_pandas())
                columns = [n for n in table.column_names if n != _DATE]
                values = {n: table.column(n).to_numpy() for n in columns}
            except Exception as exc:  # torn, truncated, garbage: whatever pyarrow raises
                self._unreadable(part, exc, True, 4)  # read_returns, sweep, the user
                continue
            for name in columns:
                fingerprint, _, key = name.partition(".")
                done.setdefault((key, fingerprint), pd.Series(values[name], index=dates))
        return done

    def _foreign(self, part: Path, table: Any, stacklevel: int) -> bool:
        """Whether ``part`` was written by something other than a store (it warns, named).

        Such a file is not renamed: it is not the store's to move.
        """
        if _MARK in (table.schema.metadata or {}):
            return False
        warnings.warn(FOREIGN_PART.format(part=str(part), mark=_MARK.decode()), UserWarning,
                      stacklevel=stacklevel)
        return True

    def _rows_of(self, table: Any) -> list[dict[str, Any]]:
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
        pa = self.pa
        columns = {name: _grid_column(pa, name, [r.get(name) for r in records])
                   for name in grid_names}
        for name in STAT_COLUMNS:
            columns[name] = _stat_column(pa, name, [r.get(name) for r in records], tz)
        columns["error"] = pa.array([r.get("error") for r in records], pa.string())
        columns[FINGERPRINT_COLUMN] = pa.array([r[FINGERPRINT_COLUMN] for r in records],
                                               pa.string())
        columns[_KEY] = pa.array([r[_KEY] for r in records], pa.string())
        columns[_POSITION] = pa.array([r[_POSITION] for r in records], pa.int64())
        self._write_table(pa.table(columns))

    def write_returns(self, columns: Mapping[str, Any], dates: Any) -> None:
        """Write daily returns as one new part: the dates, a column per combination."""
        if not columns:
            return
        pa = self.pa
        folder = self.path / _RETURNS
        folder.mkdir(exist_ok=True)
        data = {_DATE: pa.array(dates.as_unit("ns"))}
        data.update((name, pa.array(values, pa.float64())) for name, values in columns.items())
        self._write_table(pa.table(data), folder)

    def _write_table(self, table: Any, folder: Path | None = None) -> None:
        folder = folder or self.path
        table = table.replace_schema_metadata({**(table.schema.metadata or {}), _MARK: b"1"})
        while True:
            name = f"part-{uuid.uuid4().hex}.parquet"
            tmp = folder / f".{name}.tmp"
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
                    os.replace(tmp, folder / name)
                except BaseException:
                    with contextlib.suppress(OSError):
                        tmp.unlink()
                    raise
            _fsync_folder(folder)  # the rename itself on disk
            return

    def _remove_stale_temporaries(self, folder: Path) -> None:
        """Remove the temporary files of calls that crashed while writing a part.

        A writer holds an exclusive lock on its temporary file until it has renamed it, so a
        file whose lock can be taken belongs to no live writer (a concurrent call's file is
        locked, and kept). Without advisory locks, files older than an hour are removed.
        """
        for tmp in folder.glob(".*.tmp"):
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
        For each part file that cannot be read, or that a store did not write (another
        program's ``part-*.parquet``), named; its rows are left out.
    """
    pd = import_optional("pandas", caller="pelmora.read_sweep")
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
    fixed = {*STAT_COLUMNS, "error", FINGERPRINT_COLUMN, _KEY, _POSITION}
    grid_names = list(dict.fromkeys(n for r in unique for n in r if n not in fixed))
    records = []
    for row in unique:
        stats = {n: row.get(n) for n in STAT_COLUMNS}
        record = {n: row.get(n) for n in grid_names}
        record.update(_stat_record(pd, stats, row.get("error")))
        record[FINGERPRINT_COLUMN] = row.get(FINGERPRINT_COLUMN)
        records.append(record)
    table = pd.DataFrame(records, columns=[*grid_names, *STAT_COLUMNS, "error", FINGERPRINT_COLUMN])
    _none_stays_none(pd, table, records, grid_names)
    return table

