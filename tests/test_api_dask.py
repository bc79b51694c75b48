"""dask input: lazy until computed, chunks kept, bit-identical to the eager call,
on the threaded scheduler and on a dask.distributed cluster of worker processes."""

import numpy as np
import pytest
from scalar_ref import assert_bits

import tarnwell
from tarnwell._threads import resolve_threads

da = pytest.importorskip("dask.array")
xr = pytest.importorskip("xarray")
dask = pytest.importorskip("dask")


@pytest.fixture(scope="module")
def fields():
    rng = np.random.default_rng(21)
    shape = (3, 9, 70, 8)  # (time, level, y, x): 560 columns per time, several kernel chunks
    z = np.cumsum(rng.uniform(50.0, 400.0, shape), axis=1)
    u, v, b = rng.normal(0.0, 8.0, (3, *shape))
    u[rng.random(shape) < 0.05] = np.nan
    t = rng.uniform(250.0, 305.0, shape)
    return {"z": z, "u": u, "v": v, "b": b / 100, "t": t, "td": t - 5.0}


# Chunks split along every axis, the vertical one included.
CHUNKS = (1, 4, 35, 5)
PROFILE_KW = dict(ground=np.nan, bottom=0.0, top=1500.0, cu=1.0, cv=-2.0)


def lazy_calls(arr):
    """Each call of the face on (possibly) lazy inputs, one per kernel."""
    return {
        "thermo": lambda: tarnwell.thermo(arr("t"), 85000.0, arr("td")),
        "cold_pool": lambda: tarnwell.cold_pool(
            arr("z"), arr("b"), bottom=0.0, threshold=-0.01, top=np.nan, axis=1
        ),
        "profile": lambda: tarnwell.profile(arr("z"), arr("u"), arr("v"), axis=1, **PROFILE_KW),
        "gradient": lambda: tarnwell.gradient(
            arr("t"), np.arange(8.0) * 1e3, np.arange(70.0) * 1e3
        ),
        "vad": lambda: tarnwell.vad(
            arr("u"),
            np.linspace(0.0, 6.0, 9)[:, None, None],
            cos_el=0.9,
            min_gates=5,
            min_spread=0.05,
            axis=1,
        ),
    }


@pytest.mark.parametrize("kernel", ["thermo", "cold_pool", "profile", "gradient", "vad"])
def test_dask_arrays_stay_lazy_and_equal_eager(fields, kernel):
    eager = lazy_calls(lambda k: fields[k])[kernel]()
    lazy = lazy_calls(lambda k: da.from_array(fields[k], chunks=CHUNKS))[kernel]()
    assert type(lazy) is type(eager)
    for lf, ef in zip(lazy, eager, strict=True):
        assert isinstance(lf, da.Array)
        assert lf.shape == ef.shape
        assert_bits(lf.compute(scheduler="threads"), ef)
    # batch chunks are kept (the time axis is never merged)
    assert lazy[0].chunks[0] == (1, 1, 1)


def test_dask_backed_dataarrays_stay_lazy(fields):
    dims = ("time", "level", "y", "x")
    arrs = {k: xr.DataArray(v, dims=dims) for k, v in fields.items()}
    eager = tarnwell.profile(arrs["z"], arrs["u"], arrs["v"], **PROFILE_KW)
    chunked = {k: a.chunk(dict(zip(dims, CHUNKS, strict=True))) for k, a in arrs.items()}
    lazy = tarnwell.profile(chunked["z"], chunked["u"], chunked["v"], **PROFILE_KW)
    for lf, ef in zip(lazy, eager, strict=True):
        assert lf.chunks is not None and lf.dims == ef.dims
        assert lf.attrs == ef.attrs
        assert_bits(lf.compute(scheduler="threads"), ef)
    g = tarnwell.gradient(chunked["t"].assign_coords(x=np.arange(8.0), y=np.arange(70.0)))
    assert g.dfdx.chunks is not None and g.dfdx.dims == dims
    assert_bits(
        g.dfdx.compute(scheduler="threads"),
        tarnwell.gradient(fields["t"], np.arange(8.0), np.arange(70.0)).dfdx,
    )


def test_bad_input_to_lazy_call_fails_before_compute(fields):
    z = da.from_array(fields["z"], chunks=CHUNKS)
    with pytest.raises(ValueError, match=r"tarnwell\.cold_pool: axis=5 is out of range"):
        tarnwell.cold_pool(z, z, bottom=0.0, threshold=0.0, top=1.0, axis=5)
    with pytest.raises(ValueError, match=r"tarnwell\.cold_pool: cannot broadcast z with shape"):
        tarnwell.cold_pool(z, z[:, :3], bottom=0.0, threshold=0.0, top=1.0)
    with pytest.raises(TypeError, match="n_threads"):
        tarnwell.thermo(z, 1e5, z, n_threads="2")


def test_thread_count_is_one_inside_a_threaded_dask_task():
    probe = da.zeros((4,), chunks=1).map_blocks(
        lambda b: np.full(b.shape, resolve_threads(None)), dtype=np.int64
    )
    assert probe.compute(scheduler="threads").tolist() == [1, 1, 1, 1]
    assert resolve_threads(None) >= 1  # outside a task: the affinity mask (tested elsewhere)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            worker_dashboard_address=None,
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


@pytest.mark.distributed
def test_distributed_cluster_of_processes_gives_eager_bits(client, fields):
    for kernel in ("profile", "gradient", "thermo"):
        eager = lazy_calls(lambda k: fields[k])[kernel]()
        lazy = lazy_calls(lambda k: da.from_array(fields[k], chunks=CHUNKS))[kernel]()
        computed = client.compute(list(lazy), sync=True)
        for c, e in zip(computed, eager, strict=True):
            assert_bits(c, e)
    assert client.submit(resolve_threads, None).result() == 1
    pids = set(client.run(lambda: __import__("os").getpid()).values())
    assert len(pids) == 2 and __import__("os").getpid() not in pids


def test_per_column_arguments_broadcast_and_extend_the_batch(fields):
    rng = np.random.default_rng(22)
    cu = rng.normal(size=(2, 1, 1, 1))  # two storm motions: a new leading batch axis
    cv = rng.normal(size=(1, 70, 1))
    kw = dict(ground=np.nan, bottom=0.0, top=1500.0, cu=cu, axis=1)
    eager = tarnwell.profile(fields["z"], fields["u"], fields["v"], cv=cv, **kw)
    lazy = tarnwell.profile(
        da.from_array(fields["z"], chunks=CHUNKS),
        fields["u"],
        da.from_array(fields["v"], chunks=(2, 9, 10, 3)),
        cv=da.from_array(cv, chunks=(1, 20, 1)),
        **kw,
    )
    assert lazy.helicity.shape == eager.helicity.shape == (2, 3, 70, 8)
    for lf, ef in zip(lazy, eager, strict=True):
        assert_bits(lf.compute(scheduler="threads"), ef)
