"""The run journal (native): backtest_'s run with the interpreter lock released."""

from typing import Any, Mapping, Sequence

import numpy as np
import numpy.typing as npt

REASONS: tuple[str, ...]
EXCURSION_FIELDS: tuple[str, ...]

def run(
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
    *,
    positions: bool = True,
    excursions: bool = True,
) -> dict[str, Any]: ...
def run_many(
    arrays: Mapping[str, Any],
    variants: Sequence[Mapping[str, Any]],
    *,
    threads: int | None = None,
    positions: bool = True,
    excursions: bool = True,
) -> list[dict[str, Any] | BaseException]: ...
