"""Equity curves from what users hold: a run's result, a Series of daily returns or of values.

:func:`pelmora.compare` and :func:`pelmora.tearsheet` describe any of these by the rules of
:meth:`BacktestResult.stats`: a curve held from a capital of 1.0, its window starting where the
capital moves first, its figures those of :func:`pelmora.stats.performance_stats`. A result keeps
its own statistics (trades, turnover, costs) bit for bit; a Series has none of those.
"""

from __future__ import annotations

import math
import sys
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional
from pelmora.statistics.performance import COST_NAMES, benchmark_level, performance_stats

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.results.result import BacktestResult

__all__ = [
    "CURVE_TEXTS", "KINDS", "NOT_OF_A_SERIES", "Curve", "benchmark_curve", "curve_of", "final_text",
    "span_text",
]

def span_text(index: Any) -> str:
    """The dates of a curve as a result's one-line text gives them: "first..last", or "no rows"."""
    return f"{index[0].date()}..{index[-1].date()}" if len(index) else "no rows"


def final_text(equity: Any) -> str:
    """The last value of an equity Series as a result's one-line text gives it ("nan" if empty)."""
    return f"{equity.iloc[-1]:.4f}" if len(equity) else "nan"


KINDS = ("auto", "returns", "prices")
"""How a Series is read: told apart by its values, daily returns, or values (prices, a NAV)."""

NOT_OF_A_SERIES = (
    "win_rate", "avg_win", "avg_loss", "profit_factor", "expectancy", "avg_mae", "avg_mfe",
    "turnover", "n_trades", "fill_rate", *COST_NAMES,
)
"""The figures a Series of returns or values does not have (trades, orders, costs): NaN."""

CURVE_TEXTS = {
    "type": "{caller}: {name} must be a BacktestResult or a pandas Series of daily returns or "
            "values on dates, got {kind}",
    "dates": "{caller}: {name} must be indexed by dates (a DatetimeIndex), got {kind}",
    "kind": 'kind must be "auto", "returns" or "prices", got {kind!r}',
    "duplicate": "{caller}: {name} has the date {date} twice",
    "returns": "{caller}: {name} read as returns has {value!r} on {date}: a daily return is "
               "finite and above -1",
    "prices": "{caller}: {name} read as prices has {value!r} on {date}: a value is finite and "
              "above 0",
    "guess": "{caller}: every value of {name} is above 0 and below 1, read as prices (values); "
             'if they are daily returns, pass kind="returns" (kind="prices" silences this)',
}
"""The messages of reading a curve, formatted where raised or warned."""


def _pandas(caller: str) -> Any:
    return import_optional("pandas", caller=caller)


def _is_result(value: Any) -> bool:
    module = sys.modules.get("pelmora.result")
    return module is not None and isinstance(value, module.BacktestResult)


def _day(stamp: Any) -> str:
    """A date as the messages write it: the day alone at midnight, else the instant."""
    midnight = stamp == stamp.normalize()
    return str(stamp.date()) if midnight and stamp.tz is None else str(stamp)


@dataclass
class Curve:
    """One strategy as the comparison sees it: its equity over its window (from 1.0 before it)."""

    name: str
    equity: pd.Series
    initial_date: Any = None
    result: BacktestResult | None = None

    @property
    def returns(self) -> pd.Series:
        """The daily returns of the equity, the first one measured from 1.0."""
        values = self.equity.to_numpy(dtype=np.float64)
        previous = np.concatenate(([1.0], values[:-1]))
        return self.equity.__class__(values / previous - 1.0, index=self.equity.index,
                                     name=self.name)

    def from_capital(self) -> pd.Series:
        """The equity with the capital of 1.0 on the day before the window, when it is known."""
        if self.initial_date is None:
            return self.equity
        pd = _pandas("pelmora.tearsheet")
        head = pd.Series([1.0], index=pd.DatetimeIndex([self.initial_date]), name=self.name)
        joined: pd.Series = pd.concat([head, self.equity])
        return joined

    def stats(self, benchmark: Any = None, **options: Any) -> Any:
        """:meth:`BacktestResult.stats` of a result; the curve's figures of a Series."""
        if self.result is not None:
            return self.result.stats(benchmark, **options)
        figures = performance_stats(self.equity, benchmark=benchmark,
                                    initial_date=self.initial_date, **options)
        if hasattr(figures, "columns"):  # with intervals: a frame of value, lower, upper
            figures.loc[list(NOT_OF_A_SERIES)] = math.nan
        else:
            figures[list(NOT_OF_A_SERIES)] = math.nan
        return figures


