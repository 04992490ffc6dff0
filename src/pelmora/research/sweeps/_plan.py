"""The plan of a sweep: every combination checked, keyed and grouped before anything runs.

A grid (and the strategy variants of a mapping of weights) becomes its combinations; each is
checked as options, named by a key that is the same in every process and call, and, with a store,
tied to the fingerprint of the inputs it runs on. The combinations still to run are grouped by the
engine arrays they share (the data, the weights and the options that change arrays), converted
once per group, and cut into chunks: the work the backends are handed.
"""

from __future__ import annotations

import dataclasses
import itertools
import math
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from pelmora._optional import import_optional
from pelmora._version import __version__
from pelmora.engine._vocabulary import ARRAY_OPTIONS
from pelmora.core.journal import BUILD_ID
from pelmora.inputs._prepare import EngineInputs, lot_sizes, prepare_inputs
from pelmora._suggest import did_you_mean
from pelmora.inputs.options import OPTION_NAMES, BacktestOptions
from pelmora.inputs.schedule import rebalance_dates
from pelmora.inputs._volume import uses_volume
import pelmora.research.sweeps._fingerprint as _fingerprint
from pelmora.research.sweeps._chunk import Chunk

__all__ = ["WEIGHTS_COLUMN", "_Group", "_Plan", "_combinations", "_cpus", "_make_plan"]

WEIGHTS_COLUMN = "weights"
"""The grid column of the strategy variants when ``weights`` is a mapping of names to frames."""

_SCHEDULE = ("rebalance", "calendar")  # array options that change only the rebalance dates


def _cpus() -> int:
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def _combinations(grid: Mapping[str, Sequence[Any]]) -> list[dict[str, Any]]:
    if not isinstance(grid, Mapping) or not grid:
        raise ValueError("grid must be a non-empty mapping of option name to a list of values")
    columns: dict[str, list[Any]] = {}
    for name, values in grid.items():
        if name not in OPTION_NAMES:
            raise TypeError(
                f"grid names an unknown backtest option {name!r}{did_you_mean(name, OPTION_NAMES)}"
            )
        if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
            raise TypeError(f"grid[{name!r}] must be a list of values, got {values!r}")
        columns[name] = list(values)  # once: a generator can be walked only once
        if not columns[name]:
            raise ValueError(f"grid[{name!r}] has no values: give at least one")
    names = list(columns)
    return [dict(zip(names, combo)) for combo in itertools.product(*columns.values())]


def _key(combo: Mapping[str, Any], opts: BacktestOptions) -> str:
    """A stable name of a combination, the same in every process and every call.

    It is made of the checked option values (so ``fee=0`` and ``fee=0.0`` are one combination)
    and the strategy's name; what the combination runs on is the inputs' fingerprint.
    """
    named = sorted(
        (k, v if k == WEIGHTS_COLUMN else getattr(opts, k)) for k, v in combo.items()
    )
    return _fingerprint.digest([("combination", 1)] + named)


def _inputs_fingerprints(
    variants: Mapping[Any, Any], prices: Any, base: BacktestOptions, grid_names: Iterable[str]
) -> dict[Any, str]:
    """The fingerprint of the inputs of each strategy: what a stored row was computed from.

    It covers the package version and build (:data:`pelmora.core.journal.BUILD_ID`, a digest of
    the sources: the version string stays the same across builds that compute other figures),
    every price frame (values, index, columns), the options the grid does not set (delistings,
    calendar, costs, ...) and the strategy's own weight frame, so that changing one strategy
    reruns that strategy only. The price buffers are hashed once.
    """
    from concurrent.futures import ThreadPoolExecutor

    # Every frame is hashed on its own thread (hashing releases the interpreter lock), and the
    # fingerprint is made of their digests: on two cores the close and the trade prices take
    # the time of one.
    pieces = (
        sorted(prices.items(), key=lambda kv: repr(kv[0])) if isinstance(prices, Mapping)
        else [(None, prices)]
    )
    frames = [frame for _, frame in pieces] + list(variants.values())
    with ThreadPoolExecutor(max_workers=max(1, min(len(frames), _cpus()))) as pool:
        digests = list(pool.map(_fingerprint.digest, frames))
    common = _fingerprint.new_hasher()
    _fingerprint.update(common, ("pelmora", __version__, BUILD_ID))
    # The fields by name (a Market and a dict of the same frames are the same prices).
    _fingerprint.update(common, (isinstance(prices, Mapping), [key for key, _ in pieces]))
    _fingerprint.update(common, digests[: len(pieces)])
    names = set(grid_names)
    _fingerprint.update(common, {k: v for k, v in base.to_dict().items() if k not in names})
    out = {}
    for name, own in zip(variants, digests[len(pieces):]):
        h = common.copy()
        _fingerprint.update(h, own)
        out[name] = _fingerprint.hex_of(h)
    return out


def _canonical(value: Any) -> Any:
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    if isinstance(value, (list, tuple)):
        return tuple(_canonical(v) for v in value)
    if isinstance(value, Mapping):
        return tuple(sorted((repr(k), _canonical(v)) for k, v in value.items()))
    if hasattr(value, "columns"):
        # A frame (a volume) is one object through the whole call: its identity groups the
        # combinations that share it, without reading its cells.
        return f"frame at {id(value):#x}"
    if hasattr(value, "to_dict"):  # a Series of delistings
        return _canonical(value.to_dict())
    return repr(value)


