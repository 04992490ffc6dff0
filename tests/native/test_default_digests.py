"""Every output of the benchmark workloads at their default options, bit for bit what it was.

README promises that a run at default options stays bit for bit what it was, change after change
(`benchmarks/digests.py` shows it on the full workloads). This file holds that promise to a
committed baseline, `default_digests.json`: the SHA-256 of each output of `backtest_` (the
equity, the trade records, the excursion arrays, the next-period report) and of `journal.run`
with every output on, on W1 (closes and intraday stops), W2 and W3 of
`benchmarks/workloads.py`, made smaller but past every size at which the engine changes its
path: W1 and W2 above the cells that start the journal's helper thread, W3 above the rows that
walk excursions ahead on a thread of their own.

A digest that changes is a change of a default run's numbers. Make it only on purpose, say so
in the commit, and write the new baseline with ``python tests/native/test_default_digests.py``.
An output that is new has no digest yet and is not compared.
"""

from __future__ import annotations

import hashlib
import json
import sys
from pathlib import Path
from typing import Any

import numpy as np
import pytest

from pelmora.core import journal, runvane, swaylen

_BENCHMARKS = Path(__file__).resolve().parents[2] / "benchmarks"
BASELINE = Path(__file__).with_name("default_digests.json")

if str(_BENCHMARKS) not in sys.path:
    sys.path.insert(0, str(_BENCHMARKS))
workloads = pytest.importorskip("workloads", reason="benchmarks/workloads.py is not here")

# 1000 x 400 and 600 x 500 are above the journal's 2**18 cells for a helper thread; 140,000 rows
# are above the 2**17 from which backtest_ walks excursions ahead.
WORKLOADS = {
    "w1_close": lambda: workloads.w1(False, n_rows=1000, n_stocks=400),
    "w1_touched": lambda: workloads.w1(True, n_rows=1000, n_stocks=400),
    "w2": lambda: workloads.w2(n_rows=600, n_stocks=500),
    "w3": lambda: workloads.w3(n_rows=140_000, n_stocks=8),
}

CHANGED = (
    "{workload}: {names} changed. A run at default options must stay bit for bit what it was; "
    "if this change is deliberate, note it in the commit and write the new baseline with "
    "`python tests/native/test_default_digests.py`."
)


def _digest(value: Any) -> str:
    h = hashlib.sha256()

    def feed(v: Any) -> None:
        if isinstance(v, np.ndarray):
            h.update(str((v.dtype.str, v.shape)).encode())
            if v.dtype == object:
                h.update(repr(v.tolist()).encode())
            else:
                h.update(np.ascontiguousarray(v).tobytes())
        elif isinstance(v, dict):
            for k in sorted(v, key=str):
                h.update(repr(k).encode())
                feed(v[k])
        elif isinstance(v, (list, tuple)):
            h.update(f"{type(v).__name__}:{len(v)}".encode())
            for item in v:
                feed(item)
        else:
            h.update(repr(v).encode())

    feed(value)
    return h.hexdigest()[:24]


def digests(name: str) -> dict[str, str]:
    """The digest of every output of workload ``name``, one per array or table column."""
    work = WORKLOADS[name]()
    out = {
        "backtest_ creturn": _digest(work.run(runvane.backtest_)),
        "backtest_ trades": _digest([list(map(int, t)) for t in swaylen.trades]),
        "backtest_ trade_positions": _digest([float(p) for p in swaylen.trade_positions]),
        "backtest_ swaylen": _digest([np.asarray(a) for a in swaylen.swaylen]),
        "backtest_ operations": _digest(runvane.get_stock_operations()),
    }
    record = work.run(journal.run)
    for key in sorted(record):
        value = record[key]
        if isinstance(value, dict) and all(isinstance(v, np.ndarray) for v in value.values()):
            for column in sorted(value):  # a new column leaves the other columns' digests
                out[f"journal {key}.{column}"] = _digest(value[column])
        else:
            out[f"journal {key}"] = _digest(value)
    return out


@pytest.mark.parametrize("name", sorted(WORKLOADS))
def test_every_output_of_a_default_run_is_what_it_was(name):
    expected = json.loads(BASELINE.read_text())[name]
    got = digests(name)
    changed = sorted(k for k in expected if got.get(k) != expected[k])
    assert not changed, CHANGED.format(workload=name, names=", ".join(changed))


if __name__ == "__main__":
    BASELINE.write_text(json.dumps({n: digests(n) for n in sorted(WORKLOADS)}, indent=1) + "\n")
    print(f"wrote {BASELINE}")
