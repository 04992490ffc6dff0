"""Per-trade excursion analysis (native). Its entry points are native-only."""

import types
from typing import Any

import numpy as np
import numpy.typing as npt

org_np: types.ModuleType
trades: list[list[Any]]
trade_positions: list[np.float64]
swaylen: list[npt.NDArray[np.float64]]
__native_api__: dict[str, Any]
