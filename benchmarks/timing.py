"""The one timing rule of the benchmark scripts."""

from __future__ import annotations

import gc
import time


def timed(fn) -> tuple[float, float, object]:
    """Wall-clock and CPU milliseconds of one call (CPU time: all threads of this process, so a
    busy shared machine that takes the processor away does not count), and its result; each call
    starts after a ``gc.collect()``."""
    gc.collect()
    c0, t0 = time.process_time_ns(), time.perf_counter_ns()
    out = fn()
    t1, c1 = time.perf_counter_ns(), time.process_time_ns()
    return (t1 - t0) / 1e6, (c1 - c0) / 1e6, out
