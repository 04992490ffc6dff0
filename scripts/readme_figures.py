"""The figures and printed output README.md shows, made by the code that CI runs.

``python scripts/readme_figures.py`` writes the pictures to ``docs/assets/readme/``. Each SVG
carries a digest of the numbers it was drawn from (in its description metadata), and
``tests/docs/test_readme.py`` recomputes those numbers and fails when the committed picture was
drawn from others: a picture in README can be stale only until the next test run.
"""

from __future__ import annotations

import hashlib
import sys
import warnings
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "docs" / "assets" / "readme"
DIGEST_KEY = "pelmora-data:"


def example_market() -> tuple[Any, Any, Any]:
    """The market, momentum weights and daily volume README's examples run on."""
    import pandas as pd

    from pelmora.datasets import synthetic_market
    from pelmora.strategies import momentum_weights

    market = synthetic_market(n_stocks=30, n_days=756, seed=7)
    weights = momentum_weights(market.close, lookback=60, top_n=6)
    rng = np.random.default_rng(7)
    volume = pd.DataFrame(rng.uniform(2e4, 2e5, market.close.shape), index=market.close.index,
                          columns=market.close.columns)
    return market, weights, volume


def capacity_table() -> Any:
    """The capacity curve of README: one run per capital, fills capped at 10 % of the volume."""
    import pelmora

    market, weights, volume = example_market()
    return pelmora.capacity(weights, market, capitals=[1e5, 1e6, 1e7, 3e7, 1e8], volume=volume,
                            max_participation=0.1, impact=0.5, rebalance="ME")


def digest(table: Any) -> str:
    """A digest of a table's numbers, rounded to 10 significant digits (a picture shows fewer)."""
    values = np.asarray(table.select_dtypes("number").to_numpy(dtype=np.float64))
    text = np.array2string(values, precision=10, floatmode="maxprec", threshold=10**9)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def write_figures(out: Path = OUT) -> dict[str, str]:
    """Draw README's pictures into ``out``; returns the digest of each."""
    import pelmora

    out.mkdir(parents=True, exist_ok=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        table = capacity_table()
    fig = pelmora.plot_capacity(table, figsize=(8.0, 6.0))
    code = digest(table)
    fig.savefig(out / "capacity.svg", format="svg",
                metadata={"Date": None, "Description": DIGEST_KEY + code})
    return {"capacity.svg": code}


if __name__ == "__main__":
    for name, code in write_figures().items():
        print(f"{OUT / name}: {code}")
    sys.exit(0)
