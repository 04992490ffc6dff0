"""Is the best backtest real? Sharpe-ratio inference that accounts for the number of trials.

A sweep of thousands of variants always has a best one, and its Sharpe ratio is high partly by
chance. The functions here answer, from the papers of Bailey and Lopez de Prado, how much of it is:

- :func:`probabilistic_sharpe_ratio`: the probability that the true Sharpe ratio exceeds a benchmark,
  given the sample's length, skewness and kurtosis;
- :func:`min_track_record_length`: how many observations that probability needs to reach a confidence;
- :func:`expected_max_sharpe`: the Sharpe ratio the best of N skill-less trials reaches by chance;
- :func:`deflated_sharpe_ratio`: the probabilistic Sharpe ratio against that expected maximum;
- :func:`min_backtest_length`: the years of data below which N trials produce a given annualised
  Sharpe ratio by chance;
- :func:`pbo`: the probability of backtest overfitting by combinatorially symmetric cross-validation;
- :func:`effective_trials`: how many of the trials are distinct, for ``n_trials`` above.

Units: every Sharpe ratio here is **per period** (the mean return of one row over its standard
deviation, not multiplied by the square root of periods per year), except the annualised target of
:func:`min_backtest_length`. Kurtosis is the **plain** fourth standardised moment, 3 for a normal
distribution (``scipy.stats.kurtosis(x, fisher=False)``, or ``Series.kurt() + 3`` in pandas), never
the excess kurtosis. Only NumPy is needed; :meth:`PBOResult.plot` needs matplotlib.
"""

from __future__ import annotations

import math
import sys
from typing import Any

from pelmora._checks import count, real
# PBO and the effective number of trials have their own modules; they are read from this one.
from pelmora.statistics._pbo import PBO_METRICS, PBOResult, pbo
from pelmora.statistics._trials import effective_trials

__all__ = [
    "PBOResult",
    "deflated_sharpe_ratio",
    "effective_trials",
    "expected_max_sharpe",
    "min_backtest_length",
    "min_track_record_length",
    "pbo",
    "probabilistic_sharpe_ratio",
]

EULER_GAMMA = 0.5772156649015329
"""The Euler-Mascheroni constant of the expected-maximum formula."""


# ----------------------------------------------------------------------------------------------
# The standard normal distribution, to full double precision without SciPy.

_SQRT2 = math.sqrt(2.0)
_SQRT2PI = math.sqrt(2.0 * math.pi)
# Acklam's rational approximation of the inverse normal CDF (relative error below 1.2e-9), which one
# or two Halley steps against the erfc-based CDF bring to the last bits.
_A = (-3.969683028665376e01, 2.209460984245205e02, -2.759285104469687e02,
      1.383577518672690e02, -3.066479806614716e01, 2.506628277459239e00)
_B = (-5.447609879822406e01, 1.615858368580409e02, -1.556989798598866e02,
      6.680131188771972e01, -1.328068155288572e01)
_C = (-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e00,
      -2.549732539343734e00, 4.374664141464968e00, 2.938163982698783e00)
_D = (7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e00, 3.754408661907416e00)


def _norm_cdf(x: float) -> float:
    # erfc keeps the lower tail's relative precision, where 0.5 * (1 + erf) would round to zero.
    return 0.5 * math.erfc(-x / _SQRT2)


def _norm_ppf_lower(p: float) -> float:
    """Inverse normal CDF for 0 < p <= 0.5, where the CDF is computed without cancellation."""
    if p < 0.02425:
        q = math.sqrt(-2.0 * math.log(p))
        x = ((((((_C[0] * q + _C[1]) * q + _C[2]) * q + _C[3]) * q + _C[4]) * q + _C[5])
             / ((((_D[0] * q + _D[1]) * q + _D[2]) * q + _D[3]) * q + 1.0))
    else:
        q = p - 0.5
        r = q * q
        x = ((((((_A[0] * r + _A[1]) * r + _A[2]) * r + _A[3]) * r + _A[4]) * r + _A[5]) * q
             / (((((_B[0] * r + _B[1]) * r + _B[2]) * r + _B[3]) * r + _B[4]) * r + 1.0))
    for _ in range(2):
        density = math.exp(-0.5 * x * x) / _SQRT2PI
        if density == 0.0:  # so far in the tail that the step would divide by zero
            break
        u = (_norm_cdf(x) - p) / density
        x -= u / (1.0 + 0.5 * x * u)
    return x


