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

import itertools
import math
import numbers
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora import _require

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.figure import Figure

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

PBO_METRICS = ("sharpe", "mean", "total_return")
"""The performance measures :func:`pbo` ranks trials by."""

# Beyond this many combinations of blocks the enumeration alone would take minutes to hours.
_MAX_COMBINATIONS = 1 << 24
# Elements of one (splits x trials) work matrix; a handful of them are alive at once.
_CHUNK_ELEMENTS = 2_000_000


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
# Argument checks: every message names the argument.


def _real(name: str, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    out = float(value)
    if not math.isfinite(out):
        raise ValueError(f"{name} must be finite, got {out!r}")
    return out


def _count(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    out = int(value)
    if out < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {out}")
    return out


def _kurtosis(value: Any) -> float:
    out = _real("kurtosis", value)
    if out < 1.0:
        raise ValueError(
            f"kurtosis must be at least 1 (plain kurtosis, 3 for a normal distribution; an excess "
            f"kurtosis needs 3 added), got {out!r}")
    return out


def _sharpe_error_term(sharpe: float, skew: float, kurtosis: float) -> float:
    """1 - g3 SR + (g4 - 1)/4 SR^2: T - 1 times the variance of the Sharpe ratio estimate."""
    term = 1.0 - skew * sharpe + (kurtosis - 1.0) / 4.0 * sharpe * sharpe
    if not term > 0.0:
        # Positive whenever kurtosis >= 1 + skew^2, which every distribution satisfies.
        raise ValueError(
            f"1 - skew*sharpe + (kurtosis - 1)/4*sharpe**2 = {term!r} is not positive for "
            f"sharpe={sharpe!r}, skew={skew!r}, kurtosis={kurtosis!r}: no distribution has this "
            f"skew and kurtosis (kurtosis must be at least 1 + skew**2)")
    return term


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
        distribution, at least 1. Not the excess kurtosis that ``Series.kurt()`` and
        ``scipy.stats.kurtosis`` return by default: add 3 to those.
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
        When an argument is NaN or infinite, ``n_obs <= 1``, ``kurtosis < 1``, or the variance term
        under the square root is not positive (a skew and kurtosis no distribution has).

    References
    ----------
    D. H. Bailey and M. Lopez de Prado, "The Sharpe ratio efficient frontier", Journal of Risk
    15(2), 2012, pp. 3-44.

    Examples
    --------
    >>> round(probabilistic_sharpe_ratio(0.1, n_obs=252, skew=-1.0, kurtosis=6.0), 4)
    0.9335
    """
    sharpe = _real("sharpe", sharpe)
    n_obs = _real("n_obs", n_obs)
    if n_obs <= 1.0:
        raise ValueError(f"n_obs must be more than 1, got {n_obs!r}")
    skew = _real("skew", skew)
    kurtosis = _kurtosis(kurtosis)
    benchmark = _real("benchmark", benchmark)
    term = _sharpe_error_term(sharpe, skew, kurtosis)
    return _norm_cdf((sharpe - benchmark) * math.sqrt(n_obs - 1.0) / math.sqrt(term))


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
        **Plain** kurtosis of the returns, 3 for a normal distribution (not excess kurtosis).
    benchmark : float, default 0.0
        The Sharpe ratio to beat, per period.
    confidence : float, default 0.95
        The probability required, strictly between 0 and 1.

    Returns
    -------
    float
        The minimum track record length in observations of the returns' own frequency (rows:
        days for daily returns), not rounded; ``math.inf`` when ``sharpe <= benchmark``, since no
        length of such a record shows that the true Sharpe ratio exceeds the benchmark.

    Raises
    ------
    TypeError
        When an argument is not a real number.
    ValueError
        When an argument is NaN or infinite, ``kurtosis < 1``, ``confidence`` is not in (0, 1), or
        the variance term is not positive.

    References
    ----------
    D. H. Bailey and M. Lopez de Prado, "The Sharpe ratio efficient frontier", Journal of Risk
    15(2), 2012, pp. 3-44.

    Examples
    --------
    >>> round(min_track_record_length(0.1, skew=0.0, kurtosis=3.0), 2)
    272.91
    """
    sharpe = _real("sharpe", sharpe)
    skew = _real("skew", skew)
    kurtosis = _kurtosis(kurtosis)
    benchmark = _real("benchmark", benchmark)
    confidence = _real("confidence", confidence)
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must be strictly between 0 and 1, got {confidence!r}")
    term = _sharpe_error_term(sharpe, skew, kurtosis)
    if sharpe <= benchmark:
        return math.inf
    return 1.0 + term * (_norm_ppf(confidence) / (sharpe - benchmark)) ** 2


def expected_max_sharpe(*, n_trials: int, sharpe_variance: float) -> float:
    """The Sharpe ratio the best of ``n_trials`` skill-less trials reaches by chance.

    ``E[max SR] = sqrt(V) ((1 - gamma) Phi^-1(1 - 1/N) + gamma Phi^-1(1 - 1/(N e)))``, gamma the
    Euler-Mascheroni constant: the expected maximum of N independent normal Sharpe ratios of mean
    0 and variance V (an approximation, close from N = 10 on).

    Parameters
    ----------
    n_trials : int
        Number of independent trials (N), at least 1. For correlated trials use their effective
        number, :func:`effective_trials`. With one trial the result is 0, its expectation (the
        formula itself diverges at N = 1).
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
        When ``n_trials < 1`` or ``sharpe_variance`` is negative, NaN or infinite.

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
    n_trials = _count("n_trials", n_trials, 1)
    sharpe_variance = _real("sharpe_variance", sharpe_variance)
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
        are correlated, :func:`effective_trials`), at least 1.
    sharpe_variance : float
        Variance across the trials of their **per-period** Sharpe ratios (for example
        ``np.var(sharpes, ddof=1)``), at least 0.
    n_obs : float
        Number of returns of the selected trial, more than 1.
    skew : float
        Skewness of the selected trial's returns.
    kurtosis : float
        **Plain** kurtosis of the selected trial's returns, 3 for a normal distribution (not
        excess kurtosis).

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
        Number of independent trials (N), at least 1; with one trial the result is 0.
    target_sharpe : float
        The **annualised** Sharpe ratio the best trial shows (mean annual excess return over its
        annual standard deviation, as :meth:`BacktestResult.stats` reports it), more than 0.

    Returns
    -------
    float
        The minimum backtest length in **years**.

    Raises
    ------
    TypeError
        When ``n_trials`` is not an integer or ``target_sharpe`` not a real number.
    ValueError
        When ``n_trials < 1`` or ``target_sharpe`` is not a positive finite number.

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
    n_trials = _count("n_trials", n_trials, 1)
    target_sharpe = _real("target_sharpe", target_sharpe)
    if target_sharpe <= 0.0:
        raise ValueError(f"target_sharpe must be more than 0, got {target_sharpe!r}")
    return (_max_z(n_trials) / target_sharpe) ** 2


# ----------------------------------------------------------------------------------------------
# Returns matrices.


def _returns_matrix(returns: Any, *, metric: str | None = None) -> np.ndarray:
    """The (dates x trials) float64 matrix of ``returns``; refuses NaN, infinities and wipe-outs."""
    index = columns = None
    if hasattr(returns, "columns") and hasattr(returns, "to_numpy"):  # a DataFrame
        index, columns = returns.index, returns.columns
        for label, dtype in zip(columns, returns.dtypes):
            if getattr(dtype, "kind", "O") not in "iuf":
                raise TypeError(f"returns must hold numbers, got dtype {dtype} in trial {label!r}")
        values = returns.to_numpy(dtype=np.float64)
    else:
        values = np.asarray(returns)
        if values.dtype.kind not in "iuf":
            raise TypeError(f"returns must hold numbers, got dtype {values.dtype}")
    values = np.ascontiguousarray(values, dtype=np.float64)
    if values.ndim != 2:
        raise ValueError(f"returns must be 2-D (dates x trials), got {values.ndim} dimension(s)")

    def where(flat: int) -> str:
        i, j = divmod(int(flat), values.shape[1])
        if index is not None:
            return f"at {index[i]!r}, trial {columns[j]!r}"
        return f"at row {i}, column {j}"

    bad = ~np.isfinite(values)
    if bad.any():
        flat = int(np.argmax(bad))
        raise ValueError(f"returns has a missing or infinite value {where(flat)}: drop or fill "
                         f"them first (a trial without a position earns 0)")
    if metric == "total_return":
        low = values < -1.0
        if low.any():
            flat = int(np.argmax(low))
            raise ValueError(f"returns has a return below -100% {where(flat)}, "
                             f"{values.flat[flat]!r}, which no compounded total return allows")
    return values


# ----------------------------------------------------------------------------------------------
# Probability of backtest overfitting.


@dataclass(frozen=True, eq=False, repr=False)
class PBOResult:
    """Outcome of :func:`pbo`: one entry per combination of in-sample blocks.

    Attributes
    ----------
    pbo : float
        Probability of backtest overfitting: the share of combinations whose in-sample best trial
        ranks at or below the median out of sample (``logits <= 0``).
    logits : numpy.ndarray
        ``ln(w / (1 - w))`` per combination, w the in-sample winner's out-of-sample rank over
        ``n_trials + 1``.
    in_sample : numpy.ndarray
        The winner's metric in sample, per combination (per period for ``"sharpe"`` and
        ``"mean"``).
    out_of_sample : numpy.ndarray
        The same trial's metric out of sample, per combination.
    slope, intercept : float
        Least-squares fit ``out_of_sample = intercept + slope * in_sample`` over the finite pairs:
        a slope below 0 means the better a trial looks in sample, the worse it does out of sample.
        NaN when the in-sample values do not vary.
    prob_loss : float
        Share of combinations whose winner's out-of-sample metric is below 0.
    n_splits : int
        Number of blocks the dates were cut into.
    n_trials : int
        Number of trials (columns).
    metric : str
        The performance measure the trials were ranked by.
    """

    pbo: float
    logits: np.ndarray
    in_sample: np.ndarray
    out_of_sample: np.ndarray
    slope: float
    intercept: float
    prob_loss: float
    n_splits: int
    n_trials: int
    metric: str

    @property
    def n_combinations(self) -> int:
        """Number of in-sample / out-of-sample splits, C(n_splits, n_splits / 2)."""
        return int(self.logits.size)

    def __repr__(self) -> str:
        return (f"PBOResult(pbo={self.pbo:.4f}, slope={self.slope:.4g}, "
                f"intercept={self.intercept:.4g}, prob_loss={self.prob_loss:.4f}, "
                f"n_splits={self.n_splits}, n_trials={self.n_trials}, "
                f"n_combinations={self.n_combinations}, metric={self.metric!r})")

    def plot(self, *, bins: int = 30) -> Figure:
        """The logit histogram and the degradation scatter with its fitted line.

        Parameters
        ----------
        bins : int, default 30
            Number of histogram bins.

        Returns
        -------
        matplotlib.figure.Figure
            A figure of two axes, made without pyplot (save it with ``savefig``; in a notebook it
            shows itself).

        Raises
        ------
        ImportError
            When matplotlib is missing; the message names the extra ``plot``.
        """
        bins = _count("bins", bins, 1)
        _require("matplotlib", "PBOResult.plot")
        from matplotlib.figure import Figure

        fig = Figure(figsize=(11, 4.2), layout="constrained")
        hist, scatter = fig.subplots(1, 2)
        hist.hist(self.logits, bins=bins, color="#4c72b0", edgecolor="white")
        hist.axvline(0.0, color="#c44e52", linestyle="--", linewidth=1)
        hist.set_title(f"PBO = {self.pbo:.1%} of {self.n_combinations} splits")
        hist.set_xlabel("logit of the in-sample best's out-of-sample rank")
        hist.set_ylabel("splits")

        ok = np.isfinite(self.in_sample) & np.isfinite(self.out_of_sample)
        x, y = self.in_sample[ok], self.out_of_sample[ok]
        scatter.scatter(x, y, s=6, alpha=0.4, color="#4c72b0")
        scatter.axhline(0.0, color="grey", linewidth=0.8)
        if x.size and math.isfinite(self.slope):
            line = np.linspace(x.min(), x.max(), 2)
            scatter.plot(line, self.intercept + self.slope * line, color="#c44e52",
                         label=f"fit: {self.intercept:.3g} {'-' if self.slope < 0 else '+'} "
                               f"{abs(self.slope):.3g} x")
            scatter.legend(loc="best")
        scatter.set_title(f"degradation: P(out-of-sample loss) = {self.prob_loss:.1%}")
        unit = " (per period)" if self.metric != "total_return" else ""
        scatter.set_xlabel(f"in-sample {self.metric}{unit}")
        scatter.set_ylabel(f"out-of-sample {self.metric}{unit}")
        return fig


def _metric(metric: str, sums: np.ndarray, squares: np.ndarray | None, counts: np.ndarray,
            centre: np.ndarray) -> np.ndarray:
    """Each (split, trial)'s metric from its summed block statistics."""
    n = counts[:, None]
    if metric == "total_return":
        return np.expm1(sums)
    mean = sums / n
    if metric == "mean":
        return mean + centre
    # The sums are of returns minus each trial's full-sample mean, which keeps the difference of
    # squares below from cancelling; the variance is unchanged by the shift.
    var = np.maximum(squares - sums * mean, 0.0) / (n - 1.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        out = (mean + centre) / np.sqrt(var)
    # A constant trial: +-inf by the sign of its mean, 0 when it earns nothing.
    out[np.isnan(out)] = 0.0
    return out


def pbo(returns: Any, *, n_splits: int = 16, metric: str = "sharpe") -> PBOResult:
    """Probability of backtest overfitting, by combinatorially symmetric cross-validation.

    The dates are cut into ``n_splits`` contiguous blocks. For each of the C(S, S/2) ways to choose
    half of the blocks as the in-sample set (the other half is out of sample), the trial with the
    best in-sample metric is found, and its out-of-sample rank among all trials, w = rank / (N + 1)
    (rank 1 the worst, N the best), gives the logit ``ln(w / (1 - w))``. PBO is the share of logits
    at or below 0: how often the in-sample choice does no better than the median out of sample.

    Parameters
    ----------
    returns : numpy.ndarray or pandas.DataFrame
        Per-period returns, dates down and trials across (T x N, at least 2 trials); for example the
        daily returns of every combination of a sweep. NaN and infinite values are refused: drop the
        dates or fill them (a trial out of the market earns 0).
    n_splits : int, default 16
        Number of blocks S: even, at least 2, at most the number of dates. When T is not a multiple
        of S, the blocks differ in length by at most one row (the first ``T % S`` are longer), so no
        date is dropped. The work grows as C(S, S/2): 12,870 splits for 16, 184,756 for 20.
    metric : {"sharpe", "mean", "total_return"}, default "sharpe"
        The performance measure of a trial on a set of dates: the **per-period** Sharpe ratio (mean
        over standard deviation with ddof=1, not annualised; a trial of constant returns counts as
        +inf, -inf or 0 by the sign of its mean), the mean return, or the compounded total return
        (needs every return at least -1).

    Returns
    -------
    PBOResult
        ``pbo``, the ``logits``, the winners' ``in_sample`` and ``out_of_sample`` metrics, the
        degradation fit (``slope``, ``intercept``, ``prob_loss``), ``n_splits``, ``n_trials`` and
        ``plot()``.

    Raises
    ------
    TypeError
        When ``returns`` does not hold numbers, ``n_splits`` is not an integer or ``metric`` not a
        string.
    ValueError
        When ``returns`` is not 2-D, has fewer than 2 trials or a NaN or infinite value (named by
        date and trial), ``n_splits`` is odd, below 2, above the number of dates or leaves a half of
        fewer than 2 dates for the Sharpe ratio, or ``metric`` is unknown.

    Notes
    -----
    Ties: the winner in sample is the first (lowest column position) of equal best trials; out of
    sample, equal metrics share the average of their ranks, so a winner tied with every other trial
    gets w = 1/2 and a logit of 0.

    All splits are computed together from per-block sums of the returns and of their squares: a
    split's in-sample sums are the product of a 0/1 split-by-block matrix with the block sums, a
    chunk of splits at a time, so that 1,000 trials of 2,500 days in 16 blocks take seconds.

    References
    ----------
    D. H. Bailey, J. M. Borwein, M. Lopez de Prado and Q. J. Zhu, "The probability of backtest
    overfitting", Journal of Computational Finance 20(4), 2017, pp. 39-69.
    """
    if not isinstance(metric, str):
        raise TypeError(f"metric must be a string, got {type(metric).__name__}")
    if metric not in PBO_METRICS:
        raise ValueError(f"metric must be one of {', '.join(map(repr, PBO_METRICS))}, "
                         f"got {metric!r}")
    n_splits = _count("n_splits", n_splits, 2)
    values = _returns_matrix(returns, metric=metric)
    n_rows, n_trials = values.shape
    if n_trials < 2:
        raise ValueError(f"returns must have at least 2 trials (columns), got {n_trials}")
    if n_splits % 2:
        raise ValueError(f"n_splits must be even, got {n_splits}")
    if n_splits > n_rows:
        raise ValueError(f"n_splits must be at most the number of dates in returns ({n_rows}), "
                         f"got {n_splits}")
    half = n_splits // 2
    if math.comb(n_splits, half) > _MAX_COMBINATIONS:
        raise ValueError(f"n_splits={n_splits} makes {math.comb(n_splits, half):,} splits; "
                         f"use at most {_MAX_COMBINATIONS:,} (n_splits <= 26)")

    # Block b holds rows bounds[b]:bounds[b + 1].
    sizes = np.full(n_splits, n_rows // n_splits, dtype=np.int64)
    sizes[: n_rows % n_splits] += 1
    if metric == "sharpe" and int(sizes[-half:].sum()) < 2:
        raise ValueError(f"n_splits={n_splits} leaves halves of fewer than 2 dates of returns "
                         f"({n_rows} rows), too few for a standard deviation")
    starts = np.concatenate(([0], np.cumsum(sizes)[:-1]))
    centre = np.zeros(n_trials)
    squares = None
    if metric == "total_return":
        with np.errstate(divide="ignore"):
            sums = np.add.reduceat(np.log1p(values), starts, axis=0)
        # A block with a -100% return sums to -inf, and 0 * -inf is NaN in the products below: a
        # finite stand-in that still sums to no more than -1e307 over all blocks compounds to -1.
        sums[np.isneginf(sums)] = np.finfo(np.float64).min / n_splits
    else:
        centre = values.mean(axis=0)
        shifted = values - centre
        sums = np.add.reduceat(shifted, starts, axis=0)
        squares = np.add.reduceat(shifted * shifted, starts, axis=0)
    counts = sizes.astype(np.float64)

    chosen = np.array(list(itertools.combinations(range(n_splits), half)), dtype=np.intp)
    n_comb = chosen.shape[0]
    in_metric = np.empty(n_comb)
    out_metric = np.empty(n_comb)
    ranks = np.empty(n_comb)
    step = max(1, _CHUNK_ELEMENTS // n_trials)
    rows = np.arange(min(step, n_comb))
    for lo in range(0, n_comb, step):
        part = chosen[lo:lo + step]
        m = part.shape[0]
        inside = np.zeros((m, n_splits))
        inside[rows[:m, None], part] = 1.0
        outside = 1.0 - inside

        def side(mask: np.ndarray) -> np.ndarray:
            return _metric(metric, mask @ sums, None if squares is None else mask @ squares,
                           mask @ counts, centre)

        perf_in = side(inside)
        winner = np.argmax(perf_in, axis=1)
        perf_out = side(outside)
        best_out = perf_out[rows[:m], winner]
        below = np.count_nonzero(perf_out < best_out[:, None], axis=1)
        level = np.count_nonzero(perf_out == best_out[:, None], axis=1)
        ranks[lo:lo + m] = below + (level + 1) / 2.0  # ties share their average rank
        in_metric[lo:lo + m] = perf_in[rows[:m], winner]
        out_metric[lo:lo + m] = best_out

    share = ranks / (n_trials + 1)
    logits = np.log(share / (1.0 - share))
    slope, intercept = _line(in_metric, out_metric)
    for array in (logits, in_metric, out_metric):
        array.flags.writeable = False
    return PBOResult(
        pbo=float(np.mean(logits <= 0.0)),
        logits=logits,
        in_sample=in_metric,
        out_of_sample=out_metric,
        slope=slope,
        intercept=intercept,
        prob_loss=float(np.mean(out_metric < 0.0)),
        n_splits=n_splits,
        n_trials=n_trials,
        metric=metric,
    )


def _line(x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    """Least-squares slope and intercept of y on x over the finite pairs; NaN when x is flat."""
    ok = np.isfinite(x) & np.isfinite(y)
    x, y = x[ok], y[ok]
    if x.size < 2:
        return math.nan, math.nan
    dx = x - x.mean()
    sxx = float(dx @ dx)
    if sxx == 0.0:
        return math.nan, math.nan
    slope = float(dx @ (y - y.mean())) / sxx
    return slope, float(y.mean() - slope * x.mean())


# ----------------------------------------------------------------------------------------------
# Effective number of trials.


def effective_trials(returns: Any, *, threshold: float = 0.9) -> int:
    """Number of distinct trials: trials whose returns move nearly together count once.

    The trials are clustered by complete linkage on the correlation distance
    ``d = sqrt((1 - rho) / 2)``, cut at the distance of ``rho = threshold``: two clusters merge
    while every pair of trials across them correlates at ``threshold`` or more, so every pair of
    trials within a cluster does. The result is the number of clusters. N identical trials (or
    scaled copies) count as 1, N independent ones as N.

    Parameters
    ----------
    returns : numpy.ndarray or pandas.DataFrame
        Per-period returns, dates down and trials across (T x N), at least 2 dates. NaN and
        infinite values are refused: drop the dates or fill them first.
    threshold : float, default 0.9
        The correlation from which two trials count as the same, in [0, 1). The default merges only
        near-copies (such as a grid of stop levels that rarely trigger), which keeps the count, and
        so the deflation of the best Sharpe ratio, on the cautious side.

    Returns
    -------
    int
        The effective number of trials, between 1 and N; pass it as ``n_trials`` to
        :func:`deflated_sharpe_ratio`, :func:`expected_max_sharpe` or :func:`min_backtest_length`.

    Raises
    ------
    TypeError
        When ``returns`` does not hold numbers or ``threshold`` is not a real number.
    ValueError
        When ``returns`` is not 2-D, has no trial, fewer than 2 dates or a NaN or infinite value,
        or ``threshold`` is outside [0, 1).

    Notes
    -----
    A trial of constant returns has no correlation: such trials count once per distinct constant
    (every never-trading combination of a sweep together counts as one) and apart from the rest.
    The correlation matrix is N x N: 10,000 trials need 800 MB.

    References
    ----------
    M. Lopez de Prado, "Advances in Financial Machine Learning", Wiley, 2018, chapter 16 (the
    correlation distance); D. H. Bailey and M. Lopez de Prado, "The deflated Sharpe ratio", Journal
    of Portfolio Management 40(5), 2014 (the number of independent trials).
    """
    threshold = _real("threshold", threshold)
    if not 0.0 <= threshold < 1.0:
        raise ValueError(f"threshold must be in [0, 1), got {threshold!r}")
    values = _returns_matrix(returns)
    n_rows, n_trials = values.shape
    if n_trials < 1:
        raise ValueError("returns must have at least 1 trial (column)")
    if n_rows < 2:
        raise ValueError(f"returns must have at least 2 dates (rows), got {n_rows}")
    shifted = values - values.mean(axis=0)
    norms = np.sqrt(np.einsum("ij,ij->j", shifted, shifted))
    # Relative to the column's scale: the mean of a constant column may differ from its values by
    # a rounding error, which must not make it a trial of its own variance.
    flat = norms <= 1e-12 * np.sqrt(n_rows) * np.abs(values).max(axis=0)
    constants = len(np.unique(values[0, flat])) if flat.any() else 0
    live = shifted[:, ~flat] / norms[~flat]
    return constants + _complete_linkage_clusters(np.clip(live.T @ live, -1.0, 1.0), threshold)


def _complete_linkage_clusters(corr: np.ndarray, threshold: float) -> int:
    """Clusters of complete linkage on a correlation matrix, merging while the link >= threshold.

    Complete linkage on sqrt((1 - rho)/2) is complete linkage on -rho, the distance being
    decreasing in rho: the link of two clusters is their least correlated pair. Each row keeps its
    best partner, so a merge rescans only the rows whose partner changed.
    """
    n = corr.shape[0]
    if n < 2:
        return n
    link = corr.copy()
    np.fill_diagonal(link, -np.inf)
    partner = np.argmax(link, axis=1)
    best = link[np.arange(n), partner]
    clusters = n
    while clusters > 1:
        a = int(np.argmax(best))
        if best[a] < threshold:
            break
        b = int(partner[a])
        merged = np.minimum(link[a], link[b])
        merged[a] = -np.inf
        link[a], link[:, a] = merged, merged
        link[b], link[:, b] = -np.inf, -np.inf
        best[b] = -np.inf
        clusters -= 1
        # Links to a can only have fallen and links to b are gone: only rows that pointed at either
        # need a new best partner; row a may now prefer anyone.
        stale = np.flatnonzero((partner == a) | (partner == b))
        stale = stale[stale != b]
        stale = np.union1d(stale, [a])
        partner[stale] = np.argmax(link[stale], axis=1)
        best[stale] = link[stale, partner[stale]]
    return clusters
