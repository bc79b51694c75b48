"""How `tarnwell diagnose` stores its fields: the inputs' precision, compressed, by time."""

from __future__ import annotations

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")
netCDF4 = pytest.importorskip("netCDF4")

from probes import model_stored_as_models_store  # noqa: E402

from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import main, output  # noqa: E402


@pytest.fixture(scope="module")
def single(tmp_path_factory: pytest.TempPathFactory):
    path = tmp_path_factory.mktemp("f32") / "model32.nc"
    return model_stored_as_models_store(path, nt=3, seed=7)


def run(*args: object) -> int:
    return main([str(a) for a in args])


def test_float32_inputs_give_float32_fields_rounded_once(single, tmp_path):
    """Computed in double, rounded once: the float32 file holds exactly the float64
    file's values rounded to float32."""
    f32, f64 = tmp_path / "d32.nc", tmp_path / "d64.nc"
    assert run("diagnose", single, "-o", f32, "-q") == 0
    assert run("diagnose", single, "-o", f64, "-q", "--dtype", "float64") == 0
    with netCDF4.Dataset(f32) as a, netCDF4.Dataset(f64) as b:
        assert a["theta_e"].dtype == np.float32 and a["helicity_0_3km"].dtype == np.float32
        assert b["theta_e"].dtype == np.float64
        for name in ("theta_e", "helicity_0_3km", "intensity", "dfdx_theta", "u_storm"):
            exact = b[name][:].filled(np.nan).astype(np.float32)
            stored = a[name][:].filled(np.nan)
            assert np.array_equal(stored, exact, equal_nan=True), name
        # Compressed with the shuffle, one time step per chunk.
        filters = a["theta_e"].filters()
        assert filters["zlib"] and filters["shuffle"] and filters["complevel"] == 1
        assert a["theta_e"].chunking() == [1, *a["theta_e"].shape[1:]]
        assert a["helicity_0_1km"].chunking() == [1, *a["helicity_0_1km"].shape[1:]]
        # Coordinates keep their own precision.
        assert a["x"].dtype == np.float64
    assert f32.stat().st_size < 0.6 * f64.stat().st_size


def test_float64_inputs_stay_double_unless_asked(tmp_path):
    ds = _sample_data.model_dataset(nt=2, nz=8, ny=10, nx=12, dx=10000.0, seed=1)
    path = tmp_path / "m64.nc"
    ds.to_netcdf(path)
    default, single_out = tmp_path / "a.nc", tmp_path / "b.zarr"
    assert run("diagnose", path, "-o", default, "-q") == 0
    assert run("diagnose", path, "-o", single_out, "-q", "--dtype", "float32") == 0
    with xr.open_dataset(default) as a:
        assert a["theta"].dtype == np.float64
    with xr.open_dataset(single_out, engine="zarr") as b:
        assert b["theta"].dtype == np.float32
        assert b["theta"].encoding["chunks"] == (1, 8, 10, 12)
        assert b["theta"].encoding.get("compressor") or b["theta"].encoding.get("compressors")


def test_zarr_from_blocks_that_cut_the_grid(single, tmp_path):
    """Lazy blocks split along y and levels are written as whole-field time chunks."""
    out = tmp_path / "cut.zarr"
    assert run("diagnose", single, "-o", out, "-q", "--chunks", "time=2,y=7,level=5") == 0
    whole = tmp_path / "whole.nc"
    assert run("diagnose", single, "-o", whole, "-q") == 0
    with xr.open_dataset(out, engine="zarr") as a, xr.open_dataset(whole) as b:
        assert a["theta_e"].encoding["chunks"] == (1, *a["theta_e"].shape[1:])
        for name in b.data_vars:
            if b[name].dtype.kind == "f":
                assert np.array_equal(a[name].values, b[name].values, equal_nan=True), name


def test_chunk_shape_splits_large_fields():
    times = {"time"}
    assert output.chunk_shape(("time", "level", "y"), (5, 10, 20), 4, times) == (1, 10, 20)
    big = output.chunk_shape(("time", "level", "y", "x"), (2, 137, 721, 1440), 4, times)
    assert big[0] == 1 and big[2:] == (721, 1440)
    assert np.prod(big) * 4 <= output.MAX_CHUNK_BYTES and big[1] >= 1


def test_time_dims_by_name_and_by_dates():
    ds = xr.Dataset(
        {"a": (("valid_time", "step", "y"), np.zeros((2, 3, 4)))},
        coords={"step": ("step", np.array([0, 1, 2], dtype="timedelta64[h]"))},
    )
    assert output.time_dims(ds) == {"valid_time"}
    dated = ds.rename(valid_time="when").assign_coords(
        when=np.array(["2024-05-01", "2024-05-02"], dtype="datetime64[ns]")
    )
    assert output.time_dims(dated) == {"when"}
