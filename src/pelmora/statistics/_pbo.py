"""The probability of backtest overfitting.

:func:`pbo` reads a matrix of per-period returns, dates down and trials across, and ranks the trials
on halves of the dates by combinatorially symmetric cross-validation (the effective number of trials
is in :mod:`pelmora.statistics._trials`). Both are part of :mod:`pelmora.selection`, which gives
them to the user; only NumPy is needed, and matplotlib for :meth:`PBOResult.plot`.
"""

from __future__ import annotations

import hashlib
import itertools
import math
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._checks import count
from pelmora.statistics._returns import power_of_two, returns_matrix

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.figure import Figure

__all__ = ["NOTHING_TO_CHOOSE", "PBO_METRICS", "PBOResult", "SPLITS_WITHOUT_CHOICE", "pbo"]

PBO_METRICS = ("sharpe", "mean", "total_return")
"""The performance measures :func:`pbo` ranks trials by."""

# Beyond this many combinations of blocks the enumeration alone would take minutes to hours.
_MAX_COMBINATIONS = 1 << 24
# Elements of one (splits x trials) work matrix; a handful of them are alive at once.
_CHUNK_ELEMENTS = 2_000_000


# ----------------------------------------------------------------------------------------------
# Probability of backtest overfitting.


@dataclass(frozen=True, eq=False, repr=False)
class PBOResult:
    """Outcome of :func:`pbo`: one entry per combination of in-sample blocks.

    Attributes
    ----------
    pbo : float
        Probability of backtest overfitting: the share of combinations whose in-sample best trial
        ranks at or below the median out of sample (``logits <= 0``), among those where the
        trials did not all tie in sample; NaN when they did in every one (nothing was chosen).
    logits : numpy.ndarray
        ``ln(w / (1 - w))`` per combination, w the in-sample winner's out-of-sample rank over
        ``n_trials + 1``; NaN where every trial tied in sample.
    in_sample : numpy.ndarray
        The winner's metric in sample, per combination (per period for ``"sharpe"`` and
        ``"mean"``); NaN where every trial tied.
    out_of_sample : numpy.ndarray
        The same trial's metric out of sample, per combination; NaN where every trial tied.
    slope, intercept : float
        Least-squares fit ``out_of_sample = intercept + slope * in_sample`` over the finite pairs:
        a slope below 0 means the better a trial looks in sample, the worse it does out of sample.
        NaN when the in-sample values do not vary.
    prob_loss : float
        Share of combinations whose winner's out-of-sample metric is below 0 (of those with a
        winner).
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
        from pelmora.plotting._sweep import pbo_figure  # the figures live with the plots

        return pbo_figure(self, bins=count("bins", bins, 1))


NOTHING_TO_CHOOSE = (
    "pbo: every trial ties in sample in every split ({splits:,}), so there is nothing to "
    "choose: pbo is NaN")
SPLITS_WITHOUT_CHOICE = (
    "pbo: every trial ties in sample in {tied:,} of {splits:,} splits, so those have nothing to "
    "choose and are left out (their logits are NaN)")

# A metric within this many ulps (relative) of the one it is compared with ties with it: the same
# figure reached by another order of the same additions (1/6 summed two ways) must not decide a
# choice or a rank.
_TIE = 4 * np.finfo(np.float64).eps


def _tie_band(value: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The least and greatest metrics that tie with each of ``value``: +-4 ulps of it (relative);
    an infinity ties only with itself."""
    margin = _TIE * np.abs(value)
    with np.errstate(invalid="ignore"):
        low, high = value - margin, value + margin
    infinite = np.isinf(value)
    return np.where(infinite, value, low), np.where(infinite, value, high)


