"""The order ticket: the orders that take an account to a run's next-period targets.

A run ends with targets for the trading day after the data (:attr:`BacktestResult.next_period`);
a desk needs them as shares of real stocks for a real amount of money, in whole lots, affordable
with the cash the account has. :func:`order_ticket` does that arithmetic and nothing else: it
reads the run, never changes it.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._checks import real
from pelmora._optional import import_optional
from pelmora.inputs._lots import check_lots_cover

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.results.result import BacktestResult

__all__ = ["SIDES", "order_ticket"]

SIDES: tuple[str, ...] = ("sell", "cover", "sell short", "buy")
"""The sides of a ticket's orders, in the order they are sent."""

_REDUCING = frozenset(("sell", "cover"))
"""Sides that reduce a holding: the ones the tax is charged on."""

SHARE_TOLERANCE = 1e-9
"""Shares counted from values carry a few ulps (0.33 * 10000 / 33 is 99.99999999999999): a count
within this fraction of itself of a whole number of lots is that number. The engine's
``kShareTolerance`` (src/native/core/account_fills.hpp), so a ticket rounds as the run does."""


def _pandas() -> Any:
    return import_optional("pandas", caller="pelmora.BacktestResult.order_ticket")


def _amount(name: str, value: Any, *, positive: bool = False) -> float:
    """A finite number, at least 0 (above 0 when ``positive``), named ``name`` in the errors."""
    number = real(name, value)
    if number < 0.0 or (positive and number == 0.0):
        raise ValueError(f"{name} must be {'above' if positive else 'at least'} 0, got {value!r}")
    return number


def _per_stock(
    name: str, given: Any, stocks: Any, missing: float = math.nan, *, universe: bool = False
) -> np.ndarray:
    """A Series or mapping keyed by stock id as a float array on ``stocks``, ``missing`` for the
    stocks it does not name.

    Refuses another container, a stock id that is not the run's, a stock given twice and a value
    that is not a real number (a bool or a text would otherwise pass as 1 or be parsed). With
    ``universe`` (lots: a table for a whole universe) other stocks are fine and left out, and a
    stock of the run it does not name is refused instead, as the run refuses it.
    """
    pd = _pandas()
    if isinstance(given, pd.Series):
        series = given
    elif isinstance(given, Mapping):
        series = pd.Series(list(given.values()), index=list(given.keys()), dtype=object)
    else:
        raise TypeError(
            f"{name} must be a pandas Series or a mapping of stock id to number, "
            f"got {type(given).__name__}"
        )
    if series.index.has_duplicates:
        raise ValueError(f"{name} has stock {series.index[series.index.duplicated()][0]!r} twice")
    where = stocks.get_indexer(series.index) if len(series) else np.empty(0, dtype=np.intp)
    unknown = series.index[where < 0]
    if universe:
        check_lots_cover(series.index, stocks)
    elif len(unknown):
        more = f" and {len(unknown) - 3} more" if len(unknown) > 3 else ""
        raise ValueError(
            f"{name} has stocks that are not among the run's stocks: "
            f"{', '.join(repr(s) for s in unknown[:3])}{more}"
        )
    out = np.full(len(stocks), missing)
    for stock, value, at in zip(series.index, series.to_numpy(dtype=object), where):
        if value is None:
            continue  # as NaN: a lot of None is no lot, a price of None no price
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
            raise TypeError(f"{name} of {stock!r} must be a number, got {type(value).__name__}")
        if at >= 0:
            out[at] = float(value)
    return out


def _lots(lot_size: Any, stocks: Any) -> np.ndarray:
    """The lot of every stock, 0 for none (a per-stock 0 or NaN means no lots, as in the run)."""
    if lot_size is None:
        return np.zeros(len(stocks))
    if isinstance(lot_size, numbers.Real) and not isinstance(lot_size, (bool, np.bool_)):
        lot = real("lot_size", lot_size)
        if lot <= 0.0:
            raise ValueError(f"lot_size must be above 0, got {lot_size!r}")
        return np.full(len(stocks), lot)
    lots = _per_stock("lot_size", lot_size, stocks, universe=True)
    bad = np.flatnonzero(~(np.isnan(lots) | (np.isfinite(lots) & (lots >= 0.0))))
    if len(bad):
        raise ValueError(
            f"lot_size of {stocks[bad[0]]!r} must be a finite number, at least 0 (0 or NaN: no "
            f"lots), got {float(lots[bad[0]])!r}"
        )
    return np.nan_to_num(lots, nan=0.0)


