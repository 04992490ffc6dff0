"""The outcome of one backtest: :class:`BacktestResult`.

The result labels what the journal recorded (:class:`RunRecord`) with the user's dates and stock
ids; the tables are built in :mod:`pelmora.results._tables`, the statistics in :mod:`pelmora.stats`.
"""

from __future__ import annotations

from functools import cached_property
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np

from pelmora.engine._vocabulary import EXCURSION_FIELDS, REASONS, RunRecord
from pelmora.statistics._figures import sum_skipping_nan
from pelmora.statistics._intervals import checked_bounds as _bounds
from pelmora._optional import import_optional
from pelmora.results._currency import CurrencyView
from pelmora.results._orders import fill_rate, pending_orders
from pelmora.results._tables import (
    excursions_table, exposure_table, fills_table, financing_table, next_period_table,
    positions_table, start_figures, trades_table, turnover_per_row,
)
from pelmora.results._ticket import order_ticket as _order_ticket

if TYPE_CHECKING:  # pragma: no cover
    import os
    from pathlib import Path

    import pandas as pd
    from matplotlib.figure import Figure

    from pelmora.inputs._prepare import EngineInputs
    from pelmora.inputs.options import BacktestOptions
else:
    pd = import_optional("pandas", caller="pelmora.BacktestResult")

__all__ = ["EXCURSION_FIELDS", "REASONS", "BacktestResult", "RunRecord"]
_Kind = Literal["auto", "prices", "returns"]


