"""A lazy diagnosis computed one block of its outer dimensions (time steps) per task.

Handed to dask as one graph, a whole file's diagnosis is ordered by dask's
heuristics, which need not finish one step before starting the next: the
fields that wait on a horizontal mean (the cold pool's reference), and the
parcel and effective-layer fields built on many earlier ones, have been seen
scheduled after every step had been read, with the intermediates of all
steps held at once. Here each block of the outer dimensions is one task that
computes its own slice of every field, start to finish, and hands the slices
on to the write. The write's order is dask's too (it has been seen to go
field by field, each through every step, holding every block's results until
the last field's turn), so block ``b`` also waits on a gate that opens only
once block ``b - lag`` is written (:meth:`Steps.throttled`): the results held
are those of at most ``lag + 1`` blocks, whatever the number of steps. Each
slice is the same graph, culled, so the values are those of the whole-file
computation, bit for bit.
"""

from __future__ import annotations

import itertools
import math
import uuid
from collections.abc import Hashable, Mapping
from typing import TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    import xarray as xr


def step_dims(result: xr.Dataset) -> list[Hashable]:
    """Dimensions split into more than one chunk, the same way in every field that has them.

    The kernels keep the level and horizontal dimensions whole wherever a field
    couples them, so these are the outer dimensions (time, ensemble member) and,
    for fields computed column by column, any horizontal chunking asked for.
    """
    chunking: dict[Hashable, tuple[int, ...] | None] = {}
    for var in result.data_vars.values():
        if var.chunks is None:
            continue  # in memory already (a grid mapping's scalar), not computed by blocks
        for dim, chunks in zip(var.dims, var.chunks, strict=True):
            if chunking.setdefault(dim, chunks) != chunks:
                chunking[dim] = None
    return [d for d, c in chunking.items() if c is not None and len(c) > 1]


class Steps:
    """The keys of the block tasks, and of the gates they wait on, in the order of the blocks."""

    def __init__(self) -> None:
        self.work: list[Hashable] = []
        self.gates: list[Hashable] = []

    def throttled(self, graph: Mapping[Hashable, Any], lag: int) -> dict[Hashable, Any]:
        """``graph`` (a write of the fields) with block ``b``'s gate on block ``b - lag``'s writes.

        The writes of a block are the tasks downstream of its work and of no
        other block's, at their edge: those whose results go on to tasks that
        gather every block (the store's end) or to none.
        """
        dsk: dict[Any, Any] = dict(graph)
        if lag < 1 or not self.work or any(k not in dsk for k in self.work):
            return dsk
        owner, dependents = self._owners(dsk)
        written: list[list[Any]] = [[] for _ in self.work]
        for task, b in owner.items():
            if b != _MANY and not any(owner.get(d) == b for d in dependents[task]):
                written[b].append(task)
        for b in range(lag, len(self.work)):
            if written[b - lag]:
                dsk[self.gates[b]] = (_open, written[b - lag])
        return dsk

    def _owners(self, dsk: dict[Any, Any]) -> tuple[dict[Any, int], dict[Any, set[Any]]]:
        """The block owning each task downstream of a block's work (``_MANY`` if
        several), and every task's dependents."""
        import importlib

        get_deps = importlib.import_module("dask.core").get_deps
        _, dependents = get_deps(dsk)
        gates = set(self.gates)  # downstream of one block, but the next block's start
        owner: dict[Any, int] = {}
        for b, key in enumerate(self.work):
            stack = [key]
            while stack:
                for task in dependents[stack.pop()] - gates:
                    was = owner.get(task)
                    now = b if was is None else (was if was == b else _MANY)
                    if now != was:
                        owner[task] = now
                        stack.append(task)
        return owner, dependents

    def split_end(self, dsk: dict[Any, Any]) -> tuple[dict[Any, Any], list[Any], list[Any]] | None:
        """``dsk`` as the blocks' part, the keys of it that the end reads, and the end's
        tasks in an order they can run in; None when the end reads a single block.

        The end (closing the file, gathering the blocks' tiny write results)
        waits on every block. Run on a cluster as part of the graph, its
        inputs would be held on the workers until the last step is written,
        and with each of them the record of every task upstream of it, the
        block's whole work: worker memory growing with the file. Its inputs
        are instead collected as they come and the end run here.
        """
        import importlib

        graph_nodes: Any = importlib.import_module("dask._task_spec")
        if not self.work or any(k not in dsk for k in self.work):
            return None
        owner, _ = self._owners(dsk)
        end = {k for k, b in owner.items() if b == _MANY}
        if not end:
            return None
        end_graph = graph_nodes.convert_legacy_graph({k: dsk[k] for k in end})
        blocks_part = {k: v for k, v in dsk.items() if k not in end}
        read = sorted({d for k in end for d in end_graph[k].dependencies if d not in end}, key=str)
        ordered: list[Any] = []
        done: set[Any] = set()
        waiting = {k: {d for d in end_graph[k].dependencies if d in end} for k in end}
        while waiting:
            ready = [k for k, deps in waiting.items() if deps <= done]
            assert ready, "the end's tasks wait on each other"
            for k in ready:
                ordered.append(end_graph[k])
                done.add(k)
                del waiting[k]
        return blocks_part, read, ordered


