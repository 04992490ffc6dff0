"""A benchmark against an equity curve: its level on the curve's dates, and its returns there.

The statistics (:func:`pelmora.stats.performance_stats`) and the reports read a benchmark through
these, so that a benchmark given as prices or as returns means the same thing everywhere.
"""

from __future__ import annotations

import math
import warnings
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from pelmora.inputs._dates import when
from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["BENCHMARK_SPAN", "benchmark_level"]

BENCHMARK_SPAN = (
    "benchmark covers only {first} to {last} of the equity's {start} to {end}: the benchmark "
    "figures are computed over that span"
)
"""The warning for a benchmark with returns over part of the window only."""


def _ns(index: pd.DatetimeIndex) -> np.ndarray:
    # Nanosecond integers since the epoch (UTC for aware dates), whatever the unit pandas chose.
    return np.asarray(index.as_unit("ns").asi8, dtype=np.int64)


def _benchmark_kind(values: np.ndarray, kind: str) -> str:
    if kind != "auto":
        return kind
    present = values[~np.isnan(values)]
    return "prices" if bool(np.all(present > 0)) else "returns"


def _level_at(
    known: np.ndarray, values: np.ndarray, at: np.ndarray, side: Literal["left", "right"]
) -> np.ndarray:
    # The last level on (side "right") or strictly before (side "left") each date of ``at``
    # (nanoseconds, ``known`` sorted); not carried past the benchmark's last date, where a stale
    # level would read as a flat market.
    level = np.full(len(at), math.nan)
    if not len(known):
        return level
    rows = np.searchsorted(known, at, side=side) - 1
    valid = (rows >= 0) & (at <= known[-1])
    level[valid] = values[rows[valid]]
    return level


def benchmark_level(
    benchmark: pd.Series, dates: pd.DatetimeIndex, *, before: bool = False
) -> pd.Series:
    """The benchmark as a price level on ``dates``: the last level on (or, with ``before``,
    strictly before) each one.

    This is the one benchmark-level rule: the benchmark statistics and the reports read the
    benchmark through it.

    Parameters
    ----------
    benchmark : pandas.Series
        Benchmark prices or returns on dates (told apart as
        :func:`pelmora.stats.performance_stats` does: returns are compounded into a level first).
    dates : pandas.DatetimeIndex
        The dates to read the level on.
    before : bool, default False
        Read the last level strictly before each date instead of on it.

    Returns
    -------
    pandas.Series
        On ``dates``, named as ``benchmark`` (or "benchmark"); NaN before the benchmark's first
        date and after its last one.
    """
    pandas = import_optional("pandas", caller="pelmora.stats.benchmark_level")
    series = benchmark.astype(np.float64).dropna().sort_index(kind="stable")
    values = series.to_numpy()
    if _benchmark_kind(values, "auto") == "returns":
        values = np.cumprod(1.0 + values)
    # Nanoseconds on both sides: the two indexes may hold different units.
    level = _level_at(_ns(series.index), values, _ns(dates), "left" if before else "right")
    return pandas.Series(level, index=dates, name=benchmark.name or "benchmark")


def _benchmark_returns(
    benchmark: pd.Series, dates: pd.DatetimeIndex, kind: str, pandas: Any
) -> np.ndarray:
    """The benchmark's return on each of ``dates`` (NaN where it has none)."""
    if not isinstance(dates, pandas.DatetimeIndex):
        raise TypeError(
            f"equity must be on a DatetimeIndex to be compared with a benchmark, "
            f"got {type(dates).__name__}"
        )
    index = benchmark.index
    if (index.tz is None) != (dates.tz is None):
        which = "naive" if index.tz is None else f"in {index.tz}"
        other = "naive" if dates.tz is None else f"in {dates.tz}"
        raise ValueError(
            f"benchmark dates are {which} but equity dates are {other}: localize or convert "
            "one of them so that both name the same instants"
        )
    if index.has_duplicates:
        raise ValueError("benchmark has duplicate dates")
    # Aware dates compare as UTC instants, so two different zones need no conversion here.
    bench_ns, dates_ns = _ns(index), _ns(dates)
    values = benchmark.to_numpy(dtype=np.float64)
    kind = _benchmark_kind(values, kind)
    if kind == "returns":
        rows = pandas.Index(bench_ns).get_indexer(dates_ns)
        found = rows >= 0
        returns = np.full(len(dates_ns), math.nan)
        returns[found] = values[rows[found]]
        if not np.any(~np.isnan(returns)):
            raise ValueError("benchmark has no return on any date of equity")
        _warn_partial(returns, dates)
        return returns

    keep = ~np.isnan(values)
    if np.any(values[keep] <= 0):
        raise ValueError("benchmark read as prices has a zero or negative price")
    order = np.argsort(bench_ns[keep], kind="stable")
    bench_ns, values = bench_ns[keep][order], values[keep][order]
    if not len(values) or not np.any((dates_ns >= bench_ns[0]) & (dates_ns <= bench_ns[-1])):
        raise ValueError("benchmark has no price within the dates of equity")

    level = _level_at(bench_ns, values, dates_ns, "right")
    # The first date's return is measured from the last price before it, as the equity's first
    # return is measured from the capital held before the window.
    before = _level_at(bench_ns, values, dates_ns[:1], "left")
    previous = np.concatenate((before, level[:-1]))
    result: np.ndarray = level / previous - 1.0
    _warn_partial(result, dates)
    return result


def _warn_partial(returns: np.ndarray, dates: Any) -> None:
    """Warn when the benchmark's returns leave out the start or the end of the window.

    The first date may go without one: a price series that starts on it has no price before
    it, and returns made by ``pct_change`` have none there; the equity's first return is the
    only pair lost. Dates missing inside the span are missing pairs, not a shorter window.
    """
    found = np.flatnonzero(~np.isnan(returns))
    if not len(found) or (found[0] <= 1 and found[-1] == len(returns) - 1):
        return
    warnings.warn(
        BENCHMARK_SPAN.format(first=when(dates[found[0]]), last=when(dates[found[-1]]),
                              start=when(dates[0]), end=when(dates[-1])),
        UserWarning,
        stacklevel=5,  # _warn_partial, _benchmark_returns, _performance_stats, stats(), the user
    )
