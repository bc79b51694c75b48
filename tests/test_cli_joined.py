"""Several files of one run in one `tarnwell diagnose`: joined along time in time order,
the same bits as one file holding them all, and a file that does not fit named."""

from __future__ import annotations

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")

from test_models_wrf import wrfout  # noqa: E402

from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import main  # noqa: E402


def diagnosed(*args: object) -> xr.Dataset:
    assert main(["diagnose", *map(str, args), "-q", "--threads", "2"]) == 0
    with xr.open_dataset(args[args.index("-o") + 1]) as ds:
        return ds.load()


def assert_same_bits(a: xr.Dataset, b: xr.Dataset) -> None:
    assert sorted(a.variables) == sorted(b.variables)
    for name in a.variables:
        np.testing.assert_array_equal(a[name].values, b[name].values, err_msg=str(name))
        assert plain(a[name].attrs) == plain(b[name].attrs), name


def plain(attrs: dict) -> dict:
    """Attributes comparable whatever the format stored them as (arrays, lists)."""
    return {k: np.asarray(v).tolist() for k, v in attrs.items()}


def test_cf_files_by_a_quoted_glob_are_the_whole_file(tmp_path):
    ds = _sample_data.model_dataset(nt=4, nz=10, ny=12, nx=14, dx=10000.0, seed=5)
    ds.to_netcdf(tmp_path / "whole.nc")
    # Named against time order: the later steps sort first. The earliest file holds
    # one step, whose time a file stores in days, which hours apart cannot be.
    ds.isel(time=[2, 3]).to_netcdf(tmp_path / "run_a.nc")
    ds.isel(time=[0]).to_netcdf(tmp_path / "run_b.nc")
    ds.isel(time=[1]).to_netcdf(tmp_path / "run_c.nc")
    whole = diagnosed(tmp_path / "whole.nc", "-o", tmp_path / "w.nc", "--chunks", "time=1")
    parts = diagnosed(tmp_path / "run_*.nc", "-o", tmp_path / "p.zarr")
    assert_same_bits(parts, whole)


def test_wrf_files_one_per_time_are_the_whole_run(tmp_path):
    ds = wrfout()
    whole = tmp_path / "wrfout_whole"
    ds.to_netcdf(whole, format="NETCDF4", unlimited_dims=["Time"])
    paths = []
    for k in range(ds.sizes["Time"]):
        path = tmp_path / f"wrfout_d01_2024-05-20_{18 + k:02d}:00:00"
        ds.isel(Time=[k]).to_netcdf(path, format="NETCDF4", unlimited_dims=["Time"])
        paths.append(path)
    expected = diagnosed(whole, "-o", tmp_path / "w.nc", "--chunks", "time=1")
    assert_same_bits(diagnosed(*paths[::-1], "-o", tmp_path / "p.nc"), expected)


@pytest.mark.parametrize(
    "case, words",
    [
        ("another_grid", ("b.nc", "another grid")),
        ("other_variables", ("b.nc", "does not fit", "lacks TD")),
        ("overlap", ("b.nc", "overlap in time")),
        ("twice", ("given twice",)),
        ("no_match", ("nothing_*.nc", "no file matches")),
    ],
)
def test_a_file_that_does_not_fit_is_named(tmp_path, capsys, case, words):
    ds = _sample_data.model_dataset(nt=2, nz=6, ny=8, nx=9, dx=10000.0, seed=6)
    first, second = tmp_path / "a.nc", tmp_path / "b.nc"
    ds.isel(time=[0]).to_netcdf(first)
    later = ds.isel(time=[1])
    if case == "another_grid":
        later = later.isel(x=slice(1, None))
    elif case == "other_variables":
        later = later.drop_vars("TD")
    elif case == "overlap":
        later = ds
    later.to_netcdf(second)
    paths = {
        "twice": [first, second, tmp_path / "." / "a.nc"],
        "no_match": [first, tmp_path / "nothing_*.nc"],
    }.get(case, [first, second])
    out = tmp_path / "out.nc"
    assert main(["diagnose", *map(str, paths), "-o", str(out), "-q"]) == 1
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1, err
    for word in words:
        assert word in err, err
    assert not out.exists()


def test_files_of_one_time_each_join_along_their_valid_time(tmp_path):
    # As GRIB files of one forecast hour open: the times are scalar coordinates.
    from tarnwell.cli import joined

    def one_hour(hour: int) -> xr.Dataset:
        t = xr.DataArray(np.full((3, 2), 280.0 + hour), dims=("level", "x"), name="t")
        valid = np.datetime64("2024-05-20T18:00") + np.timedelta64(hour, "h")
        return t.to_dataset().assign_coords(
            time=np.datetime64("2024-05-20T18:00"), valid_time=valid
        )

    hours = {f"f{h:03d}.grib2": one_hour(h) for h in (2, 0, 1)}
    ds = joined.open_joined(list(hours), {"time": 1}, lambda path, chunks: hours[path])
    assert ds["t"].dims == ("valid_time", "level", "x")
    np.testing.assert_array_equal(ds["t"].values[:, 0, 0], [280.0, 281.0, 282.0])
