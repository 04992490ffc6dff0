"""When the book moves: every rule of the rebalance schedule, and the slices of a walk-forward.

- :func:`rebalance_dates`: the engine's rebalance dates from a frequency alias, a list of dates
  or the weights' own dates;
- :func:`resolve_calendar`, :func:`period_end_rows`: period ends by an exchange calendar (the
  public face of these two is :mod:`pelmora.calendars`);
- ``_span``, ``_rows``, ``_until``, ``_within``: the calendar spans of a walk-forward and the data
  and options cut to one of them; ``_group_bounds`` and ``_training_mask``: the groups of dates of
  a purged cross-validation and the training dates left beside its test groups.

Without a calendar a period (a month, a week, ...) is taken to be over once the business day after
the data falls into the next period; a holiday on that business day (Good Friday, a lunar new year)
makes the rule wait for a session that never comes. An exchange calendar knows the sessions, so
each period ends on its last session. The calendars come from the ``exchange-calendars`` package
(extra ``calendar``); any object with ``sessions_in_range(start, end)`` and, optionally,
``first_session`` / ``last_session`` serves as well. pandas is imported on first call.
"""

from __future__ import annotations

import contextlib
import dataclasses
import re
import warnings
from collections.abc import Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.inputs._dates import RowDates, index_dates, when
from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    from pelmora.inputs.options import BacktestOptions

__all__ = ["period_end_rows", "rebalance_dates", "resolve_calendar"]


def _pandas(caller: str = "pelmora.backtest") -> Any:
    return import_optional("pandas", caller=caller)


# ------------------------------------------------------------------------------------ rebalance

# Words people write for a schedule, and the pandas alias that means it.
_FREQUENCY_WORDS = {
    "daily": "B",
    "day": "B",
    "weekly": "W-FRI",
    "week": "W-FRI",
    "monthly": "ME",
    "month": "ME",
    "quarterly": "QE",
    "quarter": "QE",
    "yearly": "YE",
    "annually": "YE",
    "annual": "YE",
    "year": "YE",
}

REBALANCE_FORMS = (
    '"ME" (month end), "W-FRI" (weekly, Fridays), "QE" (quarter end), "YE" (year end), '
    "any pandas offset alias, a list of dates, or None (trade on every weight row)"
)


def not_a_frequency(rule: Any) -> str:
    """The message for a ``rebalance`` string pandas cannot read: the accepted forms, and the
    alias meant by a word such as "monthly" (pandas' own nested text helps nobody here)."""
    meant = _FREQUENCY_WORDS.get(str(rule).strip().lower())
    hint = f'; did you mean "{meant}"?' if meant else "."
    return f"rebalance={rule!r} is not a pandas frequency{hint} Accepted: {REBALANCE_FORMS}"



def rebalance_dates(
    rebalance: Any,
    price_dates: Any,
    weight_dates: Any,
    tz: Any = None,
    calendar: Any = None,
) -> np.ndarray:
    """The rebalance dates handed to the engine, as int64 nanoseconds.

    Parameters
    ----------
    rebalance : str, pandas.DateOffset, sequence of dates or None
        A pandas frequency alias ("D", "W-FRI", "MS", "ME", "QE", ...) or offset: the last trading
        day of every period of that frequency. Without ``calendar`` the last period counts only
        once it is over, that is when the business day after the last price date falls into the
        next period; with it, once the calendar's last session of the period is in the data. A
        sequence of dates: each marks the last trading day on or before it. None: every date of
        the weights. Dates are compared by calendar date in ``tz`` when the prices have at most
        one row per date, by instant otherwise; a date that lies before its row (midnight before
        a 16:00 close) is moved onto it.
    price_dates, weight_dates : pandas.DatetimeIndex
        Naive dates of the price rows and of the weight rows (UTC when ``tz`` is given).
    tz : tzinfo or str, optional
        Time zone of the input dates; the periods of a frequency are taken in it.
    calendar : str or calendar object, optional
        See :class:`pelmora.options.BacktestOptions`; checked always, used with a frequency only.

    Returns
    -------
    numpy.ndarray
        Ascending int64 nanosecond dates.

    Raises
    ------
    ValueError
        A date before the first price date, a frequency pandas does not know, or an unknown
        calendar name.
    TypeError
        Something that is neither a frequency, dates nor None.
    """
    return _rebalance_dates(rebalance, price_dates, weight_dates, tz, calendar)


