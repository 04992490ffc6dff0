"""Where a sweep's chunks run: this process ("threads"), a process pool ("processes") or Dask.

Every backend runs the same chunk function (:func:`pelmora.research.sweeps._chunk._run_chunk`) and
hands each finished chunk to the caller's ``arrived(combinations, rows)`` as soon as it is in, so
rows are stored while the others still run; the backends know nothing of stores or tables. Functions
sent to worker processes are found there by their module path: they stay module-level here.
"""

from __future__ import annotations

import contextlib
import dataclasses
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from pelmora._optional import import_optional
from pelmora.research.sweeps._chunk import Chunk, Row, _run_chunk

if TYPE_CHECKING:  # pragma: no cover
    from pelmora.inputs._prepare import EngineInputs
    from pelmora.inputs.options import BacktestOptions

__all__ = ["BACKENDS", "Arrived", "run_chunks"]

BACKENDS = ("threads", "processes", "dask")

Arrived = Callable[[list[int], list[Row]], None]
"""Called with the combinations of a finished chunk and their rows, in this process."""


def run_chunks(
    backend: str,
    groups: Sequence[EngineInputs],
    chunks: list[Chunk],
    keep: str,
    workers: int,
    client: Any,
    arrived: Arrived,
) -> None:
    """Run every chunk on ``backend`` on the arrays of its group; its rows go to ``arrived``.

    ``workers`` is the threads (or processes) to use; ``client`` a Dask client, None for a
    LocalCluster of the sweep's own. What ``arrived`` raises propagates.
    """
    if backend == "threads":
        _sweep_threads(groups, chunks, keep, workers, arrived)
    elif backend == "processes":
        _sweep_processes(groups, chunks, keep, workers, arrived)
    else:
        _sweep_dask(groups, chunks, keep, workers, client, arrived)


def _sweep_threads(
    groups: Sequence[EngineInputs], chunks: list[Chunk], keep: str, workers: int, arrived: Arrived
) -> None:
    from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

    if workers == 1 or len(chunks) == 1:
        for k, members, opts in chunks:
            arrived(members, _run_chunk(groups[k], opts, keep, workers))
        return
    # Chunks of all groups side by side, one thread each (the runs release the interpreter
    # lock); no more than two per thread in flight, so finished runs do not pile up.
    queue = iter(chunks)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        running: dict[Any, list[int]] = {}

        def submit() -> None:
            for k, members, opts in queue:
                running[pool.submit(_run_chunk, groups[k], opts, keep, 1)] = members
                if len(running) >= 2 * workers:
                    return

        submit()
        while running:
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in done:
                arrived(running.pop(future), future.result())
            submit()


def _sweep_processes(
    groups: Sequence[EngineInputs], chunks: list[Chunk], keep: str, workers: int, arrived: Arrived
) -> None:
    from concurrent.futures import ProcessPoolExecutor, as_completed

    # The converted inputs go to each worker once, through the initializer, not with every task.
    with ProcessPoolExecutor(
        max_workers=workers, initializer=_install_groups, initargs=(list(groups),)
    ) as pool:
        futures = {}
        for k, members, opts in chunks:
            futures[pool.submit(_worker_chunk, k, opts, keep)] = members
        for future in as_completed(futures):
            arrived(futures[future], future.result())


# Data of a process-pool worker, installed once per process by the pool's initializer.
_WORKER_GROUPS: list[EngineInputs] = []


def _install_groups(groups: list[EngineInputs]) -> None:
    _WORKER_GROUPS[:] = groups


def _worker_chunk(group: int, options: list[BacktestOptions], keep: str) -> list[Row]:
    return _run_chunk(_WORKER_GROUPS[group], options, keep, 1)


_DASK_ATTEMPTS = 4  # submissions of one chunk before its rows become errors
_DASK_WAIT = 30.0  # seconds a round waits for a worker (a killed one is restarted by its nanny)


@dataclasses.dataclass
class _DaskChunk:
    group: int
    members: list[int]
    options: list[BacktestOptions]
    attempts: int = 0
    failure: str = ""  # the last failure of the cluster that sent it back


