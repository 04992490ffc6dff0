"""What a Sharpe ratio is worth after the trials behind it: Harvey and Liu's haircut, and which of
a sweep's rows survive a false discovery rate.

Both read a Sharpe ratio as a t-statistic: over T periods the per-period Sharpe ratio times
sqrt(T) is the t-ratio of the mean return (Harvey and Liu 2015, with the normal distribution for
its p-value). :func:`haircut_sharpe` raises the p-value for the number of trials (Bonferroni, Holm
or Benjamini-Hochberg-Yekutieli) and turns the adjusted p-value back into the Sharpe ratio that
would have it alone; :func:`false_discoveries` controls the false discovery rate over a sweep's
rows with SciPy's ``false_discovery_control``.
"""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._checks import count, real
from pelmora.statistics._kept import NO_SHARPE, trial_returns, window_lengths
from pelmora._optional import import_optional
from pelmora.statistics.selection import _norm_ppf

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["DISCOVERY_NAMES", "HAIRCUT_NAMES", "false_discoveries", "haircut_sharpe"]

HAIRCUT_NAMES = ("haircut_sharpe", "haircut", "t_ratio", "pvalue", "adjusted_pvalue")
"""The figures :func:`haircut_sharpe` gives for each Sharpe ratio, in order."""
DISCOVERY_NAMES = ("sharpe", "n_obs", "t_ratio", "pvalue", "adjusted_pvalue", "survives")
"""The columns of :func:`false_discoveries`, in order."""

HAIRCUT_METHODS = ("bonferroni", "holm", "bhy")
FDR_METHODS = ("bh", "by")
UNKNOWN_METHOD = "method must be one of {methods}, got {method!r}"
FEWER_TRIALS = "n_trials must be at least the {n:,} Sharpe ratios given, got {n_trials:,}"
RHO_OUT_OF_RANGE = "autocorrelation must be between -1 and 1 (exclusive), got {rho!r}"
Q_OUT_OF_RANGE = "q must be a false discovery rate between 0 and 1 (such as 0.05), got {q!r}"

# The sweep's Sharpe ratios are annualised over 252 rows a year, as BacktestResult.stats().
_PERIODS_PER_YEAR = 252
_SQRT2 = math.sqrt(2.0)


