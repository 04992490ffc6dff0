"""Per-trade excursion analysis (native). Its entry points are native-only."""

import types
from typing import Any

import numpy as np
import numpy.typing as npt

org_np: types.ModuleType
trades: list[list[Any]]
"""The last run's trades: one ``[sid, entry_row, exit_row]`` each (exit row -1 while open)."""
trade_positions: list[np.float64]
"""The last run's weight of each trade at its entry, in the order of ``trades``."""
swaylen: list[npt.NDArray[np.float64]]
"""The last run's excursion array of each trade: blocks of six values (MAE, MFE, MFE before the
MAE, drawdown, rows in profit, return) sampled every ``swaylen_window_step`` rows over the
window, then the same six at the exit."""
__native_api__: dict[str, Any]
