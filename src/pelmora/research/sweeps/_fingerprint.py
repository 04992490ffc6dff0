"""Content fingerprints of a run's inputs: what a sweep store checks before it serves a row.

A fingerprint is a SHA-256 digest (its first 16 bytes) of everything fed to it: the values of every array (hashed
straight from their buffers, without a copy when the buffer is contiguous), the index and columns
of every frame, and the options. Equal fingerprints mean equal inputs; unequal ones do not
always mean unequal inputs (the same values in another memory order, another dtype, another type
of number, an object whose only description carries its address): such a miss only makes a store
run a combination again, never return the row of other inputs.
"""

from __future__ import annotations

import hashlib
import json
import math
import numbers
import pickle
from collections.abc import Mapping
from typing import Any

import numpy as np

from pelmora._optional import import_optional

__all__ = ["DIGEST_SIZE", "Hasher", "digest", "hex_of", "new_hasher", "update"]

DIGEST_SIZE = 16
"""Bytes of a fingerprint (its hex text has twice as many characters)."""

Hasher = Any  # a hashlib object: update(), copy(), hexdigest()


def new_hasher() -> Hasher:
    """An empty hasher; :func:`hex_of` gives its fingerprint.

    SHA-256 rather than BLAKE2b: most x86 and ARM processors compute it in hardware, about twice
    as fast as BLAKE2b in software, and the fingerprint of a sweep's inputs is on its clock.
    """
    return hashlib.sha256()


def hex_of(h: Hasher) -> str:
    """The fingerprint of what ``h`` was fed: :data:`DIGEST_SIZE` bytes as hex text."""
    return str(h.hexdigest()[: 2 * DIGEST_SIZE])


def digest(value: Any) -> str:
    """The fingerprint of ``value`` as hex text.

    Parameters
    ----------
    value : object
        Anything :func:`update` takes.

    Returns
    -------
    str
        32 hex characters.
    """
    h = new_hasher()
    update(h, value)
    return hex_of(h)


def _tag(h: Hasher, text: str) -> None:
    # Every piece is framed by its type and length, so that no two different inputs can be
    # fed as the same byte stream (["ab"] and ["a", "b"], a frame and its transpose).
    data = text.encode("utf-8", "surrogatepass")
    h.update(len(data).to_bytes(8, "little"))
    h.update(data)


def update(h: Hasher, value: Any) -> None:
    """Feed ``value`` into the hasher ``h``.

    Parameters
    ----------
    h : hashlib hasher
        From :func:`new_hasher`.
    value : object
        None, a number, text, a date, a NumPy array, a pandas DataFrame, Series or Index, a
        pyarrow Table or Array, a polars DataFrame or Series, a mapping, a list or tuple (taken
        apart recursively), an exchange calendar, or any other object (by its pickle, else its
        repr).
    """
    if value is None:
        _tag(h, "None")
    elif isinstance(value, (bool, np.bool_)):
        _tag(h, f"bool:{bool(value)}")
    elif isinstance(value, numbers.Integral):
        _tag(h, f"int:{int(value)}")
    elif isinstance(value, numbers.Real):
        # float.hex is exact; NaN has one text whatever its payload.
        number = float(value)
        _tag(h, "float:nan" if math.isnan(number) else f"float:{number.hex()}")
    elif isinstance(value, str):
        _tag(h, "str")
        _tag(h, value)
    elif isinstance(value, bytes):
        _tag(h, f"bytes:{len(value)}")
        h.update(value)
    elif isinstance(value, np.ndarray):
        _array(h, value)
    elif _is_pandas(value):
        _pandas_object(h, value)
    elif type(value).__module__.split(".")[0] in ("pyarrow", "polars"):
        _columnar(h, value)
    elif isinstance(value, Mapping):
        items = sorted(value.items(), key=lambda kv: repr(kv[0]))
        _tag(h, f"{type(value).__qualname__}:{len(items)}")
        for key, item in items:
            update(h, key)
            update(h, item)
    elif isinstance(value, (list, tuple)):
        _tag(h, f"{type(value).__qualname__}:{len(value)}")
        for item in value:
            update(h, item)
    elif hasattr(value, "sessions_in_range"):
        _calendar(h, value)
    else:
        _other(h, value)


# ----------------------------------------------------------------------------- arrays and frames


def _array(h: Hasher, array: np.ndarray) -> None:
    """An array's dtype, shape and values, hashed from its own buffer when it is contiguous."""
    if array.dtype.kind in "Mm":  # dates and durations: their int64 counts (the buffer refuses them)
        _tag(h, f"ndarray:{array.dtype.str}:{array.shape}")
        array = array.view(np.int64)
    elif array.dtype.kind == "O":
        _tag(h, f"ndarray:object:{array.shape}")
        for item in array.ravel():
            update(h, item)
        return
    else:
        _tag(h, f"ndarray:{array.dtype.str}:{array.shape}")
    # The memory order is part of the digest: the same bytes in C and in Fortran order are
    # different arrays. Equal arrays in different orders fingerprint differently (a rerun).
    if array.flags.c_contiguous:
        _tag(h, "C")
        h.update(memoryview(array).cast("B"))
    elif array.flags.f_contiguous:
        _tag(h, "F")
        h.update(memoryview(array.T).cast("B"))
    else:  # a strided view: the one case that copies
        _tag(h, "C")
        h.update(memoryview(np.ascontiguousarray(array)).cast("B"))


def _is_pandas(value: Any) -> bool:
    return type(value).__module__.split(".")[0] == "pandas"


