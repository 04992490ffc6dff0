"""Markets and weights the tests of the user layer share.

One builder of random open/high/low/close markets (``ohlc_market``) and one of random weights
(``random_weights``), with the two markets most tests run on built from them: the 40-day market of
four stocks (``make_market``, ``make_weights``) and the 60-day market with suspensions
(``suspended_market``, ``suspended_weights``); the flat 8-day market whose cells the refusal
tests change one at a time (``flat_market``). Tests that assert exact figures keep their own
hand-written data; ``one_stock_run`` runs such a few-row path. ``sweep_table`` is a sweep's table
with one failed run, for the views; ``returns_table`` one built from given daily returns, which it
keeps as keep="returns" does.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

import pelmora
from pelmora.stats import STAT_NAMES, performance_stats


def ohlc_market(seed, dates, stocks, *, start: float = 50.0, vol: float = 0.03,
                open_noise: float = 0.01, spread: float = 0.03, random_spread: bool = True,
                suspended: float = 0.0, gaps: float | None = None) -> dict[str, pd.DataFrame]:
    """Open, high, low and close frames of a random walk from ``start``.

    ``seed`` is a seed or a Generator (drawn on, so that a caller can go on drawing from it). The
    draws come in a fixed order, so that a market keeps its numbers whatever the caller asks for:
    the closes; the suspended closes (``suspended`` > 0: blanks the close, and with it the open,
    before the open is drawn); the opens; the high and low spreads (``random_spread``: a uniform
    fraction up to ``spread`` each, else ``spread`` itself); the gaps (``gaps`` not None: a
    suspension drawn last, blanking all four prices of the day).
    """
    rng = np.random.default_rng(seed)
    shape = (len(dates), len(stocks))
    close = start * np.exp(np.cumsum(rng.normal(0, vol, shape), axis=0))
    if suspended:
        close[rng.uniform(size=shape) < suspended] = np.nan
    open_ = close * np.exp(rng.normal(0, open_noise, shape))
    if random_spread:
        high = np.fmax(open_, close) * (1 + rng.uniform(0, spread, shape))
        low = np.fmin(open_, close) * (1 - rng.uniform(0, spread, shape))
    else:
        high, low = np.fmax(open_, close) * (1 + spread), np.fmin(open_, close) * (1 - spread)
    arrays = {"open": open_, "high": high, "low": low, "close": close}
    if gaps is not None:
        blank = rng.uniform(size=shape) < gaps
        for values in arrays.values():
            values[blank] = np.nan
    return {k: pd.DataFrame(v, index=dates, columns=list(stocks), copy=False)
            for k, v in arrays.items()}


def random_weights(seed, dates, stocks, low: float = -0.2, high: float = 0.6,
                   zeros: float = 0.3) -> pd.DataFrame:
    """Uniform weights from ``low`` to ``high``, a fraction ``zeros`` of them set to 0."""
    rng = np.random.default_rng(seed)
    w = rng.uniform(low, high, (len(dates), len(stocks)))
    w[rng.uniform(size=w.shape) < zeros] = 0.0
    return pd.DataFrame(w, index=dates, columns=list(stocks))


# The 40-day market of four stocks.
DATES = pd.bdate_range("2024-01-01", periods=40)
STOCKS = ["AAA", "BBB", "CCC", "DDD"]


def make_market(seed: int = 0, n_days: int = 40, stocks: list = STOCKS) -> dict[str, pd.DataFrame]:
    return ohlc_market(seed, pd.bdate_range("2024-01-01", periods=n_days), stocks)


def make_weights(dates: pd.DatetimeIndex, stocks: list = STOCKS, seed: int = 1) -> pd.DataFrame:
    return random_weights(seed, dates, stocks)


# The 60-day market of five stocks, 5 % of its days suspended.
SUSPENDED_DATES = pd.bdate_range("2024-01-01", periods=60)


def suspended_market(seed: int,
                     stocks=("AAA", "BBB", "CCC", "DDD", "EEE")) -> dict[str, pd.DataFrame]:
    return ohlc_market(seed, SUSPENDED_DATES, stocks, start=30.0, suspended=0.05, spread=0.02,
                       random_spread=False)


def suspended_weights(seed: int, columns, every: int = 6) -> pd.DataFrame:
    return random_weights(seed, SUSPENDED_DATES[::every], columns, low=-0.3)


# The flat 8-day market: A at 10, B at 20, highs and lows 1 % away.
FLAT_DATES = pd.bdate_range("2024-01-01", periods=8)
FLAT_WEIGHTS = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=FLAT_DATES[:1])


def flat_market(**cells) -> dict[str, pd.DataFrame]:
    """The flat market, with ``field=(row, column, value)`` cells changed."""
    close = pd.DataFrame({"A": 10.0, "B": 20.0}, index=FLAT_DATES)
    frames = {"open": close.copy(), "high": close * 1.01, "low": close * 0.99, "close": close}
    for name, (row, col, value) in cells.items():
        frames[name].iloc[row, col] = value
    return frames


def with_index(frame, index):
    return frame.set_axis(index, axis=0)


def with_cell(frame: pd.DataFrame, row: int, column: int, value: float) -> pd.DataFrame:
    """A copy of ``frame`` with one cell changed."""
    frame = frame.copy()
    frame.iloc[row, column] = value
    return frame


def one_stock_run(prices: dict[str, list[float]], weights: dict[str, float], **options):
    """A run on a few hand-written price paths, weights set once on the first day, no costs."""
    dates = pd.bdate_range("2024-01-01", periods=len(next(iter(prices.values()))))
    close = pd.DataFrame(prices, index=dates, dtype=np.float64)
    w = pd.DataFrame(weights, index=dates[:1])
    return pelmora.backtest(w, close, fee=0.0, tax=0.0, **options)


def sweep_table() -> pd.DataFrame:
    """A sweep's table over three options, every statistic 0.1 but a random Sharpe ratio, the
    fourth run failed."""
    rng = np.random.default_rng(5)
    rows = [
        {"stop_loss": sl, "rebalance": rb, "fee": fee, **dict.fromkeys(STAT_NAMES, 0.1),
         "sharpe": float(rng.normal(0.5, 0.5)), "error": None}
        for sl in (None, 0.05, 0.1) for rb in ("W-FRI", "ME") for fee in (0.0, 0.001)
    ]
    table = pd.DataFrame(rows)
    table.loc[3, STAT_NAMES] = np.nan
    table.loc[3, "error"] = "ValueError: <bad> stop"
    return table


def returns_table(values, starts=None) -> pd.DataFrame:
    """A sweep's table of the daily returns ``values`` (dates x trials): each column's statistics
    over its window, from its row in ``starts`` (0 for all by default; the rows before earn 0),
    a "trial" column, and the returns in ``attrs["returns"]`` as ``keep="returns"`` keeps them."""
    dates = pd.bdate_range("2017-01-02", periods=len(values))
    frame = pd.DataFrame(np.array(values, dtype=float), index=dates)
    rows = []
    for j in frame.columns:
        start = 0 if starts is None else int(starts[j])
        frame.iloc[:start, j] = 0.0
        equity = pd.Series(np.cumprod(1 + frame.iloc[start:, j].to_numpy()), dates[start:])
        rows.append({"trial": j, **performance_stats(equity), "error": None})
    table = pd.DataFrame(rows)
    table.attrs["returns"] = frame
    return table
