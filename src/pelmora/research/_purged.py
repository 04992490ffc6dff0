"""Combinatorial purged cross-validation of a parameter grid (``walk_forward(method="purged")``).

Lopez de Prado, *Advances in Financial Machine Learning* (2018), ch. 7 and 12. The price dates are
cut into N contiguous groups; each choice of k of them is a split. A split's training dates are the
other groups, less a purge span before and an embargo span after each test group (see
:func:`pelmora.inputs.schedule._training_mask`). They are several spans, each run as a sweep of its
own that sees only its own prices: the return across a left-out test span would carry the test's
prices into the training figure. A combination's training figure is that of its training returns put
end to end, each span from its first fill as a run's statistics are. The best combination is then
run from the first price date to the end of each test group, as a rolling walk-forward runs its test
span, and its returns inside the group are kept.

Every group is tested in C(N - 1, k - 1) splits; the j-th of them (in the splits' order) lends
that group's returns to path j. Each of the phi = k / N * C(N, k) paths thus covers the whole period
once, with parameters chosen without its dates: phi out-of-sample histories instead of one.
"""

from __future__ import annotations

import dataclasses
import itertools
import math
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional
from pelmora.inputs.schedule import (
    _checked_once, _from, _group_bounds, _rows, _runs, _shifted, _span, _training_mask, _until,
    _within,
)
from pelmora.statistics._curves import span_text
from pelmora.statistics.performance import COST_NAMES

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

    from pelmora.inputs.options import BacktestOptions

__all__ = ["MAX_PURGED_SPLITS", "TRADE_METRICS", "PurgedResult", "purged_arguments", "run_purged"]

MAX_PURGED_SPLITS = 10_000
"""The most splits, C(n_groups, n_test_groups), the purged method makes: each trains the whole grid
(924 splits of a 3-combination grid take about 8 s), and the paths hold a column per
n_test_groups / n_groups of them."""
TOO_MANY_SPLITS = (
    "n_groups={n_groups} and n_test_groups={n_test_groups} make {splits} splits "
    "(C(n_groups, n_test_groups)); use at most {most:,}"
)

TRADE_METRICS = (
    "win_rate", "avg_win", "avg_loss", "profit_factor", "expectancy", "avg_mae", "avg_mfe",
    "turnover", "n_trades", "fill_rate", *COST_NAMES,
)
"""Figures of the trades (and fills, costs among them): a split's training spans have no one
trade list to read them from, so the purged method cannot choose by them."""

_QUANTILES = {"q05": 0.05, "q25": 0.25, "median": 0.5, "q75": 0.75, "q95": 0.95}


def _pandas() -> Any:
    return import_optional("pandas", caller="pelmora.walk_forward")


@dataclasses.dataclass
class PurgedResult:
    """Outcome of ``walk_forward(..., method="purged")``.

    Attributes
    ----------
    paths : pandas.DataFrame
        Out-of-sample daily returns, a row per price date and a column per path (0 to phi - 1):
        each path the test groups of different splits end to end, every date once.
    path_sharpe : pandas.Series
        The annualised Sharpe ratio of each path, from its first day with capital deployed (as a
        run's statistics start on its first fill: the first group is run from cash).
    splits : pandas.DataFrame
        A row per split: ``test_groups``, ``paths`` (the path each test group's returns went to,
        in the same order), ``train_days`` (training dates left after purge and embargo), the
        chosen value of every grid option, ``train_<metric>`` and ``test_<metric>`` (the chosen
        combination's figure on the training dates and on the split's test groups).
    groups : pandas.DataFrame
        A row per group: ``start``, ``end`` (its first and last date) and ``days``.
    trainings : list of pandas.DataFrame
        Per split, every combination's grid values and ``train_<metric>`` (NaN where it failed).
    metric : str
        The figure the combinations were chosen by.
    """

    paths: Any
    path_sharpe: Any
    splits: Any
    groups: Any
    trainings: list[Any]
    metric: str

    @property
    def equity(self) -> pd.DataFrame:
        """Each path's equity, from 1.0 before the first date."""
        return (1.0 + self.paths).cumprod()

    def stats(self) -> pd.Series:
        """The distribution of the paths' Sharpe ratios.

        Returns
        -------
        pandas.Series
            ``n_splits``, ``n_paths``, ``mean``, ``std`` (ddof 1), ``min``, the quantiles ``q05``,
            ``q25``, ``median``, ``q75``, ``q95`` (linear interpolation), ``max`` and
            ``share_negative`` (the share of paths with a Sharpe ratio below 0); NaN paths are
            left out of all but ``n_paths``.
        """
        pd = _pandas()
        sharpe = self.path_sharpe.dropna().astype(float)
        out = {"n_splits": len(self.splits), "n_paths": len(self.path_sharpe)}
        out.update(mean=sharpe.mean(), std=sharpe.std(), min=sharpe.min())
        out.update({k: sharpe.quantile(q) if len(sharpe) else math.nan
                    for k, q in _QUANTILES.items()})
        share = (sharpe < 0).mean() if len(sharpe) else math.nan
        out.update(max=sharpe.max(), share_negative=share)
        return pd.Series(out, name="path_sharpe", dtype=float)

    def plot(
        self, *, title: str | None = None, figsize: tuple[float, float] | None = None
    ) -> Figure:
        """The paths' equity beside the histogram of their Sharpe ratios (needs matplotlib).

        Returns
        -------
        matplotlib.figure.Figure
            A figure made without pyplot; it shows itself in a notebook, and ``fig.savefig(path)``
            saves it.
        """
        from pelmora.plotting._paths import paths_figure

        return paths_figure(self.equity, self.path_sharpe, title=title, figsize=figsize)

    def __repr__(self) -> str:
        return (f"<PurgedResult {span_text(self.paths.index)}, {len(self.splits)} splits, {self.paths.shape[1]} paths "
                f"chosen by {self.metric}>")

    def _repr_html_(self) -> str:
        """The notebook view: the spread of the paths' Sharpe ratios, an equity, the paths."""
        from pelmora.report._inline import purged_html

        return purged_html(self)


