"""The probability of backtest overfitting and the effective number of trials.

Both read a matrix of per-period returns, dates down and trials across: :func:`pbo` ranks the
trials on halves of the dates by combinatorially symmetric cross-validation, and
:func:`effective_trials` counts the clusters of trials that move together. They are part of
:mod:`pelmora.selection`, which gives them to the user; only NumPy is needed, and matplotlib for
:meth:`PBOResult.plot`.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._checks import count, real

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.figure import Figure

__all__ = ["PBO_METRICS", "PBOResult", "effective_trials", "pbo"]

PBO_METRICS = ("sharpe", "mean", "total_return")
"""The performance measures :func:`pbo` ranks trials by."""

# Beyond this many combinations of blocks the enumeration alone would take minutes to hours.
_MAX_COMBINATIONS = 1 << 24
# Elements of one (splits x trials) work matrix; a handful of them are alive at once.
_CHUNK_ELEMENTS = 2_000_000


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
        from pelmora.plotting._sweep import pbo_figure  # the figures live with the plots

        return pbo_figure(self, bins=count("bins", bins, 1))


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
    n_splits = count("n_splits", n_splits, 2)
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
    threshold = real("threshold", threshold)
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
