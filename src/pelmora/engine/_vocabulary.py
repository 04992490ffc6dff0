"""The engine's vocabulary, in one place: the only Python module that knows its argument names.

The user speaks in options (:class:`pelmora.options.BacktestOptions`: ``fee``, ``intraday_stops``,
...); the engine takes arguments (``fee_ratio``, ``touched_exit``, ...) and returns the journal's
dict. This module translates both ways: :func:`engine_options` turns options into the engine's
scalar arguments, :class:`RunRecord` names what the journal recorded, :func:`run` makes one run
and refuses an equity that left the finite range (:func:`check_equity`).
"""

from __future__ import annotations

import dataclasses
import math
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.core import journal as _journal

from pelmora.inputs.options import BacktestOptions
from pelmora.inputs._volume import uses_volume

if TYPE_CHECKING:  # pragma: no cover
    from pelmora.inputs._prepare import EngineInputs

__all__ = [
    "ARRAY_NAMES",
    "ARRAY_OPTIONS",
    "ENGINE_ARGUMENTS",
    "EXCURSION_FIELDS",
    "EXECUTION_ARGUMENTS",
    "FINANCING_FIELDS",
    "ORDERS",
    "PENDING_FIELDS",
    "REASONS",
    "RunRecord",
    "check_equity",
    "engine_options",
    "execution_options",
    "first_large_impact",
    "run_journal",
]

EXCURSION_FIELDS: tuple[str, ...] = _journal.EXCURSION_FIELDS
"""The values of each excursion block, in the engine's order."""
REASONS: tuple[str, ...] = _journal.REASONS
"""Why a fill happened, in the journal's numbering."""
FINANCING_FIELDS = ("days", "balance", "interest", "short_value", "short_fee")
"""The values of each financing row, after its ``row``."""
PENDING_FIELDS = ("row", "sid", "shares", "reason")
"""The columns of the journal's ``pending``: an order still open after a row."""

# The next-period action codes in words. A code alone does not always say what the order is, so
# the second key says what else decides it:
# - "enter", "exit", "hold": the side, from the sign of the weight the order leaves or reaches
#   ("long", "short"; a "hold" whose weight changes sign is "long to short" or "short to long").
# - "tp", "sl" (an exit signalled at the last close, due on the next day) and "tp_enter",
#   "sl_enter" (the same, but the pending rebalance keeps the stock, so it is resized instead):
#   these name the threshold the close crossed, "tp" the upper and "sl" the lower one, so for a
#   short the upper one is the stop. The side comes from the held weight; "either" for the first
#   stock, whose signed index -0 cannot carry an upper crossing (the engine reports it as "sl").
#   A trailing stop is a stop-loss exit here (the fills name it).
# - "tp_", "sl_" (stopped out since the last rebalance): the reason of the stock's stop fill,
#   which is exact whichever way the stop triggered.
# - None (nothing due): "held" while a weight is kept, else "flat".
ORDERS: dict[tuple[str | None, str], str] = {
    ("enter", "long"): "buy",
    ("enter", "short"): "sell short",
    ("exit", "long"): "sell",
    ("exit", "short"): "cover",
    ("hold", "long"): "hold",
    ("hold", "short"): "hold",
    ("hold", "long to short"): "sell and sell short",
    ("hold", "short to long"): "cover and buy",
    ("tp", "long"): "take-profit exit",
    ("tp", "short"): "stop-loss exit",
    ("sl", "long"): "stop-loss exit",
    ("sl", "short"): "take-profit exit",
    ("sl", "either"): "stop-loss or take-profit exit",
    ("tp_enter", "long"): "hold (rebalance overrides take-profit exit)",
    ("tp_enter", "short"): "hold (rebalance overrides stop-loss exit)",
    ("sl_enter", "long"): "hold (rebalance overrides stop-loss exit)",
    ("sl_enter", "short"): "hold (rebalance overrides take-profit exit)",
    ("sl_enter", "either"): "hold (rebalance overrides stop exit)",
    ("tp_", "stop_loss"): "none (stopped out)",
    ("tp_", "take_profit"): "none (took profit)",
    ("tp_", "trailing_stop"): "none (trailing stop hit)",
    ("sl_", "stop_loss"): "none (stopped out)",
    ("sl_", "take_profit"): "none (took profit)",
    ("sl_", "trailing_stop"): "none (trailing stop hit)",
    (None, "held"): "hold",
    (None, "flat"): "none",
}
"""The order in words of every next-period action code, keyed by (code, what decides it)."""