def _distinct_trials(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The distinct columns of ``values`` in an order of their own (not the columns' order) and
    how many trials each stands for.

    Identical trials then get bit-identical metrics, so they tie whatever BLAS does with a
    column's position, and a permutation of the trials computes exactly the same figures.
    """
    groups: dict[bytes, list[int]] = {}
    step = max(1, _CHUNK_ELEMENTS // max(1, values.shape[0]))
    for lo in range(0, values.shape[1], step):
        for j, column in enumerate(np.ascontiguousarray(values[:, lo:lo + step].T), lo):
            groups.setdefault(hashlib.blake2b(column, digest_size=16).digest(), []).append(j)
    firsts, weights = [], []
    for key in sorted(groups):
        members = groups[key]
        # A digest shared by different columns (never seen) splits into exact groups.
        while len(members) > 1:
            first = members[0]
            same = {j for j in members if np.array_equal(values[:, j], values[:, first])}
            firsts.append(first)
            weights.append(len(same))
            members = [j for j in members if j not in same]
        if members:
            firsts.append(members[0])
            weights.append(1)
    return values[:, firsts], np.array(weights, dtype=np.float64)


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
    # 0 / 0: a half whose variance and mean both round to 0 (constant halves are set apart).
    out[np.isnan(out)] = 0.0
    return out


class _ConstantHalves:
    """Which (split, trial) halves hold one value only, found from each block's least and
    greatest return: exactly, where the sums' variance of a constant half is a rounding residue
    (1e-18, not 0) over a mean that is one too (a trial at 0 in a half whose full-sample mean is
    not 0), which made a Sharpe ratio of +-inf or 1e-8 of nothing."""

    def __init__(self, x: np.ndarray, starts: np.ndarray) -> None:
        low = np.minimum.reduceat(x, starts, axis=0)
        high = np.maximum.reduceat(x, starts, axis=0)
        # Only trials with a constant block can have a constant half.
        self.trials = np.flatnonzero((low == high).any(axis=0))
        self.low, self.high = low[:, self.trials], high[:, self.trials]

    def apply(self, metric: str, perf: np.ndarray, blocks: np.ndarray) -> None:
        """Set the metric of the constant halves of ``perf`` (splits x trials), the splits'
        halves being the rows of ``blocks``: the Sharpe ratio of a constant half is 0 at a value
        of 0 and +-inf by its sign otherwise; its mean is that value."""
        if not self.trials.size:
            return
        low, high = self.low[blocks[:, 0]], self.high[blocks[:, 0]]
        for p in range(1, blocks.shape[1]):
            np.minimum(low, self.low[blocks[:, p]], out=low)
            np.maximum(high, self.high[blocks[:, p]], out=high)
        flat = low == high
        if not flat.any():
            return
        if metric == "sharpe":
            low = np.where(low > 0.0, np.inf, np.where(low < 0.0, -np.inf, 0.0))
        part = perf[:, self.trials]
        part[flat] = low[flat]
        perf[:, self.trials] = part


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
        over standard deviation with ddof=1, not annualised), the mean return, or the compounded
        total return (needs every return at least -1). A half in which a trial's returns are all
        equal has no variance: its Sharpe ratio is 0 when they are 0 (a run not yet started) and
        +inf or -inf by their sign otherwise.

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

    Warns
    -----
    UserWarning
        When every trial ties in sample in some splits (they are left out, with NaN logits and
        metrics), and when they do in all of them, identical trials among others: ``pbo`` is then
        NaN, there being nothing to choose.

    Notes
    -----
    Ties: a metric within 4 ulps (a relative 8.9e-16) of the one it is compared with (the best in
    sample, the winner's out of sample) ties with it, so the same figure computed along another
    order of additions ties; an infinity ties only with itself. In sample, of the trials tied for the
    best, the one that ranks lowest out of sample is chosen: a choice the metric cannot make gets
    no credit for the luckier trial, and the result does not depend on the columns' order. Out of
    sample, tied trials share the average of their ranks, so a winner tied with every other trial
    gets w = 1/2 and a logit of 0. Hence ``pbo``, ``logits``, ``in_sample`` and ``out_of_sample``
    are the same for any order of the columns, and for ``"sharpe"`` the same for the returns
    times any positive number (the returns are rescaled by powers of two, which is exact, before
    the sums, so neither 1e300 nor 1e-300 over- or underflows); ``"mean"`` scales with them.

    All splits are computed together from per-block sums of the returns and of their squares: a
    split's in-sample sums are the product of a 0/1 split-by-block matrix with the block sums, a
    chunk of splits at a time, so that 1,000 trials of 2,500 days in 16 blocks take seconds.
    Identical trials are computed once.

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
    n_splits = count("n_splits", n_splits, 2)
    values = returns_matrix(returns, metric=metric)
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
    n_comb = math.comb(n_splits, half)

    x, multiplicity = _distinct_trials(values)
    if x.shape[1] == 1:
        return _no_choice(n_comb, n_splits, n_trials, metric)
    # Powers of two that bring the largest return to [0.5, 1): a Sharpe ratio is free of scale,
    # so each trial has its own; means are compared across trials, so they share one.
    exponent = None
    if metric == "sharpe":
        x = np.ldexp(x, -power_of_two(np.abs(x).max(axis=0)))
    elif metric == "mean":
        exponent = int(power_of_two(np.abs(x).max()))
        x = np.ldexp(x, -exponent)

    centre = np.zeros(x.shape[1])
    squares = None
    constant = None
    if metric == "total_return":
        with np.errstate(divide="ignore"):
            sums = np.add.reduceat(np.log1p(x), starts, axis=0)
        # A block with a -100% return sums to -inf, and 0 * -inf is NaN in the products below: a
        # finite stand-in that still sums to no more than -1e307 over all blocks compounds to -1.
        sums[np.isneginf(sums)] = np.finfo(np.float64).min / n_splits
    else:
        centre = x.mean(axis=0)
        shifted = x - centre
        sums = np.add.reduceat(shifted, starts, axis=0)
        if metric == "sharpe":  # a mean needs no squares
            squares = np.add.reduceat(shifted * shifted, starts, axis=0)
        constant = _ConstantHalves(x, starts)
    counts = sizes.astype(np.float64)

    chosen = np.array(list(itertools.combinations(range(n_splits), half)), dtype=np.intp)
    in_metric = np.empty(n_comb)
    out_metric = np.empty(n_comb)
    ranks = np.empty(n_comb)
    step = max(1, _CHUNK_ELEMENTS // x.shape[1])
    rows = np.arange(min(step, n_comb))

    def weighted(mask: np.ndarray) -> np.ndarray:
        """Trials where ``mask`` holds, per split: a distinct column counts as its copies."""
        if x.shape[1] == n_trials:
            return np.count_nonzero(mask, axis=1).astype(np.float64)
        return mask @ multiplicity

    for lo in range(0, n_comb, step):
        part = chosen[lo:lo + step]
        m = part.shape[0]
        inside = np.zeros((m, n_splits), dtype=bool)
        inside[rows[:m, None], part] = True
        rest = np.nonzero(~inside)[1].reshape(m, half)  # each row's other blocks, ascending

        def side(mask: np.ndarray, blocks: np.ndarray) -> np.ndarray:
            mask = mask.astype(np.float64)
            perf = _metric(metric, mask @ sums, None if squares is None else mask @ squares,
                           mask @ counts, centre)
            if constant is not None:
                constant.apply(metric, perf, blocks)
            return perf

        perf_in = side(inside, part)
        perf_out = side(~inside, rest)
        winner = np.argmax(perf_in, axis=1)
        tied = perf_in >= _tie_band(perf_in[rows[:m], winner])[0][:, None]
        n_tied = np.count_nonzero(tied, axis=1)
        several = np.flatnonzero(n_tied > 1)
        if several.size:
            # Of the trials tied for the best in sample, the one that does worst out of sample
            # (found by value: an argmin over +inf stand-ins could take a trial not tied).
            both, out = tied[several], perf_out[several]
            worst = np.where(both, out, np.inf).min(axis=1)
            winner[several] = np.argmax(both & (out == worst[:, None]), axis=1)
        best_out = perf_out[rows[:m], winner]
        low, high = _tie_band(best_out)
        below = weighted(perf_out < low[:, None])
        level = weighted(perf_out <= high[:, None]) - below
        # Ties share their average rank; a distinct column counts as the trials it stands for.
        none = n_tied == x.shape[1]
        ranks[lo:lo + m] = np.where(none, np.nan, below + (level + 1.0) / 2.0)
        in_metric[lo:lo + m] = np.where(none, np.nan, perf_in[rows[:m], winner])
        out_metric[lo:lo + m] = np.where(none, np.nan, best_out)

    if exponent is not None:  # means back in the returns' own units
        in_metric, out_metric = np.ldexp(in_metric, exponent), np.ldexp(out_metric, exponent)
    share = ranks / (n_trials + 1)
    logits = np.log(share / (1.0 - share))
    chose = ~np.isnan(logits)
    if not chose.any():
        return _no_choice(n_comb, n_splits, n_trials, metric)
    if not chose.all():
        warnings.warn(SPLITS_WITHOUT_CHOICE.format(tied=int(n_comb - chose.sum()), splits=n_comb),
                      UserWarning, stacklevel=2)
    slope, intercept = _line(in_metric, out_metric)
    for array in (logits, in_metric, out_metric):
        array.flags.writeable = False
    return PBOResult(
        pbo=float(np.mean(logits[chose] <= 0.0)),
        logits=logits,
        in_sample=in_metric,
        out_of_sample=out_metric,
        slope=slope,
        intercept=intercept,
        prob_loss=float(np.mean(out_metric[chose] < 0.0)),
        n_splits=n_splits,
        n_trials=n_trials,
        metric=metric,
    )


def _no_choice(n_comb: int, n_splits: int, n_trials: int, metric: str) -> PBOResult:
    """The result when every trial ties in sample in every split (identical trials among
    others): no choice was made, so there is no overfitting to measure."""
    warnings.warn(NOTHING_TO_CHOOSE.format(splits=n_comb), UserWarning, stacklevel=3)
    nan = np.full(n_comb, np.nan)
    nan.flags.writeable = False
    return PBOResult(pbo=math.nan, logits=nan, in_sample=nan, out_of_sample=nan, slope=math.nan,
                     intercept=math.nan, prob_loss=math.nan, n_splits=n_splits,
                     n_trials=n_trials, metric=metric)


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