def haircut_sharpe(
    sharpe: Any,
    *,
    n_obs: int,
    n_trials: int,
    method: str = "bonferroni",
    periods_per_year: float = 252,
    autocorrelation: float = 0.0,
) -> pd.Series | pd.DataFrame:
    """Harvey and Liu's haircut Sharpe ratio: what an annualised Sharpe ratio is worth once the
    number of trials behind it is counted.

    The t-ratio of a Sharpe ratio over ``n_obs`` periods is ``sharpe * sqrt(n_obs /
    periods_per_year)`` (the per-period Sharpe ratio times sqrt(n_obs)); its two-sided p-value,
    from the normal distribution, is adjusted for ``n_trials`` tests by ``method``, and the
    haircut Sharpe ratio is the one whose own p-value is the adjusted one:
    ``sign(sharpe) * Phi^-1(1 - adjusted / 2) * sqrt(periods_per_year / n_obs)``.

    Parameters
    ----------
    sharpe : float, or a sequence, NumPy array or pandas Series of floats
        Annualised Sharpe ratios (per-period ones times sqrt(periods_per_year)), each over
        ``n_obs`` periods. Several: the trials' own, for Holm and BHY, whose adjustment of
        one p-value depends on the others.
    n_obs : int
        The periods each Sharpe ratio was measured over, at least 1.
    n_trials : int
        The trials tested, at least the number of Sharpe ratios given: those not given count
        as tests that found nothing (p-value 1), which is the cautious reading. The effective
        number of trials (:func:`pelmora.effective_trials`) is a fair N for correlated trials.
    method : {"bonferroni", "holm", "bhy"}, default "bonferroni"
        Bonferroni: the p-value times ``n_trials``. Holm: step-down, the i-th smallest times
        ``n_trials - i + 1`` (for one Sharpe ratio, Bonferroni's). BHY: Benjamini, Hochberg and
        Yekutieli's false discovery rate (SciPy's ``false_discovery_control(method="by")``); one
        Sharpe ratio alone is then read as the only discovery among ``n_trials``, its p-value
        times n_trials x (1 + 1/2 + ... + 1/n_trials), stricter than Bonferroni.
    periods_per_year : float, default 252
        Periods in a year, finite and positive.
    autocorrelation : float, default 0.0
        The first-order autocorrelation rho of the period returns, in (-1, 1). The default
        applies no adjustment. Otherwise the annualised Sharpe ratio is first scaled by Lo's
        factor for AR(1) returns, [1 + 2 rho / (1 - rho) (1 - (1 - rho^q) / (q (1 - rho)))]^(-1/2)
        with q = periods_per_year, as Harvey and Liu do; the haircut is measured from the
        Sharpe ratio given.

    Returns
    -------
    pandas.Series or pandas.DataFrame
        For one Sharpe ratio a Series indexed by :data:`HAIRCUT_NAMES`, for several a DataFrame
        with those columns (on the Series' index, or 0, 1, ...):

        - ``haircut_sharpe``: annualised, of the sign of ``sharpe``; 0 when the adjusted p-value
          is 1.
        - ``haircut``: 1 - haircut_sharpe / sharpe, the share of the Sharpe ratio the trials
          take away (NaN for a Sharpe ratio of 0).
        - ``t_ratio``, ``pvalue`` (two-sided, one test), ``adjusted_pvalue``.

        A p-value below the smallest double (t-ratio above about 38) has no measurable
        haircut: ``haircut_sharpe`` is then the Sharpe ratio itself.

    Raises
    ------
    ImportError
        ``method="bhy"`` without SciPy: ``pip install 'pelmora[inference]'``.
    TypeError, ValueError
        A non-numeric or non-finite Sharpe ratio, ``n_obs`` below 1, ``n_trials`` below 1 or
        below the Sharpe ratios given, an unknown ``method``, ``periods_per_year`` not positive,
        ``autocorrelation`` outside (-1, 1).

    References
    ----------
    Harvey and Liu, "Backtesting", Journal of Portfolio Management 42(1), 2015, pp. 13-28. Lo,
    "The statistics of Sharpe ratios", Financial Analysts Journal 58(4), 2002.
    """
    pandas = import_optional("pandas", caller="pelmora.haircut_sharpe")
    one = isinstance(sharpe, numbers.Real) and not isinstance(sharpe, (bool, np.bool_))
    values = np.array([real("sharpe", sharpe)]) if one else _sharpe_array(sharpe)
    n_obs = count("n_obs", n_obs, 1)
    n_trials = count("n_trials", n_trials, 1)
    if n_trials < len(values):
        raise ValueError(FEWER_TRIALS.format(n=len(values), n_trials=n_trials))
    if method not in HAIRCUT_METHODS:
        raise ValueError(UNKNOWN_METHOD.format(methods=HAIRCUT_METHODS, method=method))
    q = real("periods_per_year", periods_per_year)
    if q <= 0:
        raise ValueError(f"periods_per_year must be positive, got {periods_per_year!r}")
    rho = real("autocorrelation", autocorrelation)
    if not -1.0 < rho < 1.0:
        raise ValueError(RHO_OUT_OF_RANGE.format(rho=autocorrelation))

    adjusted_sharpe = values * _lo_factor(rho, q)
    t = adjusted_sharpe * math.sqrt(n_obs / q)
    p = np.array([math.erfc(abs(x) / _SQRT2) for x in t])
    p_adj = _adjusted(p, n_trials, method)
    kept = np.array([abs(x) if pa == 0.0 else -_norm_ppf(pa / 2.0) if pa < 1.0 else 0.0
                     for x, pa in zip(t, p_adj)])
    # + 0.0: a haircut to nothing is 0, not -0 for a negative Sharpe ratio.
    hsr = np.where(p_adj == 0.0, values, np.sign(values) * kept * math.sqrt(q / n_obs)) + 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        cut = np.where(values != 0, 1.0 - hsr / np.where(values != 0, values, 1.0), np.nan)
    columns = {"haircut_sharpe": hsr, "haircut": cut, "t_ratio": t, "pvalue": p,
               "adjusted_pvalue": p_adj}
    if one:
        series: pd.Series = pandas.Series({k: float(v[0]) for k, v in columns.items()},
                                          name="haircut_sharpe")
        return series
    index = sharpe.index if isinstance(sharpe, pandas.Series) else None
    frame: pd.DataFrame = pandas.DataFrame(columns, index=index)
    return frame


def _sharpe_array(sharpe: Any) -> np.ndarray:
    values = np.asarray(sharpe)
    if values.dtype.kind not in "iuf":
        raise TypeError(
            f"sharpe must be a number or a sequence of numbers, got {type(sharpe).__name__}")
    values = values.astype(np.float64)
    if values.ndim != 1 or not len(values):
        raise ValueError(f"sharpe must be a number or a non-empty 1-D sequence, got shape "
                         f"{values.shape}")
    if not np.isfinite(values).all():
        raise ValueError(f"sharpe must be finite, got {values[~np.isfinite(values)][0]!r}")
    return values