def _first_change(values: np.ndarray) -> int:
    """The first row that moves from the row before (1 when none does)."""
    moved = np.flatnonzero(values[1:] != values[:-1])
    return int(moved[0]) + 1 if len(moved) else min(1, len(values))


def _kind(values: np.ndarray, kind: str, name: str, caller: str) -> str:
    """"returns" or "prices"; "auto" reads a Series with a value at or below 0 as returns and
    one of positive values as prices, and warns when every value is also a plausible return."""
    if kind not in KINDS:
        raise ValueError(CURVE_TEXTS["kind"].format(kind=kind))
    if kind != "auto":
        return kind
    if len(values) and bool(np.all(values > 0.0)):
        if bool(np.all(values < 1.0)):
            warnings.warn(CURVE_TEXTS["guess"].format(caller=caller, name=name), UserWarning,
                          stacklevel=4)
        return "prices"
    return "returns"


def curve_of(value: Any, name: str, kind: str = "auto", caller: str = "pelmora.tearsheet"
             ) -> Curve:
    """A result or a Series as a :class:`Curve`.

    A result's window is its statistics window. A Series of returns is compounded from 1.0 (the
    first return is the first row's); a Series of values is divided by the value before the
    window. Either way the window starts where the curve first moves: the flat days before an
    engine's first trade (returns of 0, a value that does not change) would dilute volatility
    and Sharpe, as the days before a run's first fill do. NaN values are left out.
    """
    if _is_result(value):
        start = value.window_start
        equity = value.equity
        return Curve(name, equity.iloc[start:].rename(name),
                     equity.index[start - 1] if 0 < start <= len(equity) else None, value)
    pd = _pandas(caller)
    if not isinstance(value, pd.Series):
        raise TypeError(CURVE_TEXTS["type"].format(caller=caller, name=name,
                                                   kind=type(value).__name__))
    if not isinstance(value.index, pd.DatetimeIndex):
        raise TypeError(CURVE_TEXTS["dates"].format(caller=caller, name=name,
                                                    kind=type(value.index).__name__))
    series = value.astype(np.float64).dropna().sort_index(kind="stable")
    if series.index.has_duplicates:
        date = series.index[series.index.duplicated()][0]
        raise ValueError(CURVE_TEXTS["duplicate"].format(caller=caller, name=name,
                                                         date=_day(date)))
    values = series.to_numpy()
    read = _kind(values, kind, name, caller)
    bad = ~np.isfinite(values) | (values <= (-1.0 if read == "returns" else 0.0))
    if bad.any():
        at = int(np.argmax(bad))
        raise ValueError(CURVE_TEXTS[read].format(caller=caller, name=name,
                                                  value=float(values[at]),
                                                  date=_day(series.index[at])))
    if read == "returns":
        moved = np.flatnonzero(values != 0.0)
        start = int(moved[0]) if len(moved) else 0
        equity = np.cumprod(1.0 + values[start:])
        initial = series.index[start - 1] if start > 0 else None
        return Curve(name, pd.Series(equity, index=series.index[start:], name=name), initial)
    start = _first_change(values)
    if len(values) == 0:
        return Curve(name, pd.Series([], index=series.index, dtype=np.float64, name=name))
    equity = values[start:] / values[start - 1]
    return Curve(name, pd.Series(equity, index=series.index[start:], name=name),
                 series.index[start - 1])


def benchmark_curve(benchmark: pd.Series, dates: pd.DatetimeIndex) -> pd.Series:
    """The benchmark over ``dates`` measured from its level before the first one (as a strategy
    is measured from the capital before its window): its level divided by that one."""
    level = benchmark_level(benchmark, dates)
    before = benchmark_level(benchmark, dates[:1], before=True)
    known = level.dropna()
    base = before.iloc[0] if len(before) and not math.isnan(before.iloc[0]) else (
        known.iloc[0] if len(known) else math.nan)
    curve: pd.Series = (level / base).dropna()
    return curve
