"""Several strategies side by side: :func:`pelmora.compare` and its :class:`Comparison`.

Each strategy is a :class:`~pelmora.statistics._curves.Curve` (a run's result, or a Series of
returns or values); the comparison asks each for the figures it would give alone, so a column of
:meth:`Comparison.stats` is the strategy's own ``stats()`` bit for bit.
"""

from __future__ import annotations

import inspect
import math
import os
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

from pelmora.statistics._curves import NOT_OF_A_SERIES, Curve, benchmark_curve, curve_of
from pelmora._optional import import_optional
from pelmora.statistics.performance import drawdown, performance_stats

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

__all__ = ["COMPARE_TEXTS", "Comparison", "compare"]

COMPARE_TEXTS = {
    "mapping": "pelmora.compare takes a mapping of names to results or Series "
               '({{"momentum": result, "fund": returns}}), got {kind}',
    "empty": "pelmora.compare needs at least one strategy",
    "intervals": "{caller}(ci=...) needs the intervals of the statistics, which this build of "
                 "pelmora does not have (performance_stats(ci=...))",
}
"""The messages of the comparison, formatted where raised."""


def _intervals_supported() -> bool:
    return "ci" in inspect.signature(performance_stats).parameters


class Comparison:
    """Strategies side by side (see :func:`pelmora.compare`).

    Attributes
    ----------
    curves : list of Curve
        Each strategy's name, equity over its window (from 1.0 before it) and, for a run, its
        result.
    benchmark : pandas.Series or None
        The benchmark given, prices or returns on dates.
    """

    def __init__(self, curves: list[Curve], benchmark: pd.Series | None = None,
                 benchmark_kind: Literal["auto", "prices", "returns"] = "auto") -> None:
        self.curves = curves
        self.benchmark = benchmark
        self.benchmark_kind = benchmark_kind

    def __repr__(self) -> str:
        names = ", ".join(repr(c.name) for c in self.curves)
        return f"<{type(self).__name__} of {len(self.curves)}: {names}>"

    @property
    def names(self) -> list[str]:
        """The strategies' names, in order."""
        return [c.name for c in self.curves]

    @property
    def equity(self) -> pd.DataFrame:
        """Each strategy's equity over its window (from 1.0), dates down (NaN outside it)."""
        return self._frame([c.equity for c in self.curves])

    @property
    def returns(self) -> pd.DataFrame:
        """Each strategy's daily returns over its window (the first measured from 1.0)."""
        return self._frame([c.returns for c in self.curves])

    @property
    def drawdown(self) -> pd.DataFrame:
        """Each strategy's drawdown over its window, the capital of 1.0 its first peak."""
        return self._frame([drawdown(c.equity).rename(c.name) for c in self.curves])

    def _frame(self, columns: list[pd.Series]) -> pd.DataFrame:
        pd = import_optional("pandas", caller="pelmora.compare")
        frame: pd.DataFrame = pd.concat(columns, axis=1, join="outer", sort=True)
        frame.columns = self.names
        return frame

    def benchmark_equity(self) -> pd.Series | None:
        """The benchmark over the strategies' dates, from its level before the first one."""
        if self.benchmark is None:
            return None
        dates = self.equity.index
        return benchmark_curve(self.benchmark, dates) if len(dates) else None

    def stats(
        self, *, risk_free: float = 0.0, periods_per_year: float = 252,
        ci: float | None = None, reps: int = 1000, seed: int = 0, block: float | None = None,
    ) -> pd.DataFrame:
        """Every strategy's statistics, a column each (and the benchmark's own, last).

        Each column is the strategy's ``stats()`` with the same arguments: a result's
        :meth:`BacktestResult.stats`, and for a Series the same figures of its curve (trades,
        turnover, costs and fill rate NaN). With a benchmark, its own figures are the last
        column, measured over the strategies' dates from its level before them.

        Parameters
        ----------
        risk_free, periods_per_year
            As :meth:`BacktestResult.stats`.
        ci, reps, seed, block
            ``ci=0.95``: each column becomes three (``value``, ``lower``, ``upper``) under the
            strategy's name, the bootstrap intervals of
            :func:`pelmora.stats.performance_stats` (extra ``inference``).

        Returns
        -------
        pandas.DataFrame
            The figures of :data:`pelmora.stats.STAT_NAMES` (and the benchmark's) down.
        """
        return self._table(risk_free=risk_free, periods_per_year=periods_per_year, ci=ci,
                           reps=reps, seed=seed, block=block)

    def _table(self, *, risk_free: float = 0.0, periods_per_year: float = 252,
               ci: float | None = None, reps: int = 1000, seed: int = 0,
               block: float | None = None) -> pd.DataFrame:
        """:meth:`stats` as a frame, whatever a subclass's ``stats`` returns."""
        pd = import_optional("pandas", caller="Comparison.stats")
        options: dict[str, Any] = dict(risk_free=risk_free, periods_per_year=periods_per_year,
                                       benchmark_kind=self.benchmark_kind)
        if ci is not None:
            if not _intervals_supported():
                raise NotImplementedError(COMPARE_TEXTS["intervals"].format(
                    caller="Comparison.stats"))
            options.update(ci=ci, reps=reps, seed=seed, block=block)
        columns = [c.stats(self.benchmark, **options) for c in self.curves]
        names = list(self.names)
        bench = self.benchmark_equity()
        if bench is not None and len(bench):
            del options["benchmark_kind"]
            own = performance_stats(bench, **options)
            own.loc[list(NOT_OF_A_SERIES)] = math.nan  # a level has no trades, nor costs
            columns.append(own)
            name = str(self.benchmark.name or "benchmark")  # type: ignore[union-attr]
            names.append(f"{name} (benchmark)" if name in names else name)
        table: pd.DataFrame = pd.concat(columns, axis=1, keys=names, sort=False)
        return table

    def correlation(self) -> pd.DataFrame:
        """The Pearson correlation of the strategies' daily returns, over the dates each pair
        shares (both in their windows)."""
        table: pd.DataFrame = self.returns.corr()
        return table

    def plot(self, *, interactive: bool = False, log_scale: bool = False,
             title: str | None = None, figsize: tuple[float, float] | None = None) -> Any:
        """The equities on one axis (from 1.0), their drawdowns under it, and the benchmark's.

        Parameters
        ----------
        interactive : bool, default False
            Return a plotly figure (extra ``interactive``) instead of a matplotlib one.
        log_scale : bool, default False
            Draw the values on a log scale.
        title : str, optional
            Figure title.
        figsize : (float, float), optional
            Size in inches (matplotlib only).

        Returns
        -------
        matplotlib.figure.Figure or plotly.graph_objects.Figure
            A matplotlib figure made without pyplot, or a plotly figure.
        """
        if interactive:
            from pelmora.plotting._interactive import curves_figure

            return curves_figure(self.equity, self.benchmark_equity(), log_scale=log_scale,
                                 title=title or "Equity")
        from pelmora.plotting._compare import comparison_figure

        return comparison_figure(self.equity, self.benchmark_equity(), log_scale=log_scale,
                                 title=title, figsize=figsize)

    def _repr_html_(self) -> str:
        from pelmora.report._compare import comparison_html

        return comparison_html(self)

    def report(self, path: str | os.PathLike[str], *, title: str | None = None,
               interactive: bool = False, log_scale: bool = False) -> Path:
        """Write one self-contained HTML file: the statistics (a column per strategy), the
        equity and drawdowns, the yearly returns, the rolling risk and the correlations.

        Parameters
        ----------
        path : str or os.PathLike
            The HTML file to write (replaced as a whole).
        title : str, optional
            Page title.
        interactive : bool, default False
            Draw the figures with plotly, its script inline in the page (extra
            ``interactive``): zoom and hover, still one file that fetches nothing.
        log_scale : bool, default False
            Draw the equities on a log scale.

        Returns
        -------
        pathlib.Path
            ``path``.
        """
        from pelmora.report._compare import comparison_report

        return comparison_report(self, path, title=title, interactive=interactive,
                                 log_scale=log_scale)