@dataclasses.dataclass
class _Group:
    """Combinations that share one set of engine arrays."""

    inputs: EngineInputs
    members: list[int]  # indexes into the combinations


@dataclasses.dataclass
class _Plan:
    combos: list[dict[str, Any]]
    options: list[BacktestOptions]
    keys: list[str]
    groups: list[_Group]
    fingerprints: list[str]  # of each combination's inputs ("" without a store)

    def stored_as(self, i: int) -> tuple[str, str]:
        """What identifies combination ``i`` in a store: its key and its inputs' fingerprint."""
        return self.keys[i], self.fingerprints[i]

    def chunks(self, size: int) -> list[Chunk]:
        """The work of the backends: chunks of at most ``size`` combinations, group after group."""
        return [
            (k, members, [self.options[i] for i in members])
            for k, group in enumerate(self.groups)
            for members in (group.members[i : i + size] for i in range(0, len(group.members), size))
        ]


def _make_plan(
    grid: Mapping[str, Sequence[Any]],
    weights: Any,
    prices: Any,
    base: BacktestOptions,
    stored: Mapping[tuple[str, str], Any] | None,
) -> _Plan:
    """Check every combination and prepare the arrays of those still to run, before any run.

    ``stored`` holds the rows of a store by (combination key, inputs' fingerprint): those
    combinations are not run; None: no store, and nothing is fingerprinted.
    """
    pd = import_optional("pandas", caller="pelmora.sweep")
    variants: dict[str, Any]
    if isinstance(weights, Mapping):
        if not weights:
            raise ValueError("weights is an empty mapping: give at least one strategy")
        if WEIGHTS_COLUMN in grid:
            raise TypeError(f"grid may not name {WEIGHTS_COLUMN!r} when weights is a mapping")
        variants = dict(weights)
        combos = [
            {WEIGHTS_COLUMN: name, **c} for name in variants for c in _combinations(grid)
        ]
    else:
        variants = {None: weights}
        combos = _combinations(grid)
    options = []
    for combo in combos:
        given = {k: v for k, v in combo.items() if k != WEIGHTS_COLUMN}
        try:
            options.append(dataclasses.replace(base, **given))
        except (TypeError, ValueError) as exc:
            shown = ", ".join(f"{k}={v!r}" for k, v in given.items())
            raise type(exc)(f"grid combination {shown} is refused: {exc}") from exc
    keys = [_key(c, o) for c, o in zip(combos, options)]
    if stored is not None:
        of_variant = _inputs_fingerprints(variants, prices, base, grid)
        fingerprints = [of_variant[c.get(WEIGHTS_COLUMN)] for c in combos]
    else:
        fingerprints = [""] * len(combos)
    groups: dict[str, _Group] = {}
    # Inputs that differ only in their rebalance schedule share every other array and check.
    converted: dict[str, EngineInputs] = {}
    for i, (combo, opts) in enumerate(zip(combos, options)):
        if stored is not None and (keys[i], fingerprints[i]) in stored:
            continue
        name = combo.get(WEIGHTS_COLUMN)
        group_key = repr((_canonical(name),) + tuple(_canonical(getattr(opts, o)) for o in ARRAY_OPTIONS))
        if group_key not in groups:
            frame = variants[name]
            if not isinstance(frame, pd.DataFrame):
                raise TypeError(
                    f"weights[{name!r}] must be a DataFrame, got {type(frame).__name__}"
                    if name is not None
                    else f"weights must be a DataFrame, got {type(frame).__name__}"
                )
            data_key = repr((_canonical(name),) + tuple(
                _canonical(getattr(opts, o)) for o in ARRAY_OPTIONS if o not in _SCHEDULE
            ))
            if data_key not in converted:
                converted[data_key] = prepare_inputs(frame, prices, options=opts)
                inputs = converted[data_key]
            else:
                inputs = _rescheduled(converted[data_key], opts)
            groups[group_key] = _Group(inputs, [])
        group = groups[group_key]
        if opts.lot_size is not None and opts is not group.inputs.options:
            # Lots per stock are matched to the weights' columns here, before anything runs:
            # a stock without a lot refuses the combination as prepare_inputs would.
            try:
                lot_sizes(opts.lot_size, group.inputs.stocks)
            except ValueError as exc:
                shown = ", ".join(f"{k}={v!r}" for k, v in combo.items() if k != WEIGHTS_COLUMN)
                raise ValueError(f"grid combination {shown} is refused: {exc}") from exc
        if uses_volume(opts) and group.inputs.volume is None:
            shown = ", ".join(f"{k}={v!r}" for k, v in combo.items() if k != WEIGHTS_COLUMN)
            raise ValueError(
                f"grid combination {shown} is refused: a cap or an impact needs volume (give "
                'volume=..., or a "volume" entry of prices)'
            )
        group.members.append(i)
    return _Plan(combos, options, keys, list(groups.values()), fingerprints)



def _rescheduled(inputs: EngineInputs, opts: BacktestOptions) -> EngineInputs:
    """``inputs`` with the rebalance dates of ``opts``; every other array is shared."""
    resample = rebalance_dates(
        opts.rebalance, inputs.price_dates, inputs.weight_dates, inputs.tz, opts.calendar
    )
    return dataclasses.replace(
        inputs, arguments={**inputs.arguments, "resample": resample}, options=opts
    )
