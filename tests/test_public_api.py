"""Every documented name is reachable where the documentation says, and the package face shows
nothing else."""

from __future__ import annotations

import importlib
import re
import types
from pathlib import Path

import pytest

import pelmora

README = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
DOCUMENTED = sorted(set(re.findall(r"\bpelmora(?:\.\w+)+", README + (pelmora.__doc__ or ""))))
# The README's API table names the result's attributes as `result.x` (or `.x` after the first).
RESULT_ATTRIBUTES = sorted({
    name
    for row in README.splitlines() if row.startswith("| `result.")
    for name in re.findall(r"`(?:result)?\.(\w+)", row.split("|")[1])
})
# The public names of each module before the package was laid out by purpose: old paths keep
# working.
PUBLIC = {
    "api": "OPTION_NAMES PRICE_FIELDS BacktestOptions EngineInputs backtest prepare_inputs "
           "rebalance_dates sweep",
    "calendars": "period_end_rows resolve_calendar",
    "datasets": "Market synthetic_market",
    "frames": "YAHOO_FIELDS as_pandas_inputs from_long price_mapping to_pandas_frame",
    "inputs": "ARRAY_NAMES ARRAY_OPTIONS PRICE_FIELDS EngineInputs check_equity engine_options "
              "prepare_inputs rebalance_dates",
    "options": "OPTION_NAMES BacktestOptions make_options",
    "plotting": "HEXBIN_THRESHOLD equity_figure excursion_figure plot_heatmap",
    "report": "ROLLING_WINDOW backtest_report sweep_report worst_drawdowns",
    "result": "EXCURSION_FIELDS REASONS BacktestResult RunRecord",
    "runner": "backtest",
    "selection": "PBO_METRICS EULER_GAMMA PBOResult deflated_sharpe_ratio effective_trials "
                 "expected_max_sharpe min_backtest_length min_track_record_length pbo "
                 "probabilistic_sharpe_ratio",
    "stats": "BENCHMARK_STAT_NAMES DAYS_PER_YEAR MONTH_NAMES STAT_NAMES VAR_LEVEL drawdown "
             "monthly_returns performance_stats",
    "strategies": "momentum_weights",
    "sweeps": "FINGERPRINT_COLUMN KEEP WEIGHTS_COLUMN read_sweep sweep",
    "walkforward": "WalkForwardResult walk_forward",
}


def _resolve(dotted: str) -> object:
    parts = dotted.split(".")
    obj: object = importlib.import_module(parts[0])
    for i, part in enumerate(parts[1:], start=2):
        try:
            obj = getattr(obj, part)
        except AttributeError:  # a submodule not imported yet (pelmora.core.journal)
            obj = importlib.import_module(".".join(parts[:i]))
    return obj


@pytest.mark.parametrize("dotted", DOCUMENTED + [f"pelmora.{n}" for n in pelmora.__all__])
def test_documented_name_resolves(dotted):
    assert _resolve(dotted) is not None


@pytest.mark.parametrize("module, names", sorted(PUBLIC.items()))
def test_public_names_keep_their_module(module, names):
    mod = importlib.import_module(f"pelmora.{module}")
    assert [n for n in [*names.split(), *mod.__all__] if not hasattr(mod, n)] == []


def test_result_attributes_of_the_readme_exist():
    from pelmora.result import BacktestResult

    assert len(RESULT_ATTRIBUTES) > 10  # the table was read
    assert [n for n in RESULT_ATTRIBUTES if not hasattr(BacktestResult, n)] == []


def test_dir_shows_the_api_only():
    shown = set(dir(pelmora))
    assert {"__version__", "core", "runvane", "swaylen", *pelmora.__all__} <= shown
    names = {n for n in shown if not (n.startswith("__") and n.endswith("__"))}
    documented = {d.split(".")[1] for d in DOCUMENTED} | set(pelmora.__all__)
    own_modules = {
        n for n in names
        if isinstance(getattr(pelmora, n), types.ModuleType)
        and getattr(pelmora, n).__name__ == f"pelmora.{n}"
    }
    # No helper of the face (typing names, importlib, the optional-import helper) and no private
    # module that importing a part of the package attaches to it.
    assert sorted(names - documented - own_modules) == []
    assert sorted(n for n in names if n.startswith("_")) == []