ARRAY_NAMES = (
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample", "delisting_bars",
)
"""The engine arguments that are arrays, made from the data and the array options."""

ARRAY_OPTIONS = (
    "rebalance", "calendar", "delistings", "trade_at", "intraday_stops", "price_field", "index",
    "volume",
)
"""Options that change the engine's arrays (or which prices are checked), not only its scalars."""


def _off_if_none(value: float | None, n_rows: int) -> float:
    # The engine has no "off" for a distance: one it never reaches is off.
    return math.inf if value is None else value


def _as_is(value: Any, n_rows: int) -> Any:
    return value


def _window(value: int, n_rows: int) -> int:
    # The window runs over price rows: more rows than the data has would only be filler.
    return min(value, n_rows)


ENGINE_ARGUMENTS: dict[str, tuple[str, Callable[[Any, int], Any]]] = {
    "fee_ratio": ("fee", _as_is),
    "tax_ratio": ("tax", _as_is),
    "stop_loss": ("stop_loss", _off_if_none),
    "take_profit": ("take_profit", _off_if_none),
    "trail_stop": ("trailing_stop", _off_if_none),
    "trail_stop_activation": ("trailing_activation", _as_is),
    "touched_exit": ("intraday_stops", _as_is),
    "position_limit": ("position_limit", _as_is),
    "retain_cost_when_rebalance": ("retain_cost", _as_is),
    "stop_trading_next_period": ("stop_trading_next_period", _as_is),
    "swaylen_window": ("excursion_window", _window),
    "swaylen_window_step": ("excursion_step", _as_is),
    "periodically_rebalance": ("split_trades", _as_is),
}
"""Engine scalar argument -> (the option it comes from, how its value is handed over given the
number of price rows)."""

EXECUTION_ARGUMENTS: dict[str, str] = {
    "capital": "capital",
    "lot_size": "lot_size",
    "slippage": "slippage",
    "min_fee": "min_fee",
    "max_gross": "max_gross",
    "cash_rate": "cash_rate",
    "borrow_rate": "borrow_rate",
    "short_fee": "short_fee",
    "volume": "volume",
    "max_participation": "max_participation",
    "impact": "impact",
    "impact_window": "impact_window",
    "maintenance_margin": "maintenance_margin",
}
"""The journal's keyword options of execution (which :func:`pelmora.core.runvane.backtest_`
does not take) -> the option each comes from."""

_DEFAULTS = {f.name: f.default for f in dataclasses.fields(BacktestOptions)}
_FINANCING = ("cash_rate", "borrow_rate", "short_fee")
_DAY_LENGTH = 86_400 * 10**9
"""One day in the units of the price index: the input dates are nanoseconds (see
:func:`pelmora.inputs._dates.index_dates`); financing accrues on calendar days counted in it."""


def execution_options(
    opts: BacktestOptions, lot_size: Any, volume: np.ndarray | None = None
) -> dict[str, Any]:
    """The journal's execution keywords for ``opts``, those away from their defaults only.

    ``lot_size`` is the option resolved for the run's position columns (None, one number or a
    float64 array per column, see :func:`pelmora.inputs.lot_sizes`), ``volume`` the shares
    traded on the price rows and columns (see :func:`pelmora.inputs._volume.volume_matrix`), handed
    over only when a cap or an impact reads it. A run at every default hands the journal
    nothing new, so its arguments stay those of ``backtest_``.

    Raises
    ------
    ValueError
        A cap or an impact without a volume.
    """
    if not uses_volume(opts):
        volume = None
    elif volume is None:
        name = "max_participation" if opts.max_participation is not None else "impact"
        raise ValueError(
            f"{name} needs volume: the shares traded per day and stock (give volume=..., or a "
            '"volume" entry of prices)'
        )
    given = {"lot_size": lot_size, "volume": volume}
    out: dict[str, Any] = {}
    for name, option in EXECUTION_ARGUMENTS.items():
        value = given[option] if option in given else getattr(opts, option)
        if value is not None and not (np.isscalar(value) and value == _DEFAULTS[option]):
            out[name] = value
    if any(name in out for name in _FINANCING):
        out["day_length"] = _DAY_LENGTH
    return out


