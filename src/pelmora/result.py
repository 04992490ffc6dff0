"""The outcome of one backtest: :class:`BacktestResult`."""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from pelmora import _require
from pelmora.core import journal as _journal

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

    from pelmora.api import EngineInputs
else:
    pd = _require("pandas", "pelmora.BacktestResult")

__all__ = ["EXCURSION_FIELDS", "BacktestResult", "RunRecord"]

EXCURSION_FIELDS: tuple[str, ...] = _journal.EXCURSION_FIELDS
"""The values of each excursion block, in the engine's order."""
_BLOCK = len(EXCURSION_FIELDS)


@dataclass(frozen=True)
class RunRecord:
    """What one engine run produced, copied out of the modules' state right after the run.

    Attributes
    ----------
    creturn : numpy.ndarray
        Portfolio value after every price row.
    trade_rows : list of list
        The rows of :func:`pelmora.core.runvane.get_trade_stocks`.
    trade_records : list of list
        ``[sid, entry_row, exit_row]`` per trade (``pelmora.core.swaylen.trades``).
    excursion_arrays : list of numpy.ndarray
        The excursion array of every trade (``pelmora.core.swaylen.swaylen``).
    operations : dict
        The next-period report (:func:`pelmora.core.runvane.get_stock_operations`).
    """

    creturn: np.ndarray
    trade_rows: list[list[Any]]
    trade_records: list[list[Any]]
    excursion_arrays: list[np.ndarray]
    operations: dict[str, Any]


