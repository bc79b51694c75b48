"""Lazy results recomputed one block of steps per task, and the gate that bounds
how many blocks' results a write holds at once."""

from __future__ import annotations

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")

from dask.callbacks import Callback  # noqa: E402
from dask.threaded import get as threaded_get  # noqa: E402

from tarnwell.cli.stepwise import Steps, by_step, step_dims  # noqa: E402


def lazy_result(chunks: dict[str, int], extra_fields: int = 0) -> xr.Dataset:
    """Fields like the diagnosis's: one coupled through a horizontal mean per step,
    one per column, one without a step dimension, a coordinate over all steps."""
    rng = np.random.default_rng(7)
    values = rng.normal(size=(6, 3, 4, 9, 11))  # time, member, level, y, x
    t = xr.DataArray(values, dims=("time", "member", "level", "y", "x")).chunk(chunks)
    anomaly = t - t.mean(["y", "x"])  # needs the whole grid of each step
    column = (t * t).sum("level")
    fields = {
        "anomaly": anomaly.chunk({"y": -1, "x": -1}),
        "column": column.chunk({"y": -1, "x": -1}),
        "static": t.isel(time=0, member=0, drop=True).mean("level"),
    }
    # As many fields as a diagnosis writes, for dask's ordering of their writes.
    fields.update({f"more_{k}": (anomaly * k).max("level") for k in range(extra_fields)})
    return xr.Dataset(fields, coords={"level_mean": t.mean(["time", "member", "y", "x"])})


@pytest.mark.parametrize(
    "chunks, dims",
    [({"time": 1}, ["time"]), ({"time": 2, "member": 1}, ["time", "member"]), ({}, [])],
)
def test_blocks_give_the_bits_of_the_whole_graph(chunks, dims):
    result = lazy_result(chunks)
    assert step_dims(result) == dims
    split, steps = by_step(result)
    assert len(steps.work) == (np.prod([len(result.chunks[d]) for d in dims]) if dims else 0)
    expected = result.compute(scheduler="sync")
    got = split.compute(scheduler="sync")
    for name in expected.variables:
        assert np.array_equal(got[name].values, expected[name].values), name
        assert got[name].dims == expected[name].dims
    for name in ("anomaly", "column"):
        if dims:  # one chunk per block along the step dimensions, whole otherwise
            assert split[name].chunks == tuple(
                result[name].chunksizes[d] if d in dims else (n,)
                for d, n in split[name].sizes.items()
            )
    assert split["static"].data is result["static"].data


def test_fields_chunked_differently_split_only_where_they_agree():
    result = lazy_result({"time": 1})
    result["column"] = result["column"].chunk({"y": 3})  # y split in one field only
    assert step_dims(result) == ["time"]
    result["grid_mapping"] = xr.DataArray(0)  # in memory, left alone
    assert step_dims(result) == ["time"]
    eager = xr.Dataset({"a": xr.DataArray(np.zeros((2, 3)), dims=("time", "y"))})
    assert step_dims(eager) == []


class Recorder(Callback):
    """Which task keys started and finished, in order, and the most block results held."""

    def __init__(self, work: list) -> None:
        super().__init__()
        self.events: list[tuple[str, object]] = []
        self.work = set(work)
        self.most_held = 0

    def _pretask(self, key, dsk, state):
        self.events.append(("start", key))

    def _posttask(self, key, result, dsk, state, id):
        self.events.append(("end", key))
        held = sum(1 for k in state["cache"] if k in self.work)
        self.most_held = max(self.most_held, held)


def write(split: xr.Dataset, steps: Steps, path, lag: int | None, n_threads: int) -> Recorder:
    """``split`` written to a netCDF file as the command writes it, gated with ``lag``."""
    delayed = split.to_netcdf(path, compute=False)
    graph = delayed.__dask_graph__()
    graph = dict(graph) if lag is None else steps.throttled(graph, lag=lag)
    recorder = Recorder(steps.work)
    with recorder:
        threaded_get(graph, delayed.__dask_keys__(), num_workers=n_threads)
    return recorder


