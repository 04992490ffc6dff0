"""Entry and exit signals as target weights: :func:`weights_from_signals`.

A signal strategy says when a stock enters and when it leaves; the engine takes target weights.
The conversion is a walk down the rows with one state per stock (flat, long or short, and the rows
held), because whether an entry opens a position depends on what is held already:

- each row, exits come first (an exit signal, ``hold`` rows reached, an opposite entry, or a stop
  the run fed back), then entries, so a slot freed on a row can be taken on that row;
- an entry for a stock already held on its side changes nothing (no adding up, no restart);
- ``max_positions`` keeps the entries with the highest ``rank`` (ties, and no rank: column order);
  the others are dropped, not queued;
- held stocks share the book equally (+-1/n), or hold ``size`` each, and the weights change only
  on rows where a position opens or closes: only those rows are in the frame.

:func:`pelmora.backtest` with ``entries=`` runs the walk with the prices (``_signal_run``).
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["SIGNAL_NAMES", "SIGNAL_TEXTS", "weights_from_signals"]

SIGNAL_NAMES = ("entries", "exits", "short_entries", "short_exits", "size", "max_positions",
                "rank", "hold")
"""The keywords of the signals, as :func:`weights_from_signals` and :func:`pelmora.backtest`
take them."""

SIGNAL_TEXTS = {
    "frame": "{name} must be a pandas DataFrame of True and False (dates down, stocks across), "
             "got {kind}",
    "unnamed": "{name} is a Series without a name: name it after its stock "
               "(series.rename('AAPL')) or give a DataFrame",
    "flags": "{name} must hold True and False, but column {column!r} is of dtype {dtype}",
    "no_entries": "weights_from_signals needs entries or short_entries",
    "duplicate": "{name} has the {what} {label!r} twice",
    "both_sides": "entries and short_entries are both True for {stock!r} on {date}: a stock "
                  "enters one side at a time",
    "rank": "rank must be a pandas DataFrame of numbers (higher enters first), got {kind}",
    "rank_alone": "rank orders the entries that max_positions leaves out: give max_positions too",
    "count": "{name} must be an integer of 1 or more, or None, got {value!r}",
    "size": "size must be a finite number above 0 (the weight of each position), or None, "
            "got {value!r}",
}
"""The messages of the signals' checks, formatted where raised."""


def _pandas() -> Any:
    return import_optional("pandas", caller="pelmora.weights_from_signals")


def _date_text(label: Any) -> str:
    return str(label.date()) if hasattr(label, "date") and hasattr(label, "hour") and (
        label.hour == label.minute == label.second == 0) else str(label)


def _frame(name: str, value: Any, pd: Any) -> pd.DataFrame:
    """``value`` as a DataFrame with unique dates and stocks (a named Series is one stock)."""
    if isinstance(value, pd.Series):
        if value.name is None:
            raise ValueError(SIGNAL_TEXTS["unnamed"].format(name=name))
        value = value.to_frame()
    if not isinstance(value, pd.DataFrame):
        raise TypeError(SIGNAL_TEXTS["frame"].format(name=name, kind=type(value).__name__))
    for what, labels in (("date", value.index), ("stock", value.columns)):
        if labels.has_duplicates:
            label = labels[labels.duplicated()][0]
            raise ValueError(SIGNAL_TEXTS["duplicate"].format(name=name, what=what, label=label))
    return value


def _flags(name: str, value: Any, pd: Any) -> pd.DataFrame:
    """A boolean frame: bool columns, nullable booleans (NA is False), or objects that are bools
    or missing. Numbers are refused: a frame of prices or scores passed by mistake would read as
    signals everywhere it is not 0."""
    frame = _frame(name, value, pd)
    for column, dtype in frame.dtypes.items():
        if pd.api.types.is_bool_dtype(dtype):
            continue
        if dtype == object and all(
            isinstance(v, (bool, np.bool_)) or v is None or v is pd.NA
            or (isinstance(v, float) and math.isnan(v))
            for v in frame[column]
        ):
            continue
        raise TypeError(SIGNAL_TEXTS["flags"].format(name=name, column=column, dtype=dtype))
    return frame


def _count(name: str, value: Any) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise ValueError(SIGNAL_TEXTS["count"].format(name=name, value=value))
    return int(value)


def _size(value: Any) -> float | None:
    if value is None:
        return None
    ok = isinstance(value, numbers.Real) and not isinstance(value, bool)
    if not ok or not (math.isfinite(float(value)) and float(value) > 0.0):
        raise ValueError(SIGNAL_TEXTS["size"].format(value=value))
    return float(value)