def _norm_ppf(p: float) -> float:
    """Inverse of the standard normal CDF, 0 < p < 1."""
    # 1 - p is exact for p in [0.5, 1), so the upper half reflects onto the lower one losslessly.
    return _norm_ppf_lower(p) if p <= 0.5 else -_norm_ppf_lower(1.0 - p)


# ----------------------------------------------------------------------------------------------
# Argument checks (those of plain numbers are in pelmora._checks): every message names the argument.

KURTOSIS_BELOW_BOUND = (
    "kurtosis must be at least 1 + skew**2 = {bound!r}, which every distribution has (plain "
    "kurtosis, 3 for a normal distribution; an excess kurtosis needs 3 added), got {kurtosis!r}")
SHARPE_ERROR_TERM_NOT_POSITIVE = (
    "1 - skew*sharpe + (kurtosis - 1)/4*sharpe**2 is not positive for sharpe={sharpe!r}, "
    "skew={skew!r}, kurtosis={kurtosis!r}: at kurtosis = 1 + skew**2 the Sharpe ratio 2/skew "
    "has no estimation error to judge it by")
TOO_MANY_TRIALS = "n_trials must be at most 10**300, got about 10**{log10:.1f}"

# Moments computed at the bound (a two-point distribution) may land a few ulps under it.
_BOUND_SLACK = 4.0 * sys.float_info.epsilon
# 1/(N e) stays a normal double, where the inverse normal CDF keeps its last bits.
_MAX_TRIALS = 10**300


def _shape(skew: Any, kurtosis: Any) -> tuple[float, float]:
    """``skew`` and ``kurtosis`` checked against kurtosis >= 1 + skew**2, the bound of every
    distribution (Pearson's inequality)."""
    skew = real("skew", skew)
    kurtosis = real("kurtosis", kurtosis)
    bound = 1.0 + skew * skew
    if kurtosis < bound * (1.0 - _BOUND_SLACK):
        raise ValueError(KURTOSIS_BELOW_BOUND.format(bound=bound, kurtosis=kurtosis))
    return skew, kurtosis


def _trials(n_trials: Any) -> int:
    n_trials = count("n_trials", n_trials, 1)
    if n_trials > _MAX_TRIALS:
        raise ValueError(TOO_MANY_TRIALS.format(log10=math.log10(n_trials)))
    return n_trials


def _standardised(sharpe: float, benchmark: float, skew: float,
                  kurtosis: float) -> tuple[float, float]:
    """``(SR - SR*, 1 - g3 SR + (g4 - 1)/4 SR^2)``, both divided by the same positive scale.

    Their ratio is what the formulas need, so a scale common to both changes nothing. Unscaled
    whenever the term is finite (the arithmetic every ordinary Sharpe ratio has had); when it
    overflows (a Sharpe ratio of 1e200), both are divided by the larger of |SR| and |SR*| (the
    difference by it, the term by its square), so the result is the formula's limit rather than
    inf / inf.
    """
    term = 1.0 - skew * sharpe + (kurtosis - 1.0) / 4.0 * sharpe * sharpe
    if math.isfinite(term):
        gap = sharpe - benchmark
    else:
        scale = max(abs(sharpe), abs(benchmark))
        a, b = sharpe / scale, benchmark / scale
        term = 1.0 / scale / scale - skew * a / scale + (kurtosis - 1.0) / 4.0 * a * a
        gap = a - b
    if not term > 0.0:
        # Positive whenever kurtosis > 1 + skew^2; at the bound, zero for SR = 2/skew.
        raise ValueError(SHARPE_ERROR_TERM_NOT_POSITIVE.format(
            sharpe=sharpe, skew=skew, kurtosis=kurtosis))
    return gap, term


def _max_z(n_trials: int) -> float:
    """(1 - gamma) Phi^-1(1 - 1/N) + gamma Phi^-1(1 - 1/(N e)): E[max] of N standard normals."""
    if n_trials == 1:
        return 0.0  # one trial: its expectation, where the asymptotic formula would give -inf
    # Phi^-1(1 - q) = -Phi^-1(q): forming 1 - 1/N first would round away digits of a large N.
    return -((1.0 - EULER_GAMMA) * _norm_ppf(1.0 / n_trials)
             + EULER_GAMMA * _norm_ppf(1.0 / (n_trials * math.e)))


