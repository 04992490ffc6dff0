"""One backtest: :func:`backtest` checks the inputs, runs the journal and wraps what it recorded."""

from __future__ import annotations

import dataclasses
import math
import warnings
from typing import TYPE_CHECKING, Any

from pelmora.inputs._dates import when
from pelmora.engine._vocabulary import REASONS, first_large_impact, run_journal
from pelmora.inputs._weights import GROSS_SCALED, first_scaled_row
from pelmora.inputs._prepare import prepare_inputs
from pelmora.inputs.options import BacktestOptions, make_options, with_options
from pelmora.inputs.signals import SIGNAL_NAMES

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.inputs._prepare import EngineInputs, PriceInput
    from pelmora.results.result import BacktestResult

__all__ = [
    "BOTH_WEIGHTS_AND_SIGNALS", "IMPACT_WARNING", "MARGIN_CALL_WARNING", "STOP_WARNING",
    "WIPED_OUT_WARNING", "backtest",
]


STOP_WARNING = "{name}={value!r} is {percent:g} %: {name} reads as a fraction (0.1 is 10 %)"
"""The warning for a stop distance above 1: ``stop_loss=10`` is a stop 1000 % away, which a long
holding never reaches."""

_STOPS = ("stop_loss", "take_profit", "trailing_stop")


def _warn_stops(options: BacktestOptions) -> None:
    """Warn for each stop distance above 1 (100 %): it reads like a percentage given where a
    fraction belongs. inf, a stop that is off, does not warn."""
    for name in _STOPS:
        number = getattr(options, name)
        if number is not None and 1.0 < number < math.inf:
            warnings.warn(STOP_WARNING.format(name=name, value=number, percent=number * 100),
                          UserWarning, stacklevel=3)


def _warn_scaled_gross(inputs: EngineInputs, rebalance_rows: Any) -> None:
    """Warn once when a rebalance scaled its weights down to ``max_gross``, naming the first."""
    arguments, max_gross = inputs.arguments, float(inputs.options.max_gross)
    found = first_scaled_row(arguments["pos_values"], arguments["pos_index"],
                             arguments["price_index"], rebalance_rows, max_gross)
    if found is not None:
        row, gross = found
        warnings.warn(
            GROSS_SCALED.format(date=when(inputs.weight_dates[row], inputs.tz), gross=gross,
                                max_gross=max_gross),
            UserWarning,
            stacklevel=3,
        )


LARGE_IMPACT = 0.1
"""An impact above this fraction of the price is far outside the range the square-root law was
fitted on: the run warns."""

IMPACT_WARNING = (
    "pelmora.backtest: impact={impact!r} moves the price of {stock!r} on {date} by {fraction:.1%} "
    "(above {large:.0%}): the order is large against the day's volume; a sale never fills below "
    "half of its price after slippage"
)
"""The warning of a fill whose impact passes ``LARGE_IMPACT`` (once a run, for the first)."""


def _warn_large_impact(inputs: EngineInputs, fills: dict[str, Any]) -> None:
    """Warn once when a fill's impact passed ``LARGE_IMPACT`` of its price, naming the first."""
    if not inputs.options.impact:
        return
    found = first_large_impact(fills, LARGE_IMPACT)
    if found is not None:
        row, sid, fraction = found
        warnings.warn(
            IMPACT_WARNING.format(impact=inputs.options.impact, stock=inputs.stocks[sid],
                                  date=inputs.date_text(row), fraction=fraction,
                                  large=LARGE_IMPACT),
            UserWarning,
            stacklevel=3,
        )

WIPED_OUT_WARNING = (
    "pelmora.backtest: the equity was {equity:.6g} on {date} (1.0 at the start), nothing left to "
    'trade with: the book was closed that day (fills with reason "wiped_out") and nothing '
    "traded after"
)
"""The warning of a run whose equity reached 0 or less (see :func:`backtest`)."""

MARGIN_CALL_WARNING = (
    "pelmora.backtest: the equity was {equity:.6g} on {date}, below maintenance_margin={margin!r} "
    "of the {gross:.6g} held: the book was closed that day (fills with reason \"margin_call\") "
    "and nothing traded after"
)
"""The warning of a run stopped by a margin call (see :func:`backtest`)."""


def _warn_stopped(inputs: EngineInputs, stopped: dict[str, Any] | None) -> None:
    """Warn when the account stopped trading, naming the date and the equity."""
    if stopped is None:
        return
    called = REASONS[stopped["reason"]] == "margin_call"
    warnings.warn(
        (MARGIN_CALL_WARNING if called else WIPED_OUT_WARNING).format(
            equity=stopped["equity"], date=inputs.date_text(stopped["row"]),
            margin=inputs.options.maintenance_margin, gross=stopped["gross"]),
        UserWarning,
        stacklevel=3,
    )


BOTH_WEIGHTS_AND_SIGNALS = (
    "pelmora.backtest takes weights or entries, not both: backtest(weights, prices) runs target "
    "weights, backtest(entries=..., prices=...) runs signals (the first argument is weights)"
)
"""The refusal of a call that gives target weights and signals at once."""


