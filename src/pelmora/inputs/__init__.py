"""Inputs: from the tables users hold to the checked, aligned arrays the engine reads.

The names of this package (:func:`prepare_inputs`, :class:`EngineInputs`, ...) are those of the
last step, ``_prepare``: it checks and aligns everything a run needs and hands it over in the
engine's vocabulary. The steps before it:

- :mod:`~pelmora.inputs.frames` turns yfinance frames, polars and pyarrow tables (``_arrow``) and
  long tables into pandas frames;
- ``_prices``, ``_weights`` and ``_volume`` check and align the price frames, the weights and the
  volume; ``_layout`` lays the prices out for the engine, ``_lots`` holds the lots' rule and
  ``_dates`` turns dates into rows and back;
- :mod:`~pelmora.inputs.options` describes every option once (their texts in ``_options_doc``,
  read access by name in ``_fields``);
- :mod:`~pelmora.inputs.schedule` holds every rule of when the book moves;
- :mod:`~pelmora.inputs.signals` turns entry and exit signals into target weights.

The last step is loaded when one of its names is first used: it imports the options and the
engine's vocabulary, which import modules of this package in turn, so importing any module of the
package runs nothing here.
"""

from importlib import import_module as _import_module
from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import Any as _Any

if _TYPE_CHECKING:  # pragma: no cover - names for type checkers only
    from pelmora.inputs._prepare import (
        ARRAY_NAMES as ARRAY_NAMES,
        ARRAY_OPTIONS as ARRAY_OPTIONS,
        PRICE_FIELDS as PRICE_FIELDS,
        EngineInputs as EngineInputs,
        check_equity as check_equity,
        engine_options as engine_options,
        lot_sizes as lot_sizes,
        prepare_inputs as prepare_inputs,
        rebalance_dates as rebalance_dates,
    )

__all__ = [
    "ARRAY_NAMES", "ARRAY_OPTIONS", "PRICE_FIELDS", "EngineInputs", "check_equity",
    "engine_options", "lot_sizes", "prepare_inputs", "rebalance_dates",
]


def __getattr__(name: str) -> _Any:
    if name in __all__:
        value = getattr(_import_module("pelmora.inputs._prepare"), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'pelmora.inputs' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