@dataclasses.dataclass(frozen=True)
class _Plan:
    n_groups: int
    n_test_groups: int
    purge: Any
    embargo: Any
    spans: str  # the purge and embargo as given, for messages
    given: tuple[Any, Any]  # the same, as values


def _splits_up_to(n: int, k: int, most: int) -> int | None:
    """C(n, k), or None once it passes ``most``: found term by term, so 10**9 groups do not
    build a number of millions of digits before it is refused."""
    k = min(k, n - k)
    out = 1
    for i in range(1, k + 1):
        out = out * (n - k + i) // i  # C(n - k + i, i), rising with i
        if out > most:
            return None
    return out


def purged_arguments(n_groups: Any, n_test_groups: Any, purge: Any, embargo: Any) -> _Plan:
    """The checked arguments of the purged method (None: the defaults 6 and 2, no span)."""
    n_groups = 6 if n_groups is None else n_groups
    n_test_groups = 2 if n_test_groups is None else n_test_groups
    for name, value in (("n_groups", n_groups), ("n_test_groups", n_test_groups)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if n_groups < 2:
        raise ValueError(f"n_groups must be at least 2, got {n_groups}")
    if not 1 <= n_test_groups < n_groups:
        raise ValueError(
            f"n_test_groups must be at least 1 and less than n_groups={n_groups}, "
            f"got {n_test_groups}"
        )
    n_groups, n_test_groups = int(n_groups), int(n_test_groups)
    # Counted before anything is made: 40 groups of which 20 test make 137,846,528,820 splits.
    if _splits_up_to(n_groups, n_test_groups, MAX_PURGED_SPLITS) is None:
        exact = _splits_up_to(n_groups, n_test_groups, 10**15)
        raise ValueError(TOO_MANY_SPLITS.format(
            n_groups=n_groups, n_test_groups=n_test_groups, most=MAX_PURGED_SPLITS,
            splits="more than 10**15" if exact is None else f"{exact:,}",
        ))
    return _Plan(
        n_groups, n_test_groups,
        None if purge is None else _span(purge, "purge"),
        None if embargo is None else _span(embargo, "embargo"),
        f"purge={purge!r} and embargo={embargo!r}", (purge, embargo),
    )


def run_purged(
    grid: Mapping[str, Sequence[Any]],
    weights: Any,
    prices: Any,
    dates: Any,
    base: BacktestOptions,
    combos: list[dict[str, Any]],
    plan: _Plan,
    *,
    metric: str,
    maximize: bool,
    backend: str,
    progress: bool,
) -> PurgedResult:
    """The purged cross-validation of ``combos`` on inputs already checked and dated."""
    pd = _pandas()
    from pelmora.engine.runner import backtest
    from pelmora.statistics.performance import performance_stats
    from pelmora.research.sweeps import sweep

    n, n_groups, k = len(dates), plan.n_groups, plan.n_test_groups
    if n_groups > n:
        raise ValueError(f"n_groups={n_groups} is more than the {n} price dates")
    bounds = _group_bounds(n, n_groups)
    after_last = dates[-1] + pd.Timedelta(1, "ns")
    # Every edge the training dates are cut at, before any run: a span past the dates pandas
    # holds is refused by name rather than by a comparison deep in the first split.
    for lo, hi in zip(bounds[:-1], bounds[1:]):
        if plan.purge is not None:
            _shifted(dates[int(lo)], plan.purge, -1, "purge", plan.given[0])
        if plan.embargo is not None:
            _shifted(dates[int(hi) - 1], plan.embargo, 1, "embargo", plan.given[1])

    def end_of(row: int) -> Any:  # the exclusive end date of the rows before ``row``
        return dates[row] if row < n else after_last

    def figure(values: np.ndarray, index: Any, name: str) -> float:
        if len(values) == 0:
            return math.nan
        value = performance_stats(pd.Series(values, index=index))[name]
        return float(value) if value is not None else math.nan

    # Training spans recur across splits (a group next to the same test groups): each runs once.
    spans: dict[tuple[int, int], list[Any]] = {}

    def trained(lo: int, hi: int) -> list[Any]:
        """Each combination's equity over the span's statistics window (None: it failed)."""
        if (lo, hi) not in spans:
            first, end = dates[lo], end_of(hi)
            with _checked_once():
                table = sweep(
                    grid, _from(_until(weights, end), first), _rows(prices, first, end),
                    keep="equity", backend=backend, progress=progress,
                    options=_within(base, first, end),
                )
            curves = []
            for i in range(len(combos)):
                row = table.iloc[i]
                equity = row["equity"]
                if isinstance(row["error"], str) or equity is None:
                    curves.append(None)
                elif pd.isna(row["start"]):  # never invested on this span
                    curves.append(equity.iloc[:0])
                else:
                    curves.append(equity[equity.index >= row["start"]])
            spans[(lo, hi)] = curves
        return spans[(lo, hi)]

    def train_figure(curves: list[Any]) -> float:
        # The spans end to end: each curve scaled by the level the previous ones ended on (a
        # single span keeps its values exactly, and so the sweep's own figure).
        parts, level = [], 1.0
        for curve in curves:
            if curve is None:
                return math.nan
            if len(curve):
                parts.append(curve * level)
                level = float(parts[-1].iloc[-1])
        if not parts:
            return math.nan
        equity = pd.concat(parts)
        return figure(equity.to_numpy(dtype=np.float64), equity.index, metric)

    runs: dict[tuple[int, int], tuple[np.ndarray, np.ndarray]] = {}

    def tested(c: int, g: int) -> tuple[np.ndarray, np.ndarray]:
        """Combination ``c``'s returns on group ``g``, run from the first date to the group's end,
        and which of those days come after its first fill."""
        if (c, g) not in runs:
            lo, hi = int(bounds[g]), int(bounds[g + 1])
            end = end_of(hi)
            with _checked_once():
                run = backtest(
                    _until(weights, end), _rows(prices, dates[0], end),
                    options=dataclasses.replace(_within(base, dates[0], end), **combos[c]),
                )
            returns = run.returns[run.returns.index >= dates[lo]]
            start = run.window_start
            invested = (
                returns.index >= run.equity.index[start] if start < len(run.equity)
                else np.zeros(len(returns), dtype=bool)
            )
            runs[(c, g)] = (returns.to_numpy(dtype=np.float64), np.asarray(invested))
        return runs[(c, g)]

    n_paths = math.comb(n_groups - 1, k - 1)
    paths = np.zeros((n, n_paths))
    invested = np.zeros((n, n_paths), dtype=bool)
    used = [0] * n_groups
    rows, trainings = [], []
    for split, test_groups in enumerate(itertools.combinations(range(n_groups), k)):
        mask = _training_mask(dates, bounds, test_groups, plan.purge, plan.embargo)
        if not mask.any():
            raise ValueError(
                f"{plan.spans} leave no training date beside the test groups {test_groups}"
            )
        per_span = [trained(lo, hi) for lo, hi in _runs(mask)]
        scores = np.array([train_figure([s[i] for s in per_span]) for i in range(len(combos))])
        trainings.append(pd.DataFrame(combos).assign(**{f"train_{metric}": scores}))
        if np.isnan(scores).all():
            raise ValueError(
                f"every combination failed or has no {metric} on the training dates of the "
                f"split with test groups {test_groups}"
            )
        best = int(np.nanargmax(scores) if maximize else np.nanargmin(scores))
        to_paths, kept, kept_index = [], [], []
        for g in test_groups:
            lo, hi = int(bounds[g]), int(bounds[g + 1])
            values, on = tested(best, g)
            j = used[g]
            used[g] += 1
            to_paths.append(j)
            paths[lo:hi, j], invested[lo:hi, j] = values, on
            kept.append(values[on])
            kept_index.append(dates[lo:hi][on])
        test_returns = np.concatenate(kept)
        rows.append({
            "test_groups": test_groups, "paths": tuple(to_paths), "train_days": int(mask.sum()),
            **combos[best], f"train_{metric}": scores[best],
            f"test_{metric}": figure(np.cumprod(1.0 + test_returns),
                                     kept_index[0].append(kept_index[1:]), metric),
        })

    sharpe = []
    for j in range(n_paths):
        start = int(np.argmax(invested[:, j])) if invested[:, j].any() else n
        sharpe.append(figure(np.cumprod(1.0 + paths[start:, j]), dates[start:], "sharpe"))
    groups = pd.DataFrame({
        "start": dates[bounds[:-1]], "end": dates[bounds[1:] - 1], "days": np.diff(bounds),
    }).rename_axis("group")
    return PurgedResult(
        paths=pd.DataFrame(paths, index=dates, columns=pd.RangeIndex(n_paths, name="path")),
        path_sharpe=pd.Series(sharpe, index=pd.RangeIndex(n_paths, name="path"), name="sharpe"),
        splits=pd.DataFrame(rows).rename_axis("split"),
        groups=groups,
        trainings=trainings,
        metric=metric,
    )