def _round_down(shares: np.ndarray, lots: np.ndarray) -> np.ndarray:
    """``shares`` (>= 0) rounded toward zero to whole lots, a count within ``SHARE_TOLERANCE``
    of a whole number of lots snapping to it (the one rule of rounding to lots here, the
    engine's ``whole_lots``); stocks without lots are untouched."""
    with np.errstate(divide="ignore", invalid="ignore"):
        n = shares / lots
        nearest = np.rint(n)
        whole = np.where(np.abs(n - nearest) <= SHARE_TOLERANCE * np.abs(n), nearest, np.trunc(n))
    return np.where(lots > 0.0, whole * lots, shares)


def _last_closes(result: BacktestResult) -> np.ndarray:
    """Every stock's last known close: a suspended stock is valued at its last price, as the run
    values it; NaN for a stock that never had one."""
    inputs = result.inputs
    close = inputs.arguments["close_values"]
    columns = inputs.price_column_of_stock
    if not len(close):
        return np.full(len(columns), np.nan)
    out = np.array(close[-1, columns], dtype=np.float64)
    # Only the stocks without a last close are looked for further back: the close is large.
    gone = np.flatnonzero(np.isnan(out))
    if len(gone):
        past = np.asarray(close[:, columns[gone]], dtype=np.float64)
        known = np.isfinite(past)
        last = len(past) - 1 - np.argmax(known[::-1], axis=0)
        has = known.any(axis=0)
        out[gone[has]] = past[last[has], np.flatnonzero(has)]
    return out


def _book_weights(result: BacktestResult) -> np.ndarray:
    """The run's holdings at the last close as weights of its equity."""
    record = result.record
    if record.positions is None:
        raise ValueError("holdings must be given: this run did not record its holdings")
    equity = float(record.creturn[-1])
    if not equity > 0.0:
        raise ValueError(
            f"holdings must be given: the run's equity at the last close is {equity!r}, so its "
            "book has no weights"
        )
    rows = np.asarray(record.positions["row"])
    last = rows == len(record.creturn) - 1
    weights = np.zeros(len(result.inputs.stocks))
    np.add.at(weights, np.asarray(record.positions["sid"])[last],
              np.asarray(record.positions["value"])[last] / equity)
    return weights


def _targets(result: BacktestResult) -> np.ndarray:
    """The next-period weights; a stock whose stop exit is due on the next day is a target of 0
    (the run sells it whatever the weights say)."""
    orders = result.record.next_period
    targets = np.zeros(len(result.inputs.stocks))
    for sid, weight in orders.get("next_weights", {}).items():
        targets[int(sid)] = float(weight)
    for sid, action in orders.get("actions", {}).items():
        if action in ("tp", "sl"):
            targets[int(sid)] = 0.0
    return targets


def _fees(values: np.ndarray, rate: float, least: float) -> np.ndarray:
    return np.where(values > 0.0, np.maximum(values * rate, least), 0.0)


