"""Chunks on a Dask cluster: an existing scheduler, a Client passed in, or a
LocalCluster started for the run. The same chunks as on the local pool, so
the same numbers."""
from __future__ import annotations

import contextlib
from collections import Counter
from collections.abc import Iterator
from itertools import islice
from typing import Any

from .errors import BatchError
from .scoring import Chunk, score_chunk

INSTALL_HINT = "Dask is not installed here: pip install 'ombrix[dask]'"
CONNECT_TIMEOUT = "15s"


def distributed_module() -> Any:
    try:
        import distributed
    except ImportError as exc:
        raise BatchError(INSTALL_HINT) from exc
    return distributed


@contextlib.contextmanager
def dask_client(scheduler: str | None = None, client: Any = None,
                local_workers: int | None = None) -> Iterator[Any]:
    distributed = distributed_module()
    if client is not None:
        check_workers(client)
        yield client
        return
    if local_workers is not None:
        # processes with one thread each: every call seeds NumPy's global generator
        with distributed.LocalCluster(n_workers=local_workers, threads_per_worker=1, processes=True,
                                      dashboard_address=":0") as cluster, distributed.Client(cluster) as local:
            check_workers(local)
            yield local
        return
    try:
        remote = distributed.Client(scheduler, timeout=CONNECT_TIMEOUT)
    except (OSError, TimeoutError) as exc:
        raise BatchError(f"no Dask scheduler answered at {scheduler} within {CONNECT_TIMEOUT} ({exc})") from exc
    with remote:
        check_workers(remote)
        yield remote


def check_workers(client: Any) -> None:
    """Every worker must import the module and the driver: a worker that cannot
    would fail to even read a chunk, and Dask would wait for it for ever."""
    try:
        # exec and its code travel as plain data; the imports run on each worker
        client.run(exec, "import ombrix, ombrix_batch.scoring", {})
    except ImportError as exc:
        raise BatchError(f"a Dask worker cannot import the driver ({type(exc).__name__}: {exc}); "
                         f"install ombrix on every worker: pip install 'ombrix[batch]'") from exc


def describe(client: Any) -> str:
    workers = client.scheduler_info().get("workers", {})
    threads = sum(w.get("nthreads", 1) for w in workers.values())
    return f"Dask at {client.scheduler.address} ({len(workers)} workers, {threads} threads)"


# How long the run waits between looks at the cluster, how many workers it
# may lose (per worker it started with) before it gives up, and how long it
# waits for a worker when none is left.
WATCH_SECONDS = 5.0
LOSSES_PER_WORKER = 3
WORKERLESS_SECONDS = 60.0


class WorkerWatch:
    """Workers that leave the cluster (a nanny restarts a killed one under a new
    address) counted between looks: a cluster whose workers keep dying, or
    that has none left, would otherwise keep the run waiting for ever."""

    def __init__(self, client: Any) -> None:
        self.client = client
        self.known = self.workers()
        self.allowed = LOSSES_PER_WORKER * max(1, len(self.known))
        self.lost = 0
        self.workerless_since: float | None = None

    def workers(self) -> set[str]:
        return set(self.client.scheduler_info().get("workers", {}))

    def look(self) -> None:
        import time

        current = self.workers()
        self.lost += len(self.known - current)
        self.known = current
        if self.lost > self.allowed:
            raise BatchError(f"Dask workers keep dying ({self.lost} lost since the run began)")
        if current:
            self.workerless_since = None
        elif self.workerless_since is None:
            self.workerless_since = time.monotonic()
        elif time.monotonic() - self.workerless_since > WORKERLESS_SECONDS:
            raise BatchError(f"no Dask worker has been left for {WORKERLESS_SECONDS:.0f} s")


def run_on_dask(chunks: Iterator[Chunk], client: Any,
                in_flight: int) -> Iterator[tuple[int, dict[str, Any], Counter[str]]]:
    """Results as they finish, with at most `in_flight` chunks sent ahead (a
    chunk carries its profiles' values, so the rest stay here until needed)."""
    distributed = distributed_module()
    pending = iter(chunks)
    running = {client.submit(score_chunk, chunk, pure=False) for chunk in islice(pending, in_flight)}
    watch = WorkerWatch(client)
    while running:
        try:
            done, running = distributed.wait(running, timeout=WATCH_SECONDS, return_when="FIRST_COMPLETED")
        except TimeoutError:
            watch.look()
            continue
        for future in done:
            try:
                result = future.result()
            except distributed.KilledWorker as exc:
                raise BatchError(f"Dask workers died running a chunk ({exc})") from exc
            following = next(pending, None)
            if following is not None:
                running.add(client.submit(score_chunk, following, pure=False))
            yield result
        watch.look()