@pytest.mark.parametrize("lag, n_threads", [(1, 2), (2, 2), (1, 1)])
def test_a_block_waits_for_the_writes_of_the_block_lag_before(tmp_path, lag, n_threads):
    result = lazy_result({"time": 1, "member": 2}, extra_fields=12)
    split, steps = by_step(result)
    recorder = write(split, steps, tmp_path / "out.nc", lag, n_threads)
    expected = result.compute(scheduler="sync")
    with xr.open_dataset(tmp_path / "out.nc") as got:
        for name in expected.data_vars:
            assert np.array_equal(got[name].values, expected[name].values), name
    order = {event: i for i, event in enumerate(recorder.events)}
    writes = [_writes_of(recorder, work) for work in steps.work]
    assert all(len(w) == 14 for w in writes)  # one chunk of each field per block
    for b in range(lag, len(steps.work)):
        started = order[("start", steps.work[b])]
        assert all(order[("end", k)] < started for k in writes[b - lag]), b
    assert recorder.most_held <= lag + 1


def test_the_diagnosis_holds_one_block_more_than_the_lag(tmp_path):
    """The command's own write (grid mapping, encodings, a coordinate over all
    steps): each block waits for the writes of the one before."""
    from tarnwell import _sample_data
    from tarnwell.cli import _io
    from tarnwell.cli import diagnose as diagnosis
    from tarnwell.cli.output import for_path

    path = tmp_path / "model.nc"
    _sample_data.model_dataset(nt=8, nz=30, ny=16, nx=20).to_netcdf(path)
    with _io.open_model(str(path), {"time": 1}) as ds:
        options = diagnosis.Options(storm_motion=None, level_dim=None, dtype=None)
        result = diagnosis.diagnose(ds, {}, options)
        split, steps = by_step(result)
        out = tmp_path / "out.nc"
        recorder = write(for_path(split, str(out)), steps, out, 1, 2)
        expected = result.compute()
    assert len(steps.work) == 8 and recorder.most_held <= 2
    order = {event: i for i, event in enumerate(recorder.events)}
    for b in range(1, 8):
        writes = _writes_of(recorder, steps.work[b - 1])
        assert len(writes) == len(split.data_vars) - 1  # all but the grid mapping
        assert max(order[("end", k)] for k in writes) < order[("start", steps.work[b])]
    with xr.open_dataset(out) as got:
        for name in ("theta_e", "intensity", "cape_ml", "helicity_0_3km"):
            stored = expected[name].values.astype(got[name].dtype)
            assert np.array_equal(got[name].values, stored, equal_nan=True), name


@pytest.mark.parametrize("steps_in_file", [3, 6])
def test_only_the_files_end_is_split_off(tmp_path, steps_in_file):
    """On a cluster the end runs in the command: it must be the few tasks that
    gather every block, never a block's own work, and the blocks' part alone
    plus the end must give the file's bits."""
    result = lazy_result({"time": 1}, extra_fields=2).isel(time=slice(steps_in_file))
    split, steps = by_step(result)
    delayed = split.to_netcdf(tmp_path / "out.nc", compute=False)
    blocks, read, end = steps.split_end(steps.throttled(delayed.__dask_graph__(), lag=1))
    assert len(end) <= len(split.data_vars) + 2  # however many steps
    assert set(steps.work) | set(steps.gates[1:]) <= set(blocks)
    values = dict(zip(read, threaded_get(blocks, read), strict=True))
    for task in end:
        values[task.key] = task({d: values[d] for d in task.dependencies})
    expected = result.compute(scheduler="sync")
    with xr.open_dataset(tmp_path / "out.nc") as got:
        for name in expected.data_vars:
            assert np.array_equal(got[name].values, expected[name].values), name


def _writes_of(recorder: Recorder, work) -> list:
    """The store tasks that ran for ``work``'s block, keyed by its chunk index
    along the fields' step axes, which lead: (name, time, member, ...)."""
    index = work[1:]
    return [
        k
        for kind, k in recorder.events
        if kind == "end"
        and isinstance(k, tuple)
        and k[0].startswith("store-map")
        and k[1 : 1 + len(index)] == index
    ]
