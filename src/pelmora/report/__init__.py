"""Self-contained HTML reports of a backtest and of a sweep.

A report is one HTML file that opens anywhere, also offline and in a mail attachment: the pictures
are inline PNG data, the style sheet is inline, it runs no script and names no other address.

The rooms: :mod:`~pelmora.report._html` the HTML kit and the one atomic write,
:mod:`~pelmora.report._backtest` the report of one run, :mod:`~pelmora.report._sweep` the report of
a sweep. Every picture is drawn by :mod:`pelmora.plotting`; the report knows
:class:`~pelmora.BacktestResult` only for typing.
"""

from __future__ import annotations

import os  # noqa: F401 - reachable as pelmora.report.os, as before the package was split

from pelmora.report._backtest import (
    PERIODS_PER_YEAR,  # noqa: F401 - reachable here as before, not in __all__ as before
    ROLLING_WINDOW,
    backtest_report,
    worst_drawdowns,
)
from pelmora.report._sweep import sweep_report

__all__ = ["ROLLING_WINDOW", "backtest_report", "sweep_report", "worst_drawdowns"]
