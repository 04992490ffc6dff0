"""Dates between the engine and the user: the engine counts UTC nanoseconds, the user reads dates in
the time zone of the prices.

- :func:`index_dates` turns a user's date index into the engine's form (naive UTC nanoseconds)
  and its time zone, refusing an index the engine cannot order;
- :func:`dates_of` turns engine dates back into the user's;
- :func:`when` prints a date in a message;
- :class:`RowDates` says on which price row a date falls (by calendar date or by instant).

pandas is imported on first call, not when this module is imported.
"""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np

from pelmora._optional import import_optional

__all__ = ["DAY_NS", "RowDates", "dates_of", "index_dates", "when"]

DAY_NS = 86_400 * 10**9
"""Nanoseconds in a calendar day."""


def _pandas() -> Any:
    return import_optional("pandas", caller="pelmora.backtest")


def dates_of(ns: Any, tz: Any = None) -> Any:
    """Engine dates (UTC nanoseconds) as the user's dates, in the time zone ``tz`` (naive if None)."""
    pd = _pandas()
    dates = pd.DatetimeIndex(np.asarray(ns, dtype="datetime64[ns]"))
    return dates if tz is None else dates.tz_localize("UTC").tz_convert(tz)


def when(stamp: Any, tz: Any = None) -> str:
    """A date for messages: the day alone at midnight, else the full time, in the input's zone."""
    pd = _pandas()
    stamp = pd.Timestamp(stamp)
    if tz is not None and stamp.tz is None:
        stamp = stamp.tz_localize("UTC").tz_convert(tz)
    if stamp == stamp.normalize():
        return str(stamp.date())
    return str(stamp)


def index_dates(index: Any, what: str) -> tuple[Any, Any]:
    """Return (naive UTC DatetimeIndex in ns, time zone) for a date index; reject unusable ones."""
    pd = _pandas()
    if not isinstance(index, pd.DatetimeIndex):
        # Numbers would be read as nanoseconds since 1970: a RangeIndex is not a date index.
        if len(index) and (
            pd.api.types.is_numeric_dtype(index.dtype) or pd.api.types.is_bool_dtype(index.dtype)
        ):
            raise TypeError(
                f"the index of {what} must hold dates, got {type(index).__name__} of "
                f"{index.dtype} values"
            )
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # pandas' note on guessing a format
                index = pd.DatetimeIndex(pd.to_datetime(index))
        except (TypeError, ValueError) as exc:
            raise TypeError(
                f"the index of {what} must hold dates, got {type(index).__name__}: {exc}"
            ) from exc
    idx = index
    tz = idx.tz
    if tz is not None:
        idx = idx.tz_convert("UTC").tz_localize(None)
    if idx.hasnans:
        raise ValueError(f"the index of {what} has missing dates (NaT)")
    if not idx.is_unique:
        dup = idx[idx.duplicated()][0]
        raise ValueError(f"the index of {what} has duplicate dates, first {when(dup, tz)}")
    if not idx.is_monotonic_increasing:
        raise ValueError(f"the index of {what} must be sorted in ascending order")
    return idx.as_unit("ns"), tz


class RowDates:
    """Where a date falls among the price rows, by the rule the README's Conventions state.

    When the prices have at most one row per calendar date (daily data, whatever its time of
    day), a weight, rebalance or delisting date is compared by its calendar date in the prices'
    time zone: a weight row stamped at midnight belongs to the price row of 16:00 that day, not
    to the day before. With several rows per date (intraday bars) instants are compared.
    """

    def __init__(self, price_dates: Any, tz: Any) -> None:
        self.tz = tz
        self.index = np.asarray(price_dates.asi8, dtype=np.int64)
        days = self._days(price_dates)
        self.daily = bool(len(days) < 2 or (np.diff(days) > 0).all())
        self.keys = days if self.daily else self.index

    def _days(self, dates: Any) -> np.ndarray:
        """Local midnight of each naive UTC date, as int64 nanoseconds (wall clock)."""
        if self.tz is not None:
            dates = dates.tz_localize("UTC").tz_convert(self.tz).tz_localize(None)
        ns = np.asarray(dates.as_unit("ns").asi8, dtype=np.int64)
        return ns - ns % DAY_NS  # floor, also before 1970

    def keys_of(self, dates: Any) -> np.ndarray:
        """The comparison keys of naive UTC ``dates``: calendar days or instants."""
        return self._days(dates) if self.daily else np.asarray(dates.asi8, dtype=np.int64)

    def rows(self, keys: np.ndarray) -> np.ndarray:
        """The last price row whose key is on or before each key (-1 before the data)."""
        return np.searchsorted(self.keys, keys, side="right") - 1

    def onto_rows(
        self, dates: Any, *, lift_only: bool = False, keys: np.ndarray | None = None
    ) -> np.ndarray:
        """``dates`` as int64 nanoseconds, each inside the data moved onto its price row.

        The engine skips the rows before the first weight date, and takes a weight or rebalance
        date to belong to the last row on or before its instant: a weight row of a Sunday (a
        month end from ``resample("ME")``) would skip its Friday, one of midnight before a 16:00
        close would belong to the day before. Each is put on its row. ``lift_only`` moves only
        the dates that lie before their row (the engine finds the row of the others itself), so
        a rebalance date given as a Saturday stays one. Dates before the first or after the last
        price date keep their instants. ``keys``: the dates' keys when the caller has them.
        """
        ns = np.array(dates.asi8, dtype=np.int64)
        keys = self.keys_of(dates) if keys is None else keys
        rows = self.rows(keys)
        inside = (rows >= 0) & (keys <= self.keys[-1])
        row_ns = self.index[rows[inside]]
        ns[inside] = np.maximum(ns[inside], row_ns) if lift_only else row_ns
        return ns