_MANY = -1  # a task downstream of more than one block


def _open(_written: list[Any]) -> None:
    """A gate: its task runs once the writes it was given are done."""


def by_step(result: xr.Dataset) -> tuple[xr.Dataset, Steps]:
    """``result`` with the fields spanning every step dimension recomputed block by block.

    Fields without all of those dimensions, and coordinates, stay as they
    were. Compute the write of the result with :meth:`Steps.throttled` applied
    to its graph to bound the memory.
    """
    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph, MaterializedLayer

    dims = step_dims(result)
    names = [n for n, v in result.data_vars.items() if set(dims) <= set(v.dims)]
    steps = Steps()
    if not dims or not names:
        return result, steps
    fields = [result[n].data for n in names]
    first = result[names[0]]
    assert first.chunks is not None  # a field with step dimensions is lazy
    chunks = dict(zip(first.dims, first.chunks, strict=True))
    starts = {d: [0, *itertools.accumulate(chunks[d])] for d in dims}
    token = uuid.uuid4().hex
    work_name = f"tarnwell-block-{token}"
    work_layer: dict[Hashable, Any] = {}
    blocks = list(itertools.product(*(range(len(chunks[d])) for d in dims)))
    for index in blocks:
        where = {d: slice(starts[d][i], starts[d][i + 1]) for d, i in zip(dims, index, strict=True)}
        regions = [tuple(where.get(d, slice(None)) for d in result[n].dims) for n in names]
        work, gate = (work_name, *index), (f"tarnwell-gate-{token}", *index)
        work_layer[gate] = None
        work_layer[work] = (_BlockWork(fields, regions), gate)
        steps.work.append(work)
        steps.gates.append(gate)
    out = result.copy()
    for k, name in enumerate(names):
        var = result[name]
        field_name = f"{name}-by-step-{token}"
        layer = {}
        for index in blocks:
            at = dict(zip(dims, index, strict=True))
            key = (field_name, *(at.get(d, 0) for d in var.dims))
            layer[key] = (_pick, (work_name, *index), k)
        graph = HighLevelGraph(
            {field_name: MaterializedLayer(layer), work_name: MaterializedLayer(work_layer)},
            {field_name: {work_name}, work_name: set()},
        )
        field_chunks = tuple(chunks[d] if d in dims else (n,) for d, n in var.sizes.items())
        data = da.Array(graph, field_name, field_chunks, meta=var.data._meta)
        out[name] = var.copy(data=data)
        out[name].encoding = dict(var.encoding)
    return out, steps