def _rebalance_dates(
    rebalance: Any,
    price_dates: Any,
    weight_dates: Any,
    tz: Any = None,
    calendar: Any = None,
    on_rows: RowDates | None = None,
    weight_keys: np.ndarray | None = None,
) -> np.ndarray:
    """:func:`rebalance_dates`, given the :class:`RowDates` of ``price_dates`` in ``tz`` and
    the keys of ``weight_dates`` when the caller has made them already."""
    pd = _pandas()
    if calendar is not None:
        # Checked whatever ``rebalance`` is: a misspelt name must not pass unnoticed.
        calendar = resolve_calendar(calendar)
    if rebalance is None:
        if len(price_dates) == 0:
            return np.asarray(weight_dates.asi8, dtype=np.int64)
        rows = on_rows if on_rows is not None else RowDates(price_dates, tz)
        return rows.onto_rows(weight_dates, lift_only=True, keys=weight_keys)
    if isinstance(rebalance, (str, pd.offsets.BaseOffset)):
        n = len(price_dates)
        if n == 0:
            return np.empty(0, dtype=np.int64)
        local = price_dates if tz is None else price_dates.tz_localize("UTC").tz_convert(tz)
        if calendar is not None:
            naive_local = local if tz is None else local.tz_localize(None)
            rows = period_end_rows(rebalance, naive_local, calendar)
            return np.asarray(price_dates.asi8[rows], dtype=np.int64)
        # Row numbers per date plus one probe: the business day after the data. The last row of a
        # period is the period's rebalance day unless the probe lands in the same period (then the
        # period is still running and its last trading day is not known yet).
        probe = local[-1] + pd.offsets.BDay(1)
        numbered = pd.Series(np.arange(n + 1), index=local.append(pd.DatetimeIndex([probe])))
        try:
            last = numbered.resample(rebalance).last()
        except (ValueError, TypeError) as exc:
            raise ValueError(not_a_frequency(rebalance)) from exc
        last = last.dropna().to_numpy(dtype=np.int64)
        return np.asarray(price_dates.asi8[last[last < n]], dtype=np.int64)
    if isinstance(rebalance, (bool, int, float)):
        raise TypeError(
            "rebalance must be a frequency alias, a sequence of dates or None, "
            f"got {type(rebalance).__name__}"
        )
    try:
        given = pd.DatetimeIndex(rebalance)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"rebalance dates must be dates: {exc}") from exc
    if (given.tz is None) != (tz is None):
        raise ValueError("rebalance dates and prices must both be time-zone-aware or both naive")
    explicit, _ = index_dates(given.dropna().unique().sort_values(), "rebalance")
    if len(explicit) == 0 or len(price_dates) == 0:
        return np.asarray(explicit.asi8, dtype=np.int64)
    on_rows = on_rows if on_rows is not None else RowDates(price_dates, tz)
    if on_rows.keys_of(explicit[:1])[0] < on_rows.keys[0]:
        # The engine would move such a date to the first row: a schedule that is not the one given.
        raise ValueError(
            f"rebalance date {when(explicit[0], tz)} is before the first price date "
            f"{when(price_dates[0], tz)}"
        )
    return on_rows.onto_rows(explicit, lift_only=True)


# ------------------------------------------------------------------------------ calendars


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
        xcals = import_optional("exchange_calendars", caller=f"calendar={calendar!r}")
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
    pd = _pandas("calendar=")
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
        raise ValueError(not_a_frequency(rule)) from exc
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
    pd = _pandas("calendar=")
    stamp = pd.Timestamp(value)
    return stamp.tz_localize(None) if stamp.tz is not None else stamp


# ------------------------------------------------------------------------------- walk-forward

_SPAN = re.compile(r"^\s*(\d+)\s*([YMWD])\s*$", re.IGNORECASE)
_UNITS = {"Y": "years", "M": "months", "W": "weeks", "D": "days"}


SPAN_NOT_A_SPAN = (
    '{name} must be a positive span such as "3Y", "6M", "13W" or "90D" (or a pandas DateOffset '
    "or Timedelta), got {value!r}"
)
SPAN_OUT_OF_BOUNDS = (
    "{name}={value!r} {direction} {date} reaches past the dates pandas holds at the price dates' "
    "resolution ({unit!r}): give a shorter span"
)
# A span is positive when it moves this date forward, and back when subtracted: a DateOffset's
# own n is 1 for DateOffset(days=-3) or DateOffset(days=0).
_SPAN_PROBE = "2000-01-31"


def _span(value: Any, name: str) -> Any:
    """A positive calendar span: "3Y", "6M", "13W", "90D", a pandas DateOffset or a Timedelta.
    Zero or negative spans are refused in every form, with the text of an unreadable one."""
    pd = _pandas("pelmora.walk_forward")
    out = None
    if isinstance(value, (pd.offsets.BaseOffset, pd.Timedelta)):
        probe = pd.Timestamp(_SPAN_PROBE)
        try:
            if probe - value < probe < probe + value:
                out = value
        except (OverflowError, ValueError):  # too long to apply even to 2000: checked on the dates
            out = value
    elif isinstance(value, str):
        match = _SPAN.match(value)
        if match and int(match.group(1)) > 0:
            try:
                out = pd.DateOffset(**{_UNITS[match.group(2).upper()]: int(match.group(1))})
            except OverflowError:  # more than an offset counts: _shifted refuses it by name
                out = value
    if out is None:
        raise ValueError(SPAN_NOT_A_SPAN.format(name=name, value=value))
    return out


