"""The outcome of one backtest: :class:`BacktestResult`."""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from pelmora import _require
from pelmora.core import journal as _journal

if TYPE_CHECKING:  # pragma: no cover
    import os
    from pathlib import Path

    import pandas as pd
    from matplotlib.figure import Figure

    from pelmora.inputs import EngineInputs
else:
    pd = _require("pandas", "pelmora.BacktestResult")

__all__ = ["EXCURSION_FIELDS", "REASONS", "BacktestResult", "RunRecord"]

EXCURSION_FIELDS: tuple[str, ...] = _journal.EXCURSION_FIELDS
"""The values of each excursion block, in the engine's order."""
REASONS: tuple[str, ...] = _journal.REASONS
"""Why a fill happened, in the journal's numbering."""
_BLOCK = len(EXCURSION_FIELDS)
_INTRADAY_EXITS = frozenset(REASONS.index(r) for r in ("stop_loss", "take_profit", "trailing_stop"))


@dataclass(frozen=True)
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
        at; a suspended stock's last known one), ``fee``, ``tax``, ``suspended``.
    trades : dict of numpy.ndarray
        ``sid``, ``entry_row``, ``exit_row``, ``position``, ``entry_value``, ``exit_value``,
        ``cost``, ``pnl``, ``exit_reason``, ``entry_fill``, ``exit_fill`` (indexes into
        ``fills``, -1 when the record has no such fill).
    excursions : numpy.ndarray or None
        The excursion array of every trade, one row each.
    positions : dict of numpy.ndarray or None
        ``row``, ``sid``, ``value``: every holding at every close.
    report : dict
        The next-period report.
    """

    creturn: np.ndarray
    cash: np.ndarray
    rebalance_rows: np.ndarray
    fills: dict[str, np.ndarray]
    trades: dict[str, np.ndarray]
    excursions: np.ndarray | None
    positions: dict[str, np.ndarray] | None
    report: dict[str, Any]

    @classmethod
    def from_journal(cls, output: dict[str, Any]) -> RunRecord:
        """The record of a :func:`pelmora.core.journal.run` result dict."""
        return cls(**{name: output[name] for name in cls.__dataclass_fields__})


class BacktestResult:
    """Results of :func:`pelmora.backtest`, on the price dates and stock ids the user gave.

    A result owns everything the run produced, so several results can be kept and compared; the
    tables are built on first access. Money is in portfolio units: the run starts with 1.0 in
    cash, so a pnl of 0.01 is 1 % of the initial capital.

    The figures reconcile: every fill changes the cash by ``before - after - fee - tax``
    (:attr:`fills`); the equity of a date is the cash plus the values of the holdings
    (:attr:`exposure`, :attr:`positions`); the ``pnl`` of all trades adds up to the final equity
    minus 1 (:attr:`trades`).

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
        eq = self.equity
        span = f"{eq.index[0].date()}..{eq.index[-1].date()}" if len(eq) else "no rows"
        last = f"{eq.iloc[-1]:.4f}" if len(eq) else "nan"
        return (
            f"<BacktestResult {span}, {len(self.inputs.stocks)} stocks, "
            f"{len(self.record.trades['sid'])} trades, final equity {last}>"
        )

    @property
    def options(self) -> dict[str, Any]:
        """The backtest options of this run, as checked."""
        return self.inputs.options.to_dict()

    # ---------------------------------------------------------------------------------------- dates

    def _row_dates(self, rows: np.ndarray, valid: np.ndarray | None = None) -> pd.DatetimeIndex:
        """The dates of price rows; NaT where ``valid`` is False."""
        index = self.inputs.arguments["price_index"]
        rows = np.asarray(rows, dtype=np.int64)
        ok = np.ones(len(rows), dtype=bool) if valid is None else np.asarray(valid, dtype=bool)
        nat = np.datetime64("NaT", "ns").astype(np.int64)
        ns = np.full(len(rows), nat, dtype=np.int64)
        ns[ok] = index[rows[ok]]
        dates: pd.DatetimeIndex = self.inputs.dates_of(ns)
        return dates

    def _stocks(self, sid: np.ndarray) -> np.ndarray:
        stocks: np.ndarray = np.asarray(self.inputs.stocks, dtype=object)[np.asarray(sid, np.intp)]
        return stocks

    @property
    def window_start(self) -> int:
        """The first price row of the statistics: the row of the first fill (capital deployed).

        Before it the portfolio is all cash at 1.0, and counting those rows would dilute
        volatility and Sharpe; a rebalance that bought nothing (weights of zero) does not start
        it. With no fill at all it is the number of rows (an empty window).
        """
        rows = self.record.fills["row"]
        return int(np.min(rows)) if len(rows) else len(self.record.creturn)

    # -------------------------------------------------------------------------------------- curves

    @cached_property
    def equity(self) -> pd.Series:
        """Portfolio value after each trading day, starting from 1.0 (pandas.Series on dates)."""
        return pd.Series(
            np.asarray(self.record.creturn, dtype=np.float64),
            index=self.inputs.user_dates(),
            name="equity",
        )

    @cached_property
    def cash(self) -> pd.Series:
        """The cash after each trading day (1.0 until the first trade; negative for shorts' proceeds
        spent)."""
        return pd.Series(
            np.asarray(self.record.cash, dtype=np.float64), index=self.equity.index, name="cash"
        )

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
        from pelmora.stats import drawdown

        return drawdown(self.equity).rename("drawdown")

    # --------------------------------------------------------------------------------------- fills

    @cached_property
    def fills(self) -> pd.DataFrame:
        """One row per fill, in execution order.

        Columns
        -------
        date
            Trading day of the fill.
        stock
            Stock id.
        reason
            "rebalance", "stop_loss", "take_profit", "trailing_stop" or "delisting".
        side
            "buy" when the holding's value went up (a long bought, a short covered), "sell" when
            it went down.
        price
            The price the fill traded at, as the run recorded it: the day's trading price, or for
            an intraday stop the stop level (the open when the day opened beyond it). A suspended
            stock trades at its last price known on or before that day (NaN when it never had
            one), never at a later one.
        value
            Value traded, ``abs(after - before)``, in portfolio units.
        fee, tax
            What the fill paid.
        suspended
            True when the stock had no trading price that day and traded at its last known value.
            A holding bought while suspended keeps the value it was bought for until the stock's
            first price after the fill; from there its value follows the price, so the move from
            the fill price to that first price does not count in the equity.
        before, after
            The holding's value just before and after the fill (negative for a short); the cash
            changes by ``before - after - fee - tax``.
        """
        f = self.record.fills
        rows = np.asarray(f["row"], dtype=np.int64)
        sid = np.asarray(f["sid"], dtype=np.int64)
        before = np.asarray(f["before"], dtype=np.float64)
        after = np.asarray(f["after"], dtype=np.float64)
        return pd.DataFrame(
            {
                "date": self._row_dates(rows),
                "stock": self._stocks(sid),
                "reason": pd.Categorical.from_codes(
                    np.asarray(f["reason"], dtype=np.int64), categories=list(REASONS)
                ),
                "side": np.where(after > before, "buy", "sell").astype(object),
                "price": np.asarray(f["price"], dtype=np.float64),
                "value": np.abs(after - before),
                "fee": np.asarray(f["fee"], dtype=np.float64),
                "tax": np.asarray(f["tax"], dtype=np.float64),
                "suspended": np.asarray(f["suspended"], dtype=bool),
                "before": before,
                "after": after,
            }
        )

    @cached_property
    def turnover(self) -> pd.Series:
        """Weight traded per trading day: the fills' values over the equity they were sized on.

        Buys and sells both count (a fully invested switch from one stock to another is 2.0), and
        so do stop exits and delistings. The equity of the day before the fill is the base (1.0
        on the first day), as rebalancing sizes its targets on it.
        """
        f = self.record.fills
        rows = np.asarray(f["row"], dtype=np.int64)
        equity = np.asarray(self.record.creturn, dtype=np.float64)
        base = np.concatenate(([1.0], equity[:-1]))[rows] if len(rows) else np.empty(0)
        traded = np.abs(np.asarray(f["after"]) - np.asarray(f["before"]))
        with np.errstate(divide="ignore", invalid="ignore"):
            weight = traded / base
        per_day = np.bincount(rows, weights=weight, minlength=len(equity))
        return pd.Series(per_day, index=self.equity.index, name="turnover")

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
            Fees and tax of the trade's fills.
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
        t = self.record.trades
        sid = np.asarray(t["sid"], dtype=np.int64)
        n = len(sid)
        entry_row = np.asarray(t["entry_row"], dtype=np.int64)
        exit_row = np.asarray(t["exit_row"], dtype=np.int64)
        reason = np.asarray(t["exit_reason"], dtype=np.int64)
        closed = exit_row >= 0
        last_row = len(self.record.creturn) - 1
        end_row = np.where(closed, exit_row, last_row)
        args = self.inputs.arguments
        cols = self.inputs.price_column_of_stock[sid]
        intraday = bool(args["touched_exit"]) & np.isin(reason, list(_INTRADAY_EXITS))
        entry_value = np.asarray(t["entry_value"], dtype=np.float64)
        pnl = np.asarray(t["pnl"], dtype=np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            returns = pnl / np.abs(entry_value)
        frame = pd.DataFrame(
            {
                "stock": self._stocks(sid),
                "entry_date": self._row_dates(entry_row),
                "exit_date": self._row_dates(end_row, closed),
                "entry_signal_date": self._row_dates(entry_row - 1, entry_row > 0),
                "exit_signal_date": self._row_dates(
                    np.where(intraday, end_row, end_row - 1), closed & (intraday | (end_row > 0))
                ),
                "weight": np.asarray(t["position"], dtype=np.float64),
                "entry_price": self._trade_prices(
                    t["entry_fill"], entry_row, cols, np.ones(n, bool)
                ),
                "exit_price": self._trade_prices(t["exit_fill"], end_row, cols, closed),
                "entry_value": entry_value,
                "exit_value": np.asarray(t["exit_value"], dtype=np.float64),
                "costs": np.asarray(t["cost"], dtype=np.float64),
                "pnl": pnl,
                "return": returns,
                "exit_reason": pd.Categorical.from_codes(
                    np.where(closed, reason, -1), categories=list(REASONS)
                ),
                "bars_held": end_row - entry_row,
            }
        )
        summary = self._excursion_summary()
        for k, name in enumerate(EXCURSION_FIELDS):
            frame[name] = summary[:, k]
        return frame

    def _excursion_summary(self) -> np.ndarray:
        """The last excursion block of every trade (trades x fields); NaN without excursions."""
        ex = self.record.excursions
        n = len(self.record.trades["sid"])
        if ex is None or n == 0:
            return np.full((n, _BLOCK), np.nan)
        summary: np.ndarray = np.asarray(ex, dtype=np.float64)[:, -_BLOCK:]
        return summary

    def _trade_prices(
        self, fill: np.ndarray, rows: np.ndarray, cols: np.ndarray, traded: np.ndarray
    ) -> np.ndarray:
        """The prices of the fills at indexes ``fill``; the last known price where it is -1.

        A record without a fill of its own (one split off a holding that a rebalance kept without
        trading, or an open trade's exit) is priced at the day's trading price where ``traded``,
        else at the close; a suspended stock at its last price known on or before that day.
        """
        fill = np.asarray(fill, dtype=np.int64)
        prices = np.asarray(self.record.fills["price"], dtype=np.float64)
        out = prices[np.maximum(fill, 0)] if len(prices) else np.full(len(fill), np.nan)
        args = self.inputs.arguments
        for k in np.flatnonzero(fill < 0):
            matrix = args["price_values"] if traded[k] else args["close_values"]
            known = np.flatnonzero(~np.isnan(matrix[: rows[k] + 1, cols[k]]))
            out[k] = matrix[known[-1], cols[k]] if len(known) else np.nan
        return out

    # ----------------------------------------------------------------------------------- holdings

    def _holdings(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        p = self.record.positions
        if p is None:  # pragma: no cover - backtest always records them
            raise RuntimeError("this run was made without positions")
        return (
            np.asarray(p["row"], dtype=np.int64),
            np.asarray(p["sid"], dtype=np.int64),
            np.asarray(p["value"], dtype=np.float64),
        )

    @cached_property
    def positions(self) -> pd.DataFrame:
        """Weight of every stock at every close: the holding's value over the equity.

        A DataFrame on the price dates with one column per stock of ``weights``; 0 where the stock
        is not held. A suspended stock is valued at its last known price.
        """
        rows, sid, value = self._holdings()
        equity = np.asarray(self.record.creturn, dtype=np.float64)
        weights = np.zeros((len(equity), len(self.inputs.stocks)), dtype=np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            weights[rows, sid] = value / equity[rows]
        return pd.DataFrame(weights, index=self.equity.index, columns=self.inputs.stocks)

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
        rows, _, value = self._holdings()
        equity = np.asarray(self.record.creturn, dtype=np.float64)
        n = len(equity)
        long = np.bincount(rows, weights=np.where(value > 0, value, 0.0), minlength=n)
        short = np.bincount(rows, weights=np.where(value < 0, value, 0.0), minlength=n)
        count = np.bincount(rows, minlength=n)
        with np.errstate(divide="ignore", invalid="ignore"):
            long, short = long / equity, short / equity
            cash = np.asarray(self.record.cash, dtype=np.float64) / equity
        return pd.DataFrame(
            {
                "long": long,
                "short": short,
                "gross": long - short,
                "net": long + short,
                "cash": cash,
                "n_holdings": count.astype(np.int64),
            },
            index=self.equity.index,
        )

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
        step = int(self.inputs.arguments["swaylen_window_step"])
        ex = self.record.excursions
        sids = np.asarray(self.record.trades["sid"], dtype=np.intp)
        n = len(sids)
        # Every array of a run has the same length: sample blocks, then the summary block.
        if ex is not None and n:
            samples = np.asarray(ex, dtype=np.float64).reshape(n, -1, _BLOCK)[:, :-1, :]
        else:
            samples = np.empty((0, 0, _BLOCK))
        # A sample past the end of the data keeps the fill value -1 in every field; a real sample
        # always counts 0 or more days in profit.
        trade_no, block = np.nonzero(samples[:, :, EXCURSION_FIELDS.index("profit_bars")] != -1.0)
        frame = pd.DataFrame(
            {
                "trade": trade_no.astype(np.int64),
                "stock": self._stocks(sids[trade_no]),
                "bar": block.astype(np.int64) * step,
            }
        )
        values = samples[trade_no, block]
        for k, name in enumerate(EXCURSION_FIELDS):
            frame[name] = values[:, k]
        return frame

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
            "tp" / "sl": a take-profit / stop-loss exit is due on the next day; "tp_enter" /
            "sl_enter": an exit is due but the coming weights keep the stock; "tp_" / "sl_": the
            stock was stopped out since the last rebalance. None when nothing is due.
        weight
            Weight of the stock since the last executed rebalance (0 if sold since).
        next_weight
            Weight of the stock for the next period.
        weight_date, next_weight_date
            Dates of the weight rows these come from (NaT if no rebalance was executed).
        """
        ops = self.record.report
        actions: dict[int, str] = ops.get("actions", {})
        weights: dict[int, Any] = ops.get("weights", {})
        next_weights: dict[int, Any] = ops.get("next_weights", {})
        sids = sorted(set(actions) | set(weights) | set(next_weights))
        # The user's weight dates: the engine's are moved onto the price rows they belong to.
        pos_dates = self.inputs.dates_of(self.inputs.weight_dates.asi8)
        wt = int(ops.get("weight_time", -1))
        nwt = int(ops.get("next_weight_time", -1))
        return pd.DataFrame(
            {
                "stock": pd.Series(self._stocks(np.array(sids, dtype=np.intp)), dtype=object),
                "action": pd.Series([actions.get(s) for s in sids], dtype=object),
                "weight": np.array([float(weights.get(s, 0.0)) for s in sids], dtype=np.float64),
                "next_weight": np.array(
                    [float(next_weights.get(s, 0.0)) for s in sids], dtype=np.float64
                ),
                "weight_date": pd.DatetimeIndex([pos_dates[wt] if wt >= 0 else pd.NaT] * len(sids)),
                "next_weight_date": pd.DatetimeIndex(
                    [pos_dates[nwt] if nwt >= 0 else pd.NaT] * len(sids)
                ),
            }
        )

    # -------------------------------------------------------------------------------------- stats

    def stats(
        self,
        benchmark: pd.Series | None = None,
        *,
        risk_free: float = 0.0,
        periods_per_year: float = 252,
        benchmark_kind: Literal["auto", "prices", "returns"] = "auto",
    ) -> pd.Series:
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

        Returns
        -------
        pandas.Series
            See :func:`pelmora.stats.performance_stats` for each figure and its convention. The
            trade figures (win rate, average win and loss, profit factor, expectancy) come from
            the trades' ``pnl``, open trades marked at the last close; ``turnover`` is the
            weight traded per year by all fills (:attr:`turnover`), stop exits and delistings
            included.
        """
        from pelmora.stats import performance_stats

        start = self.window_start
        summary = self._excursion_summary()
        # The figures the statistics read, without building the whole trade table.
        trades = pd.DataFrame({
            "pnl": np.asarray(self.record.trades["pnl"], dtype=np.float64),
            "mae": summary[:, EXCURSION_FIELDS.index("mae")],
            "gmfe": summary[:, EXCURSION_FIELDS.index("gmfe")],
        })
        return performance_stats(
            self.equity.iloc[start:],
            trades,
            turnover=float(self.turnover.iloc[start:].sum()),
            periods_per_year=periods_per_year,
            risk_free=risk_free,
            benchmark=benchmark,
            benchmark_kind=benchmark_kind,
            initial_date=self.equity.index[start - 1] if 0 < start <= len(self.equity) else None,
        )

    def monthly_returns(self) -> pd.DataFrame:
        """Return of every month of the statistics window, a row per year with the year's total.

        Returns
        -------
        pandas.DataFrame
            Columns "Jan" to "Dec" and "Year"; see :func:`pelmora.stats.monthly_returns`.
        """
        from pelmora.stats import monthly_returns

        return monthly_returns(self.equity.iloc[self.window_start :])

    # ------------------------------------------------------------------------------------- plots

    def plot(
        self,
        kind: Literal["equity", "excursions"] = "equity",
        *,
        title: str | None = None,
        figsize: tuple[float, float] | None = None,
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

        Returns
        -------
        matplotlib.figure.Figure
            A figure not registered with pyplot; save it with ``fig.savefig(path)``.
        """
        from pelmora import plotting

        if kind == "equity":
            return plotting.equity_figure(self.equity, title=title, figsize=figsize)
        if kind == "excursions":
            options = self.inputs.options
            return plotting.excursion_figure(
                self.trades, title=title, figsize=figsize,
                stop_loss=options.stop_loss, take_profit=options.take_profit,
            )
        raise ValueError(f'kind must be "equity" or "excursions", got {kind!r}')

    # ------------------------------------------------------------------------------------ report

    def report(
        self,
        path: str | os.PathLike[str],
        benchmark: pd.Series | None = None,
        *,
        log_scale: bool = False,
        title: str | None = None,
    ) -> Path:
        """Write a self-contained HTML report of this run (:func:`pelmora.report.backtest_report`).

        Parameters
        ----------
        path : str or os.PathLike
            The HTML file to write.
        benchmark : pandas.Series, optional
            Benchmark prices or returns on dates, drawn against the equity and compared in the
            statistics.
        log_scale : bool, default False
            Draw the equity on a log scale.
        title : str, optional
            Page title (default "Backtest report").

        Returns
        -------
        pathlib.Path
            ``path``.
        """
        from pelmora.report import backtest_report

        return backtest_report(self, path, benchmark=benchmark, log_scale=log_scale, title=title)
