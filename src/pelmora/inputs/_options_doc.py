"""The parameter descriptions of the options of a backtest, one per :class:`BacktestOptions` field.

Kept apart from :mod:`pelmora.options`, which checks the values:
:func:`pelmora.options.with_options` puts these texts, each ", default" completed with the field's
default, into the docstrings of every function that takes the options.
"""

from __future__ import annotations

__all__ = ["PARAMETERS_DOC"]

PARAMETERS_DOC = """\
rebalance : str, pandas.DateOffset, sequence of dates or None, default
    When the book moves to the target weights. A pandas frequency alias ("D", "W-FRI", "MS",
    "ME", "QE", ...): on the last trading day of each period; without ``calendar`` a period is
    over once the business day after the last price date falls into the next one, with it the
    calendar's last session of the period decides. A sequence of dates: each marks the last
    trading day on or before it (none may be before the first price date; dates after the last
    one keep scheduling the next period). None: every date of ``weights``. The trades happen on
    the following trading day. With at most one price row per calendar date, dates are compared
    by calendar date in the prices' time zone; with intraday bars, by instant.
fee : float, default
    Fee rate on the traded value, charged on buys and sells; 0 <= fee < 1. A rate above 0.02
    warns: 0.1425 is 14.25 %, not 0.1425 %.
tax : float, default
    Tax rate on the traded value when a holding is reduced or closed; 0 <= tax < 1 (above 0.02
    warns as the fee does).
stop_loss : float or None, default
    Exit a holding when it has lost this fraction of its entry value (0.1 = 10 %); None: never.
    A backtest warns above 1: 10 is 1000 %, not 10 %.
take_profit : float or None, default
    Exit a holding when it has gained this fraction; None: never. Above 1 warns as stop_loss.
trailing_stop : float or None, default
    Exit when the return falls this many return points below the best return since entry (0.1
    with a best of +50 % exits at +40 %); None: no trailing stop. Above 1 warns as stop_loss.
trailing_activation : float or None, default
    Gain the holding must have reached before the trailing stop is armed (None: 0).
intraday_stops : bool, default
    False: stops are checked on the close and executed on the next trading day at its trading
    price. True: stops trigger intraday on open/high/low and execute at the stop level (or at
    the open when the day opens beyond it); needs "open", "high" and "low" prices.
position_limit : float, default
    Largest absolute weight of a single stock (> 0).
retain_cost : bool, default
    Keep a held stock's entry (its stop levels and its trade record) across rebalances that keep
    it on the same side, instead of restarting them at each rebalance.
stop_trading_next_period : bool, default
    A stock that was stopped out stays out through the next rebalance, even if the weights keep
    it, and may return at the one after.
split_trades : bool, default
    Start a new trade record for every held stock that a rebalance resizes or keeps (only when
    ``retain_cost`` is False); False: one record from entry to exit. It decides the rows of
    ``result.trades`` only: the trade figures of ``stats()`` count positions either way.
excursion_window : int, default
    Trading days after each entry over which excursions are sampled (see
    :attr:`BacktestResult.excursions`); 0 keeps only the per-trade summary. A window longer than
    the data is capped to the number of price rows.
excursion_step : int, default
    Sampling step within the excursion window (>= 1).
delistings : pandas.Series or mapping, optional
    Last trading date per stock id. A delisted holding is sold on its last trading day at its
    value, and weight rows dated on or after that day give the stock 0. Stocks that are not in
    ``weights`` are ignored; NaT means not delisted.
trade_at : {"close", "open"} or None, default
    Which price trades: None uses ``prices["trade"]`` if given, else the close.
calendar : str or exchange calendar, optional
    An exchange calendar name ("XNYS", "XTAI", ...; needs the ``calendar`` extra,
    exchange-calendars) or a calendar object with ``sessions_in_range``. With a frequency alias
    for ``rebalance``, each period ends on its last trading session by the calendar, so a period
    whose last business day is a holiday still ends with the data. A name is checked whatever
    ``rebalance`` is.
price_field : {"Close", "Adj Close"} or None, default
    Which field is the close when ``prices`` is one DataFrame with (field, stock) column levels,
    as yfinance gives: "Adj Close" (adjusted for splits and dividends; open, high and low are
    scaled by Adj Close / Close so intraday stops and open trades stay on the same scale) or
    "Close". None takes "Close", and is refused when the frame has both. Only for such a frame.
index : str or None, default
    The column of dates of polars or pyarrow tables (and of pandas frames that keep their dates
    in a column), for weights and prices alike. None: the first Date or Datetime column of a
    table; a pandas frame keeps its index.
capital : float or None, default
    The account's value in currency at the start (finite, above 0). None keeps the unit
    portfolio. Money stays in portfolio units (the run starts with 1.0 of cash;
    :attr:`BacktestResult.currency` multiplies the money tables by ``capital``) and the fills
    gain ``shares`` and ``requested``. An account does not borrow at ``max_gross`` 1 or less:
    a rebalance's buys are scaled down (whole lots down) where its sales' costs would leave the
    cash below 0; else a capital alone changes no figure. ``lot_size`` and ``min_fee`` need it.
lot_size : float, pandas.Series or mapping, optional
    Shares per lot: one number for every stock, or a lot per stock id (a Series or mapping; NaN
    or None: that stock trades any number of shares). Each stock of ``weights`` needs an entry:
    a missing one is refused, so a misspelt id cannot trade without lots unnoticed. The shares
    a fill moves are rounded toward zero to whole lots; a sale that closes a holding sells all
    of it; a suspended stock is not rounded. Needs ``capital``.
slippage : float, default
    Fraction of the trading price lost on every fill, the price moving against the trade: a buy
    fills at price x (1 + slippage), a sale at price x (1 - slippage); 0 <= slippage < 1 (above
    0.02 warns as the fee does). Fee and tax are charged on the value at that price; the fills'
    ``slippage`` column is the cost.
min_fee : float, default
    Smallest fee of a fill, in currency (0 or more): a fill whose fee at ``fee`` comes to less
    pays this. Above 0 it needs ``capital``.
max_gross : float, default
    Largest sum of a weight row's absolute weights (finite, above 0): rows that add up to more
    are scaled down to it. Above 1 the book borrows, its cash going negative (see
    ``borrow_rate``); at 1 or less an account (a ``capital``) never does; ``position_limit``
    still caps each stock.
cash_rate : float, default
    Annual interest on positive cash (above -1 and at most 100, that is 10,000 %: a negative
    rate, as some deposits pay, is charged). On every trading day interest accrues on the previous close's cash for the
    calendar days since that close (ACT/365); see :attr:`BacktestResult.financing`. Rates above
    1 (100 % a year) warn: 0.05 is 5 %.
borrow_rate : float, default
    Annual interest paid on negative cash (0 to 100), accrued as ``cash_rate``.
short_fee : float, default
    Annual fee on the absolute value of the short holdings at the previous close (0 to 100),
    accrued as ``cash_rate``.
volume : pandas.DataFrame, optional
    Shares traded per day and stock, aligned as the prices (or their ``"volume"`` entry, or the
    "Volume" of a yfinance frame); NaN or 0: nothing fills that day. Read by the two below.
max_participation : float or None, default
    Largest fraction of the day's volume a fill may take (0 < x <= 1; needs ``capital`` and a
    volume). The rest of an order stays pending (:attr:`BacktestResult.pending`) and fills on
    the next days under the same cap, until done, replaced by the next rebalance or written off
    at the last price when the stock is delisted.
impact : float, default
    k of the impact k x sigma x sqrt(q / V) of q shares on a day of volume V (0 or more; needs
    ``capital`` and a volume), sigma the std of the log returns of the ``impact_window`` days
    before. A sale fills at half its slipped price at least; an impact above 10 % warns.
impact_window : int, default
    Days of returns of that sigma (2 or more; fewer at the start, none below 2 returns).
maintenance_margin : float or None, default
    A margin call: when the equity at a close falls below this fraction of the gross held (the
    absolute value of the holdings at that close), the book is closed at that close (fills with
    reason "margin_call") and nothing trades after; 0 <= x < 1. None: only an equity of 0 or
    less stops the account (reason "wiped_out"), which it always does.
"""
