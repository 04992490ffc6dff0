"""pelmora: portfolio backtesting with a native engine and per-trade excursion analysis.

The native core (:mod:`pelmora.core.runvane`, :mod:`pelmora.core.swaylen`) needs only NumPy. The
user-facing layer on top of it is loaded on first use, so that ``import pelmora`` never pulls in
pandas, matplotlib or dask:

- :func:`pelmora.backtest` and :class:`pelmora.BacktestResult` (extra ``pandas``),
- :meth:`BacktestResult.plot <pelmora.result.BacktestResult.plot>` (extra ``plot``),
- :func:`pelmora.sweep` and :func:`pelmora.read_sweep` (extra ``sweep``),
- polars and pyarrow tables as inputs, and :func:`pelmora.from_long` (extra ``polars``),
- rebalancing by an exchange calendar, ``calendar="XNYS"`` (extra ``calendar``),
- :mod:`pelmora.datasets` and :mod:`pelmora.strategies` (extra ``pandas``).

The statistics of selecting among many trials, :mod:`pelmora.selection` (:func:`pelmora.deflated_sharpe_ratio`,
:func:`pelmora.pbo`, ...) need only NumPy. The bootstrap tests over a sweep and the intervals of the
statistics (:func:`pelmora.reality_check`, ``result.stats(ci=0.95)``) need the extra ``inference``
(arch), as do the Holm and BHY haircuts and :func:`pelmora.false_discoveries` (SciPy).
"""

# The face holds only the API: what it needs for itself is imported under private names, so that
# dir(pelmora) and tab completion show nothing else.
import typing as _typing
from importlib import import_module as _import_module

from pelmora._version import __version__
from pelmora.core import runvane, swaylen

if _typing.TYPE_CHECKING:  # pragma: no cover - names for type checkers only
    from pelmora import (
        api, calendars, datasets, frames, inputs, options, plotting, report, result, runner,
        selection, signals, stats, strategies, sweeps, walkforward,
    )
    from pelmora.inputs.frames import from_long
    from pelmora.inputs.options import BacktestOptions
    from pelmora.research._overfitting import overfitting
    from pelmora.research._capacity import capacity
    from pelmora.statistics._haircut import false_discoveries, haircut_sharpe
    from pelmora.statistics._reality import reality_check
    from pelmora.statistics.selection import (
        PBOResult, deflated_sharpe_ratio, effective_trials, expected_max_sharpe, min_backtest_length,
        min_track_record_length, pbo, probabilistic_sharpe_ratio,
    )
    # Names outside __all__ are re-exported explicitly ("as"), for checkers that require it.
    from pelmora.results.result import BacktestResult as BacktestResult
    from pelmora.engine.runner import backtest
    from pelmora.plotting import plot_capacity as plot_capacity, plot_heatmap as plot_heatmap
    from pelmora.report import sweep_report as sweep_report
    from pelmora.research.sweeps import read_sweep, sweep
    from pelmora.research.walkforward import walk_forward
    from pelmora.inputs.signals import weights_from_signals
    from pelmora.statistics._compare import compare
    from pelmora.statistics._tearsheet import tearsheet
    from pelmora.statistics.performance import performance_stats

# Only names that import without the optional dependencies, so that ``from pelmora import *``
# works everywhere; BacktestResult and the submodules are reached as attributes.
__all__ = [
    "BacktestOptions", "PBOResult", "backtest", "capacity", "compare", "deflated_sharpe_ratio",
    "effective_trials",
    "expected_max_sharpe", "false_discoveries", "from_long", "haircut_sharpe",
    "min_backtest_length", "min_track_record_length", "overfitting", "pbo", "performance_stats",
    "probabilistic_sharpe_ratio", "read_sweep", "reality_check", "runvane", "sweep", "swaylen",
    "tearsheet", "walk_forward", "weights_from_signals",
]

_LAZY_FUNCTIONS = {
    "backtest": "pelmora.engine.runner",
    "sweep": "pelmora.research.sweeps",
    "read_sweep": "pelmora.research.sweeps",
    "BacktestOptions": "pelmora.inputs.options",
    "BacktestResult": "pelmora.results.result",
    "walk_forward": "pelmora.research.walkforward",
    "plot_heatmap": "pelmora.plotting",
    "plot_capacity": "pelmora.plotting",
    "capacity": "pelmora.research._capacity",
    "sweep_report": "pelmora.report",
    "PBOResult": "pelmora.statistics.selection",
    "deflated_sharpe_ratio": "pelmora.statistics.selection",
    "effective_trials": "pelmora.statistics.selection",
    "expected_max_sharpe": "pelmora.statistics.selection",
    "min_backtest_length": "pelmora.statistics.selection",
    "min_track_record_length": "pelmora.statistics.selection",
    "pbo": "pelmora.statistics.selection",
    "overfitting": "pelmora.research._overfitting",
    "reality_check": "pelmora.statistics._reality",
    "haircut_sharpe": "pelmora.statistics._haircut",
    "false_discoveries": "pelmora.statistics._haircut",
    "probabilistic_sharpe_ratio": "pelmora.statistics.selection",
    "from_long": "pelmora.inputs.frames",
    "weights_from_signals": "pelmora.inputs.signals",
    "compare": "pelmora.statistics._compare",
    "tearsheet": "pelmora.statistics._tearsheet",
    "performance_stats": "pelmora.statistics.performance",
}
_LAZY_MODULES = {
    "api", "calendars", "datasets", "frames", "inputs", "options", "plotting", "report", "result",
    "runner", "schedule", "selection", "signals", "stats", "strategies", "sweeps", "walkforward",
}


def __getattr__(name: str) -> _typing.Any:
    # Loaded on first access so that the optional dependencies stay optional.
    if name in _LAZY_FUNCTIONS:
        value = getattr(_import_module(_LAZY_FUNCTIONS[name]), name)
        globals()[name] = value
        return value
    if name in _LAZY_MODULES:
        return _import_module(f"pelmora.{name}")
    raise AttributeError(f"module 'pelmora' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The API and the module's own dunders; not the private helpers above, nor the private
    # modules that importing the package's parts attaches to it.
    public = {*__all__, *_LAZY_FUNCTIONS, *_LAZY_MODULES, "core"}
    return sorted(public | {n for n in globals() if n.startswith("__") and n.endswith("__")})