class _BlockWork:
    """One block's slices of every field, computed together in one task.

    The slices share their inputs and intermediates (one read of the block, one
    thermodynamic pass feeding everything after it), so they are computed in
    one call. They are taken here, when the task runs, not beforehand: a
    slice's graph is as large as the whole file's, and one per field and block
    held for the whole run would be memory that grows with the file.
    """

    def __init__(self, fields: list[Any], regions: list[tuple[slice, ...]]) -> None:
        self.fields = fields
        self.regions = regions

    def __call__(self, _gate: None) -> tuple[Any, ...]:
        # Not optimised beforehand: optimised apart from the call that computes
        # them, fused layers would no longer share their intermediates.
        return _computed([f[r] for f, r in zip(self.fields, self.regions, strict=True)])

    def __reduce__(self) -> tuple[Any, ...]:
        # Sent to a cluster's worker, the fields would take the whole file's
        # graph along with every block: bytes and worker memory growing with
        # the steps, for each step. Only the block's own part goes, culled,
        # its slices culled together so that they still share their work.
        import importlib

        dask: Any = importlib.import_module("dask")
        pieces = [f[r] for f, r in zip(self.fields, self.regions, strict=True)]
        return (_CulledBlockWork, (dask.optimize(*pieces),))


class _CulledBlockWork:
    """A block's slices as a worker receives them, their graph that block's alone."""

    def __init__(self, pieces: tuple[Any, ...]) -> None:
        self.pieces = pieces

    def __call__(self, _gate: None) -> tuple[Any, ...]:
        return _computed(self.pieces)


def _computed(pieces: Any) -> tuple[Any, ...]:
    import gc
    import importlib

    dask: Any = importlib.import_module("dask")
    values = tuple(dask.compute(*pieces, scheduler="sync"))
    gc.collect()  # the block's intermediates caught in reference cycles
    return values


def _pick(values: tuple[Any, ...], k: int) -> Any:
    return values[k]


# glibc's mallopt parameter for the size from which allocations get their own
# mapping, returned to the system when freed.
_M_MMAP_THRESHOLD = -3
MMAP_THRESHOLD = 256 * 2**10


def return_freed_fields() -> None:
    """Have every freed field buffer go back to the system at once (glibc only).

    glibc raises its mapping threshold to the size of each large block freed,
    so after the first step's fields are freed, later ones of the same size
    come from the heap, where fragmentation keeps memory that a long run
    never gets back: the peak then creeps up with the number of steps. A
    fixed threshold keeps every field buffer a mapping of its own.
    """
    import ctypes
    import ctypes.util

    name = ctypes.util.find_library("c")
    if name is None:
        return
    try:
        mallopt = ctypes.CDLL(name).mallopt
    except (OSError, AttributeError):  # not glibc
        return
    mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
    mallopt(_M_MMAP_THRESHOLD, MMAP_THRESHOLD)


def netcdf_store(path: str) -> Any:
    """xarray's store of the netCDF file ``path``, its variables caching one storage chunk each.

    The netCDF library gives every variable of a file it opens a cache of
    decompressed chunks (64 MiB each in netCDF-C 4.9 and later), kept until the
    file is closed. A compressed model file read one time step at a time fills
    every variable's cache with steps that are never read again: memory that
    grows with each step until the caches are full, 18 MB a step on a 40-level
    60 x 160 grid of six fields. One chunk is all a read needs: a chunk that
    spans several steps is decompressed once for them all, and nothing more is
    kept. The file is opened this way wherever it is read, on a cluster's
    workers as well, since the store carries its opener with it.
    """
    import importlib

    backends: Any = importlib.import_module("xarray.backends")
    lock = importlib.import_module("xarray.backends.netCDF4_").NETCDF4_PYTHON_LOCK
    # The mode is named: a manager left with its default mode passes that
    # default on, as an object of its own, once unpickled on a worker.
    manager = backends.CachingFileManager(open_one_chunk_cached, path, mode="r", lock=lock)
    return backends.NetCDF4DataStore(manager, mode="r", lock=lock)


def open_one_chunk_cached(path: str, mode: Literal["r"] = "r") -> Any:
    """The netCDF file ``path``, each chunked variable's cache cut to one of its chunks."""
    import netCDF4

    nc = netCDF4.Dataset(path, mode)
    for var in nc.variables.values():
        chunk = _chunk_bytes(var)
        if chunk:
            var.set_var_chunk_cache(size=min(chunk, var.get_var_chunk_cache()[0]))
    return nc


def _chunk_bytes(var: Any) -> int:
    chunking = var.chunking()
    if not isinstance(chunking, list):  # contiguous storage: no chunk to cache
        return 0
    # Variable-length strings have no fixed size (and are never a field).
    return math.prod(chunking) * getattr(var.dtype, "itemsize", 0)
