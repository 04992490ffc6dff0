"""Walk-forward testing: choose parameters on a training span, judge them on the span after it.

For each window, every combination of the grid is run on the training span (a :func:`sweep`) and
the best by ``metric`` is kept; the strategy with those parameters is then run over the data up to
the end of the following test span, and its returns inside the test span are the window's
out-of-sample returns. The run starts at the beginning of the data, so the test span begins with
the book the strategy would hold then, not in cash; it sees no price after the test span, so nothing
from the future enters. The test spans follow each other and their returns, put end to end, make
the out-of-sample equity.

``method="purged"`` runs a combinatorial purged cross-validation instead (its room is
:mod:`pelmora.research._purged`): many out-of-sample paths over the whole period rather than one.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np

from pelmora._optional import import_optional
from pelmora.inputs.frames import as_pandas_inputs
from pelmora.inputs.options import BacktestOptions, make_options
from pelmora.research._purged import TRADE_METRICS, PurgedResult, purged_arguments, run_purged
from pelmora.inputs.schedule import (
    _checked_once, _dated, _map_frames, _rows, _shifted, _span, _until, _within,
)
from pelmora.statistics._curves import final_text, span_text
from pelmora.statistics.performance import BENCHMARK_STAT_NAMES, STAT_NAMES

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

    from pelmora.inputs._prepare import PriceInput

__all__ = ["PurgedResult", "WalkForwardResult", "walk_forward"]

_NOT_METRICS = {"start", "end", "max_drawdown_start", "max_drawdown_end"}


def _pandas() -> Any:
    return import_optional("pandas", caller="pelmora.walk_forward")


@dataclasses.dataclass
class WalkForwardResult:
    """Outcome of :func:`walk_forward`.

    Attributes
    ----------
    windows : pandas.DataFrame
        One row per window: train_start, train_end, test_start, test_end (the first and last
        price dates of each span), the chosen value of every grid option, ``train_<metric>`` (the
        chosen combination's figure on its training span) and ``test_<metric>`` (the same figure
        on the test span).
    returns : pandas.Series
        Out-of-sample daily returns, the test spans end to end.
    trainings : list of pandas.DataFrame
        The sweep table of every training span.
    """

    windows: Any
    returns: Any
    trainings: list[Any]
    metric: str

    @property
    def equity(self) -> pd.Series:
        """The out-of-sample equity, starting from 1.0 before the first test day."""
        values = np.cumprod(1.0 + self.returns.to_numpy(dtype=np.float64))
        pd = _pandas()
        return pd.Series(values, index=self.returns.index, name="equity")

    def stats(self, benchmark: Any = None, **kwargs: Any) -> pd.Series:
        """Statistics of the out-of-sample equity (see :func:`pelmora.stats.performance_stats`)."""
        from pelmora.statistics.performance import performance_stats

        return performance_stats(self.equity, None, benchmark=benchmark, **kwargs)

    def plot(
        self, *, title: str | None = None, figsize: tuple[float, float] | None = None
    ) -> Figure:
        """The out-of-sample equity over its test spans, and each window's ``metric`` on its
        training span beside the one on its test span (needs matplotlib).

        Parameters
        ----------
        title : str, optional
            Figure title (default "Walk-forward: out-of-sample equity").
        figsize : (float, float), optional
            Size in inches (default 10 x 6).

        Returns
        -------
        matplotlib.figure.Figure
            A figure made without pyplot; it shows itself in a notebook, and ``fig.savefig(path)``
            saves it.
        """
        from pelmora.plotting._paths import walk_forward_figure

        return walk_forward_figure(self.equity, self.windows, self.metric, title=title,
                                   figsize=figsize)

    def __repr__(self) -> str:
        return (f"<WalkForwardResult {span_text(self.equity.index)}, {len(self.windows)} windows "
                f"chosen by {self.metric}, final equity {final_text(self.equity)}>")

    def _repr_html_(self) -> str:
        """The notebook view: out-of-sample figures, the equity (inline SVG), the windows."""
        from pelmora.report._inline import walk_forward_html

        return walk_forward_html(self)


@overload
def walk_forward(
    grid: Mapping[str, Sequence[Any]], weights: pd.DataFrame, prices: PriceInput, *,
    train: Any = ..., test: Any = ..., metric: str = ..., maximize: bool = ...,
    anchored: bool = ..., method: Literal["rolling"] = ..., n_groups: int | None = ...,
    n_test_groups: int | None = ..., purge: Any = ..., embargo: Any = ..., backend: str = ...,
    progress: bool = ..., options: BacktestOptions | None = ..., **fixed: Any,
) -> WalkForwardResult: ...


@overload
def walk_forward(
    grid: Mapping[str, Sequence[Any]], weights: pd.DataFrame, prices: PriceInput, *,
    train: Any = ..., test: Any = ..., metric: str = ..., maximize: bool = ...,
    anchored: bool = ..., method: Literal["purged"], n_groups: int | None = ...,
    n_test_groups: int | None = ..., purge: Any = ..., embargo: Any = ..., backend: str = ...,
    progress: bool = ..., options: BacktestOptions | None = ..., **fixed: Any,
) -> PurgedResult: ...


def walk_forward(
    grid: Mapping[str, Sequence[Any]],
    weights: pd.DataFrame,
    prices: PriceInput,
    *,
    train: Any = "3Y",
    test: Any = "1Y",
    metric: str = "sharpe",
    maximize: bool = True,
    anchored: bool = False,
    method: Literal["rolling", "purged"] = "rolling",
    n_groups: int | None = None,
    n_test_groups: int | None = None,
    purge: Any = None,
    embargo: Any = None,
    backend: str = "threads",
    progress: bool = True,
    options: BacktestOptions | None = None,
    **fixed: Any,
) -> WalkForwardResult | PurgedResult:
    """Choose the best combination on each training span and run it on the span that follows.

    With ``method="purged"``, combinatorial purged cross-validation instead (Lopez de Prado,
    *Advances in Financial Machine Learning*, 2018, ch. 7 and 12): the price dates are cut into
    ``n_groups`` contiguous groups and every choice of ``n_test_groups`` of them is a split. The
    split's training dates are the other groups, less a ``purge`` span before and an ``embargo``
    span after each test group; the combination with the best ``metric`` on them is run over each
    test group. The test groups of the splits make ``n_test_groups / n_groups * C(n_groups,
    n_test_groups)`` paths, each covering the whole period once: a distribution of out-of-sample
    Sharpe ratios rather than one figure (see :class:`~pelmora.walkforward.PurgedResult`).

    Parameters
    ----------
    grid : mapping of str to list
        The options to choose among, as for :func:`pelmora.sweep`.
    weights, prices
        As for :func:`pelmora.backtest`.
    train, test : str or pandas.DateOffset, default "3Y", "1Y"
        Lengths of the training and test spans ("3Y", "18M", "26W", "90D", a DateOffset or a
        Timedelta), positive. The first training span starts on the first price date; windows
        move on by ``test``.
    metric : str, default "sharpe"
        A figure of :meth:`BacktestResult.stats` to choose by.
    maximize : bool, default True
        Choose the largest ``metric`` (False: the smallest, for a figure such as volatility).
    anchored : bool, default False
        True: every training span starts on the first price date (an expanding window); False: a
        rolling window of length ``train``.
    method : {"rolling", "purged"}, default "rolling"
        "rolling": the train and test windows above. "purged": combinatorial purged
        cross-validation; ``train``, ``test`` and ``anchored`` do not apply.
    n_groups, n_test_groups : int, optional
        For "purged": the groups the dates are cut into (default 6) and the test groups of each
        split (default 2, fewer than ``n_groups``): 15 splits and 5 paths by default. At most
        10,000 splits, C(n_groups, n_test_groups), are made (each trains the whole grid).
    purge, embargo : str or pandas.DateOffset, optional
        For "purged": positive spans of the forms of ``train`` ("5D", "2W", "1M", a DateOffset or
        a Timedelta; "D" counts calendar days). The training dates within ``purge`` before a test
        group's first date and within ``embargo`` after its last date are left out: a trade
        entered just before the test is judged on the test's prices, and signals just after it
        (a moving average, a momentum lookback) still read them. None (default): none left out;
        set them to the horizon of your signals.
    backend, progress
        Passed to :func:`pelmora.sweep` for the training sweeps.
    options, **fixed
        Options shared by every run.

    Returns
    -------
    WalkForwardResult or PurgedResult
        The latter for ``method="purged"``.

    Raises
    ------
    ValueError
        An unknown metric or method, a span that cannot be read or is not positive (zero or
        negative, in any form), a span that takes a price date past what pandas holds, data too
        short for one training span and one test day, or a training span where every
        combination fails; for "purged", a figure of the trades as ``metric`` (the training dates
        of a split are several spans, whose figures are those of their returns put end to end),
        groups that do not fit the data, more than 10,000 splits, or a split whose purge and
        embargo leave no training date.
    TypeError
        ``maximize`` or ``anchored`` not a bool; a group count not an integer.
    """
    pd = _pandas()
    from pelmora.inputs._prepare import prepare_inputs
    from pelmora.engine.runner import backtest
    from pelmora.research.sweeps import sweep
    from pelmora.research.sweeps._plan import _combinations

    names = [n for n in STAT_NAMES if n not in _NOT_METRICS]
    if metric in BENCHMARK_STAT_NAMES:
        raise ValueError(
            f"metric={metric!r} compares the run with a benchmark, which walk_forward does not "
            f"take; choose one of {names}"
        )
    if metric in _NOT_METRICS or metric not in STAT_NAMES:
        raise ValueError(f"metric must be one of {names}, got {metric!r}")
    if not isinstance(maximize, bool) or not isinstance(anchored, bool):
        raise TypeError("maximize and anchored must be True or False")
    if method == "purged":
        if metric in TRADE_METRICS:
            raise ValueError(
                f"metric={metric!r} is a figure of the trades; method='purged' chooses by a "
                f"figure of the training returns: one of "
                f"{[n for n in names if n not in TRADE_METRICS]}"
            )
        if anchored:
            raise ValueError("anchored applies to method='rolling' only")
        plan = purged_arguments(n_groups, n_test_groups, purge, embargo)
    elif method == "rolling":
        given = dict(n_groups=n_groups, n_test_groups=n_test_groups, purge=purge, embargo=embargo)
        if any(v is not None for v in given.values()):
            named = [k for k, v in given.items() if v is not None]
            raise ValueError(
                f"{', '.join(named)} {'is' if len(named) == 1 else 'are'} for method='purged' "
                f"only, not method='rolling'"
            )
        train_span, test_span = _span(train, "train"), _span(test, "test")
    else:
        raise ValueError(f"method must be 'rolling' or 'purged', got {method!r}")
    if backend == "dask":
        # Said before the first window, under this function's name: the sweeps it runs would
        # name themselves instead.
        import_optional("distributed", caller="pelmora.walk_forward(backend='dask')")
    base = make_options(options, fixed, "walk_forward")
    weights, prices = as_pandas_inputs(weights, prices, index=base.index)  # polars, pyarrow
    combos = _combinations(grid)
    # Every check of a backtest, on the whole data, before anything is sliced: a slice would
    # meet the same faults later as bare lookup errors, or hide them in one window.
    dates = prepare_inputs(weights, prices, options=base).user_dates()
    weights, prices = _dated(weights), _map_frames(prices, _dated)
    if method == "purged":
        return run_purged(
            grid, weights, prices, dates, base, combos, plan, metric=metric, maximize=maximize,
            backend=backend, progress=progress,
        )

    windows, trainings, pieces = [], [], []
    start = dates[0]
    train_end = _shifted(start, train_span, 1, "train", train)
    while train_end <= dates[-1]:
        test_end = _shifted(train_end, test_span, 1, "test", test)
        train_rows = (dates >= (dates[0] if anchored else start)) & (dates < train_end)
        test_rows = (dates >= train_end) & (dates < test_end)
        if not test_rows.any():
            break
        if not train_rows.any():  # a gap in the data longer than the training span
            start, train_end = _shifted(start, test_span, 1, "test", test), test_end
            continue
        with _checked_once():
            table = sweep(
                grid, _until(weights, train_end),
                _rows(prices, dates[0] if anchored else start, train_end), backend=backend,
                progress=progress, options=_within(base, dates[train_rows][0], train_end),
            )
        trainings.append(table)
        scores = pd.to_numeric(table[metric], errors="coerce")
        if scores.notna().sum() == 0:
            raise ValueError(
                f"every combination failed or has no {metric} on the training span "
                f"{dates[train_rows][0].date()} to {dates[train_rows][-1].date()}"
            )
        best = int(scores.idxmax() if maximize else scores.idxmin())
        # The grid's own values (a table column turns None into NaN).
        chosen = combos[best]
        with _checked_once():
            run = backtest(
                _until(weights, test_end), _rows(prices, dates[0], test_end),
                options=dataclasses.replace(_within(base, dates[0], test_end), **chosen),
            )
        piece = run.returns[run.returns.index >= train_end]
        pieces.append(piece)
        from pelmora.statistics.performance import performance_stats

        test_figure = performance_stats((1.0 + piece).cumprod())[metric]
        windows.append({
            "train_start": dates[train_rows][0], "train_end": dates[train_rows][-1],
            "test_start": piece.index[0], "test_end": piece.index[-1], **chosen,
            f"train_{metric}": scores.iloc[best], f"test_{metric}": test_figure,
        })
        start = _shifted(start, test_span, 1, "test", test)
        train_end = test_end
    if not windows:
        raise ValueError(
            f"the data ({dates[0].date()} to {dates[-1].date()}) is too short for a training span "
            f"of {train!r} and one test day"
        )
    returns = pd.concat(pieces).rename("returns")
    return WalkForwardResult(pd.DataFrame(windows), returns, trainings, metric)

