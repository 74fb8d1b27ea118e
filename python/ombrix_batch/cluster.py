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


def run_on_dask(chunks: Iterator[Chunk], client: Any,
                in_flight: int) -> Iterator[tuple[int, dict[str, list[Any]], Counter[str]]]:
    """Results as they finish, with at most `in_flight` chunks sent ahead (a
    chunk carries its profiles' values, so the rest stay here until needed)."""
    distributed = distributed_module()
    pending = iter(chunks)
    running = distributed.as_completed(
        [client.submit(score_chunk, chunk, pure=False) for chunk in islice(pending, in_flight)])
    for future in running:
        try:
            result = future.result()
        except distributed.KilledWorker as exc:
            raise BatchError(f"Dask workers died running a chunk ({exc})") from exc
        following = next(pending, None)
        if following is not None:
            running.add(client.submit(score_chunk, following, pure=False))
        yield result
