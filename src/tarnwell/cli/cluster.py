"""A run on a dask.distributed cluster that may lose all its workers.

A scheduler whose workers have all gone keeps the run's tasks waiting for a
worker that may never come, and the client waits with them, silently. A
worker killed while others live is the scheduler's business (it retries the
task elsewhere, then gives up with ``KilledWorker``); only an empty cluster is
watched here. The run waits on the cluster in more than one place (a first
look at one time step, the write, the progress bar), so the watch runs beside
it for as long as the client is connected rather than inside any one wait.
"""

from __future__ import annotations

import importlib
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from .errors import CommandError

# Long enough for a nanny to restart a dead worker (a few seconds) or for a
# worker to reconnect after a network blip (distributed's connect timeout is
# 30 s); short enough that a cluster that is gone ends the run within a minute.
DEFAULT_WORKER_TIMEOUT = 60.0


def _workers(client: Any) -> int:
    # Totals only: every worker's details each second would be waste on a large
    # cluster. An unreachable scheduler leaves the last answer; the lost
    # connection is then the run's own failure.
    return int(client.scheduler_info(n_workers=0).get("n_workers", 1))


class _Watch(threading.Thread):
    def __init__(self, client: Any, timeout: float) -> None:
        super().__init__(name="tarnwell-worker-watch", daemon=True)
        self.client = client
        self.timeout = timeout
        self.stop = threading.Event()
        self.expired = False

    def run(self) -> None:
        # One small request to the scheduler a second; the run itself never
        # waits on this thread.
        poll = min(1.0, max(self.timeout / 4, 0.05))
        empty_since: float | None = None
        while not self.stop.wait(poll):
            try:
                if _workers(self.client):
                    empty_since = None
                    continue
            except Exception:  # closing, or closed: the run is ending anyway
                return
            now = time.monotonic()
            empty_since = now if empty_since is None else empty_since
            if now - empty_since >= self.timeout:
                self.expired = True
                # Cancels every pending result, wherever the run waits on one,
                # and tells the scheduler to drop the run's tasks.
                self.client.close()
                return


@contextmanager
def workers_watched(client: Any, address: str, timeout: float | None) -> Iterator[None]:
    """Ends the block with :class:`CommandError` once the cluster has had no
    worker for ``timeout`` seconds (:data:`DEFAULT_WORKER_TIMEOUT` if None)."""
    watch = _Watch(client, DEFAULT_WORKER_TIMEOUT if timeout is None else timeout)
    watch.start()
    try:
        yield
    except Exception as err:
        if watch.expired:
            raise CommandError(
                f"no dask workers at the scheduler {address} for {watch.timeout:g} s: "
                "start workers, or wait longer with --worker-timeout"
            ) from err
        raise
    finally:
        watch.stop.set()  # not joined: a poll under way may take a connect timeout


def _set_netcdf_chunk_cache(size: int | None) -> int | None:
    """Sets the netCDF library's chunk cache for the variables of files opened from now on;
    returns the size it had. None leaves it as it is (netCDF4 not installed: nothing to set)."""
    try:
        import netCDF4
    except ImportError:
        return None
    previous = netCDF4.get_chunk_cache()
    if size is not None:
        netCDF4.set_chunk_cache(size, previous[1], previous[2])
    return int(previous[0])


@contextmanager
def written_through(client: Any) -> Iterator[None]:
    """No chunk cache for the output's variables on the workers, for the length of the block.

    The workers open a netCDF output themselves to write their blocks into it,
    each with the library's default cache (64 MiB per variable in netCDF-C 4.9
    and later), which keeps every chunk written until the file is closed: a
    hundred fields of every time step a worker wrote. Each chunk is written
    once, whole, so the write loses nothing without a cache. The cluster may
    serve others, so each worker's setting is put back afterwards.
    """
    previous = client.run(_set_netcdf_chunk_cache, 0)
    try:
        yield
    finally:
        try:
            for worker, size in previous.items():
                if size is not None:
                    client.run(_set_netcdf_chunk_cache, size, workers=[worker])
        except Exception:  # the cluster gone: nothing left to put back
            pass


def run_blocks_then_end(
    client: Any, blocks: dict[Any, Any], read: list[Any], end: list[Any], progress: bool
) -> None:
    """Runs ``blocks`` (a graph) on the cluster, taking the results the end reads as
    they come, then the ``end`` (tasks in order) here on them.

    No result is left waiting on a worker for the end, so a worker forgets a
    block, and the record of its work, as soon as it is written.
    """
    distributed: Any = importlib.import_module("distributed")
    futures = client.get(blocks, read, sync=False)
    shown = None
    if progress:  # given keys, not futures, which would keep every result
        bar = importlib.import_module("distributed.diagnostics.progressbar").TextProgressBar
        keys = [future.key for future in futures]
        shown = threading.Thread(target=bar, args=(keys,), daemon=True)
        shown.start()
    values: dict[Any, Any] = {}
    results = distributed.as_completed(futures, with_results=True)
    del futures  # each result is let go as soon as it is read
    for future, value in results:
        values[future.key] = value
        future.release()
    if shown is not None:
        shown.join(timeout=5.0)  # its last line, before the summary's
    for task in end:
        values[task.key] = task({d: values[d] for d in task.dependencies})


def connect(address: str, quiet_logs: bool = True) -> Any:
    """A client of the scheduler at ``address``; a missing package or an unreachable
    scheduler is a one-line error."""
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise CommandError(
            "--scheduler needs the Python package 'distributed': pip install 'tarnwell[cli]'"
        ) from None
    if quiet_logs:
        # distributed logs a lost scheduler itself, with tracebacks, to stderr;
        # the command's one line says it (--debug keeps the log).
        import logging

        for handler in logging.getLogger("distributed").handlers:
            handler.setLevel(logging.CRITICAL + 1)
    try:
        return distributed.Client(address, timeout="10s")
    except Exception as err:  # a bad address is a ValueError, an unreachable one an OSError
        lines = str(err).strip().splitlines()
        reason = lines[0] if lines else type(err).__name__
        raise CommandError(f"--scheduler {address}: cannot connect ({reason})") from None
