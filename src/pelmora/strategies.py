"""Example strategies that turn prices into target weights for :func:`pelmora.backtest`."""

from __future__ import annotations

from typing import TYPE_CHECKING

from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["momentum_weights"]


def momentum_weights(
    close: pd.DataFrame,
    lookback: int = 60,
    top_n: int = 10,
    *,
    min_return: float | None = None,
) -> pd.DataFrame:
    """Hold the ``top_n`` stocks with the highest trailing return, in equal weights.

    Parameters
    ----------
    close : pandas.DataFrame
        Close prices, dates down and stock ids across (NaN while not traded).
    lookback : int, default 60
        Trailing window in rows: the return is ``close / close.shift(lookback) - 1``.
    top_n : int, default 10
        Number of stocks held.
    min_return : float, optional
        Only stocks whose trailing return exceeds this are candidates.

    Returns
    -------
    pandas.DataFrame
        Boolean frame like ``close``: True for the stocks to hold on each date (a stock without a
        price on the date, or without one ``lookback`` rows earlier, is never chosen).
        :func:`pelmora.backtest` gives the True cells of a row equal weights.

    Raises
    ------
    ValueError
        If ``lookback`` or ``top_n`` is below 1.
    """
    import_optional("pandas", caller="pelmora.strategies")
    if lookback < 1 or top_n < 1:
        raise ValueError("lookback and top_n must be at least 1")
    momentum = close / close.shift(lookback) - 1.0
    if min_return is not None:
        momentum = momentum.where(momentum > min_return)
    rank = momentum.rank(axis=1, ascending=False, method="first")
    return (rank <= top_n) & close.notna()