def engine_options(opts: BacktestOptions, n_rows: int) -> dict[str, Any]:
    """The engine's scalar arguments for ``opts`` on data of ``n_rows`` price rows."""
    return {
        name: convert(getattr(opts, option), n_rows)
        for name, (option, convert) in ENGINE_ARGUMENTS.items()
    }


def check_equity(creturn: np.ndarray, inputs: EngineInputs) -> None:
    """Refuse a run whose equity left the finite range.

    The checks of the inputs keep every price, and every ratio of two prices of a stock, within
    1e150; a strategy that compounds several such ratios can still overflow. Its equity would be
    inf or NaN from some date on: no figure of it is usable, so it is an error, not a result.

    Raises
    ------
    ValueError
        Naming the first date whose equity is not finite.
    """
    values = np.asarray(creturn, dtype=np.float64)
    if np.isfinite(values).all():
        return
    row = int(np.flatnonzero(~np.isfinite(values))[0])
    raise ValueError(
        f"the equity is {float(values[row])!r} on {inputs.date_text(row)} (it was "
        f"{float(values[row - 1]) if row else 1.0!r} the day before): the prices' ratios compound "
        "beyond the finite range of the run's arithmetic; check the prices for a wrong scale"
    )


def first_large_impact(fills: dict[str, np.ndarray], above: float) -> tuple[int, int, float] | None:
    """The row, stock index and impact (a fraction of the price) of the first fill whose impact
    moved its price by more than ``above``; None when none did.

    A fill's ``impact`` is its cost, the impact fraction times the value it moved at the
    reference price (``after - before``), so the fraction is read back from the two.
    """
    impact = fills["impact"]
    if not impact.any():
        return None
    with np.errstate(divide="ignore", invalid="ignore"):
        fraction = impact / np.abs(fills["after"] - fills["before"])
    over = np.flatnonzero(fraction > above)
    if not len(over):
        return None
    k = int(over[0])
    return int(fills["row"][k]), int(fills["sid"][k]), float(fraction[k])