def _pandas() -> Any:
    # Reached only with a pandas object in hand: pandas is imported already.
    return import_optional("pandas", caller="pelmora.sweep")


def _pandas_object(h: Hasher, value: Any) -> None:
    pd = _pandas()

    if isinstance(value, pd.DataFrame):
        _frame(h, value)
    elif isinstance(value, pd.Series):
        _tag(h, f"Series:{value.dtype}")
        _index(h, value.index)
        _values(h, value)
    elif isinstance(value, pd.Index):
        _index(h, value)
    elif isinstance(value, pd.Timestamp):
        _tag(h, "NaT" if value is pd.NaT else f"Timestamp:{value.value}:{value.unit}:{value.tz}")
    elif isinstance(value, pd.Timedelta):
        _tag(h, f"Timedelta:{value.value}")
    elif value is pd.NaT:
        _tag(h, "NaT")
    elif isinstance(value, pd.offsets.BaseOffset):
        # The repr of an offset holds its kind, its n and its keywords: "<2 * MonthEnds>".
        _tag(h, f"offset:{value!r}")
    else:
        _other(h, value)


def _frame(h: Hasher, frame: Any) -> None:
    dtypes = list(frame.dtypes)
    first = dtypes[0] if dtypes else None
    uniform = first is not None and all(d == first for d in dtypes)
    kinds = f"all {first}" if uniform else str([str(d) for d in dtypes])
    _tag(h, f"DataFrame:{frame.shape}:{kinds}")
    _index(h, frame.index)
    _index(h, frame.columns)
    if uniform and isinstance(first, np.dtype) and first.kind in "fiub":
        # One NumPy dtype: for a frame held as one block this is a view of it, no copy.
        _array(h, frame.to_numpy(dtype=first, copy=False))
    else:  # mixed or extension dtypes: column by column
        for k in range(frame.shape[1]):
            _values(h, frame.iloc[:, k])


def _values(h: Hasher, series: Any) -> None:
    dtype = series.dtype
    if isinstance(dtype, np.dtype):
        _array(h, series.to_numpy(copy=False))
    else:  # extension dtypes (nullable numbers, categories, Arrow-backed, aware dates)
        pd = _pandas()
        # pandas' own element hashes (a fixed key, so the same in every process); the dtype
        # tagged with them keeps 1 and "1" apart.
        _tag(h, f"extension:{dtype}:{len(series)}")
        _array(h, pd.util.hash_array(series.array))


def _index(h: Hasher, index: Any) -> None:
    pd = _pandas()

    if isinstance(index, pd.DatetimeIndex):
        # The instants in ns, the unit and the zone: asi8 is the index's own int64 buffer.
        _tag(h, f"DatetimeIndex:{index.unit}:{index.tz}")
        _array(h, index.asi8)
    elif isinstance(index, pd.MultiIndex):
        _tag(h, f"MultiIndex:{index.nlevels}")
        for item in index.tolist():
            update(h, item)
    elif isinstance(index.dtype, np.dtype) and index.dtype.kind in "fiubmM":
        _tag(h, f"Index:{index.dtype}")
        _array(h, index.to_numpy())
    else:
        labels = index.tolist()
        _tag(h, f"Index:{index.dtype}:{len(labels)}")
        if all(type(label) is str for label in labels):  # stock ids: one JSON text, quickly
            _tag(h, json.dumps(labels))
        else:  # labels each with its type, so that 1 and "1" differ
            for item in labels:
                update(h, item)


def _columnar(h: Hasher, value: Any) -> None:
    """pyarrow and polars tables and arrays, from their Arrow buffers."""
    if hasattr(value, "to_arrow") and type(value).__module__.split(".")[0] == "polars":
        value = value.to_arrow()
    pa = __import__("pyarrow")
    if isinstance(value, (pa.Table, pa.RecordBatch)):
        _tag(h, f"arrow-table:{value.schema}:{value.num_rows}")
        for column in value.columns:
            _columnar(h, column)
    elif isinstance(value, pa.ChunkedArray):
        _tag(h, f"chunked:{value.type}:{value.num_chunks}")
        for chunk in value.chunks:
            _columnar(h, chunk)
    elif isinstance(value, pa.Array):
        # A slice shares its parent's buffers: its offset and length say which part it is.
        _tag(h, f"array:{value.type}:{value.offset}:{len(value)}:{value.null_count}")
        for buffer in value.buffers():
            if buffer is None:
                _tag(h, "-")
            else:
                _tag(h, f"buffer:{buffer.size}")
                h.update(memoryview(buffer))
        if hasattr(value, "dictionary"):
            _columnar(h, value.dictionary)
    else:
        _other(h, value)


def _calendar(h: Hasher, calendar: Any) -> None:
    # A calendar decides the rebalance dates through its sessions; its repr holds an address.
    _tag(h, f"calendar:{type(calendar).__module__}.{type(calendar).__qualname__}")
    update(h, getattr(calendar, "name", None))
    sessions = getattr(calendar, "sessions", None)
    if sessions is not None and not callable(sessions):
        update(h, sessions)
    else:
        _other(h, calendar)


def _other(h: Hasher, value: Any) -> None:
    _tag(h, f"object:{type(value).__module__}.{type(value).__qualname__}")
    try:
        data = pickle.dumps(value, protocol=5)
    except Exception:  # not picklable: its repr (with an address it only ever matches itself)
        _tag(h, repr(value))
    else:
        _tag(h, f"pickle:{len(data)}")
        h.update(data)
