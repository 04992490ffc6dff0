"""The figures :func:`pelmora.overfitting` adds from the tests over a sweep, and the one sentence
that reads all of them together.

The reality check and the false discovery rate need the extra ``inference`` (arch, SciPy);
without it their figures are NaN, with one warning that says what to install, so a sweep's report
still has everything else.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
from typing import Any

import numpy as np

from pelmora.statistics._haircut import false_discoveries, haircut_sharpe
from pelmora.statistics._reality import reality_check

__all__ = ["INFERENCE_MISSING", "SIZE", "inference_figures", "verdict"]

SIZE = 0.05
"""The size of the tests :func:`pelmora.overfitting` runs (SPA, StepM, the false discovery rate)."""
INFERENCE_MISSING = (
    "pelmora.overfitting: spa_pvalue, stepm_survivors and fdr_survivors need arch and SciPy "
    "(pip install 'pelmora[inference]'); they are NaN"
)


def inference_figures(
    table: Any, n_trials: int, best_sharpe: float, n_obs: int, n_effective: int, reps: int,
    seed: int,
) -> tuple[dict[str, Any], dict[str, Any]]:
    """spa_pvalue, stepm_survivors, fdr_survivors and haircut_sharpe (annualised, Bonferroni
    over the effective trials), and the tables behind them for the report (attrs)."""
    out: dict[str, Any] = dict.fromkeys(
        ("spa_pvalue", "stepm_survivors", "fdr_survivors", "haircut_sharpe"), math.nan)
    attrs: dict[str, Any] = {"reality_check": None, "false_discoveries": None}
    if math.isfinite(best_sharpe) and n_obs >= 1 and n_effective >= 1:
        cut = haircut_sharpe(best_sharpe, n_obs=n_obs, n_trials=n_effective)
        out["haircut_sharpe"] = float(cut["haircut_sharpe"])
    try:
        if n_trials and len(table.attrs["returns"]) >= 2:
            tests = attrs["reality_check"] = reality_check(
                table, reps=reps, seed=seed, size=SIZE, progress=False)
            out["spa_pvalue"], out["stepm_survivors"] = tests["spa_pvalue"], len(tests["stepm"])
        found = attrs["false_discoveries"] = false_discoveries(table, q=SIZE)
        out["fdr_survivors"] = int(found["survives"].sum())
    except ImportError:
        warnings.warn(INFERENCE_MISSING, UserWarning, stacklevel=3)
    return out, attrs


def _share(kept: float) -> str:
    if kept < 0.05:
        return "little or none of it"
    if kept >= 0.95:
        return "most of it"
    tenths = round(kept * 10)
    return "about half of it" if tenths == 5 else f"about {tenths * 10} % of it"


def verdict(figures: Mapping[str, Any]) -> str:
    """One sentence reading the best row's figures together: does it beat zero after the search
    (SPA), what is left of its Sharpe ratio after the haircut, and what PBO says."""
    n = int(figures["n_trials"])
    daily = float(figures["best_sharpe"])
    if not n or not math.isfinite(daily):
        return "No row has a Sharpe ratio to judge."
    annual = daily * math.sqrt(252)
    spa, stepm = float(figures["spa_pvalue"]), figures["stepm_survivors"]
    cut, pbo = float(figures["haircut_sharpe"]), float(figures["pbo"])
    searched = f"{n:,} trial{'s' if n != 1 else ''}"
    if math.isfinite(spa):
        rows = "" if _missing(stepm) else f", {int(stepm)} row{'s' if stepm != 1 else ''} by StepM"
        beats = spa <= SIZE
        first = (f"the best row beats zero after searching {searched} (SPA p = {spa:.3f}{rows})"
                 if beats else
                 f"the best row does not beat zero once its {searched} are counted (SPA p = "
                 f"{spa:.3f}{rows})")
    else:
        beats = annual > 0
        first = f"the best of {searched} has an annualised Sharpe ratio of {annual:.2f}"
    if annual <= 0:
        return _capital(f"{first}; its Sharpe ratio of {annual:.2f} is not above zero, so there "
                        "is nothing to expect out of sample.")
    kept = max(0.0, cut / annual) if math.isfinite(cut) else math.nan
    warned = (math.isfinite(kept) and kept <= 0.5) or (math.isfinite(pbo) and pbo >= 0.5)
    joiner = "but" if beats == warned else "and"
    details = []
    if math.isfinite(cut):
        details.append(f"its haircut Sharpe ratio is {cut:.2f} (of {annual:.2f})")
    if math.isfinite(pbo):
        details.append(f"PBO is {pbo:.2f}")
    if not details:
        return _capital(f"{first}.")
    tail = f": expect {_share(kept)} out of sample" if math.isfinite(kept) else ""
    return _capital(f"{first}, {joiner} {' and '.join(details)}{tail}.")


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value)) or (
        isinstance(value, np.floating) and bool(np.isnan(value)))


def _capital(text: str) -> str:
    return text[:1].upper() + text[1:]
