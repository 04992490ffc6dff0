"""The run journal (native): backtest_'s run with the interpreter lock released."""

from typing import Any, Mapping, Sequence

import numpy as np
import numpy.typing as npt

REASONS: tuple[str, ...]
"""The fill reasons by code: ``fills["reason"]`` indexes this tuple ("rebalance", "stop_loss",
"take_profit", "trailing_stop", "delisting", ...)."""
EXCURSION_FIELDS: tuple[str, ...]
"""The six values of each block of an excursion array, in order."""
BUILD_ID: str
"""This build's id: a SHA-256 digest (64 hex characters) of the sources it was built from and
of how its native code was compiled; what a sweep store tells builds apart by."""
OPTION_TEXTS: dict[str, str]
"""The account options' error texts by key, with str.format fields; pelmora.options uses them."""
MAX_RATE: float
"""The largest annual rate (cash_rate, borrow_rate, short_fee) taken."""

class RunOutput(dict[str, Any]):
    """A run's output: a dict whose only difference is the old key of the next-period orders.

    ``output["report"]`` and ``output.get("report")`` still read ``output["next_period"]``, with a
    DeprecationWarning, for one release; ``"report"`` is not stored (not in the keys, not compared,
    not pickled).
    """

    def __missing__(self, key: str) -> Any: ...

def run(
    price_values: npt.NDArray[np.float64],
    close_values: npt.NDArray[np.float64],
    high_values: npt.NDArray[np.float64],
    low_values: npt.NDArray[np.float64],
    open_values: npt.NDArray[np.float64],
    price_index: npt.NDArray[np.int64],
    price_columns: npt.NDArray[np.object_],
    pos_values: npt.NDArray[np.float64],
    pos_index: npt.NDArray[np.int64],
    pos_columns: npt.NDArray[np.object_],
    resample: npt.NDArray[np.int64],
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float = 1.0,
    take_profit: float = ...,
    trail_stop: float = ...,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: Any = True,
    swaylen_window: int = 0,
    swaylen_window_step: int = 1,
    periodically_rebalance: bool = True,
    delisting_bars: npt.NDArray[np.int64] | None = None,
    *,
    positions: bool = True,
    excursions: bool | str = True,
    closes_checked: bool = False,
    constant_views: bool = False,
    **account: Any,
) -> RunOutput:
    """backtest_'s run without the interpreter lock; everything it did, by name.

    Keys: creturn, cash, rebalance_rows, fills, trades, excursions, positions, financing,
    pending, stopped (None, or the row, reason, equity and gross held where the account stopped
    trading), next_period (the next-period orders; ``"report"``, their old key, still reads with
    a DeprecationWarning).
    ``fills``: row, sid, reason, before, after, price (the price the fill traded at: the stop
    level of an intraday exit, else the row's trade price or, for a suspended stock, its last
    price known on or before the row, NaN if none), fee, tax, suspended.
    ``trades``: sid, entry_row, exit_row, position, entry_value, exit_value, cost, pnl,
    exit_reason, entry_fill and exit_fill (indexes into ``fills``; -1 for an open trade's exit
    and for a record split off a holding by a resize that traded nothing).
    """

def run_many(
    arrays: Mapping[str, Any],
    variants: Sequence[Mapping[str, Any]],
    *,
    threads: int | None = None,
    positions: bool = True,
    excursions: bool | str = True,
    closes_checked: bool = False,
    batch: int | tuple[int, int] | None = None,
    figures: bool = False,
) -> list[RunOutput | BaseException]:
    """Variants of one set of inputs on native threads; one result or exception per variant.

    The values of ``arrays`` and of every variant are taken when the call starts. An interrupt
    (KeyboardInterrupt, SystemExit or what a signal handler raises) leaves the whole call.
    ``batch``: the variants that walk the rows together, a block of rows at a time (None: chosen
    from the cache and the stocks the weights hold; 1: each on its own; ``(variants, rows)`` also
    sets the block). Every variant's result is bit for bit its own run's. ``figures``: what the
    statistics read from the fills and trades (under "figures") in place of those columns, unless
    they need them (orders left open with a capital).
    """

def release_memory() -> int:
    """Unmap the output memory pool (the mappings of outputs NumPy let go of, kept for the next
    run) and return the bytes it held; outputs still alive are not touched."""

def _pooled_bytes() -> int: ...