class BacktestResult:
    """Results of :func:`pelmora.backtest`.

    A result owns copies of everything the run produced, so several results can be kept and
    compared; the tables are built on first access.

    Attributes
    ----------
    inputs : pelmora.api.EngineInputs
        The arrays the engine ran on and the options of the run.
    record : RunRecord
        The engine's raw outputs.
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
            f"{len(self.record.trade_records)} trades, final equity {last}>"
        )

    @property
    def options(self) -> dict[str, Any]:
        """The backtest options of this run (as given to :func:`pelmora.backtest`)."""
        return dict(self.inputs.options)

    # ---------------------------------------------------------------------------------------- dates

    def _dates(self, ns: Any) -> pd.DatetimeIndex:
        idx = pd.DatetimeIndex(np.asarray(ns, dtype="datetime64[ns]"))
        if self.inputs.tz is not None:
            idx = idx.tz_localize("UTC").tz_convert(self.inputs.tz)
        return idx

    def _dates_or_nat(self, ns: np.ndarray, valid: np.ndarray) -> pd.DatetimeIndex:
        nat = np.datetime64("NaT", "ns").astype(np.int64)
        return self._dates(np.where(valid, ns, nat).astype(np.int64))

    @cached_property
    def _first_active_row(self) -> int:
        # Rows dated before the first weight row are not simulated; the statistics start after them.
        args = self.inputs.arguments
        return int(np.searchsorted(args["price_index"], args["pos_index"][0], side="left"))

    # -------------------------------------------------------------------------------------- curves

    @cached_property
    def equity(self) -> pd.Series:
        """Portfolio value after each trading day, starting from 1.0 (pandas.Series on dates)."""
        return pd.Series(
            np.asarray(self.record.creturn, dtype=np.float64),
            index=self._dates(self.inputs.arguments["price_index"]),
            name="equity",
        )

    @cached_property
    def returns(self) -> pd.Series:
        """Daily returns of :attr:`equity`; the first day is measured from the initial 1.0."""
        values = self.equity.to_numpy()
        prev = np.concatenate(([1.0], values[:-1]))
        return pd.Series(values / prev - 1.0, index=self.equity.index, name="returns")

    @cached_property
    def drawdown(self) -> pd.Series:
        """Drawdown of :attr:`equity` from its running maximum (0 or below)."""
        from pelmora.stats import drawdown

        return drawdown(self.equity).rename("drawdown")

    # -------------------------------------------------------------------------------------- trades

    @cached_property
    def trades(self) -> pd.DataFrame:
        """One row per trade, closed trades in the order they closed, then the open ones.

        Columns
        -------
        stock
            Stock id.
        entry_date, exit_date
            Trading days of the entry and of the exit (NaT while the trade is open).
        entry_signal_date, exit_signal_date
            The days the decisions were taken: the day before the entry, and the day before the exit
            (the exit day itself for intraday stops); NaT when there is none.
        weight
            Weight at entry (negative for a short).
        bars_held
            Trading days from entry to exit (to the end of the data for an open trade).
        return
            Price return between the trading prices of the entry and exit days (the last close for
            an open trade), before fees, signed for shorts; a missing price is bridged by the last
            known one. Intraday stops fill at the stop level, which this column does not see.
        mae, gmfe, bmfe, mdd, profit_bars, trade_return
            The excursion summary at the exit: maximum adverse excursion, maximum favourable
            excursion, the favourable excursion before the adverse extreme, the deepest drawdown,
            the number of days in profit, and the return after the entry fee (also after the exit's
            fee and tax, at its trading price, when the excursion window does not reach past the
            exit). All relative to the entry price; see :attr:`excursions`.
        """
        rec = self.record
        n = len(rec.trade_rows)
        if len(rec.excursion_arrays) != n or len(rec.trade_records) != n:
            # Only a failed run leaves the lists out of step, and a failed run has no result.
            raise RuntimeError("trade lists of the run are out of step")
        if n == 0:
            cols = [
                "stock", "entry_date", "exit_date", "entry_signal_date", "exit_signal_date",
                "weight", "bars_held", "return", *EXCURSION_FIELDS,
            ]
            frame = pd.DataFrame({c: [] for c in cols})
            for c in ("entry_date", "exit_date", "entry_signal_date", "exit_signal_date"):
                frame[c] = self._dates(np.empty(0, dtype=np.int64))
            frame["stock"] = frame["stock"].astype(object)
            frame["bars_held"] = frame["bars_held"].astype(np.int64)
            return frame
        sid = np.array([int(t[0]) for t in rec.trade_records], dtype=np.intp)
        rows = rec.trade_rows
        entry_row = np.array([int(r[7]) for r in rows], dtype=np.int64)
        exit_row = np.array([int(r[8]) for r in rows], dtype=np.int64)
        is_open = exit_row == -1
        weight = np.array([float(r[5]) for r in rows], dtype=np.float64)
        summary = np.array([a[-_BLOCK:] for a in rec.excursion_arrays], dtype=np.float64).reshape(
            n, _BLOCK
        )
        frame = pd.DataFrame(
            {
                "stock": np.asarray(self.inputs.stocks, dtype=object)[sid],
                "entry_date": self._dates(np.array([int(r[1]) for r in rows], dtype=np.int64)),
                "exit_date": self._dates_or_nat(
                    np.array([int(r[2]) for r in rows], dtype=np.int64), ~is_open
                ),
                "entry_signal_date": self._dates_or_nat(
                    np.array([int(r[3]) for r in rows], dtype=np.int64), entry_row > 0
                ),
                "exit_signal_date": self._dates_or_nat(
                    np.array([int(r[4]) for r in rows], dtype=np.int64), ~is_open
                ),
                "weight": weight,
                "bars_held": np.array([int(r[6]) for r in rows], dtype=np.int64),
                "return": self._price_returns(sid, entry_row, exit_row, weight),
            }
        )
        for k, name in enumerate(EXCURSION_FIELDS):
            frame[name] = summary[:, k]
        return frame

    def _price_returns(
        self, sid: np.ndarray, entry_row: np.ndarray, exit_row: np.ndarray, weight: np.ndarray
    ) -> np.ndarray:
        args = self.inputs.arguments
        trade = args["price_values"]
        close = args["close_values"]
        pcol = self.inputs.price_column_of_stock[sid]
        is_open = exit_row == -1
        last = np.where(is_open, trade.shape[0] - 1, exit_row)
        entry_price = trade[entry_row, pcol]
        exit_price = np.where(is_open, close[last, pcol], trade[last, pcol])
        # A missing exit price (a suspension) is bridged by the last known one since the entry.
        for k in np.flatnonzero(np.isnan(exit_price)):
            path = close[:, pcol[k]] if is_open[k] else trade[:, pcol[k]]
            window = path[entry_row[k] : last[k] + 1]
            valid = np.flatnonzero(~np.isnan(window))
            if len(valid):
                exit_price[k] = window[valid[-1]]
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = exit_price / entry_price
        ratio[entry_price == 0] = np.nan
        returns: np.ndarray = np.where(weight > 0, ratio - 1.0, 1.0 - ratio)
        return returns

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
        rec = self.record
        step = int(self.inputs.arguments["swaylen_window_step"])
        stocks = np.asarray(self.inputs.stocks, dtype=object)
        n = len(rec.excursion_arrays)
        # Every array of a run has the same length: sample blocks, then the summary block.
        if n:
            arrays = np.stack([np.asarray(a, dtype=np.float64) for a in rec.excursion_arrays])
            samples = arrays.reshape(n, -1, _BLOCK)[:, :-1, :]
        else:
            samples = np.empty((0, 0, _BLOCK))
        # A sample past the end of the data keeps the fill value -1 in every field; a real sample
        # always counts 0 or more days in profit.
        trade_no, block = np.nonzero(samples[:, :, EXCURSION_FIELDS.index("profit_bars")] != -1.0)
        sids = np.array([int(t[0]) for t in rec.trade_records], dtype=np.intp)
        frame = pd.DataFrame(
            {
                "trade": trade_no.astype(np.int64),
                "stock": stocks[sids[trade_no]] if n else np.empty(0, dtype=object),
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
        ops = self.record.operations
        actions: dict[int, str] = ops.get("actions", {})
        weights: dict[int, Any] = ops.get("weights", {})
        next_weights: dict[int, Any] = ops.get("next_weights", {})
        sids = sorted(set(actions) | set(weights) | set(next_weights))
        pos_dates = self._dates(self.inputs.arguments["pos_index"])
        wt = int(ops.get("weight_time", -1))
        nwt = int(ops.get("next_weight_time", -1))
        stocks = np.asarray(self.inputs.stocks, dtype=object)
        return pd.DataFrame(
            {
                "stock": pd.Series(stocks[np.array(sids, dtype=np.intp)], dtype=object),
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

    def stats(self, *, periods_per_year: float = 252, risk_free: float = 0.0) -> pd.Series:
        """Performance statistics over the simulated period (from the first weight date on).

        Parameters
        ----------
        periods_per_year : float, default 252
            Trading days per year, to annualise.
        risk_free : float, default 0.0
            Annual risk-free rate for Sharpe and Sortino.

        Returns
        -------
        pandas.Series
            start, end, total_return, cagr, annual_volatility, sharpe, sortino, max_drawdown,
            max_drawdown_start, max_drawdown_end, win_rate, avg_mae, avg_mfe, turnover (traded
            target weight per year, buys plus sells, stop exits not counted) and n_trades; see
            :func:`pelmora.stats.performance_stats`.
        """
        from pelmora.stats import performance_stats, target_turnover

        args = self.inputs.arguments
        turnover = target_turnover(
            args["price_index"],
            args["pos_index"],
            args["pos_values"],
            args["resample"],
            args["position_limit"],
        )
        return performance_stats(
            self.equity.iloc[self._first_active_row :],
            self.trades,
            turnover=turnover,
            periods_per_year=periods_per_year,
            risk_free=risk_free,
        )

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
            (positive ``trade_return``) in green, losers in red.
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
            return plotting.excursion_figure(self.trades, title=title, figsize=figsize)
        raise ValueError(f'kind must be "equity" or "excursions", got {kind!r}')
