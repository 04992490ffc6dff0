"""Period ends by an exchange calendar, for rebalancing on the last trading session of a period.

Without a calendar a period (a month, a week, ...) is taken to be over once the business day after
the data falls into the next period; a holiday on that business day (Good Friday, a lunar new year)
makes the rule wait for a session that never comes. An exchange calendar knows the sessions, so
each period ends on its last session. The calendars come from the ``exchange-calendars`` package
(extra ``calendar``); any object with ``sessions_in_range(start, end)`` and, optionally,
``first_session`` / ``last_session`` serves as well.
"""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np

from pelmora import _require

__all__ = ["period_end_rows", "resolve_calendar"]


def resolve_calendar(calendar: Any) -> Any:
    """The calendar object for a name such as "XNYS", or ``calendar`` itself.

    Raises
    ------
    ImportError
        A name given without exchange-calendars installed (the extra is named).
    ValueError
        A name that exchange-calendars does not know.
    TypeError
        An object without ``sessions_in_range``.
    """
    if isinstance(calendar, str):
        xcals = _require("exchange_calendars", f"calendar={calendar!r}")
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the package's own deprecation notes
                return xcals.get_calendar(calendar)
        except Exception as exc:  # the package raises its own error types for unknown names
            raise ValueError(f"calendar {calendar!r} is not a known exchange calendar: {exc}") from exc
    if not callable(getattr(calendar, "sessions_in_range", None)):
        raise TypeError(
            "calendar must be an exchange calendar name or an object with sessions_in_range, "
            f"got {type(calendar).__name__}"
        )
    return calendar


def period_end_rows(rule: Any, local_dates: Any, calendar: Any) -> np.ndarray:
    """Rows of ``local_dates`` that end a period of ``rule`` by the calendar's sessions.

    Parameters
    ----------
    rule : str or pandas.DateOffset
        The period frequency ("ME", "W-FRI", "QE", ...).
    local_dates : pandas.DatetimeIndex
        Naive price dates in the exchange's local time, ascending.
    calendar : object
        A resolved calendar (see :func:`resolve_calendar`).

    Returns
    -------
    numpy.ndarray
        Ascending unique row numbers: for every period whose last session is on or before the last
        price date, the last row dated on or before that session.
    """
    pd = _require("pandas", "calendar=")
    days = local_dates.normalize().as_unit("ns")
    first, last = days[0], days[-1]
    lo = first
    hi = last + pd.Timedelta(days=400)  # far enough for any period of a year or less
    bound_lo = _session_bound(calendar, "first_session")
    bound_hi = _session_bound(calendar, "last_session")
    if bound_lo is not None:
        lo = max(lo, bound_lo)
    if bound_hi is not None:
        hi = min(hi, bound_hi)
    if lo > hi:
        return np.empty(0, dtype=np.int64)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        sessions = pd.DatetimeIndex(calendar.sessions_in_range(lo, hi))
    if sessions.tz is not None:
        sessions = sessions.tz_localize(None)
    sessions = sessions.normalize()
    if len(sessions) == 0:
        return np.empty(0, dtype=np.int64)
    try:
        ends = pd.Series(sessions, index=sessions).resample(rule).last().dropna()
    except (ValueError, TypeError) as exc:
        raise ValueError(f"rebalance={rule!r} is not a pandas frequency: {exc}") from exc
    ends = pd.DatetimeIndex(ends.to_numpy())
    if bound_hi is not None and len(ends) and ends[-1] == bound_hi:
        # The calendar stops here: whether the period has later sessions is not known.
        ends = ends[:-1]
    ends = ends[ends <= last]
    rows = np.searchsorted(days.asi8, ends.as_unit("ns").asi8, side="right") - 1
    return np.unique(rows[rows >= 0]).astype(np.int64)


def _session_bound(calendar: Any, name: str) -> Any:
    value = getattr(calendar, name, None)
    if value is None:
        return None
    pd = _require("pandas", "calendar=")
    stamp = pd.Timestamp(value)
    return stamp.tz_localize(None) if stamp.tz is not None else stamp