@with_options(("weights", "prices"), SIGNAL_NAMES)
def backtest(
    weights: pd.DataFrame | None = None,
    prices: PriceInput | None = None,
    *,
    entries: pd.DataFrame | None = None,
    exits: pd.DataFrame | None = None,
    short_entries: pd.DataFrame | None = None,
    short_exits: pd.DataFrame | None = None,
    size: float | None = None,
    max_positions: int | None = None,
    rank: pd.DataFrame | None = None,
    hold: int | None = None,
    options: BacktestOptions | None = None,
    **kwargs: Any,
) -> BacktestResult:
    """Backtest a target-weight strategy with stops, costs, delistings and per-trade excursions.

    The portfolio starts with a value of 1.0 in cash. A weight row dated ``t`` is decided with the
    information of ``t``; on a rebalance day the book moves to the latest weight row dated before
    the next trading day, and the trades execute on that next trading day at its trading price.
    The run releases the interpreter lock while it works, so backtests on several threads run
    side by side.

    Parameters
    ----------
    weights : pandas.DataFrame
        Target weights, dates down and stock ids across; a weight is a signed fraction of the
        portfolio value (negative for a short). Rows whose absolute weights add up to more than
        ``max_gross`` (1 by default) are scaled down to it, with one warning naming the first
        such row a rebalance traded. NaN means 0. A boolean frame means equal weights among the
        True cells of each row. At least one date must lie inside the price dates.
    prices : pandas.DataFrame or mapping of str to pandas.DataFrame
        One DataFrame of prices (used as trading price and close), or a mapping with ``"close"``
        and any of ``"open"``, ``"high"``, ``"low"``, ``"trade"`` (an explicit trading price) and
        ``"volume"`` (shares traded, see ``volume``).
        Dates down, stock ids across; NaN marks a missing price (a suspension): the holding keeps
        its last known value. Extra stocks are fine; the other frames are aligned to the close.
        A frame with (field, stock) column levels as yfinance gives is read as the mapping (see
        ``price_field``); polars and pyarrow tables, here and as ``weights``, are read as their
        pandas frames (see ``index`` and :mod:`pelmora.frames`).
    entries, exits, short_entries, short_exits, size, max_positions, rank, hold
        Signals in place of ``weights`` (a call with both is refused): boolean frames of entries
        and exits, turned into weights by :func:`pelmora.weights_from_signals`'s rules. Here
        the run's own exits count too: a stop or a delisting closes the position (its share
        goes to the others, its slot is free) and the stock enters again only on a later entry
        signal. ``retain_cost`` defaults to True here (unless given), so a position keeps its
        entry, its stop levels and its one trade record while the others come and go.
    options : BacktestOptions, optional
        The options as one object; keywords given as well replace its fields.
    {parameters}

    Returns
    -------
    BacktestResult
        Equity, fills, trades, positions, next-period orders and statistics; independent of any
        other run.

    Warns
    -----
    UserWarning
        No rebalance before the last price date; or the account stopped trading: its equity
        reached 0 or less (:data:`WIPED_OUT_WARNING`) or a margin call closed it
        (:data:`MARGIN_CALL_WARNING`), naming the date and the equity.

    Raises
    ------
    ValueError, TypeError
        Any input that would give a wrong run, before the run starts (see
        :func:`pelmora.api.prepare_inputs`).

    Examples
    --------
    >>> import pelmora
    >>> from pelmora.datasets import synthetic_market
    >>> from pelmora.strategies import momentum_weights
    >>> market = synthetic_market(n_stocks=30, n_days=300, seed=1)
    >>> weights = momentum_weights(market["close"], lookback=60, top_n=5)
    >>> result = pelmora.backtest(weights, market, rebalance="ME", stop_loss=0.1)
    >>> float(result.equity.iloc[0])
    1.0
    >>> list(result.stats().index[:4])
    ['start', 'end', 'total_return', 'cagr']
    """
    opts = make_options(options, kwargs, "backtest")
    _warn_stops(opts)
    given = {name: value for name, value in zip(SIGNAL_NAMES, (
        entries, exits, short_entries, short_exits, size, max_positions, rank, hold))
        if value is not None}
    if given:
        if weights is not None:
            raise TypeError(BOTH_WEIGHTS_AND_SIGNALS)
        from pelmora.engine._signal_run import run_signals

        if options is None and "retain_cost" not in kwargs:
            opts = dataclasses.replace(opts, retain_cost=True)
        given.setdefault("entries", None)
        inputs, record, caught = run_signals(given, prices, opts)
        for found in caught:  # the checks' warnings of the run kept, pointing at the caller
            warnings.warn(found.message, found.category, stacklevel=2)
    else:
        inputs = prepare_inputs(weights, prices, options=opts)
        record = run_journal(inputs)
    from pelmora.results.result import BacktestResult

    _warn_scaled_gross(inputs, record.rebalance_rows)
    _warn_large_impact(inputs, record.fills)
    if len(record.rebalance_rows) == 0:
        warnings.warn(
            "pelmora.backtest: no rebalance was executed before the last price date "
            f"({inputs.date_text(-1)}), so the run holds only cash; the orders for the next "
            "period are in result.next_period",
            UserWarning,
            stacklevel=2,
        )
    _warn_stopped(inputs, record.stopped)
    return BacktestResult(inputs, record)