def order_ticket(
    result: BacktestResult,
    capital: float,
    *,
    holdings: pd.Series | Mapping[Any, float] | None = None,
    lot_size: int | pd.Series | Mapping[Any, float] | None = None,
    min_order_value: float = 0.0,
    cash_buffer: float = 0.0,
    band: float = 0.0,
    prices: pd.Series | Mapping[Any, float] | None = None,
) -> pd.DataFrame:
    """The orders that take an account of ``capital`` to the run's next-period targets.

    The targets are :attr:`next_period`'s ``next_weight`` (a stock whose stop exit is due on
    the next day is a target of 0), whether or not a rebalance is due on that day: the ticket
    is what it takes to bring the account to them. Each stock's target is ``next_weight *
    capital / price`` shares. Orders that reduce a holding go first ("sell" a long, "cover" a
    short; a holding whose target is 0, or flips side, is closed whole), then short sales
    ("sell short"), then the buys. The proceeds count as cash (short sales included, as the run
    counts them); the buys are scaled down together until the cash after every order, fee and
    tax is at least ``cash_buffer`` (a ticket does not borrow).

    Parameters
    ----------
    capital : float
        The account's value in currency (finite, above 0): its holdings at ``prices`` plus its
        cash, so the cash is ``capital`` less the value of the holdings (a short's is negative).
    holdings : pandas.Series or mapping, optional
        Shares held per stock id (negative for a short), the account as it is; stocks not named
        hold none. None: the run's own book at the last close, its weights of the equity times
        ``capital`` over the price, rounded toward zero to whole lots (the rest is cash; a run
        with this capital and these lots holds whole lots already).
    lot_size : int, pandas.Series or mapping, optional
        Shares per lot, for every stock or per stock id (0, NaN or None: no lots); per stock,
        every stock of the run's weights needs an entry and other stocks are fine, as for the
        run's ``lot_size``. Quantities are rounded toward zero to whole lots; a sale that closes
        a holding sells all of it. None: the run's ``lot_size`` option when it has one, else no
        lots (fractional shares).
    min_order_value : float, default 0.0
        Orders worth less (in currency, after rounding and scaling) are left out.
    cash_buffer : float, default 0.0
        Cash (in currency) the buys must leave in the account.
    band : float, default 0.0
        A stock whose weight would change by less than this (absolute change in weight of
        ``capital``: 0.01 is 1 % of the account) gets no order.
    prices : pandas.Series or mapping, optional
        Price per stock id for every stock held or targeted; None: the run's last close (a
        suspended stock's last known one).

    Returns
    -------
    pandas.DataFrame
        One row per order: ``stock``, ``side`` ("sell", "cover", "sell short", "buy"),
        ``shares`` (> 0), ``price``, ``value`` (``shares * price``), ``fee`` (the run's fee
        rate on the value, at least its ``min_fee`` when the options have one) and ``tax``
        (the run's tax rate on the value of sells and covers). Money in currency. Write it with
        ``ticket.to_csv(path)``.

    Raises
    ------
    TypeError
        An argument of the wrong kind (named, with the stock for a per-stock value).
    ValueError
        ``capital`` not finite and above 0; ``min_order_value``, ``cash_buffer`` or ``band``
        negative or not finite; a lot below 0; a stock id in ``holdings`` or ``prices`` that
        is not the run's, a stock given twice, a stock of the run without an entry in a per-stock
        ``lot_size``; a holding that is not finite; a price
        that is not finite and above 0; no price for a stock held or targeted.

    Examples
    --------
    >>> import pelmora
    >>> from pelmora.datasets import synthetic_market
    >>> from pelmora.strategies import momentum_weights
    >>> market = synthetic_market(n_stocks=20, n_days=300, seed=7)
    >>> weights = momentum_weights(market.close, lookback=60, top_n=5)
    >>> result = pelmora.backtest(weights, market, rebalance="ME")
    >>> ticket = result.order_ticket(1_000_000, lot_size=100, cash_buffer=5_000)
    >>> list(ticket.columns)
    ['stock', 'side', 'shares', 'price', 'value', 'fee', 'tax']
    >>> csv = ticket.to_csv(index=False)
    """
    pd = _pandas()
    capital = _amount("capital", capital, positive=True)
    min_order_value = _amount("min_order_value", min_order_value)
    cash_buffer = _amount("cash_buffer", cash_buffer)
    band = _amount("band", band)
    stocks = result.inputs.stocks
    options = result.inputs.options
    lots = _lots(getattr(options, "lot_size", None) if lot_size is None else lot_size, stocks)
    targets = _targets(result)
    if holdings is None:
        book = _book_weights(result)
    else:
        held = _per_stock("holdings", holdings, stocks, missing=0.0)
        if not np.isfinite(held).all():
            k = int(np.flatnonzero(~np.isfinite(held))[0])
            raise ValueError(f"holdings of {stocks[k]!r} must be finite, got {float(held[k])!r}")
    if prices is None:
        price = _last_closes(result)
        source = "the run has no close for {stock!r}; give its price in prices"
    else:
        price = _per_stock("prices", prices, stocks)
        bad = np.flatnonzero(~np.isnan(price) & ~(np.isfinite(price) & (price > 0.0)))
        if len(bad):
            raise ValueError(
                f"prices of {stocks[bad[0]]!r} must be finite and above 0, "
                f"got {float(price[bad[0]])!r}"
            )
        source = "prices has no price for {stock!r}"
    involved = (targets != 0.0) | ((book if holdings is None else held) != 0.0)
    missing = np.flatnonzero(involved & np.isnan(price))
    if len(missing):
        raise ValueError(
            source.format(stock=stocks[missing[0]]) + ", which is held or has a target weight"
        )
    with np.errstate(invalid="ignore", divide="ignore"):
        if holdings is None:
            held = np.where(involved, book * capital / price, 0.0)
            # Back from weights a whole number of shares comes out a hair off: 299.99999999997.
            whole = np.round(held)
            held = np.where(np.abs(held - whole) <= 1e-9 * np.maximum(np.abs(held), 1.0), whole,
                            held)
            # An account holds whole lots: the book is rounded toward zero to them, as the run
            # rounds its fills, and what is left over is cash. Every order is then whole lots,
            # the sales that close a holding included.
            held = np.copysign(_round_down(np.abs(held), lots), held)
        goal = np.where(involved, targets * capital / price, 0.0)
    price = np.where(involved, price, 0.0)
    cash = capital - float(np.sum(held * price))
    # The band is on the change of the stock's weight, whatever the legs the change takes.
    moves = involved & (np.abs(goal - held) * price >= band * capital) & (goal != held)
    long_, short = np.maximum(held, 0.0), np.maximum(-held, 0.0)
    wanted = {
        "sell": np.where(goal <= 0.0, long_, _round_down(np.maximum(long_ - goal, 0.0), lots)),
        "cover": np.where(goal >= 0.0, short, _round_down(np.maximum(short + goal, 0.0), lots)),
        "sell short": _round_down(np.maximum(-goal - short, 0.0), lots),
        "buy": np.maximum(goal - long_, 0.0),  # rounded once scaled to the cash
    }
    legs = {side: np.where(moves, shares, 0.0) for side, shares in wanted.items()}
    fee_rate, tax_rate = float(options.fee), float(options.tax)
    min_fee = float(getattr(options, "min_fee", 0.0) or 0.0)

    def sized(shares: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Shares and values of orders, those below ``min_order_value`` left out."""
        value = shares * price
        keep = (shares > 0.0) & (value >= min_order_value)
        return np.where(keep, shares, 0.0), np.where(keep, value, 0.0)

    rows: dict[str, tuple[np.ndarray, np.ndarray]] = {}
    for side in ("sell", "cover", "sell short"):
        shares, value = sized(legs[side])
        rows[side] = (shares, value)
        fee = _fees(value, fee_rate, min_fee)
        tax = value * tax_rate if side in _REDUCING else 0.0
        sign = -1.0 if side == "cover" else 1.0
        cash += float(np.sum(sign * value - fee - tax))

    def bought(scale: float) -> tuple[np.ndarray, np.ndarray, float]:
        shares, value = sized(_round_down(legs["buy"] * scale, lots))
        return shares, value, float(np.sum(value + _fees(value, fee_rate, min_fee)))

    room = cash - cash_buffer
    best = bought(1.0)
    if best[2] > room:
        # The cost of the buys grows with the scale (rounding and minimum fees only step it
        # up), so the largest affordable scale is found by halving the interval.
        low, high = 0.0, 1.0
        best = bought(0.0)
        for _ in range(60):
            mid = (low + high) / 2.0
            trial = bought(mid)
            if trial[2] <= room:
                low, best = mid, trial
            else:
                high = mid
    rows["buy"] = best[:2]

    frames = []
    for side in SIDES:
        shares, value = rows[side]
        at = np.flatnonzero(shares > 0.0)
        fee = _fees(value[at], fee_rate, min_fee)
        frames.append(pd.DataFrame({
            "stock": pd.Series(np.asarray(stocks, dtype=object)[at], dtype=object),
            "side": pd.Series([side] * len(at), dtype=object),
            "shares": shares[at],
            "price": price[at],
            "value": value[at],
            "fee": fee,
            "tax": value[at] * tax_rate if side in _REDUCING else np.zeros(len(at)),
        }))
    return pd.concat(frames, ignore_index=True)
