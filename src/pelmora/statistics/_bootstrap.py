"""The stationary block bootstrap shared by the intervals of the statistics and the reality check.

Politis and Romano's stationary bootstrap resamples a series in blocks of random (geometric)
length with mean ``block``, wrapping around at its end, so a resample keeps the series'
short-range dependence. The indices are drawn exactly as ``arch.bootstrap.StationaryBootstrap``
draws them from a ``numpy.random.default_rng(seed)`` (per repetition: the block starts, then the
uniforms that decide where a new block begins), so a repetition here is that package's repetition
of the same seed, but they are assembled for many repetitions at once instead of one at a time.

The block length by default is Politis and White's (with Patton, Politis and White's
correction), as ``arch.bootstrap.optimal_block_length`` estimates it. ``arch`` is the extra
``pelmora[inference]``.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterator
from typing import Any

import numpy as np

from pelmora._checks import count
from pelmora._optional import import_optional

__all__ = [
    "BLOCK_TOO_SHORT", "CI_OUT_OF_RANGE", "arch_module", "checked_block", "checked_ci",
    "checked_reps", "checked_seed", "count_chunks", "optimal_block", "stationary_indices",
]

CI_OUT_OF_RANGE = "ci must be a confidence level between 0 and 1 (such as 0.95), got {ci!r}"
BLOCK_TOO_SHORT = "block must be a mean block length of at least 1 row, got {block!r}"

# Repetitions assembled at a time: a chunk of indices of 2,520 dates is a few MB, whatever reps.
_CHUNK_CELLS = 1 << 19


def checked_ci(ci: Any) -> float:
    """``ci`` as a float strictly between 0 and 1."""
    if isinstance(ci, (bool, np.bool_)) or not isinstance(ci, numbers.Real):
        raise TypeError(f"ci must be a real number, got {type(ci).__name__}")
    level = float(ci)
    if not 0.0 < level < 1.0:
        raise ValueError(CI_OUT_OF_RANGE.format(ci=ci))
    return level


def checked_reps(reps: Any) -> int:
    return count("reps", reps, 1)


def checked_seed(seed: Any) -> int:
    return count("seed", seed, 0)


def checked_block(block: Any) -> float | None:
    """``block`` as a float of at least 1, or None (the Politis-White length)."""
    if block is None:
        return None
    if isinstance(block, (bool, np.bool_)) or not isinstance(block, numbers.Real):
        raise TypeError(f"block must be a real number or None, got {type(block).__name__}")
    length = float(block)
    if not (math.isfinite(length) and length >= 1.0):
        raise ValueError(BLOCK_TOO_SHORT.format(block=block))
    return length


def arch_module(caller: str) -> Any:
    """``arch.bootstrap``, or the ImportError that names the extra."""
    return import_optional("arch.bootstrap", caller=caller)


def optimal_block(columns: np.ndarray, caller: str) -> float:
    """The stationary bootstrap's mean block length for the columns of a (dates x series) array:
    the median of Politis and White's estimate for each column, at least 1.

    The median keeps one odd series from setting the length for a whole sweep. A series without
    spread, or too short for the estimate (fewer than 8 values), has no estimate of its own; with
    none at all the block is 1 (the plain bootstrap).
    """
    bootstrap = arch_module(caller)
    n = columns.shape[0]
    spread = np.ptp(columns, axis=0) > 0 if n else np.zeros(columns.shape[1], dtype=bool)
    if n < 8 or not spread.any():
        return 1.0
    with np.errstate(divide="ignore", invalid="ignore"):
        lengths = bootstrap.optimal_block_length(columns[:, spread]).iloc[:, 0].to_numpy()
    lengths = lengths[np.isfinite(lengths)]
    return max(1.0, float(np.median(lengths))) if len(lengths) else 1.0


def stationary_indices(n: int, reps: int, block: float, rng: np.random.Generator) -> np.ndarray:
    """The next ``reps`` repetitions of the stationary bootstrap of ``n`` values, (reps x n).

    Per repetition the draws are those of arch's ``StationaryBootstrap.update_indices``: n block
    starts, then n uniforms; a uniform above 1 / block continues the block (the index after the
    previous one, wrapping to 0), any other starts a new block at its start. Each row is then
    the start of its latest block plus the distance to it, modulo n.
    """
    starts = np.empty((reps, n), dtype=np.int64)
    uniforms = np.empty((reps, n))
    for r in range(reps):
        starts[r] = rng.integers(n, size=n, dtype=np.int64)
        uniforms[r] = rng.random(n)
    position = np.arange(n, dtype=np.int64)
    new = uniforms <= 1.0 / block
    new[:, 0] = True
    latest = np.maximum.accumulate(np.where(new, position, 0), axis=1)
    indices: np.ndarray = (np.take_along_axis(starts, latest, axis=1) + (position - latest)) % n
    return indices


def count_chunks(
    n: int, reps: int, block: float, seed: int
) -> Iterator[tuple[np.ndarray, np.ndarray]]:
    """The repetitions of ``seed`` in chunks: (indices, counts), counts[r, t] the times row t is
    drawn in repetition r (float64, so a matrix product gives every column's resampled sum)."""
    rng = np.random.default_rng(seed)
    step = max(1, _CHUNK_CELLS // max(n, 1))
    for first in range(0, reps, step):
        m = min(step, reps - first)
        indices = stationary_indices(n, m, block, rng)
        flat = (indices + (np.arange(m, dtype=np.int64) * n)[:, None]).ravel()
        counts = np.bincount(flat, minlength=m * n).reshape(m, n).astype(np.float64)
        yield indices, counts