class BacktestResult:
    """Results of :func:`pelmora.backtest`, on the price dates and stock ids the user gave.

    A result owns everything the run produced, so several results can be kept and compared; the
    tables are built on first access. Money is in portfolio units: the run starts with 1.0 in
    cash, so a pnl of 0.01 is 1 % of the initial capital.

    The figures reconcile: every fill changes the cash by ``before - after`` less its costs
    and write-off (:attr:`fills`), every financing row by ``interest - short_fee``
    (:attr:`financing`); the equity of a date is the cash plus the values of the holdings
    (:attr:`exposure`, :attr:`positions`); the final equity minus 1 is the ``pnl`` of all trades
    (:attr:`trades`) plus the financing's ``interest`` less its ``short_fee``. With a
    ``capital``, :attr:`currency` gives the money tables in currency.

    Attributes
    ----------
    inputs : pelmora.inputs.EngineInputs
        The arrays the engine ran on and the options of the run.
    record : RunRecord
        The journal's outputs.
    """

    def __init__(self, inputs: EngineInputs, record: RunRecord) -> None:
        self.inputs = inputs
        self.record = record

    def __repr__(self) -> str:
        from pelmora.statistics._curves import final_text, span_text

        return (f"<BacktestResult {span_text(self.equity.index)}, {len(self.inputs.stocks)} "
                f"stocks, {len(self.record.trades['sid'])} trades, final equity "
                f"{final_text(self.equity)}>")

    def _repr_html_(self) -> str:
        """The notebook view: headline statistics, an equity sparkline (inline SVG), the orders."""
        from pelmora.report._inline import result_html

        return result_html(self)

    @property
    def options(self) -> BacktestOptions:
        """The :class:`BacktestOptions` of this run, as checked (readable as a dict too)."""
        return self.inputs.options

    # ---------------------------------------------------------------------------------------- dates

    @cached_property
    def window_start(self) -> int:
        """The first price row of the statistics: the row of the first fill (capital deployed).

        Before it the portfolio is all cash at 1.0, and counting those rows would dilute
        volatility and Sharpe; a rebalance that bought nothing (weights of zero) does not start
        it. With no fill at all it is the number of rows (an empty window).
        """
        if self.record.figures is not None:
            return int(self.record.figures["window_start"])
        rows = self.record.fills["row"]
        return int(np.min(rows)) if len(rows) else len(self.record.creturn)

    # -------------------------------------------------------------------------------------- curves

    @cached_property
    def equity(self) -> pd.Series:
        """Portfolio value after each trading day, starting from 1.0 (pandas.Series on dates)."""
        return pd.Series(np.asarray(self.record.creturn, dtype=np.float64),
                         index=self.inputs.user_dates(), name="equity")

    @cached_property
    def cash(self) -> pd.Series:
        """The cash after each trading day (1.0 until the first trade; negative for shorts' proceeds
        spent)."""
        return pd.Series(np.asarray(self.record.cash, dtype=np.float64), index=self.equity.index,
                         name="cash")

    @cached_property
    def returns(self) -> pd.Series:
        """Daily returns of :attr:`equity`; the first day is measured from the initial 1.0."""
        values = self.equity.to_numpy()
        prev = np.concatenate(([1.0], values[:-1]))
        return pd.Series(values / prev - 1.0, index=self.equity.index, name="returns")

    @cached_property
    def drawdown(self) -> pd.Series:
        """Drawdown of :attr:`equity` from its running maximum, the initial 1.0 included (0 or
        below); :meth:`stats`' ``max_drawdown`` is its lowest value over the window."""
        from pelmora.statistics.performance import drawdown

        return drawdown(self.equity).rename("drawdown")

    # --------------------------------------------------------------------------------------- fills

    @cached_property
    def fills(self) -> pd.DataFrame:
        """One row per fill, in execution order.

        Columns
        -------
        date, stock
            Trading day of the fill; stock id.
        reason
            "rebalance", "stop_loss", "take_profit", "trailing_stop", "delisting", or "wiped_out"
            and "margin_call" (the book closed as the account stopped; ``maintenance_margin``).
        side
            "buy" when the holding's value went up (a long bought, a short covered), "sell" when
            it went down.
        price
            The price the fill traded at, as the run recorded it: the day's trading price, or for
            an intraday stop the stop level (the open when the day opened beyond it), moved
            against the trade by ``slippage``. A suspended stock trades at its last price known
            on or before that day (NaN when it never had one), never at a later one.
        shares, requested
            Only with a ``capital``: the shares the fill moved and those its order asked for
            before lots and the volume cap cut them (signed: positive bought, negative sold).
        value
            Value traded, ``abs(after - before)`` less ``written_off``, in portfolio units.
        fee, tax, slippage, impact, written_off
            What the fill paid; ``slippage`` and ``impact`` are the costs of the price moved
            against the trade, ``written_off`` what a delisting left unsold (its value lost).
        suspended
            True when the stock had no trading price that day and traded at its last known value.
            A holding bought while suspended keeps the value it was bought for until the stock's
            first price after the fill; from there its value follows the price, so the move from
            the fill price to that first price does not count in the equity.
        before, after
            The holding's value just before and after the fill (negative for a short); the cash
            changes by ``before - after - fee - tax - slippage - impact - written_off``.
        """
        return fills_table(self.inputs, self.record)

    pending = cached_property(pending_orders)

    @cached_property
    def financing(self) -> pd.DataFrame:
        """One row per day that accrued financing, indexed by date; empty when every rate is 0.

        Columns: ``days`` (calendar days since the previous trading day), ``balance`` (the cash
        at the previous close the interest is on), ``interest`` (earned, or negative: paid),
        ``short_value`` (the short holdings at the previous close, absolute) and ``short_fee``
        (paid), in portfolio units. The cash changes by ``interest - short_fee`` before the
        day's fills.
        """
        return financing_table(self.inputs, self.record)

    @cached_property
    def currency(self) -> CurrencyView:
        """The money tables times the run's ``capital`` (a ValueError without one): equity,
        cash, fills, trades, financing, positions (holding values), exposure."""
        return CurrencyView(self)

    @cached_property
    def turnover(self) -> pd.Series:
        """Weight traded per trading day: the fills' values over the equity they were sized on.

        Buys and sells both count (a fully invested switch from one stock to another is 2.0), and
        so do stop exits and delistings. The equity of the day before the fill is the base (1.0
        on the first day), as rebalancing sizes its targets on it.
        """
        return self._turnover_series(turnover_per_row(self.record))

    def _turnover_series(self, per_row: np.ndarray) -> pd.Series:
        return pd.Series(per_row, index=self.equity.index, name="turnover")

    # -------------------------------------------------------------------------------------- trades

    @cached_property
    def trades(self) -> pd.DataFrame:
        """One row per trade record, closed trades in the order they closed, then the open ones.

        Columns
        -------
        stock
            Stock id.
        entry_date, exit_date
            Trading days of the entry and of the exit (NaT while the trade is open).
        entry_signal_date, exit_signal_date
            The days the decisions were taken: the day before the entry, and the day before the
            exit (the exit day itself for an intraday stop); NaT when there is none.
        weight
            Target weight at entry (negative for a short).
        entry_price, exit_price
            The prices of the trade's entry and exit fills (:attr:`fills` ``price``); for an open
            trade the last close, for a record split off a holding kept without a trade the day's
            trading price; a suspended stock's last price known on or before that day.
        entry_value, exit_value
            The holding's value after the entry fill and before the exit fill (an open trade at the
            last close), in portfolio units, negative for a short.
        costs
            Fees, tax, slippage, impact and write-offs of the trade's fills.
        pnl
            Profit in portfolio units, net of costs: ``exit_value - entry_value - costs`` (with
            the flows of resizes in between). The pnl of all trades adds up to the final equity
            minus 1.
        return
            ``pnl`` over the absolute entry value: the return at the fills, net of costs (a 10 %
            intraday stop shows -10 % less the costs).
        exit_reason
            As :attr:`fills` ``reason``; missing while open.
        bars_held
            Trading days from the entry day to the exit day (to the last day for an open trade).
        mae, gmfe, bmfe, mdd, profit_bars, trade_return
            The excursion summary: maximum adverse excursion, maximum favourable excursion, the
            favourable excursion before the adverse extreme, the deepest drawdown, the number of
            days in profit, and the return after the entry fee (and after the exit's fee and tax
            when the excursion window does not reach past the exit), measured on closes over the
            excursion window; see :attr:`excursions`.
        """
        return trades_table(self.inputs, self.record)

    # ----------------------------------------------------------------------------------- holdings

    @cached_property
    def positions(self) -> pd.DataFrame:
        """Weight of every stock at every close: the holding's value over the equity.

        A DataFrame on the price dates with one column per stock of ``weights``; 0 where the stock
        is not held. A suspended stock is valued at its last known price.
        """
        return positions_table(self.inputs, self.record, self.equity.index)

    @cached_property
    def exposure(self) -> pd.DataFrame:
        """The book's make-up at every close, as fractions of the equity.

        Columns
        -------
        long, short
            Sum of the long weights (0 or above) and of the short weights (0 or below).
        gross, net
            ``long - short`` and ``long + short``.
        cash
            Cash over equity; ``cash + net`` is 1 (up to rounding).
        n_holdings
            Number of stocks held.
        """
        return exposure_table(self.record, self.equity.index)

    @cached_property
    def excursions(self) -> pd.DataFrame:
        """The sampled excursion path of every trade, one row per trade and sampled day.

        Every trade is followed for ``excursion_window`` trading days after its entry (also past its
        exit), sampled every ``excursion_step`` days; days past the end of the data are left out.

        Columns
        -------
        trade
            Row number of the trade in :attr:`trades`.
        stock
            Stock id.
        bar
            Trading days since the entry (0 is the entry day).
        mae, gmfe, bmfe, mdd, profit_bars, trade_return
            As of that day: maximum adverse excursion (lowest return so far, 0 or below), maximum
            favourable excursion (highest return so far, 0 or above), the favourable excursion
            reached before the adverse extreme, the deepest drawdown from a high, the number of
            days in profit, and the return (after the entry fee). Returns are relative to the
            entry price, so 0.1 is +10 %.
        """
        return excursions_table(self.inputs, self.record)

    # --------------------------------------------------------------------------------- next period

    @cached_property
    def next_period(self) -> pd.DataFrame:
        """What to do on the trading day after the data: one row per stock concerned.

        Columns
        -------
        stock
            Stock id.
        action
            "enter", "exit", "hold" (the pending rebalance enters, leaves or keeps the stock);
            "tp" / "sl": an exit is due on the next day, the last close above the upper / below
            the lower threshold (a long's take profit / stop loss; see ``order``); "tp_enter" /
            "sl_enter": an exit is due but the coming weights keep the stock; "tp_" / "sl_": the
            stock was stopped out since the last rebalance. None when nothing is due.
        order
            The action in words, with its side: "buy", "sell short" (enter), "sell", "cover"
            (exit), "hold"; "take-profit exit", "stop-loss exit" for "tp" / "sl" (the codes name
            the threshold the last close crossed, the upper one is a short's stop, so the side
            decides; a trailing stop counts as a stop-loss; for the first stock the engine cannot
            tell the two apart: "stop-loss or take-profit exit"); "hold (rebalance overrides ...
            exit)" for "tp_enter" / "sl_enter"; "none (stopped out)", "none (took profit)",
            "none (trailing stop hit)" for "tp_" / "sl_", from the stop fill itself; "none" when
            nothing is held or due. Every word is in :data:`pelmora.engine._vocabulary.ORDERS`.
        weight
            Weight of the stock since the last executed rebalance (0 if sold since).
        next_weight
            Weight of the stock for the next period.
        weight_date, next_weight_date
            Dates of the weight rows these come from (NaT if no rebalance was executed).
        """
        return next_period_table(self.inputs, self.record)

    def order_ticket(
        self, capital: float, *, holdings: Any = None, lot_size: Any = None,
        min_order_value: float = 0.0, cash_buffer: float = 0.0, band: float = 0.0,
        prices: Any = None,
    ) -> pd.DataFrame:
        return _order_ticket(self, capital, holdings=holdings, lot_size=lot_size, band=band,
                             min_order_value=min_order_value, cash_buffer=cash_buffer,
                             prices=prices)

    order_ticket.__doc__ = _order_ticket.__doc__

    # -------------------------------------------------------------------------------------- stats

    @overload
    def stats(self, benchmark: pd.Series | None = ..., *, risk_free: float = ...,
              periods_per_year: float = ..., benchmark_kind: _Kind = ..., ci: None = ...,
              reps: int = ..., seed: int = ..., block: float | None = ...) -> pd.Series: ...
    @overload
    def stats(self, benchmark: pd.Series | None = ..., *, risk_free: float = ...,
              periods_per_year: float = ..., benchmark_kind: _Kind = ..., ci: float,
              reps: int = ..., seed: int = ..., block: float | None = ...) -> pd.DataFrame: ...
    def stats(
        self,
        benchmark: pd.Series | None = None,
        *,
        risk_free: float = 0.0,
        periods_per_year: float = 252,
        benchmark_kind: _Kind = "auto",
        ci: float | None = None, reps: int = 1000, seed: int = 0, block: float | None = None,
    ) -> pd.Series | pd.DataFrame:
        """Performance statistics over the statistics window.

        The window starts on the day of the first fill (:attr:`window_start`), not on the first
        weight date: days of flat cash before it would dilute volatility and Sharpe. The first
        return of the window is measured from the initial 1.0, and so is the drawdown:
        ``max_drawdown`` is the lowest :attr:`drawdown` in the window.

        Parameters
        ----------
        benchmark : pandas.Series, optional
            Benchmark prices or returns on dates; adds alpha, beta, correlation, tracking error
            and information ratio (see :func:`pelmora.stats.performance_stats`).
        risk_free : float, default 0.0
            Annual risk-free rate; the per-period rate is ``risk_free / periods_per_year``.
        periods_per_year : float, default 252
            Trading days per year, to annualise.
        benchmark_kind : {"auto", "prices", "returns"}, default "auto"
            How to read ``benchmark``; "auto" reads a Series of positive values as prices.
        ci, reps, seed, block
            ``ci=0.95`` gives a DataFrame of the figures (``value``) and their bootstrap
            interval (``lower``, ``upper``): see :func:`pelmora.stats.performance_stats`.

        Returns
        -------
        pandas.Series or pandas.DataFrame
            See :func:`pelmora.stats.performance_stats` for each figure and its convention. The
            trade figures (win rate, average win and loss, profit factor, expectancy,
            ``n_trades``) count positions from entry to exit (a close or a flip), adding up the
            ``pnl`` of their records in :attr:`trades` whatever ``split_trades`` says, open ones
            marked at the last close (``avg_mae``, ``avg_mfe``: means over the records);
            ``turnover`` counts every fill (stops, delistings); the costs are the whole run's.
        """
        from pelmora.statistics.performance import (
            _checked_options, _performance_stats, _with_intervals,
        )

        checked = _checked_options(periods_per_year, risk_free, benchmark, benchmark_kind, pd)
        bounds = _bounds(ci, reps, seed, block, caller := "BacktestResult.stats(ci=...)")
        # The fills' and trades' sums run on a thread of their own meanwhile (turnover kept).
        pending, start = start_figures(self.record), self.window_start

        def late() -> tuple[dict[str, Any], float, dict[str, float]]:
            figures = pending()
            if "turnover" not in self.__dict__:
                self.__dict__["turnover"] = self._turnover_series(figures.turnover)
            return figures.trades, sum_skipping_nan(self.turnover.to_numpy()[start:]), figures.costs

        series = _performance_stats(
            window := self.equity.iloc[start:], late, *checked, benchmark=benchmark,
            benchmark_kind=benchmark_kind, fill_rate=fill_rate(self.record), pandas=pd,
            initial_date=self.equity.index[start - 1] if 0 < start <= len(self.equity) else None,
        )
        return series if bounds is None else _with_intervals(
            series, window, benchmark, benchmark_kind, *checked, bounds, pd, caller)

    def monthly_returns(self) -> pd.DataFrame:
        """Return of every month of the statistics window, a row per year with the year's total.

        Returns
        -------
        pandas.DataFrame
            Columns "Jan" to "Dec" and "Year"; see :func:`pelmora.stats.monthly_returns`.
        """
        from pelmora.statistics.performance import monthly_returns

        return monthly_returns(self.equity.iloc[self.window_start :])

    # ------------------------------------------------------------------------------------- plots

    def plot(
        self,
        kind: Literal["equity", "excursions"] = "equity",
        *,
        title: str | None = None,
        figsize: tuple[float, float] | None = None,
        interactive: bool = False,
    ) -> Figure:
        """Draw the equity curve with its drawdown, or the trades' MAE against their MFE.

        Parameters
        ----------
        kind : {"equity", "excursions"}, default "equity"
            "equity": the equity curve with the drawdown underneath. "excursions": one point per
            trade, maximum adverse excursion across and maximum favourable excursion up, winners
            (positive ``pnl``) in green, losers in red, with the run's stop-loss and take-profit
            distances as lines; densities instead of points above
            :data:`pelmora.plotting.HEXBIN_THRESHOLD` trades.
        title : str, optional
            Figure title.
        figsize : (float, float), optional
            Figure size in inches.
        interactive : bool, default False
            A plotly figure instead (extra ``interactive``): zoom, and each trade on hover.

        Returns
        -------
        matplotlib.figure.Figure
            A figure not registered with pyplot; save it with ``fig.savefig(path)``. With
            ``interactive``, a ``plotly.graph_objects.Figure``.
        """
        from pelmora.plotting._run import result_figure

        return result_figure(self, kind, title=title, figsize=figsize, interactive=interactive)

    # ------------------------------------------------------------------------------------ report

    def report(
        self, path: str | os.PathLike[str], benchmark: pd.Series | None = None, *,
        log_scale: bool = False, title: str | None = None, capacity: pd.DataFrame | None = None,
        ci: float | None = 0.95,
        interactive: bool = False,
    ) -> Path:
        """Write a self-contained HTML report of this run (:func:`pelmora.report.backtest_report`).

        Parameters
        ----------
        path : str or os.PathLike
            The HTML file to write.
        benchmark : pandas.Series, optional
            Benchmark prices or returns on dates, drawn against the equity and compared in the
            statistics.
        log_scale, title, capacity, ci, interactive
            As :func:`pelmora.report.backtest_report`: the equity on a log scale, the page title,
            a table of :func:`pelmora.capacity`, the intervals' confidence level (None: none),
            the figures drawn with plotly, its script inline (extra ``interactive``).

        Returns
        -------
        pathlib.Path
            ``path``.
        """
        from pelmora.report import backtest_report

        return backtest_report(self, path, benchmark=benchmark, log_scale=log_scale, title=title,
                               capacity=capacity, ci=ci, interactive=interactive)
