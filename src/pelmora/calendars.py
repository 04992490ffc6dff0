"""Period ends by an exchange calendar, for rebalancing on the last trading session of a period.

Without a calendar a period (a month, a week, ...) is taken to be over once the business day after
the data falls into the next period; a holiday on that business day (Good Friday, a lunar new year)
makes the rule wait for a session that never comes. An exchange calendar knows the sessions, so
each period ends on its last session. The calendars come from the ``exchange-calendars`` package
(extra ``calendar``); any object with ``sessions_in_range(start, end)`` and, optionally,
``first_session`` / ``last_session`` serves as well.

The rules live with the rest of the rebalance schedule, in :mod:`pelmora.schedule`; this module
keeps their long-standing import path.
"""

from __future__ import annotations

from pelmora.inputs.schedule import period_end_rows, resolve_calendar

__all__ = ["period_end_rows", "resolve_calendar"]