@dataclasses.dataclass(frozen=True)
class RunRecord:
    """What the run journal recorded, by name (see :func:`pelmora.core.journal.run`).

    Attributes
    ----------
    creturn : numpy.ndarray
        Portfolio value after every price row.
    cash : numpy.ndarray
        The book's cash after every price row.
    rebalance_rows : numpy.ndarray
        The rows on which a rebalance was executed.
    fills : dict of numpy.ndarray
        ``row``, ``sid``, ``reason``, ``before``, ``after``, ``price`` (the price the fill traded
        at, slippage included; a suspended stock's last known one), ``fee``, ``tax``,
        ``slippage``, ``impact``, ``written_off``, ``suspended``, ``shares`` and ``requested``
        (signed shares moved, and asked for before lots and the volume cap cut them, for a
        pending order's fill the shares still pending; NaN without a capital).
    trades : dict of numpy.ndarray
        ``sid``, ``entry_row``, ``exit_row``, ``position``, ``entry_value``, ``exit_value``,
        ``cost``, ``pnl``, ``exit_reason``, ``entry_fill``, ``exit_fill`` (indexes into
        ``fills``, -1 when the record has no such fill).
    excursions : numpy.ndarray or None
        The excursion array of every trade, one row each; made on first reading when the run
        kept only the summaries (``kept_excursions`` is what the run kept).
    positions : dict of numpy.ndarray or None
        ``row``, ``sid``, ``value``: every holding at every close; made on first reading when
        the run did not keep them (``kept_positions``).
    financing : dict of numpy.ndarray
        ``row`` and :data:`FINANCING_FIELDS`: one accrual per row, empty when every rate is 0.
    pending : dict of numpy.ndarray
        :data:`PENDING_FIELDS`: the orders still open after each row (shares signed, reason a
        :data:`REASONS` code); empty without a volume cap.
    figures : dict or None
        What the statistics read from the fills and trades, made by the run in place of those
        columns (``journal.run_many(figures=True)``): ``fills``, ``trades`` and the excursions
        are then None. None when the run kept its columns.
    stopped : dict or None
        Where the account stopped trading: ``row``, ``reason`` (the :data:`REASONS` code of its
        closing fills, "wiped_out" or "margin_call"), ``equity`` and ``gross`` (held) that
        stopped it; None when it never did.
    next_period : dict
        The orders for the trading day after the data: ``actions``, ``weights``,
        ``next_weights``, ``weight_time``, ``next_weight_time``.
    excursion_summary : numpy.ndarray or None
        The summary block of every trade's excursion array when the run kept no paths.
    rerun : callable or None
        The same run again, taking the journal's switches: what :meth:`fill_in` calls.
    """

    creturn: np.ndarray
    cash: np.ndarray
    rebalance_rows: np.ndarray
    fills: dict[str, np.ndarray]
    trades: dict[str, np.ndarray]
    kept_excursions: np.ndarray | None
    kept_positions: dict[str, np.ndarray] | None
    financing: dict[str, np.ndarray]
    pending: dict[str, np.ndarray]
    next_period: dict[str, Any]
    excursion_summary: np.ndarray | None = None
    stopped: dict[str, Any] | None = None
    figures: dict[str, Any] | None = None
    rerun: Callable[..., dict[str, Any]] | None = dataclasses.field(
        default=None, repr=False, compare=False
    )

    @classmethod
    def from_journal(
        cls, output: dict[str, Any], rerun: Callable[..., dict[str, Any]] | None = None
    ) -> RunRecord:
        """The record of a :func:`pelmora.core.journal.run` result dict.

        The next-period orders are read from ``"next_period"``, or from ``"report"``, the key a
        journal of an earlier release gives them. ``rerun`` makes the run again (see
        :meth:`fill_in`).
        """
        late = ("next_period", "excursion_summary", "stopped", "figures", "rerun")
        fields = {
            name: output[name.removeprefix("kept_")]
            for name in cls.__dataclass_fields__
            if name not in late
        }
        orders = output["next_period"] if "next_period" in output else output["report"]
        return cls(**fields, next_period=orders, excursion_summary=output.get("excursion_summary"),
                   stopped=output.get("stopped"), figures=output.get("figures"), rerun=rerun)

    @property
    def excursions(self) -> np.ndarray | None:
        """The excursion array of every trade, made by running again if the run kept none."""
        return self.fill_in("excursions").kept_excursions

    @property
    def positions(self) -> dict[str, np.ndarray] | None:
        """Every holding at every close, made by running again if the run kept none."""
        return self.fill_in("positions").kept_positions

    def fill_in(self, *names: str) -> RunRecord:
        """Make the outputs ``names`` ("excursions", "positions") the run did not keep.

        A run that only needs the statistics keeps neither the excursion paths nor the book at
        every close; reading them runs it again (the same inputs give the same run, bit for bit)
        with only what is missing switched on. Without ``rerun`` nothing changes.
        """
        missing = [name for name in names if getattr(self, f"kept_{name}") is None]
        if missing and self.rerun is not None:
            out = self.rerun(
                positions="positions" in missing,
                excursions=True if "excursions" in missing else "summary",
            )
            for name in missing:
                object.__setattr__(self, f"kept_{name}", out[name])
        return self

    @property
    def report(self) -> dict[str, Any]:
        """Deprecated name of :attr:`next_period`."""
        warnings.warn(
            "RunRecord.report is renamed next_period", DeprecationWarning, stacklevel=2
        )
        return self.next_period


@dataclasses.dataclass(frozen=True)
class _Rerun:
    """The journal's run of ``inputs``, with the switches given: a record's ``rerun``, an object
    rather than a closure so that a record, and a result, can be pickled."""

    inputs: EngineInputs

    def __call__(self, **switches: Any) -> dict[str, Any]:
        # prepare_inputs has refused a zero close in every column a trade can be in: a trade's
        # summary need not read the closes past its exit, which could only fail on one. A unit
        # portfolio's account columns (no slippage, no shares) are views of their one value.
        inputs = self.inputs
        output: dict[str, Any] = _journal.run(
            **inputs.arguments, **inputs.execution, closes_checked=True, constant_views=True,
            **switches,
        )
        return output


def run_journal(inputs: EngineInputs) -> RunRecord:
    """Run the journal on ``inputs`` and name what it recorded.

    The run keeps what the statistics read: every fill and trade, each trade's excursion
    summary, the equity and the cash. The excursion paths and the book at every close are made
    when something reads them (:meth:`RunRecord.fill_in`), so a research loop that only asks for
    statistics never pays for them.

    Raises
    ------
    ValueError
        An equity that left the finite range (see :func:`check_equity`).
    """

    rerun = _Rerun(inputs)
    output = rerun(positions=False, excursions="summary")
    check_equity(output["creturn"], inputs)
    return RunRecord.from_journal(output, rerun)
