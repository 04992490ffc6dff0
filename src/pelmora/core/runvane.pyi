"""Backtest engine (native)."""

import datetime as _datetime
import types
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

_M = TypeVar("_M")

org_np: types.ModuleType
swaylen: types.ModuleType
datetime: types.ModuleType
RETAIN_COST_WHEN_REBALANCE: bool
"""False, as the engine's interface has always exposed it; a run takes
``retain_cost_when_rebalance`` as its argument and never reads this attribute."""
RESAMPLE: bool | None
"""None, as the engine's interface has always exposed it; a run takes ``resample`` (its rebalance
dates) as its argument and never reads this attribute."""

def backtest_(
    price_values: npt.NDArray[np.float64],
    close_values: npt.NDArray[np.float64],
    high_values: npt.NDArray[np.float64],
    low_values: npt.NDArray[np.float64],
    open_values: npt.NDArray[np.float64],
    price_index: npt.NDArray[np.int64],
    price_columns: npt.NDArray[np.object_],
    pos_values: npt.NDArray[np.float64],
    pos_index: npt.NDArray[np.int64],
    pos_columns: npt.NDArray[np.object_],
    resample: npt.NDArray[np.int64],
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float = 1.0,
    take_profit: float = ...,
    trail_stop: float = ...,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: Any = True,
    swaylen_window: int = 0,
    swaylen_window_step: int = 1,
    periodically_rebalance: bool = True,
    delisting_bars: npt.NDArray[np.int64] | None = None,
) -> npt.NDArray[np.float64]: ...
def normalize_weight(weights: _M, position_limit: float) -> _M: ...
def get_stock_operations() -> dict[str, Any]: ...
def get_trade_stocks(
    pos_columns: npt.NDArray[np.object_], price_index: npt.NDArray[np.int64], touched_exit: Any
) -> tuple[list[list[Any]], dict[str, Any]]: ...
def ioft(v: float) -> _datetime.datetime: ...
