"""Returns matrices, dates down and trials across, as :mod:`pelmora.selection` reads them.

One check for :func:`pelmora.pbo` and :func:`pelmora.effective_trials` (NaN, infinities and
wipe-outs named by date and trial), and the exact rescaling that keeps their figures free of the
returns' scale.
"""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["power_of_two", "returns_matrix"]


def returns_matrix(returns: Any, *, metric: str | None = None) -> np.ndarray:
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


def power_of_two(scale: np.ndarray) -> np.ndarray:
    """The exponent e with ``scale / 2**e`` in [0.5, 1) (0 for a scale of 0): dividing by a power
    of two is exact, so the rescaled metrics are those of the returns as given."""
    return np.frexp(scale)[1]
