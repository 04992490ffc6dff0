"""The user-facing entry points in one place: :func:`backtest`, :func:`sweep`, :func:`prepare_inputs`.

They live in modules by purpose (:mod:`pelmora.options`, :mod:`pelmora.inputs`,
:mod:`pelmora.schedule`, :mod:`pelmora.runner`, :mod:`pelmora.sweeps`); this module gathers them
under their long-standing names.
"""

from __future__ import annotations

from pelmora.inputs._prepare import PRICE_FIELDS, EngineInputs, prepare_inputs
from pelmora.inputs.options import OPTION_NAMES, BacktestOptions
from pelmora.engine.runner import backtest
from pelmora.inputs.schedule import rebalance_dates
from pelmora.research.sweeps import sweep

__all__ = [
    "OPTION_NAMES",
    "PRICE_FIELDS",
    "BacktestOptions",
    "EngineInputs",
    "backtest",
    "prepare_inputs",
    "rebalance_dates",
    "sweep",
]
