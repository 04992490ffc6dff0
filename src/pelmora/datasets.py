"""Example data that needs no network: a synthetic stock market.

>>> from pelmora.datasets import synthetic_market
>>> market = synthetic_market(n_stocks=20, n_days=250, seed=3)
>>> sorted(market)
['close', 'high', 'low', 'open']
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    import pandas
    import pandas as pd
else:
    pd = import_optional("pandas", caller="pelmora.datasets")

__all__ = ["Market", "synthetic_market"]

TRADING_DAYS = 252


@dataclass(frozen=True, eq=False)
class Market(Mapping[str, "pandas.DataFrame"]):
    """Daily prices of a set of stocks: a mapping ``"open"``, ``"high"``, ``"low"``, ``"close"``.

    Pass it directly as ``prices`` to :func:`pelmora.backtest`.

    Attributes
    ----------
    open, high, low, close : pandas.DataFrame
        Prices, business days down and stock ids across; NaN while a stock is suspended and after
        it is delisted.
    delistings : pandas.Series
        The last trading date of every delisted stock (pass it as ``delistings``).
    """

    open: pandas.DataFrame
    high: pandas.DataFrame
    low: pandas.DataFrame
    close: pandas.DataFrame
    delistings: pandas.Series = field(repr=False)

    def __getitem__(self, key: str) -> pandas.DataFrame:
        if key not in ("open", "high", "low", "close"):
            raise KeyError(key)
        frame: pandas.DataFrame = getattr(self, key)
        return frame

    def __iter__(self) -> Iterator[str]:
        return iter(("open", "high", "low", "close"))

    def __len__(self) -> int:
        return 4

    def __repr__(self) -> str:
        days, stocks = self.close.shape
        return f"<Market {stocks} stocks x {days} days, {len(self.delistings)} delisted>"


def synthetic_market(
    n_stocks: int = 50,
    n_days: int = 756,
    seed: int | None = 0,
    *,
    start: Any = "2020-01-01",
    suspensions_per_year: float = 0.5,
    delisted_fraction: float = 0.05,
) -> Market:
    """A reproducible random market with drift, volatility, suspensions and delistings.

    Every stock follows a geometric random walk driven by a common market factor (its beta drawn
    from 0.5 to 1.5) and its own noise: annual drift drawn around 5 %, annual idiosyncratic
    volatility from 15 % to 45 %. Opens gap from the previous close, highs and lows bracket the open
    and close. Suspensions blank out runs of 1 to 10 days (all four prices NaN); a few stocks are
    delisted in the second half of the period (NaN after their last day).

    Parameters
    ----------
    n_stocks : int, default 50
        Number of stocks, named ``S000``, ``S001``, ...
    n_days : int, default 756
        Number of business days (756 is about three years).
    seed : int or None, default 0
        Seed of the random generator; the same seed gives the same market.
    start : date-like, default "2020-01-01"
        First business day.
    suspensions_per_year : float, default 0.5
        Mean number of suspensions per stock and year.
    delisted_fraction : float, default 0.05
        Share of the stocks that are delisted (at least one when it is above 0 and there are at
        least two stocks).

    Returns
    -------
    Market
        The four price frames and the delisting dates.

    Raises
    ------
    ValueError
        For a negative count or a fraction outside 0..1.
    """
    if n_stocks < 0 or n_days < 0:
        raise ValueError("n_stocks and n_days must be 0 or more")
    if not 0.0 <= delisted_fraction <= 1.0:
        raise ValueError("delisted_fraction must be between 0 and 1")
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(start=start, periods=n_days, name="date")
    width = max(3, len(str(max(n_stocks - 1, 0))))
    stocks = pd.Index([f"S{i:0{width}d}" for i in range(n_stocks)], name="stock")

    beta = rng.uniform(0.5, 1.5, n_stocks)
    drift = rng.normal(0.05, 0.10, n_stocks) / TRADING_DAYS
    vol = rng.uniform(0.15, 0.45, n_stocks) / np.sqrt(TRADING_DAYS)
    market = rng.normal(0.07 / TRADING_DAYS, 0.012, n_days)
    noise = rng.normal(0.0, 1.0, (n_days, n_stocks))
    log_ret = drift - 0.5 * vol**2 + beta * market[:, None] + vol * noise
    first = np.exp(rng.uniform(np.log(10.0), np.log(300.0), n_stocks))
    close = first * np.exp(np.cumsum(log_ret, axis=0))
    previous = np.vstack([first[None, :], close[:-1]]) if n_days else close
    gap = np.exp(rng.normal(0.0, 0.3, (n_days, n_stocks)) * vol)
    open_ = previous * gap
    reach = np.abs(rng.normal(0.0, 0.5, (2, n_days, n_stocks))) * vol
    high = np.maximum(open_, close) * np.exp(reach[0])
    low = np.minimum(open_, close) * np.exp(-reach[1])

    missing = np.zeros((n_days, n_stocks), dtype=bool)
    if n_days:
        counts = rng.poisson(suspensions_per_year * n_days / TRADING_DAYS, n_stocks)
        for j in range(n_stocks):
            for _ in range(counts[j]):
                begin = int(rng.integers(1, max(n_days, 2)))
                missing[begin : begin + int(rng.integers(1, 11)), j] = True

    delisted: dict[str, Any] = {}
    n_delisted = int(round(delisted_fraction * n_stocks))
    if delisted_fraction > 0 and n_stocks >= 2:
        n_delisted = max(n_delisted, 1)
    if n_days >= 4 and n_delisted:
        for j in np.sort(rng.choice(n_stocks, n_delisted, replace=False)):
            last = int(rng.integers(n_days // 2, n_days - 1))
            missing[last + 1 :, j] = True
            missing[last, j] = False  # trades on its last day
            delisted[stocks[j]] = dates[last]

    def frame(values: np.ndarray) -> pandas.DataFrame:
        values = np.where(missing, np.nan, values)
        return pd.DataFrame(values, index=dates, columns=stocks, copy=False)

    return Market(
        open=frame(open_),
        high=frame(high),
        low=frame(low),
        close=frame(close),
        delistings=pd.Series(delisted, dtype="datetime64[ns]", name="last_date").rename_axis(
            "stock"
        ),
    )
