"""How many threads a kernel call may use."""

from __future__ import annotations

import operator
import os
import sys
import threading
from types import ModuleType


def _imported(name: str) -> ModuleType | None:
    """The module `name` if its import has finished, else None.

    While another thread imports it for the first time, ``sys.modules`` already
    holds it half initialised; reading it then would fail. A thread that runs a
    task of its scheduler implies the import finished long before.
    """
    module = sys.modules.get(name)
    if module is None or getattr(getattr(module, "__spec__", None), "_initializing", False):
        return None
    return module


def in_dask_task() -> bool:
    """Whether the calling thread runs a task of dask's threaded scheduler or of a
    ``dask.distributed`` worker: the scheduler already keeps every core busy."""
    distributed = _imported("distributed")
    get_worker = getattr(distributed, "get_worker", None)
    if get_worker is not None:
        try:
            get_worker()
            return True
        except ValueError:
            pass
    threaded = _imported("dask.threaded")
    if threaded is not None:
        me = threading.current_thread()
        pools = [getattr(threaded, "default_pool", None)]
        for per_thread in list(getattr(threaded, "pools", {}).values()):
            pools.extend(per_thread.values())
        for pool in pools:
            if pool is None:
                continue
            # A new pool thread may run its first task before the executor has
            # added it to ``_threads``; its name, given before it starts, is
            # the executor's prefix and a number.
            prefix = getattr(pool, "_thread_name_prefix", None)
            if me in getattr(pool, "_threads", ()) or (prefix and me.name.startswith(f"{prefix}_")):
                return True
    return False


def available_cpus() -> int:
    """CPUs this process may run on: honours ``taskset`` and container CPU sets."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def resolve_threads(n_threads: int | None) -> int:
    """`n_threads` as the kernel takes it: None means 1 inside a dask task and the
    available CPUs otherwise; an explicit integer is passed through."""
    if n_threads is None:
        return 1 if in_dask_task() else available_cpus()
    if isinstance(n_threads, bool):
        raise TypeError("n_threads must be an int or None, got bool")
    try:
        return operator.index(n_threads)
    except TypeError:
        raise TypeError(
            f"n_threads must be an int or None, got {type(n_threads).__name__}"
        ) from None