def compare(
    strategies: Mapping[str, Any] | pd.DataFrame,
    benchmark: pd.Series | None = None,
    *,
    kind: Literal["auto", "returns", "prices"] = "auto",
    benchmark_kind: Literal["auto", "prices", "returns"] = "auto",
) -> Comparison:
    """Strategies side by side: their statistics, equity, drawdowns, correlations and report.

    Parameters
    ----------
    strategies : mapping of str to BacktestResult or pandas.Series, or pandas.DataFrame
        Each strategy by name: a run's result (described over its statistics window, with its
        trades and costs), or a Series of daily returns or values on dates (a fund's NAV, a live
        account, another engine's equity), read as :func:`pelmora.tearsheet` reads it. A
        DataFrame is one strategy per column.
    benchmark : pandas.Series, optional
        Prices or returns of a benchmark on dates: alpha, beta and the other relative figures
        in each column, its own figures in a last column, its curve in the pictures.
    kind : {"auto", "returns", "prices"}, default "auto"
        How the Series are read (see :func:`pelmora.tearsheet`).
    benchmark_kind : {"auto", "prices", "returns"}, default "auto"
        How ``benchmark`` is read (as :meth:`BacktestResult.stats`).

    Returns
    -------
    Comparison
        With :meth:`~Comparison.stats`, :meth:`~Comparison.plot`,
        :meth:`~Comparison.correlation`, :meth:`~Comparison.report` and a notebook display.

    Raises
    ------
    TypeError
        ``strategies`` not a mapping or DataFrame, a strategy that is neither a result nor a
        Series on dates.
    ValueError
        No strategy; a Series that cannot be a curve (see :func:`pelmora.tearsheet`).
    """
    pd = import_optional("pandas", caller="pelmora.compare")
    if isinstance(strategies, pd.DataFrame):
        strategies = {str(name): strategies[name] for name in strategies.columns}
    if not isinstance(strategies, Mapping):
        raise TypeError(COMPARE_TEXTS["mapping"].format(kind=type(strategies).__name__))
    if not strategies:
        raise ValueError(COMPARE_TEXTS["empty"])
    curves = [curve_of(value, str(name), kind, "pelmora.compare")
              for name, value in strategies.items()]
    return Comparison(curves, benchmark, benchmark_kind)