# ----------------------------------------------------------------------------------------------
# Closed forms.


def probabilistic_sharpe_ratio(sharpe: float, *, n_obs: float, skew: float, kurtosis: float,
                               benchmark: float = 0.0) -> float:
    """Probability that the true Sharpe ratio exceeds ``benchmark``, given the sample's shape.

    ``PSR = Phi((SR - SR*) sqrt(T - 1) / sqrt(1 - g3 SR + (g4 - 1)/4 SR^2))``, with Phi the standard
    normal CDF, SR the observed Sharpe ratio, SR* the benchmark, T the number of observations, g3 the
    skewness and g4 the (plain) kurtosis of the returns.

    Parameters
    ----------
    sharpe : float
        Observed Sharpe ratio, **per period** (mean over standard deviation of the returns of one
        row; not annualised).
    n_obs : float
        Number of returns the Sharpe ratio was measured on (T), more than 1.
    skew : float
        Skewness of those returns (third standardised moment).
    kurtosis : float
        **Plain** kurtosis of those returns (fourth standardised moment): 3 for a normal
        distribution, at least ``1 + skew**2`` (every distribution's bound). Not the excess
        kurtosis that ``Series.kurt()`` and ``scipy.stats.kurtosis`` return by default: add 3 to
        those.
    benchmark : float, default 0.0
        The Sharpe ratio to beat (SR*), per period like ``sharpe``.

    Returns
    -------
    float
        The probability, in [0, 1]. It is a probability: never scale it by a square root of time.

    Raises
    ------
    TypeError
        When an argument is not a real number.
    ValueError
        When an argument is NaN or infinite, ``n_obs <= 1``, ``kurtosis < 1 + skew**2`` (no
        distribution has it; a few ulps under the bound pass as rounding), or, at the bound, the
        variance term under the square root is 0.

    Notes
    -----
    As ``sharpe`` grows without bound (benchmark fixed) the PSR tends to
    ``Phi(2 sqrt((T - 1) / (g4 - 1)))`` (1 for g4 = 1), and to ``Phi(-2 sqrt((T - 1) / (g4 - 1)))``
    (0 for g4 = 1) as it falls:
    a Sharpe ratio of 1e200 gives that limit (1.0 to double precision for T = 252 and g4 = 3),
    not inf / inf. It increases with ``sharpe`` wherever ``skew * sharpe < 2`` (benchmark 0):
    for any Sharpe ratio when the skew is 0, for the positive ones when it is negative.

    References
    ----------
    D. H. Bailey and M. Lopez de Prado, "The Sharpe ratio efficient frontier", Journal of Risk
    15(2), 2012, pp. 3-44.

    Examples
    --------
    >>> round(probabilistic_sharpe_ratio(0.1, n_obs=252, skew=-1.0, kurtosis=6.0), 4)
    0.9335
    """
    sharpe = real("sharpe", sharpe)
    n_obs = real("n_obs", n_obs)
    if n_obs <= 1.0:
        raise ValueError(f"n_obs must be more than 1, got {n_obs!r}")
    skew, kurtosis = _shape(skew, kurtosis)
    benchmark = real("benchmark", benchmark)
    gap, term = _standardised(sharpe, benchmark, skew, kurtosis)
    return _norm_cdf(gap * math.sqrt(n_obs - 1.0) / math.sqrt(term))


