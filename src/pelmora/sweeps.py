"""Many backtests: :func:`sweep` runs every combination of a grid of options."""

from __future__ import annotations

import itertools
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal

from pelmora import _require
from pelmora.options import OPTION_NAMES
from pelmora.runner import backtest

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.inputs import PriceInput

__all__ = ["sweep"]


def _pandas(feature: str) -> Any:
    return _require("pandas", feature)


_BACKTEST_OPTIONS = frozenset(OPTION_NAMES)

# Data of a process-pool worker, installed once per process by the pool's initializer.
_WORKER_DATA: dict[str, Any] = {}


def _install_worker_data(weights: Any, prices: Any, fixed: dict[str, Any]) -> None:
    _WORKER_DATA.update(weights=weights, prices=prices, fixed=fixed)


def _stats_of(
    combination: dict[str, Any], weights: Any, prices: Any, fixed: dict[str, Any]
) -> dict[str, Any]:
    result = backtest(weights, prices, **fixed, **combination)
    return dict(result.stats())


def _worker_stats(combination: dict[str, Any]) -> dict[str, Any]:
    data = _WORKER_DATA
    return _stats_of(combination, data["weights"], data["prices"], data["fixed"])


def _combinations(grid: Mapping[str, Sequence[Any]]) -> list[dict[str, Any]]:
    if not isinstance(grid, Mapping) or not grid:
        raise ValueError("grid must be a non-empty mapping of option name to a list of values")
    columns: dict[str, list[Any]] = {}
    for name, values in grid.items():
        if name not in _BACKTEST_OPTIONS:
            raise TypeError(f"grid names an unknown backtest option {name!r}")
        if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
            raise TypeError(f"grid[{name!r}] must be a list of values, got {values!r}")
        columns[name] = list(values)  # once: a generator can be walked only once
        if not columns[name]:
            raise ValueError(f"grid[{name!r}] has no values: give at least one")
    names = list(columns)
    return [dict(zip(names, combo)) for combo in itertools.product(*columns.values())]


def sweep(
    grid: Mapping[str, Sequence[Any]],
    weights: pd.DataFrame,
    prices: PriceInput,
    *,
    backend: Literal["processes", "dask"] = "processes",
    client: Any = None,
    progress: bool = True,
    max_workers: int | None = None,
    **fixed: Any,
) -> pd.DataFrame:
    """Run :func:`backtest` for every combination of a parameter grid, in parallel.

    Parameters
    ----------
    grid : mapping of str to list
        Backtest options and the values to try, for example
        ``{"stop_loss": [0.05, 0.1], "rebalance": ["ME", "QE"]}``; the cartesian product is run.
    weights, prices
        As for :func:`backtest`, shared by every run.
    backend : {"processes", "dask"}, default "processes"
        "processes": a local process pool. "dask": a Dask distributed client, ``client`` if given
        (a cluster of any size), otherwise a LocalCluster started for this sweep and closed after.
        The LocalCluster has one thread per worker process.
    client : distributed.Client, optional
        Client for the "dask" backend.
    progress : bool, default True
        Show a tqdm progress bar.
    max_workers : int, optional
        Number of worker processes (default: the number of CPUs, at most one per combination).
        Ignored when ``client`` is given.
    **fixed
        Backtest options shared by every run (for example ``fee=0.0``).

    Returns
    -------
    pandas.DataFrame
        One row per combination, in grid order: the grid's options, then the columns of
        :meth:`BacktestResult.stats`.

    Raises
    ------
    TypeError
        A grid or fixed option that :func:`backtest` does not have.
    ValueError
        An empty grid or an unknown backend.
    ImportError
        When the backend's packages (extra ``sweep``) are missing.
    """
    pandas = _pandas("pelmora.sweep")
    combos = _combinations(grid)
    for name in fixed:
        if name not in _BACKTEST_OPTIONS:
            raise TypeError(f"sweep() got an unknown backtest option {name!r}")
        if name in grid:
            raise TypeError(f"option {name!r} is both in the grid and fixed")
    if backend not in ("processes", "dask"):
        raise ValueError(f'backend must be "processes" or "dask", got {backend!r}')
    workers = max_workers or min(os.cpu_count() or 1, len(combos))
    if workers < 1:
        raise ValueError(f"max_workers must be at least 1, got {max_workers}")
    bar = _progress_bar(len(combos), progress)
    try:
        if backend == "processes":
            results = _sweep_processes(combos, weights, prices, fixed, workers, bar)
        else:
            results = _sweep_dask(combos, weights, prices, fixed, workers, client, bar)
    finally:
        if bar is not None:
            bar.close()
    rows = [{**combo, **stats} for combo, stats in zip(combos, results)]
    table: pd.DataFrame = pandas.DataFrame(rows, columns=list(grid) + list(results[0]))
    return table


def _progress_bar(total: int, progress: bool) -> Any:
    if not progress:
        return None
    tqdm = _require("tqdm", "pelmora.sweep(progress=True)")
    return tqdm.tqdm(total=total, desc="sweep", unit="run")


def _sweep_processes(
    combos: list[dict[str, Any]],
    weights: Any,
    prices: Any,
    fixed: dict[str, Any],
    workers: int,
    bar: Any,
) -> list[dict[str, Any]]:
    from concurrent.futures import ProcessPoolExecutor, as_completed

    results: list[dict[str, Any] | None] = [None] * len(combos)
    # The data goes to each worker once, through the initializer, not with every task.
    with ProcessPoolExecutor(
        max_workers=workers, initializer=_install_worker_data, initargs=(weights, prices, fixed)
    ) as pool:
        futures = {pool.submit(_worker_stats, combo): i for i, combo in enumerate(combos)}
        for future in as_completed(futures):
            results[futures[future]] = future.result()
            if bar is not None:
                bar.update(1)
    return results  # type: ignore[return-value]


def _sweep_dask(
    combos: list[dict[str, Any]],
    weights: Any,
    prices: Any,
    fixed: dict[str, Any],
    workers: int,
    client: Any,
    bar: Any,
) -> list[dict[str, Any]]:
    distributed = _require("distributed", "pelmora.sweep(backend='dask')")
    own_cluster = None
    own_client = None
    if client is None:
        own_cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
        own_client = client = distributed.Client(own_cluster)
    try:
        data = client.scatter([weights, prices], broadcast=True)
        futures = [
            client.submit(_stats_of, combo, data[0], data[1], fixed, pure=False) for combo in combos
        ]
        index = {f.key: i for i, f in enumerate(futures)}
        results: list[dict[str, Any] | None] = [None] * len(combos)
        for future in distributed.as_completed(futures):
            results[index[future.key]] = future.result()
            if bar is not None:
                bar.update(1)
        return results  # type: ignore[return-value]
    finally:
        if own_client is not None:
            own_client.close()
        if own_cluster is not None:
            own_cluster.close()