def _lo_factor(rho: float, q: float) -> float:
    """Lo's scaling of an iid-annualised Sharpe ratio for AR(1) returns (1 at rho = 0)."""
    if rho == 0.0:
        return 1.0
    tail = 1.0 - (1.0 - rho**q) / (q * (1.0 - rho))
    return 1.0 / math.sqrt(1.0 + 2.0 * rho / (1.0 - rho) * tail)


def _adjusted(p: np.ndarray, n_trials: int, method: str) -> np.ndarray:
    """The p-values adjusted for ``n_trials`` tests, the tests not given at p = 1."""
    if method == "bonferroni":
        bonferroni: np.ndarray = np.minimum(p * n_trials, 1.0)
        return bonferroni
    full = np.concatenate((p, np.ones(n_trials - len(p))))
    if method == "holm":
        order = np.argsort(full, kind="stable")
        steps = np.minimum(full[order] * (n_trials - np.arange(n_trials)), 1.0)
        out = np.empty(n_trials)
        out[order] = np.maximum.accumulate(steps)
        return out[: len(p)]
    scipy_stats = import_optional("scipy.stats", caller="pelmora.haircut_sharpe(method='bhy')")
    return np.asarray(scipy_stats.false_discovery_control(full, method="by"))[: len(p)]


def false_discoveries(
    table: pd.DataFrame, *, q: float = 0.05, method: str = "bh"
) -> pd.DataFrame:
    """Which rows of a sweep have a Sharpe ratio above 0 with the false discovery rate held at q.

    Each row's p-value is one-sided (H0: a Sharpe ratio of 0 or less), from the t-ratio of its
    per-day Sharpe ratio over its statistics window: the table's annualised ``sharpe`` over
    sqrt(252), times the square root of the window's number of daily returns, read against the
    normal distribution. The p-values of all rows that ran are adjusted together by SciPy's
    ``false_discovery_control``; a row survives when its adjusted p-value is at most ``q``.

    Parameters
    ----------
    table : pandas.DataFrame
        A table of :func:`pelmora.sweep` run with ``keep="returns"`` (the windows' lengths are
        counted on its dates), or rows of it. Failed rows are left out; a row without a Sharpe
        ratio (it never traded, or its returns have no spread) counts as a test that found
        nothing (p-value 1).
    q : float, default 0.05
        The false discovery rate, in (0, 1).
    method : {"bh", "by"}, default "bh"
        Benjamini-Hochberg (independent or positively dependent tests, the usual case of a
        grid), or Benjamini-Yekutieli (any dependence, stricter).

    Returns
    -------
    pandas.DataFrame
        On the index of the rows that ran, columns :data:`DISCOVERY_NAMES`: ``sharpe`` (the
        table's, annualised), ``n_obs`` (daily returns in the window), ``t_ratio``, ``pvalue``,
        ``adjusted_pvalue`` and ``survives`` (bool).

    Raises
    ------
    ImportError
        Without SciPy: ``pip install 'pelmora[inference]'``.
    TypeError, ValueError
        ``table`` not a DataFrame, without its daily returns (run the sweep with
        ``keep="returns"``) or a "sharpe" column; ``q`` outside (0, 1); an unknown ``method``.
    """
    pandas = import_optional("pandas", caller="pelmora.false_discoveries")
    if isinstance(q, (bool, np.bool_)) or not isinstance(q, numbers.Real):
        raise TypeError(f"q must be a real number, got {type(q).__name__}")
    if not 0.0 < float(q) < 1.0:
        raise ValueError(Q_OUT_OF_RANGE.format(q=q))
    if method not in FDR_METHODS:
        raise ValueError(UNKNOWN_METHOD.format(methods=FDR_METHODS, method=method))
    scipy_stats = import_optional("scipy.stats", caller="pelmora.false_discoveries")
    trials, returns = trial_returns(table, pandas)
    if "sharpe" not in table.columns:
        raise ValueError(NO_SHARPE)
    sharpe = pandas.to_numeric(trials["sharpe"], errors="coerce").to_numpy(dtype=np.float64)
    n_obs = window_lengths(trials, returns.index, pandas)
    with np.errstate(invalid="ignore"):
        t = sharpe / math.sqrt(_PERIODS_PER_YEAR) * np.sqrt(n_obs)
    p = np.array([0.5 * math.erfc(x / _SQRT2) if math.isfinite(x) else 1.0 for x in t])
    adjusted = (np.asarray(scipy_stats.false_discovery_control(p, method=method))
                if len(p) else np.empty(0))
    return pandas.DataFrame({
        "sharpe": sharpe, "n_obs": n_obs, "t_ratio": t, "pvalue": p,
        "adjusted_pvalue": adjusted, "survives": adjusted <= float(q),
    }, index=trials.index)