def min_track_record_length(sharpe: float, *, skew: float, kurtosis: float,
                            benchmark: float = 0.0, confidence: float = 0.95) -> float:
    """Observations needed before the Sharpe ratio exceeds ``benchmark`` at ``confidence``.

    ``MinTRL = 1 + (1 - g3 SR + (g4 - 1)/4 SR^2) (Z_alpha / (SR - SR*))^2`` with
    ``Z_alpha = Phi^-1(confidence)``: the T at which :func:`probabilistic_sharpe_ratio` equals
    ``confidence``.

    Parameters
    ----------
    sharpe : float
        Observed Sharpe ratio, **per period** (not annualised).
    skew : float
        Skewness of the returns.
    kurtosis : float
        **Plain** kurtosis of the returns, 3 for a normal distribution (not excess kurtosis), at
        least ``1 + skew**2``.
    benchmark : float, default 0.0
        The Sharpe ratio to beat, per period.
    confidence : float, default 0.95
        The probability required, strictly between 0 and 1.

    Returns
    -------
    float
        The minimum track record length in observations of the returns' own frequency (rows:
        days for daily returns), not rounded; ``math.inf`` when ``sharpe <= benchmark``, since no
        length of such a record shows that the true Sharpe ratio exceeds the benchmark, and when
        the length passes the largest double (a Sharpe ratio within 1e-154 of the benchmark).

    Raises
    ------
    TypeError
        When an argument is not a real number.
    ValueError
        When an argument is NaN or infinite, ``kurtosis < 1 + skew**2``, ``confidence`` is not in
        (0, 1), or, at the bound, the variance term is 0.

    References
    ----------
    D. H. Bailey and M. Lopez de Prado, "The Sharpe ratio efficient frontier", Journal of Risk
    15(2), 2012, pp. 3-44.

    Examples
    --------
    >>> round(min_track_record_length(0.1, skew=0.0, kurtosis=3.0), 2)
    272.91
    """
    sharpe = real("sharpe", sharpe)
    skew, kurtosis = _shape(skew, kurtosis)
    benchmark = real("benchmark", benchmark)
    confidence = real("confidence", confidence)
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must be strictly between 0 and 1, got {confidence!r}")
    gap, term = _standardised(sharpe, benchmark, skew, kurtosis)
    if sharpe <= benchmark:
        return math.inf
    ratio = _norm_ppf(confidence) / gap
    return 1.0 + term * (ratio * ratio)  # a product: a square past the largest double is inf


def expected_max_sharpe(*, n_trials: int, sharpe_variance: float) -> float:
    """The Sharpe ratio the best of ``n_trials`` skill-less trials reaches by chance.

    ``E[max SR] = sqrt(V) ((1 - gamma) Phi^-1(1 - 1/N) + gamma Phi^-1(1 - 1/(N e)))``, gamma the
    Euler-Mascheroni constant: the expected maximum of N independent normal Sharpe ratios of mean
    0 and variance V (an approximation, close from N = 10 on).

    Parameters
    ----------
    n_trials : int
        Number of independent trials (N), at least 1 and at most 10**300 (where 1/(N e) is still
        a normal double). For correlated trials use their effective number,
        :func:`effective_trials`. With one trial the result is 0, its expectation (the formula
        itself diverges at N = 1).
    sharpe_variance : float
        Variance V of the trials' Sharpe ratios around their mean, in the units of the result:
        **per-period** Sharpe ratios give a per-period maximum. At least 0.

    Returns
    -------
    float
        The expected maximum Sharpe ratio, in the units of ``sharpe_variance``'s square root.

    Raises
    ------
    TypeError
        When ``n_trials`` is not an integer or ``sharpe_variance`` not a real number.
    ValueError
        When ``n_trials`` is below 1 or above 10**300, or ``sharpe_variance`` is negative, NaN or
        infinite.

    References
    ----------
    D. H. Bailey and M. Lopez de Prado, "The deflated Sharpe ratio: correcting for selection bias,
    backtest overfitting and non-normality", Journal of Portfolio Management 40(5), 2014,
    pp. 94-107 (appendix).

    Examples
    --------
    >>> round(expected_max_sharpe(n_trials=10, sharpe_variance=1.0), 4)
    1.5746
    """
    n_trials = _trials(n_trials)
    sharpe_variance = real("sharpe_variance", sharpe_variance)
    if sharpe_variance < 0.0:
        raise ValueError(f"sharpe_variance must be at least 0, got {sharpe_variance!r}")
    return math.sqrt(sharpe_variance) * _max_z(n_trials)


