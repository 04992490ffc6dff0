"""Digests of every output of the benchmark workloads, to show that a change kept them bit for bit.

Run it before and after a change that must not move a number (a refactoring, a faster loop) and
compare the two printouts::

    python benchmarks/digests.py > before.txt
    ... change ...
    python benchmarks/digests.py > after.txt && diff before.txt after.txt

Each line is the SHA-256 of one output of one workload: the equity of ``backtest_`` and, of
``journal.run`` with every output on, each array it returns (the bytes of the values, so a float
that moved in its last bit changes the digest) and the next-period report.
"""

from __future__ import annotations

import argparse
import hashlib
import sys
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from workloads import ALL, w3  # noqa: E402

from pelmora.core import journal, runvane  # noqa: E402


def _digest(value: Any) -> str:
    h = hashlib.sha256()

    def feed(v: Any) -> None:
        if isinstance(v, np.ndarray):
            h.update(str((v.dtype.str, v.shape)).encode())
            h.update(np.ascontiguousarray(v).tobytes() if v.dtype != object else repr(v.tolist()).encode())
        elif isinstance(v, dict):
            for k in sorted(v, key=str):
                h.update(repr(k).encode())
                feed(v[k])
        elif isinstance(v, (list, tuple)):
            for item in v:
                feed(item)
        else:
            h.update(repr(v).encode())

    feed(value)
    return h.hexdigest()[:24]


def digests(name: str) -> dict[str, str]:
    """The digest of every output of workload ``name``."""
    work = {**ALL, "w3": w3}[name]()
    out = {"backtest_ creturn": _digest(work.run(runvane.backtest_))}
    record = work.run(journal.run)
    for key in sorted(record):
        value = record[key]
        if isinstance(value, dict) and all(isinstance(v, np.ndarray) for v in value.values()):
            # A table of columns: one line per column, so a new column leaves the others' lines.
            for column in sorted(value):
                out[f"journal {key}.{column}"] = _digest(value[column])
        else:
            out[f"journal {key}"] = _digest(value)
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default="w1_close,w1_touched,w2,w3", help="comma-separated workloads")
    for name in ap.parse_args().only.split(","):
        for what, value in digests(name).items():
            print(f"{name:11s} {what:28s} {value}")


if __name__ == "__main__":
    main()