@dataclass
class SignalPlan:
    """The signals checked and aligned on one grid of dates (rows) and stocks (columns)."""

    dates: Any
    stocks: Any
    long_in: np.ndarray
    long_out: np.ndarray
    short_in: np.ndarray
    short_out: np.ndarray
    rank: np.ndarray | None
    size: float | None
    max_positions: int | None
    hold: int | None

    def walk(self, forced: np.ndarray | None = None, barred: np.ndarray | None = None,
             counted: np.ndarray | None = None) -> np.ndarray:
        """The side held after each row (rows x stocks: 1 long, -1 short, 0 flat).

        ``forced`` are exits the run made (stops, delistings), ``barred`` the cells where no
        entry may open, ``counted`` the rows that count toward ``hold`` (rows added for a stop
        between two signal dates do not).
        """
        rows, n = self.long_in.shape
        side = np.zeros(n, dtype=np.int8)
        age = np.zeros(n, dtype=np.int64)
        sides = np.zeros((rows, n), dtype=np.int8)
        for r in range(rows):
            if counted is None or counted[r]:
                age += side != 0
            out = (self.long_out[r] & (side == 1)) | (self.short_out[r] & (side == -1))
            # An opposite entry closes the position first; it then enters as any entry does.
            out |= (self.long_in[r] & (side == -1)) | (self.short_in[r] & (side == 1))
            if self.hold is not None:
                out |= (side != 0) & (age >= self.hold)
            if forced is not None:
                out |= forced[r] & (side != 0)
            side[out] = 0
            flat = side == 0 if barred is None else (side == 0) & ~barred[r]
            want_long, want_short = self.long_in[r] & flat, self.short_in[r] & flat
            chosen = np.flatnonzero(want_long | want_short)
            if self.max_positions is not None and len(chosen):
                chosen = self._first(r, chosen, self.max_positions - int(np.count_nonzero(side)))
            side[chosen] = np.where(want_long[chosen], 1, -1)
            age[chosen] = 0
            sides[r] = side
        return sides

    def _first(self, row: int, chosen: np.ndarray, free: int) -> np.ndarray:
        """The ``free`` entries that fit: the highest ranks first, ties by column order."""
        if len(chosen) <= free:
            return chosen
        if free <= 0:
            return chosen[:0]
        if self.rank is None:
            return chosen[:free]
        score = self.rank[row, chosen]
        missing = np.isnan(score)
        # lexsort's last key is the first: known scores first, then higher, then column order.
        order = np.lexsort((chosen, np.where(missing, 0.0, -score), missing))
        return chosen[order[:free]]

    def weights(self, sides: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The weight of each cell, and the rows where a weight changes (the frame's rows)."""
        held = np.count_nonzero(sides, axis=1).astype(np.float64)
        if self.size is not None:
            share = np.where(held > 0, self.size, 0.0)
        else:
            with np.errstate(divide="ignore"):
                share = np.where(held > 0, 1.0 / held, 0.0)
        weights = sides * share[:, None]
        before = np.vstack((np.zeros((1, weights.shape[1])), weights[:-1]))
        changed = np.any(weights != before, axis=1)
        return weights, changed


def plan_signals(
    entries: Any, exits: Any = None, *, short_entries: Any = None, short_exits: Any = None,
    size: Any = None, max_positions: Any = None, rank: Any = None, hold: Any = None,
) -> SignalPlan:
    """Check the signals and align them on the union of their dates and entry stocks."""
    pd = _pandas()
    size, max_positions, hold = _size(size), _count("max_positions", max_positions), _count(
        "hold", hold)
    given = {n: _flags(n, v, pd) for n, v in (("entries", entries), ("exits", exits),
                                               ("short_entries", short_entries),
                                               ("short_exits", short_exits)) if v is not None}
    if "entries" not in given and "short_entries" not in given:
        raise TypeError(SIGNAL_TEXTS["no_entries"])
    if rank is not None:
        if max_positions is None:
            raise ValueError(SIGNAL_TEXTS["rank_alone"])
        if not isinstance(rank, (pd.DataFrame, pd.Series)):
            raise TypeError(SIGNAL_TEXTS["rank"].format(kind=type(rank).__name__))
        rank = _frame("rank", rank, pd)
        if not all(pd.api.types.is_numeric_dtype(d) and not pd.api.types.is_bool_dtype(d)
                   for d in rank.dtypes):
            raise TypeError(SIGNAL_TEXTS["rank"].format(kind="a frame with other columns"))
    stocks = pd.Index([])
    for name in ("entries", "short_entries"):
        if name in given:
            stocks = stocks.append(given[name].columns.difference(stocks, sort=False))
    dates = given[next(iter(given))].index
    for frame in given.values():
        dates = dates.union(frame.index)
    if not dates.is_monotonic_increasing:
        dates = dates.sort_values()

    def cells(name: str) -> np.ndarray:
        if name not in given:
            return np.zeros((len(dates), len(stocks)), dtype=bool)
        frame = given[name].reindex(index=dates, columns=stocks, fill_value=False)
        if all(d == np.bool_ for d in frame.dtypes):
            return frame.to_numpy(dtype=bool)
        # Nullable booleans and objects: a missing value is no signal.
        return frame.astype(object).fillna(False).to_numpy(dtype=bool)

    long_in, short_in = cells("entries"), cells("short_entries")
    both = long_in & short_in
    if both.any():
        r, c = np.argwhere(both)[0]
        raise ValueError(SIGNAL_TEXTS["both_sides"].format(stock=stocks[c],
                                                           date=_date_text(dates[r])))
    scores = None
    if rank is not None:
        scores = rank.reindex(index=dates, columns=stocks).to_numpy(dtype=np.float64)
    return SignalPlan(dates, stocks, long_in, cells("exits"), short_in, cells("short_exits"),
                      scores, size, max_positions, hold)


def weights_from_signals(
    entries: pd.DataFrame | None,
    exits: pd.DataFrame | None = None,
    *,
    short_entries: pd.DataFrame | None = None,
    short_exits: pd.DataFrame | None = None,
    size: float | None = None,
    max_positions: int | None = None,
    rank: pd.DataFrame | None = None,
    hold: int | None = None,
) -> pd.DataFrame:
    """Target weights from entry and exit signals, for :func:`pelmora.backtest` as they are.

    A stock enters on an entry and is held until its exit, ``hold`` rows, or an entry of the
    other side. Held stocks share the book equally (1/n each, negative for shorts) unless
    ``size`` gives each position a fixed weight (the rest cash). The weights change only on the
    rows where a position opens or closes, and only those rows are returned, so
    ``backtest(weights, prices)`` (``rebalance=None``) trades on the next trading day after each
    of them and lets the holdings drift in between. A stop of the run is not known here: run the
    signals with ``pelmora.backtest(entries=..., prices=...)`` for stops to close positions.

    Each row is read in this order:

    1. exits: an exit signal closes a held long (``short_exits`` a short), a position held for
       ``hold`` rows closes, an entry of the other side closes the position it meets;
    2. entries: a stock not held after step 1 opens on its entry (so an exit and an entry of
       one stock on one row keep it held, counting ``hold`` anew); an entry of a stock already
       held on that side changes nothing;
    3. with ``max_positions``, when more stocks enter than there are free slots, those with the
       highest ``rank`` enter (ties, NaN ranks last, and no ``rank``: left to right in the
       columns); the others are dropped, not kept for a later row.

    A worked table (equal shares):

    ===  =======  =====  ==================  =========================================
    row  entries  exits  held after the row  weights (only the rows that change)
    ===  =======  =====  ==================  =========================================
    1    A                A                   A 1.0
    2    A, B             A, B                A 0.5, B 0.5 (A's entry changes nothing)
    3    A        A       A, B                no row: A left and entered again
    4             B       A                   A 1.0
    ===  =======  =====  ==================  =========================================

    Parameters
    ----------
    entries : pandas.DataFrame or None
        True where a stock enters long (dates down, stocks across; NaN and NA are False). A
        named Series is one stock. None when only ``short_entries`` are given.
    exits : pandas.DataFrame, optional
        True where a held long leaves.
    short_entries, short_exits : pandas.DataFrame, optional
        The same for short positions. A stock with both entries on one row is refused.
    size : float, optional
        The weight of every position (0.1: 10 % each, the rest cash); by default 1/n of the n
        positions held. Rows whose sizes add up to more than the backtest's ``max_gross`` are
        scaled down to it by the backtest, with its warning.
    max_positions : int, optional
        The most positions held at once (long and short together).
    rank : pandas.DataFrame, optional
        Scores of the entries (higher enters first) when more enter than ``max_positions`` lets
        in; needs ``max_positions``.
    hold : int, optional
        Rows a position is held at most: entered on row t, it leaves on row t + ``hold`` (the
        backtest holds it ``hold`` trading days when the signals are daily).

    Returns
    -------
    pandas.DataFrame
        Weights on the rows where one changes, the entry frames' stocks across (float64); a
        single row of zeros on the first date when no position ever opens.

    Raises
    ------
    TypeError
        A signal frame that is not a DataFrame of booleans (numbers are refused), no entries at
        all, a ``rank`` that is not numeric.
    ValueError
        Duplicate dates or stocks, both entries of one stock on one row, a ``rank`` without
        ``max_positions``, ``size``, ``max_positions`` or ``hold`` out of range.
    """
    plan = plan_signals(entries, exits, short_entries=short_entries, short_exits=short_exits,
                        size=size, max_positions=max_positions, rank=rank, hold=hold)
    return plan_frame(plan, *plan.weights(plan.walk()))


def plan_frame(plan: SignalPlan, weights: np.ndarray, changed: np.ndarray) -> pd.DataFrame:
    """The weight rows where a weight changes, as the frame :func:`weights_from_signals` returns."""
    pd = _pandas()
    rows = np.flatnonzero(changed)
    if len(rows) == 0:
        rows = np.zeros(1, dtype=np.int64) if len(plan.dates) else rows
        weights = np.zeros((len(plan.dates), len(plan.stocks)))
    return pd.DataFrame(weights[rows], index=plan.dates[rows], columns=plan.stocks,
                        dtype=np.float64)