def _failure(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def _dask_round(
    distributed: Any, client: Any, groups: Sequence[EngineInputs], keep: str,
    pending: list[_DaskChunk], arrived: Arrived,
) -> list[_DaskChunk]:
    """Submit the pending chunks once; return those to submit again.

    A worker that dies has its running chunks rerun by the scheduler. Everything else the
    cluster may throw at us sends chunks to the next round instead of out of the sweep: a
    worker killed while the inputs are scattered (the scatter raises), the last worker holding
    the inputs dying (their chunks are cancelled), a result lost on its way (fetching it
    raises), the connection itself failing. Only a chunk's own failure, an exception raised
    by the run or a worker killed by the chunk time after time (KilledWorker), is its rows'
    error. What ``arrived`` raises (a full disk under the store) is not the cluster's: it
    propagates.
    """
    for work in pending:
        work.attempts += 1
    needed = sorted({w.group for w in pending})
    try:
        client.wait_for_workers(1, timeout=_DASK_WAIT)
        # Fresh keys every round: the data of an earlier round may be lost or forgotten.
        scattered = client.scatter([groups[k] for k in needed], broadcast=True, hash=False)
        data = dict(zip(needed, scattered))
        running = {}
        for work in pending:
            # One thread per task: a worker runs as many chunks at once as it has threads.
            future = client.submit(_run_chunk, data[work.group], work.options, keep, 1, pure=False)
            running[future.key] = (future, work)
        finished = distributed.as_completed([f for f, _ in running.values()])
    except Exception as exc:
        for work in pending:
            work.failure = _failure(exc)
        return pending
    again, dropped = [], []
    while running:
        try:
            future = next(finished)
        except StopIteration:  # pragma: no cover - every future is yielded once
            break
        except Exception as exc:  # the iteration itself lost the scheduler
            for _, work in running.values():
                work.failure = _failure(exc)
            break
        _, work = running.pop(future.key)
        try:
            if future.status == "finished":
                rows = future.result()
            elif future.status == "error":
                exc = future.exception()
                rows = [(_failure(exc), {}, None)] * len(work.members)
            else:  # cancelled: its inputs died with the last worker that held them
                raise RuntimeError(f"the chunk was {future.status} by the cluster")
        except Exception as exc:
            work.failure = _failure(exc)
            again.append(work)
            dropped.append(future)
            continue
        arrived(work.members, rows)
    left = dropped + [f for f, _ in running.values()]
    again += [work for _, work in running.values()]
    if left:  # nothing of this round runs on beside the next one
        with contextlib.suppress(Exception):
            client.cancel(left)
    return again


def _start_cluster(distributed: Any, workers: int) -> tuple[Any, Any, str]:
    """(cluster, client, "") of a LocalCluster for one sweep, or (None, None, the failure).

    Its worker process may be killed while it starts (the nanny then gives up): try again.
    """
    failure = ""
    for _attempt in range(_DASK_ATTEMPTS):
        cluster = None
        try:
            cluster = distributed.LocalCluster(
                n_workers=1, threads_per_worker=workers, processes=True, dashboard_address=None
            )
            return cluster, distributed.Client(cluster), ""
        except Exception as exc:
            failure = _failure(exc)
            if cluster is not None:
                with contextlib.suppress(Exception):
                    cluster.close()
    return None, None, failure


def _sweep_dask(
    groups: Sequence[EngineInputs], chunks: list[Chunk], keep: str, workers: int, client: Any,
    arrived: Arrived,
) -> None:
    distributed = import_optional("distributed", caller="pelmora.sweep(backend='dask')")
    pending = [_DaskChunk(k, members, opts) for k, members, opts in chunks]
    own_cluster = own_client = None
    if client is None:
        own_cluster, own_client, failure = _start_cluster(distributed, workers)
        if own_client is None:
            lost = (f"RuntimeError: the sweep's Dask cluster could not be started in "
                    f"{_DASK_ATTEMPTS} attempts; last: {failure}")
            for work in pending:
                arrived(work.members, [(lost, {}, None)] * len(work.members))
            return
        client = own_client
    try:
        while pending:
            retry = [w for w in pending if w.attempts < _DASK_ATTEMPTS]
            for work in pending:
                if work.attempts >= _DASK_ATTEMPTS:
                    lost = (f"RuntimeError: the chunk could not be run on the Dask cluster in "
                            f"{work.attempts} attempts; last: {work.failure}")
                    arrived(work.members, [(lost, {}, None)] * len(work.members))
            pending = _dask_round(distributed, client, groups, keep, retry, arrived) if retry else []
    finally:
        # The sweep's rows are in; a cluster that had a worker killed may complain on its
        # way down, which is no reason to lose them.
        if own_client is not None:
            with contextlib.suppress(Exception):
                own_client.close()
        if own_cluster is not None:
            with contextlib.suppress(Exception):
                own_cluster.close()