def _shifted(date: Any, span: Any, sign: int, name: str, value: Any) -> Any:
    """``date`` plus (``sign`` 1) or minus (-1) ``span``, as a Timestamp of the dates' own unit;
    a span that takes it out of the dates pandas can hold is refused naming ``name`` and the
    ``value`` given."""
    pd = _pandas("pelmora.walk_forward")
    unit = getattr(date, "unit", "ns")
    try:
        if isinstance(span, str):  # a count no DateOffset takes
            raise OverflowError(span)
        return (date + span if sign > 0 else date - span).as_unit(unit)
    except (OverflowError, ValueError, pd.errors.OutOfBoundsDatetime):
        raise ValueError(SPAN_OUT_OF_BOUNDS.format(
            name=name, value=value, direction="after" if sign > 0 else "before",
            date=date.date(), unit=unit,
        )) from None


def _map_frames(prices: Any, func: Any) -> Any:
    """``func`` applied to a price frame, or to each frame of a mapping of them."""
    if isinstance(prices, Mapping):
        return {k: func(v) for k, v in prices.items()}
    return func(prices)


def _rows(prices: Any, first: Any, end: Any) -> Any:
    """The price rows dated from ``first`` to before ``end``."""
    return _map_frames(prices, lambda f: f[(f.index >= first) & (f.index < end)])


def _until(weights: Any, end: Any) -> Any:
    # Weights dated before a span's end may act in it; later ones belong to the future.
    return weights[weights.index < end]


def _from(weights: Any, first: Any) -> Any:
    """The weights a span starting on ``first`` may act on: from the last row dated on or before
    it (the book the strategy holds as the span starts) on. Older rows are left out: one of them
    may hold a stock delisted before the span, which has no price in it."""
    before = np.flatnonzero(weights.index <= first)
    return weights.iloc[before[-1]:] if len(before) else weights


def _within(opts: BacktestOptions, first: Any, end: Any) -> BacktestOptions:
    """``opts`` for data from ``first`` to before ``end``: explicit rebalance dates and the rows
    of a volume frame cut to it, as the prices are."""
    if opts.volume is not None and hasattr(opts.volume, "index"):
        opts = dataclasses.replace(opts, volume=_rows(_dated(opts.volume), first, end))
    reb = opts.rebalance
    if reb is None or isinstance(reb, str) or not hasattr(reb, "__iter__"):
        return opts
    pd = _pandas("pelmora.walk_forward")
    kept = [d for d in pd.DatetimeIndex(list(reb)) if first <= d < end]
    return dataclasses.replace(opts, rebalance=kept)


def _dated(frame: Any) -> Any:
    """``frame`` with a DatetimeIndex (the checks accept an index of date strings as well)."""
    pd = _pandas("pelmora.walk_forward")
    if isinstance(frame.index, pd.DatetimeIndex):
        return frame
    return frame.set_axis(pd.DatetimeIndex(pd.to_datetime(frame.index)), axis=0)


@contextlib.contextmanager
def _checked_once() -> Iterator[None]:
    """Silence, in the runs on slices, the warnings about the inputs that the check of the
    whole data has given once already."""
    with warnings.catch_warnings():
        for text in _INPUT_WARNINGS:
            warnings.filterwarnings("ignore", message=text, category=UserWarning)
        yield


_INPUT_WARNINGS = (
    r'prices\["close"\] has \d+ rows? where every stock is missing',
    r"weights has \d+ rows? where every weight is NaN",
)


def _group_bounds(n_dates: int, n_groups: int) -> np.ndarray:
    """Row bounds of ``n_groups`` contiguous groups of dates: group g is rows ``bounds[g]`` to
    before ``bounds[g + 1]``. The sizes differ by one at most, the longer groups first."""
    size, extra = divmod(n_dates, n_groups)
    sizes = np.full(n_groups, size, dtype=np.int64)
    sizes[:extra] += 1
    return np.concatenate(([0], np.cumsum(sizes)))


def _training_mask(
    dates: Any, bounds: np.ndarray, tested: Sequence[int], purge: Any, embargo: Any
) -> np.ndarray:
    """The training rows beside the test groups ``tested``: every other row, except those in
    the ``purge`` span before a test group's first date (a training trade there would be judged
    on prices of the test) and those in the ``embargo`` span after its last date (signals there
    still read the test's prices). A span of None removes nothing."""
    keep = np.ones(len(dates), dtype=bool)
    for g in tested:
        lo, hi = int(bounds[g]), int(bounds[g + 1])
        keep[lo:hi] = False
        if purge is not None:
            keep &= ~((dates >= dates[lo] - purge) & (dates < dates[lo]))
        if embargo is not None:
            keep &= ~((dates > dates[hi - 1]) & (dates <= dates[hi - 1] + embargo))
    return keep


def _runs(mask: np.ndarray) -> list[tuple[int, int]]:
    """The runs of True in ``mask`` as (first row, row after the last)."""
    edges = np.flatnonzero(np.diff(np.concatenate(([0], mask.astype(np.int8), [0]))))
    return [(int(a), int(b)) for a, b in zip(edges[::2], edges[1::2])]
