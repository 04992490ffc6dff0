"""The effective number of trials: how many of a sweep's trials are distinct.

:func:`effective_trials` counts the clusters of trials whose returns move together, the N of the
deflated Sharpe ratio; it is part of :mod:`pelmora.selection`, which gives it to the user. Only
NumPy is needed.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from pelmora._checks import real
from pelmora.statistics._returns import power_of_two, returns_matrix

__all__ = ["effective_trials"]


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
        infinite values are refused: drop the dates or fill them first. The count is the same for
        the returns times any positive number (each trial is rescaled by a power of two first).
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
    values = returns_matrix(returns)
    n_rows, n_trials = values.shape
    if n_trials < 1:
        raise ValueError("returns must have at least 1 trial (column)")
    if n_rows < 2:
        raise ValueError(f"returns must have at least 2 dates (rows), got {n_rows}")
    # Each trial brought to a largest return in [0.5, 1) by a power of two (exact): a correlation
    # is free of scale, and its squares neither overflow at 1e300 nor vanish at 1e-300.
    scaled = np.ldexp(values, -power_of_two(np.abs(values).max(axis=0)))
    shifted = scaled - scaled.mean(axis=0)
    norms = np.sqrt(np.einsum("ij,ij->j", shifted, shifted))
    # Relative to the column's scale: the mean of a constant column may differ from its values by
    # a rounding error, which must not make it a trial of its own variance.
    flat = norms <= 1e-12 * np.sqrt(n_rows) * np.abs(scaled).max(axis=0)
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