def deflated_sharpe_ratio(sharpe: float, *, n_trials: int, sharpe_variance: float, n_obs: float,
                          skew: float, kurtosis: float) -> float:
    """Probability that the best of ``n_trials`` has a true Sharpe ratio above what luck explains.

    The :func:`probabilistic_sharpe_ratio` of the selected trial against the benchmark
    ``SR* = expected_max_sharpe(n_trials=N, sharpe_variance=V)``.

    Parameters
    ----------
    sharpe : float
        The selected (best) trial's Sharpe ratio, **per period** (not annualised).
    n_trials : int
        Number of independent trials the best was selected from (their effective number when they
        are correlated, :func:`effective_trials`), from 1 to 10**300.
    sharpe_variance : float
        Variance across the trials of their **per-period** Sharpe ratios (for example
        ``np.var(sharpes, ddof=1)``), at least 0.
    n_obs : float
        Number of returns of the selected trial, more than 1.
    skew : float
        Skewness of the selected trial's returns.
    kurtosis : float
        **Plain** kurtosis of the selected trial's returns, 3 for a normal distribution (not
        excess kurtosis), at least ``1 + skew**2``.

    Returns
    -------
    float
        The deflated Sharpe ratio, a probability in [0, 1]; 0.95 or more is the usual bar.

    Raises
    ------
    TypeError
        When an argument has the wrong type.
    ValueError
        As :func:`probabilistic_sharpe_ratio` and :func:`expected_max_sharpe`.

    References
    ----------
    D. H. Bailey and M. Lopez de Prado, "The deflated Sharpe ratio: correcting for selection bias,
    backtest overfitting and non-normality", Journal of Portfolio Management 40(5), 2014,
    pp. 94-107.

    Examples
    --------
    The paper's example: 100 trials whose annualised Sharpe ratios vary with variance 0.5, the best
    at 2.5 annualised over 1250 daily returns with skew -3 and kurtosis 10, at 250 days a year:

    >>> round(deflated_sharpe_ratio(2.5 / 250 ** 0.5, n_trials=100, sharpe_variance=0.5 / 250,
    ...                             n_obs=1250, skew=-3.0, kurtosis=10.0), 3)
    0.9
    """
    benchmark = expected_max_sharpe(n_trials=n_trials, sharpe_variance=sharpe_variance)
    return probabilistic_sharpe_ratio(sharpe, n_obs=n_obs, skew=skew, kurtosis=kurtosis,
                                      benchmark=benchmark)


def min_backtest_length(*, n_trials: int, target_sharpe: float) -> float:
    """Years of data below which ``n_trials`` skill-less trials reach ``target_sharpe`` by chance.

    ``MinBTL = ((1 - gamma) Phi^-1(1 - 1/N) + gamma Phi^-1(1 - 1/(N e)))^2 / SR^2``: the annualised
    Sharpe ratio of a trial without skill, measured over y years, has a standard deviation of about
    ``1/sqrt(y)``, so the best of N such trials reaches about ``E[max]/sqrt(y)``; shorter backtests
    than MinBTL expect the best of N to reach the target by luck alone.

    Parameters
    ----------
    n_trials : int
        Number of independent trials (N), from 1 to 10**300; with one trial the result is 0.
    target_sharpe : float
        The **annualised** Sharpe ratio the best trial shows (mean annual excess return over its
        annual standard deviation, as :meth:`BacktestResult.stats` reports it), more than 0.

    Returns
    -------
    float
        The minimum backtest length in **years**; ``math.inf`` when it passes the largest double
        (a target below about 1e-153).

    Raises
    ------
    TypeError
        When ``n_trials`` is not an integer or ``target_sharpe`` not a real number.
    ValueError
        When ``n_trials`` is below 1 or above 10**300, or ``target_sharpe`` is not a positive
        finite number.

    References
    ----------
    D. H. Bailey, J. M. Borwein, M. Lopez de Prado and Q. J. Zhu, "Pseudo-mathematics and financial
    charlatanism: the effects of backtest overfitting on out-of-sample performance", Notices of
    the American Mathematical Society 61(5), 2014, pp. 458-471.

    Examples
    --------
    Five years of daily data support no more than about 45 trials at an annualised Sharpe of 1:

    >>> round(min_backtest_length(n_trials=45, target_sharpe=1.0), 2)
    5.0
    """
    n_trials = _trials(n_trials)
    target_sharpe = real("target_sharpe", target_sharpe)
    if target_sharpe <= 0.0:
        raise ValueError(f"target_sharpe must be more than 0, got {target_sharpe!r}")
    ratio = _max_z(n_trials) / target_sharpe
    return ratio * ratio  # a product: a square past the largest double is inf
