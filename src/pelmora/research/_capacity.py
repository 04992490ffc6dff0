"""How much money a strategy can take: :func:`capacity`, the same backtest at many capitals.

With volume in the run, money stops being a unit: a larger account needs more of each day's
volume, so its orders fill over more days (``max_participation``) and move the price against it
(``impact``). Running the strategy at a range of capitals shows where its return and Sharpe ratio
give way, and which cost takes them. The inputs are checked and converted once; the capitals run
as variants of one :func:`pelmora.core.journal.run_many` call, on native threads, sharing every
array. Each row is exactly the statistics of :func:`pelmora.backtest` with that capital.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from pelmora.engine._vocabulary import ARRAY_NAMES, RunRecord, check_equity, engine_options
from pelmora._optional import import_optional
from pelmora.inputs._prepare import prepare_inputs
from pelmora.inputs.options import BacktestOptions, make_options

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.inputs._prepare import PriceInput

__all__ = ["capacity"]


def _capitals(capitals: Any) -> list[float]:
    """The capitals as floats, in the order given; each finite and above 0, none twice."""
    if isinstance(capitals, (str, bytes)) or not isinstance(capitals, Iterable):
        raise TypeError(
            f"capitals must be a list of amounts of currency, got {type(capitals).__name__}"
        )
    out: list[float] = []
    for value in capitals:
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"capitals must hold numbers, got {value!r}")
        number = float(value)
        if not (math.isfinite(number) and number > 0.0):
            raise ValueError(f"capitals must be finite amounts above 0, got {value!r}")
        if number in out:
            raise ValueError(f"capitals has {value!r} twice: each capital is one row")
        out.append(number)
    if not out:
        raise ValueError("capitals is empty: give at least one capital")
    return out


def _named(error: BaseException, capital: float) -> BaseException:
    text = f"the run with capital={capital!r} failed: {error}"
    try:
        return type(error)(text)
    except Exception:  # an exception type that takes other arguments
        return RuntimeError(text)


def capacity(
    weights: pd.DataFrame,
    prices: PriceInput,
    *,
    capitals: Sequence[float],
    volume: Any,
    max_participation: float | None = None,
    impact: float = 0.0,
    threads: int | None = None,
    options: BacktestOptions | None = None,
    **fixed: Any,
) -> pd.DataFrame:
    """The statistics of one backtest at each of several capitals: the capacity curve.

    Parameters
    ----------
    weights, prices
        As for :func:`pelmora.backtest`.
    capitals : sequence of float
        The accounts' values in currency at the start, each finite and above 0, none twice.
    volume : pandas.DataFrame or None
        Shares traded per day and stock, as the ``volume`` option; None takes the ``"volume"``
        entry of ``prices`` (or the "Volume" field of a yfinance frame).
    max_participation : float, optional
        Largest fraction of the day's volume a fill may take (see :func:`pelmora.backtest`).
    impact : float, default 0.0
        The coefficient of the square-root impact (see :func:`pelmora.backtest`).
    threads : int, optional
        Native threads of the runs (default: the CPUs this process may use).
    options, **fixed
        Every other option of :func:`pelmora.backtest`, the same for each capital (``capital``
        itself is the varying one: give it through ``capitals``).

    Returns
    -------
    pandas.DataFrame
        One row per capital, in the order given, indexed by ``capital``; the columns are the
        figures of :meth:`BacktestResult.stats`: the returns, risk and trade statistics, the
        ``fill_rate`` and the costs by kind (``fee_cost``, ``tax_cost``, ``slippage_cost``,
        ``impact_cost``, ``financing_cost``), in portfolio units (times the row's capital for
        currency). Each row equals ``pelmora.backtest(weights, prices, capital=c, ...).stats()``
        exactly.

    Raises
    ------
    ValueError, TypeError
        Capitals that are not finite amounts above 0 or repeat, ``capital`` among the options,
        and every refusal of :func:`pelmora.backtest` (before any run); a run that fails, named
        by its capital.

    Examples
    --------
    >>> table = pelmora.capacity(weights, market, capitals=[1e6, 1e7, 1e8], volume=volume,
    ...                          max_participation=0.05, impact=0.5)  # doctest: +SKIP
    >>> pelmora.plot_capacity(table).savefig("capacity.png")  # doctest: +SKIP
    """
    pd = import_optional("pandas", caller="pelmora.capacity")
    from pelmora.core import journal
    from pelmora.results.result import BacktestResult

    amounts = _capitals(capitals)
    if "capital" in fixed or (options is not None and getattr(options, "capital", None)):
        raise TypeError(
            "capacity() runs one backtest per amount of capitals: give capital there, not as an "
            "option"
        )
    given = dict(fixed, volume=volume, max_participation=max_participation, impact=impact)
    base = make_options(options, {**given, "capital": amounts[0]}, "capacity")
    inputs = prepare_inputs(weights, prices, options=base)
    args = inputs.arguments
    arrays = {name: args[name] for name in ARRAY_NAMES if args.get(name) is not None}
    n_rows = len(args["price_index"])
    owns = [inputs.with_options(dataclasses.replace(base, capital=c)) for c in amounts]
    variants = [{**engine_options(own.options, n_rows), **own.execution} for own in owns]
    # The statistics read each trade's excursion summary (its MAE and MFE), not its path, and
    # not the book at every close; prepare_inputs has refused a zero close.
    outputs = journal.run_many(
        arrays, variants, threads=threads, positions=False, excursions="summary",
        closes_checked=True,
    )
    rows = []
    for capital, own, out in zip(amounts, owns, outputs):
        if isinstance(out, BaseException):
            # The journal's own exception, its type kept, told which run it came from.
            raise _named(out, capital) from out
        check_equity(out["creturn"], own)
        rows.append(BacktestResult(own, RunRecord.from_journal(out)).stats())
    table = pd.DataFrame([dict(r) for r in rows], index=pd.Index(amounts, name="capital"))
    table = table.infer_objects()
    # What the curve assumed, for whoever shows it (the report states it beside the curve).
    table.attrs["capacity"] = {
        "max_participation": base.max_participation,
        "impact": base.impact,
        "impact_window": base.impact_window,
        "volume": _volume_source(prices, volume),
    }
    return table


def _volume_source(prices: Any, volume: Any) -> str:
    """Where the run's volume came from, as the user gave it."""
    if volume is not None:
        return "volume="
    columns = getattr(prices, "columns", None)
    if getattr(columns, "nlevels", 1) > 1:
        return 'the "Volume" field of the prices'
    return 'prices["volume"]'
