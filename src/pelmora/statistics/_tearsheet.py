"""A tear sheet of any returns: :func:`pelmora.tearsheet` and its :class:`TearSheet`.

A fund's NAV, a live account's daily returns or another engine's equity get every figure of
:meth:`BacktestResult.stats` by the same rules (the same code: a run's equity gives a run's
figures), its pictures, and the report's return sections.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

from pelmora.statistics._compare import Comparison
from pelmora.statistics._curves import curve_of
from pelmora.statistics.performance import monthly_returns

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["TearSheet", "tearsheet"]


class TearSheet(Comparison):
    """One curve's statistics, pictures and report (see :func:`pelmora.tearsheet`)."""

    @property
    def curve(self) -> Any:
        """The one curve described: its name, equity over its window and start."""
        return self.curves[0]

    def stats(self, *, risk_free: float = 0.0, periods_per_year: float = 252,  # type: ignore[override]
              ci: float | None = None, reps: int = 1000, seed: int = 0,
              block: float | None = None) -> Any:
        """Every figure of :meth:`BacktestResult.stats` of the curve, as a Series (with ``ci``,
        a DataFrame of ``value``, ``lower`` and ``upper``); against the benchmark when one was
        given. Trades, turnover, costs and fill rate are NaN: a Series has none."""
        table = self._table(risk_free=risk_free, periods_per_year=periods_per_year, ci=ci,
                            reps=reps, seed=seed, block=block)
        return table[self.curve.name]

    def monthly_returns(self) -> pd.DataFrame:
        """The return of every month and year of the window (:func:`pelmora.stats.monthly_returns`)."""
        return monthly_returns(self.curve.equity)

    def worst_drawdowns(self, n: int = 5) -> pd.DataFrame:
        """The ``n`` deepest drawdowns, from the capital before the window
        (:func:`pelmora.report.worst_drawdowns`)."""
        from pelmora.report import worst_drawdowns

        return worst_drawdowns(self.curve.from_capital(), n)

    def plot(self, kind: Literal["equity", "monthly", "yearly", "rolling"] = "equity", *,  # type: ignore[override]
             interactive: bool = False, log_scale: bool = False, title: str | None = None,
             figsize: tuple[float, float] | None = None) -> Any:
        """The equity and its drawdown (against the benchmark), or the monthly returns, the
        yearly returns, the rolling Sharpe ratio and volatility.

        ``interactive=True`` returns a plotly figure (extra ``interactive``); only ``"equity"``
        and ``"rolling"`` have one.
        """
        if kind == "equity":
            return super().plot(interactive=interactive, log_scale=log_scale, title=title,
                                figsize=figsize)
        from pelmora.report._compare import return_figure

        return return_figure(self, kind, interactive=interactive)


def tearsheet(
    returns_or_prices: pd.Series,
    benchmark: pd.Series | None = None,
    path: str | os.PathLike[str] | None = None,
    *,
    kind: Literal["auto", "returns", "prices"] = "auto",
    benchmark_kind: Literal["auto", "prices", "returns"] = "auto",
    title: str | None = None,
    interactive: bool = False,
) -> TearSheet:
    """Every statistic, picture and report section of a Series of daily returns or values.

    The rules are those of :meth:`BacktestResult.stats`: the curve is held from a capital of
    1.0, its returns are the daily changes (the first from 1.0), the drawdown counts that
    capital as its first peak, CAGR counts calendar days over 365.25 and the months are calendar
    months. The window starts where the curve first moves, as a run's starts on its first fill:
    leading returns of 0 (or values that do not change) are left out, so the equity of a run,
    as it is, gives the run's own figures. NaN values are left out.

    Parameters
    ----------
    returns_or_prices : pandas.Series
        Daily returns (0.01 is +1 %) or values (prices, a NAV, an equity) on a DatetimeIndex.
    benchmark : pandas.Series, optional
        Prices or returns of a benchmark on dates: the relative figures (alpha, beta, ...) and
        its curve beside the strategy's.
    path : str or os.PathLike, optional
        Also write the HTML report (statistics, equity and drawdown, monthly and yearly
        returns, rolling risk, worst drawdowns) to this file.
    kind : {"auto", "returns", "prices"}, default "auto"
        How to read the Series. "auto" reads a Series with any value at or below 0 as returns,
        and one of positive values as prices; a Series whose every value is between 0 and 1
        could be either and warns (name the kind to silence it). Returns must be above -1,
        prices above 0.
    benchmark_kind : {"auto", "prices", "returns"}, default "auto"
        How ``benchmark`` is read (as :meth:`BacktestResult.stats`).
    title : str, optional
        The report's title (default "Tear sheet").
    interactive : bool, default False
        With ``path``, draw the report's figures with plotly (extra ``interactive``).

    Returns
    -------
    TearSheet
        ``.stats()``, ``.monthly_returns()``, ``.worst_drawdowns()``, ``.plot(kind)``,
        ``.report(path)`` and a notebook display.

    Raises
    ------
    TypeError
        Not a Series on dates.
    ValueError
        An unknown ``kind``, duplicate dates, a return at or below -1 or a value at or below 0
        (or not finite), naming its date.
    """
    name = str(getattr(returns_or_prices, "name", None) or "strategy")
    curve = curve_of(returns_or_prices, name, kind, "pelmora.tearsheet")
    sheet = TearSheet([curve], benchmark, benchmark_kind)
    if path is not None:
        sheet.report(path, title=title or "Tear sheet", interactive=interactive)
    return sheet
