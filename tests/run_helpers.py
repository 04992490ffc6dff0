"""Small builders of backtest_'s eleven input arrays, for the run tests.

A test describes a market by its trade prices (rows x stocks, lists are fine)
and optionally its close/high/low/open prices; everything it leaves out gets a
plain default: the other price matrices equal the trade prices, dates count
0, 1, 2, ..., stock names are "S0", "S1", ..., the position table has the same
columns as the price table, and each position row is also a rebalance date.
"""

from __future__ import annotations

from dataclasses import dataclass, replace

import numpy as np

from pelmora.core import runvane, swaylen


def f64(rows) -> np.ndarray:
    """A 2-D float64 matrix from nested lists (a flat list is one column)."""
    a = np.array(rows, dtype=np.float64)
    if a.ndim == 1:
        a = a.reshape(-1, 1)
    return a


def i64(values) -> np.ndarray:
    return np.array(values, dtype=np.int64).reshape(-1)


def names(n: int, prefix: str = "S") -> np.ndarray:
    return np.array([f"{prefix}{i}" for i in range(n)], dtype=object)


def objs(values) -> np.ndarray:
    a = np.empty(len(values), dtype=object)
    a[:] = list(values)
    return a


@dataclass
class Inputs:
    price_values: np.ndarray
    close_values: np.ndarray
    high_values: np.ndarray
    low_values: np.ndarray
    open_values: np.ndarray
    price_index: np.ndarray
    price_columns: np.ndarray
    pos_values: np.ndarray
    pos_index: np.ndarray
    pos_columns: np.ndarray
    resample: np.ndarray

    def args(self) -> tuple:
        return (self.price_values, self.close_values, self.high_values, self.low_values,
                self.open_values, self.price_index, self.price_columns, self.pos_values,
                self.pos_index, self.pos_columns, self.resample)

    def kwargs(self) -> dict:
        return dict(zip(ARRAY_NAMES, self.args()))

    def with_(self, **changes) -> "Inputs":
        return replace(self, **changes)

    def run(self, **options) -> np.ndarray:
        """backtest_ with these arrays; fee and tax are 0 unless given."""
        options.setdefault("fee_ratio", 0.0)
        options.setdefault("tax_ratio", 0.0)
        return runvane.backtest_(*self.args(), **options)


ARRAY_NAMES = ("price_values", "close_values", "high_values", "low_values", "open_values",
               "price_index", "price_columns", "pos_values", "pos_index", "pos_columns",
               "resample")


def build(price, weights, *, close=None, high=None, low=None, open=None, price_index=None,
          price_columns=None, pos_index=None, pos_columns=None, resample=None) -> Inputs:
    """The eleven arrays of one run.

    `weights` is one row per position date (a flat list is one row); prices
    are rows x stocks (a flat list is one stock). `pos_index` defaults to the first
    len(weights) price dates, `resample` to `pos_index`.
    """
    price = f64(price)
    n_rows, n_cols = price.shape
    close = price.copy() if close is None else f64(close)
    high = price.copy() if high is None else f64(high)
    low = price.copy() if low is None else f64(low)
    open = price.copy() if open is None else f64(open)
    price_index = np.arange(n_rows, dtype=np.int64) if price_index is None else i64(price_index)
    price_columns = names(n_cols) if price_columns is None else objs(price_columns)
    pos_values = np.array(weights, dtype=np.float64)
    if pos_values.ndim == 1:  # a flat list is a single position row
        pos_values = pos_values.reshape(1, -1)
    pos_index = price_index[: pos_values.shape[0]].copy() if pos_index is None else i64(pos_index)
    pos_columns = price_columns.copy() if pos_columns is None else objs(pos_columns)
    resample = pos_index.copy() if resample is None else i64(resample)
    return Inputs(price, close, high, low, open, price_index, price_columns, pos_values,
                  pos_index, pos_columns, resample)


def trade_lists() -> tuple[list, list, list]:
    """Copies of the excursion module's three lists as the last run left them."""
    return list(swaylen.trades), list(swaylen.trade_positions), list(swaylen.swaylen)


def trade_records() -> list[list[int]]:
    """The trade records as plain ints: [sid, entry row, exit row]."""
    return [[int(x) for x in t] for t in swaylen.trades]


def operations() -> dict:
    return runvane.get_stock_operations()
