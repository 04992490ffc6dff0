"""Is the best row of a sweep real? The selection statistics of :mod:`pelmora.selection` on a table.

:func:`overfitting` reads a sweep's table and the daily returns it kept (``keep="returns"``) and
gives the figures a skeptic asks for: how many distinct trials the grid held, the Sharpe ratio
their best reaches by chance, the deflated Sharpe ratio of the best, the probability of backtest
overfitting and the minimum backtest length. Importing this module needs only NumPy.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.statistics._bootstrap import checked_reps, checked_seed
from pelmora.statistics._kept import NO_SHARPE, trial_returns
from pelmora._optional import import_optional
from pelmora.research._verdict import inference_figures, verdict
from pelmora.statistics.selection import (
    deflated_sharpe_ratio, effective_trials, expected_max_sharpe, min_backtest_length, pbo,
)
from pelmora.statistics.performance import BENCHMARK_STAT_NAMES, STAT_NAMES

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["OVERFITTING_NAMES", "overfitting"]

OVERFITTING_NAMES = (
    "n_trials", "effective_trials", "best", "best_sharpe", "expected_max_sharpe",
    "deflated_sharpe", "pbo", "min_backtest_length", "degradation_slope", "spa_pvalue",
    "stepm_survivors", "fdr_survivors", "haircut_sharpe", "verdict",
)
"""The index of the Series :func:`overfitting` returns, in its order."""

# The sweep's statistics are those of BacktestResult.stats() at its default of 252 rows a year:
# its annualised Sharpe ratio over this root is the per-row one the formulas take.
_PERIODS_PER_YEAR = 252
_OUTPUTS = {*STAT_NAMES, *BENCHMARK_STAT_NAMES, "error", "equity", "result"}


def overfitting(
    table: pd.DataFrame, *, n_splits: int = 16, threshold: float = 0.9, reps: int = 1000,
    seed: int = 0,
) -> pd.Series:
    """How much of a sweep's best Sharpe ratio the number of trials explains.

    Parameters
    ----------
    table : pandas.DataFrame
        A table of :func:`pelmora.sweep` run with ``keep="returns"`` (its daily returns are in
        ``table.attrs["returns"]``), or rows of it (a selection keeps the attrs). Failed rows
        (``error`` not None) are left out: they are no trial.
    n_splits : int, default 16
        Blocks of dates for the probability of backtest overfitting (see
        :func:`pelmora.pbo`): even, at most the number of dates.
    threshold : float, default 0.9
        The correlation of daily returns from which two combinations count as one trial (see
        :func:`pelmora.effective_trials`).
    reps, seed : int, default 1000 and 0
        Repetitions and seed of the reality check's bootstrap (:func:`pelmora.reality_check`).

    Returns
    -------
    pandas.Series
        Of dtype object, indexed by :data:`OVERFITTING_NAMES`:

        - ``n_trials``: the rows that ran without error.
        - ``effective_trials``: how many of them are distinct, by complete-linkage clusters of
          the correlations of their daily returns over every price date
          (:func:`pelmora.effective_trials`); N identical combinations count as 1.
        - ``best``: the grid values of the row with the highest ``sharpe``, a dict (None when
          no row has a Sharpe ratio).
        - ``best_sharpe``: its Sharpe ratio **per day** (a row of prices): the table's
          annualised ``sharpe`` over sqrt(252), each measured over the run's statistics window.
        - ``expected_max_sharpe``: per day, the Sharpe ratio the best of ``effective_trials``
          skill-less trials reaches by chance (:func:`pelmora.expected_max_sharpe`), with the
          variance (ddof 1) of the rows' per-day Sharpe ratios; 0 for one trial.
        - ``deflated_sharpe``: the best row's probabilistic Sharpe ratio against
          ``expected_max_sharpe`` (:func:`pelmora.deflated_sharpe_ratio`), with its window's
          number of returns, its ``skew`` and its plain kurtosis (the table's excess
          ``kurtosis`` + 3); a probability, 0.95 or more the usual bar. With one trial it is
          the row's ``psr``.
        - ``pbo``: the probability of backtest overfitting by combinatorially symmetric
          cross-validation (:func:`pelmora.pbo`, per-day Sharpe ratios) of the daily returns
          over every price date; NaN for fewer than 2 trials or ``n_splits`` dates.
        - ``min_backtest_length``: in **years**, the length of data below which
          ``effective_trials`` skill-less trials are expected to reach the best row's
          annualised ``sharpe`` (:func:`pelmora.min_backtest_length`); NaN when it is not above
          0.
        - ``degradation_slope``: the slope of the out-of-sample on the in-sample per-day Sharpe
          ratio of each split's winner in the PBO's splits; below 0, the better a combination
          looks in sample the worse it does out of sample.
        - ``spa_pvalue``: Hansen's consistent p-value that the best row does not beat zero,
          the search counted (:func:`pelmora.reality_check`, over every price date); 0.05 or
          less: it does.
        - ``stepm_survivors``: how many rows beat zero by Romano and Wolf's StepM at a
          family-wise error of 0.05.
        - ``fdr_survivors``: how many rows' Sharpe ratios are above 0 at a false discovery
          rate of 0.05 (:func:`pelmora.false_discoveries`, Benjamini-Hochberg).
        - ``haircut_sharpe``: the best row's annualised Sharpe ratio after Harvey and Liu's
          haircut for ``effective_trials`` trials, Bonferroni (:func:`pelmora.haircut_sharpe`,
          over its window's returns; no autocorrelation adjustment).
        - ``verdict``: one sentence that reads these together.

        ``series.attrs["pbo"]`` holds the :class:`pelmora.PBOResult` (its ``plot()`` draws the
        logit histogram and the degradation scatter), None when there is none;
        ``attrs["reality_check"]`` and ``attrs["false_discoveries"]`` the tables of those
        functions (None when not run). Without the extra ``inference`` (arch, SciPy), the three
        test figures are NaN, with a warning.

    Raises
    ------
    TypeError
        ``table`` not a DataFrame.
    ValueError
        A table without its daily returns (run the sweep with ``keep="returns"``), without a
        "sharpe" column, or with rows whose returns it does not hold; a bad ``n_splits`` or
        ``threshold``.
    """
    pandas = import_optional("pandas", caller="pelmora.overfitting")
    reps, seed = checked_reps(reps), checked_seed(seed)
    trials, matrix = trial_returns(table, pandas)
    if "sharpe" not in table.columns:
        raise ValueError(NO_SHARPE)
    n_trials = len(trials)
    out: dict[str, Any] = dict.fromkeys(OVERFITTING_NAMES, math.nan)
    out.update(n_trials=n_trials, best=None)
    split = None
    if n_trials:
        out["effective_trials"] = effective_trials(matrix, threshold=threshold)
    if n_trials >= 2 and len(matrix) >= n_splits:
        split = pbo(matrix, n_splits=n_splits)
        out["pbo"], out["degradation_slope"] = split.pbo, split.slope

    annual = pandas.to_numeric(trials["sharpe"], errors="coerce")
    annual = annual[np.isfinite(annual.to_numpy(dtype=np.float64))]
    best_annual, n_obs = math.nan, 0
    if len(annual):
        daily = annual / math.sqrt(_PERIODS_PER_YEAR)
        label = annual.idxmax()
        row = trials.loc[label]
        out["best"] = {c: _plain(row[c]) for c in trials.columns if c not in _OUTPUTS}
        out["best_sharpe"] = float(daily[label])
        variance = float(np.var(daily.to_numpy(), ddof=1)) if len(daily) > 1 else 0.0
        n_eff = int(out["effective_trials"])
        out["expected_max_sharpe"] = expected_max_sharpe(n_trials=n_eff, sharpe_variance=variance)
        best_annual = float(annual[label])
        # The window runs from the first fill to the end: its returns are those of every price
        # date from its start on (the window's first return is measured from the same 1.0).
        n_obs = int(matrix[label].loc[row["start"]:row["end"]].notna().sum())
        out["deflated_sharpe"] = _deflated(row, n_obs, float(daily[label]), n_eff, variance)
        if annual[label] > 0:
            out["min_backtest_length"] = min_backtest_length(
                n_trials=n_eff, target_sharpe=float(annual[label])
            )
    n_eff = int(out["effective_trials"]) if n_trials else 0
    tests, tables = inference_figures(table, n_trials, best_annual, n_obs, n_eff, reps, seed)
    out.update(tests)
    out["verdict"] = verdict(out)
    series: pd.Series = pandas.Series(out, dtype=object, name="overfitting")
    series.attrs.update(pbo=split, **tables)
    return series


def _plain(value: Any) -> Any:
    """A grid value as Python has it (0.05, not np.float64(0.05)), for a readable ``best``."""
    return value.item() if isinstance(value, np.generic) else value


def _deflated(row: Any, n_obs: int, sharpe: float, n_trials: int, variance: float) -> float:
    """The best row's deflated Sharpe ratio from the moments of its statistics window."""
    skew, excess = float(row["skew"]), float(row["kurtosis"])
    if not (math.isfinite(skew) and math.isfinite(excess)) or n_obs < 2:
        return math.nan
    try:
        return deflated_sharpe_ratio(sharpe, n_trials=n_trials, sharpe_variance=variance,
                                     n_obs=n_obs, skew=skew, kurtosis=excess + 3.0)
    except ValueError:  # small-sample moments no distribution has (kurtosis below 1 + skew^2)
        return math.nan
