"""The `tarnwell` command against the package's functions called by hand."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")
pytest.importorskip("netCDF4")

import tarnwell  # noqa: E402
from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import main  # noqa: E402

GRAVITY = 9.80665
THRESHOLD = -0.01


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal values, NaN where the other is NaN, and the same sign of zero."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    both_nan = np.isnan(a) & np.isnan(b)
    equal = (a == b) & (np.signbit(a) == np.signbit(b))
    return bool(np.all(both_nan | equal))


@pytest.fixture(scope="module")
def model(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, xr.Dataset]:
    ds = _sample_data.model_dataset(nt=3, nz=14, ny=22, nx=26, dx=10000.0, seed=3)
    # A few missing values, as real files have.
    t = ds["T"].values
    t[0, 3, 5, 7] = np.nan
    t[2, 0, 10, 11] = np.nan
    path = tmp_path_factory.mktemp("model") / "model.nc"
    ds.to_netcdf(path)
    return path, ds


def horizontal_mean(a: np.ndarray) -> np.ndarray:
    flat = a.reshape(*a.shape[:-2], -1)
    finite = np.isfinite(flat)
    return np.where(finite, flat, 0.0).sum(axis=-1) / finite.sum(axis=-1)


def reference(ds: xr.Dataset) -> dict[str, np.ndarray]:
    """Every diagnostic by direct calls of the package's functions on level-second arrays."""
    t, p, td = (ds[n].values for n in ("T", "P", "TD"))
    z, u, v = (ds[n].values for n in ("Z", "U", "V"))
    out: dict[str, np.ndarray] = dict(tarnwell.thermo(t, p, td)._asdict())
    ref = horizontal_mean(out["theta_v"])[..., None, None]
    b = GRAVITY * (out["theta_v"] - ref) / ref
    ground = z.min(axis=1)
    nan = np.full(ground.shape, np.nan)
    out.update(
        tarnwell.cold_pool(z, b, bottom=ground, threshold=THRESHOLD, top=nan, axis=1)._asdict()
    )

    def mean_wind(bottom: float, top: float) -> tarnwell.Profile:
        return tarnwell.profile(
            z, u, v, ground=ground, bottom=bottom, top=top, cu=nan, cv=nan, axis=1
        )

    # Bunkers et al. (2000): shear from the 0-0.5 km to the 5.5-6 km mean wind.
    deep, low, high = mean_wind(0.0, 6000.0), mean_wind(0.0, 500.0), mean_wind(5500.0, 6000.0)
    su = high.u_mean - low.u_mean
    sv = high.v_mean - low.v_mean
    shear = np.hypot(su, sv)
    cu = deep.u_mean + 7.5 * sv / shear
    cv = deep.v_mean - 7.5 * su / shear
    out["u_storm"], out["v_storm"] = cu, cv
    for top in (1, 3, 6):
        res = tarnwell.profile(
            z, u, v, ground=ground, bottom=0.0, top=top * 1000.0, cu=cu, cv=cv, axis=1
        )
        for name, value in res._asdict().items():
            out[f"{name}_0_{top}km"] = value
    x, y = ds["x"].values, ds["y"].values
    for name in ("theta", "theta_v"):
        g = tarnwell.gradient(out[name], x, y)
        out[f"dfdx_{name}"] = g.dfdx
        out[f"dfdy_{name}"] = g.dfdy
        out[f"grad_{name}"] = np.hypot(g.dfdx, g.dfdy)
    return out


def run(*args: object) -> int:
    return main([str(a) for a in args])


def read(path: Path) -> xr.Dataset:
    engine = "zarr" if str(path).endswith(".zarr") else None
    with xr.open_dataset(path, engine=engine) as ds:
        return ds.load()


@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
@pytest.mark.parametrize("chunks", [None, "time=1", "time=2,y=7", "level=5,x=10"])
def test_diagnose_equals_direct_calls(model, tmp_path, suffix, chunks):
    path, ds = model
    out = tmp_path / f"diag{suffix}"
    extra = ["--chunks", chunks] if chunks else []
    assert run("diagnose", path, "-o", out, "-q", *extra) == 0
    got = read(out)
    expected = reference(ds)
    assert set(expected) <= set(got.data_vars)
    for name, value in expected.items():
        assert same_bits(got[name].values, value), name
    # The input's coordinates and CF attributes come along.
    assert got["theta_e"].dims == ("time", "level", "y", "x")
    assert got["helicity_0_3km"].dims == ("time", "y", "x")
    np.testing.assert_array_equal(got["x"].values, ds["x"].values)
    assert got["x"].attrs["standard_name"] == "projection_x_coordinate"
    assert got["theta"].attrs["standard_name"] == "air_potential_temperature"
    assert got["helicity_0_3km"].attrs["units"] == "m2 s-2"
    assert got["intensity"].attrs["grid_mapping"] == "lambert_conformal"
    # Not a degenerate case: the sample has a cold pool and positive helicity.
    assert np.nanmax(got["intensity"].values) > 10.0
    assert np.nanmax(got["helicity_0_3km"].values) > 100.0


def test_thread_count_does_not_change_the_file(model, tmp_path):
    path, _ = model
    one, two = tmp_path / "one.nc", tmp_path / "two.nc"
    assert run("diagnose", path, "-o", one, "-q", "--threads", "1") == 0
    assert run("diagnose", path, "-o", two, "-q", "--threads", "2", "--chunks", "time=1") == 0
    a, b = read(one), read(two)
    for name in a.data_vars:
        if a[name].dtype.kind == "f":
            assert same_bits(a[name].values, b[name].values), name


def test_variables_found_by_standard_name_and_by_mapping(model, tmp_path):
    path, ds = model
    expected = reference(ds)
    # Unusual names: found by their CF standard names.
    odd = ds.rename({"T": "air", "TD": "dp", "P": "pres_full", "Z": "hgt", "U": "uu", "V": "vv"})
    odd_path = tmp_path / "odd.nc"
    odd.to_netcdf(odd_path)
    assert run("diagnose", odd_path, "-o", tmp_path / "a.nc", "-q") == 0
    assert same_bits(read(tmp_path / "a.nc")["helicity_0_1km"].values, expected["helicity_0_1km"])
    # No standard names at all: named on the command line.
    bare = odd.copy()
    for name in bare.data_vars:
        bare[name].attrs.pop("standard_name", None)
    bare_path = tmp_path / "bare.nc"
    bare.to_netcdf(bare_path)
    mapping = ["temperature=air", "dewpoint=dp", "pressure=pres_full", "height=hgt", "u=uu", "v=vv"]
    args = [a for m in mapping for a in ("--var", m)]
    assert run("diagnose", bare_path, "-o", tmp_path / "b.nc", "-q", *args) == 0
    got = read(tmp_path / "b.nc")
    for name in ("theta_e", "intensity", "helicity_0_3km", "grad_theta_v"):
        assert same_bits(got[name].values, expected[name]), name


def test_units_are_converted(model, tmp_path):
    path, ds = model
    expected = reference(ds)
    conv = ds.copy()
    conv["T"] = (ds["T"] - 273.15).assign_attrs(ds["T"].attrs, units="degC")
    conv["TD"] = (ds["TD"] - 273.15).assign_attrs(ds["TD"].attrs, units="degC")
    conv["P"] = (ds["P"] / 100.0).assign_attrs(ds["P"].attrs, units="hPa")
    conv["Z"] = (ds["Z"] * GRAVITY).assign_attrs(standard_name="geopotential", units="m2 s-2")
    conv["U"] = (ds["U"] / (1852.0 / 3600.0)).assign_attrs(ds["U"].attrs, units="knots")
    conv["x"] = (ds["x"] / 1000.0).assign_attrs(ds["x"].attrs, units="km")
    conv_path = tmp_path / "conv.nc"
    conv.to_netcdf(conv_path)
    out = tmp_path / "c.nc"
    assert run("diagnose", conv_path, "-o", out, "-q") == 0
    got = read(out)
    for name in (
        "mixing_ratio",
        "theta",
        "theta_e",
        "helicity_0_3km",
        "u_mean_0_6km",
        "dfdx_theta",
        "intensity",
    ):
        np.testing.assert_allclose(
            got[name].values, expected[name], rtol=1e-8, atol=1e-9, err_msg=name
        )


def test_humidity_gives_the_dew_point(model, tmp_path):
    """Specific humidity in, the same mixing ratio out: w = q / (1 - q)."""
    path, ds = model
    w = tarnwell.thermo(ds["T"].values, ds["P"].values, ds["TD"].values).mixing_ratio
    q = w / (1.0 + w)
    moist = ds.drop_vars("TD")
    moist["QV"] = (ds["T"].dims, q, {"standard_name": "specific_humidity", "units": "kg kg-1"})
    moist_path = tmp_path / "q.nc"
    moist.to_netcdf(moist_path)
    assert run("diagnose", moist_path, "-o", tmp_path / "q_out.nc", "-q") == 0
    got = read(tmp_path / "q_out.nc")
    np.testing.assert_allclose(got["mixing_ratio"].values, w, rtol=1e-10)
    np.testing.assert_allclose(got["theta_e"].values, reference(ds)["theta_e"], rtol=1e-10)


def test_levels_stored_top_down_are_turned_round(model, tmp_path):
    path, ds = model
    flipped = ds.isel(level=slice(None, None, -1))
    flipped_path = tmp_path / "flipped.nc"
    flipped.to_netcdf(flipped_path)
    assert run("diagnose", flipped_path, "-o", tmp_path / "f.nc", "-q") == 0
    got = read(tmp_path / "f.nc")
    expected = reference(ds)
    for name in ("intensity", "depth", "helicity_0_1km", "v_mean_0_6km"):
        assert same_bits(got[name].values, expected[name]), name


def test_fixed_storm_motion(model, tmp_path):
    path, ds = model
    out = tmp_path / "sm.nc"
    assert run("diagnose", path, "-o", out, "-q", "--storm-motion", "8,-2.5") == 0
    got = read(out)
    z, u, v = (ds[n].values for n in ("Z", "U", "V"))
    ground = z.min(axis=1)
    res = tarnwell.profile(z, u, v, ground=ground, bottom=0.0, top=3000.0, cu=8.0, cv=-2.5, axis=1)
    assert same_bits(got["helicity_0_3km"].values, res.helicity)
    assert np.all(got["u_storm"].values == 8.0)


# --- bad input: one line on stderr, a non-zero exit, no output left behind ---


def _no_output_left(directory: Path, keep: set[str]) -> None:
    left = {p.name for p in directory.iterdir()} - keep
    assert not left, left


def _one_error_line(capsys: pytest.CaptureFixture[str], *words: str) -> str:
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1, err
    assert err.startswith("tarnwell diagnose: error:") or err.startswith("tarnwell "), err
    for word in words:
        assert word in err, err
    return err


@pytest.mark.parametrize(
    "case, words",
    [
        ("missing_variable", ("NOPE",)),
        ("no_vertical", ("vertical",)),
        ("unknown_units", ("blorps",)),
        ("unreadable", ("cannot read",)),
        ("nothing", ("neither air temperature nor wind",)),
    ],
)
def test_bad_input_is_one_line_and_leaves_nothing(model, tmp_path, capsys, case, words):
    path, ds = model
    bad = tmp_path / "bad.nc"
    extra: list[str] = []
    if case == "missing_variable":
        bad = path
        extra = ["--var", "temperature=NOPE"]
    elif case == "no_vertical":
        flat = ds.rename({"level": "k"})
        flat["k"].attrs.clear()
        flat.to_netcdf(bad)
    elif case == "unknown_units":
        ds.assign(T=ds["T"].assign_attrs(units="blorps")).to_netcdf(bad)
    elif case == "unreadable":
        bad.write_bytes(b"this is not a model file\n" * 10)
    elif case == "nothing":
        ds[["lambert_conformal"]].to_netcdf(bad)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    assert run("diagnose", bad, "-o", out_dir / "diag.nc", *extra) == 1
    _one_error_line(capsys, *words)
    _no_output_left(out_dir, set())


def test_grid_in_degrees_gives_everything_but_gradients(model, tmp_path, capsys):
    path, ds = model
    geo = tmp_path / "geo.nc"
    ds.assign_coords(x=ds["x"].assign_attrs(units="degrees_east")).to_netcdf(geo)
    out = tmp_path / "geo_diag.nc"
    assert run("diagnose", geo, "-o", out, "-q") == 0
    err = capsys.readouterr().err
    assert "note: no gradients" in err and "degrees_east" in err
    got = read(out)
    assert "grad_theta" not in got and "dfdx_theta" not in got
    assert same_bits(got["helicity_0_3km"].values, reference(ds)["helicity_0_3km"])


def test_existing_output_is_refused_unless_overwrite(model, tmp_path, capsys):
    path, _ = model
    out = tmp_path / "diag.nc"
    out.write_bytes(b"precious")
    assert run("diagnose", path, "-o", out) == 1
    _one_error_line(capsys, "exists", "--overwrite")
    assert out.read_bytes() == b"precious"
    assert run("diagnose", path, "-o", out, "--overwrite", "-q") == 0
    assert "theta_e" in read(out)


def test_a_failed_write_leaves_no_partial_file(model, tmp_path, monkeypatch):
    from tarnwell import cli

    path, _ = model

    def failing(client, threads, progress, steps=None):
        def compute(delayed):
            raise KeyboardInterrupt

        return compute

    monkeypatch.setattr(cli, "_computer", failing)
    assert run("diagnose", path, "-o", tmp_path / "d.nc", "--chunks", "time=1", "-q") == 130
    assert run("diagnose", path, "-o", tmp_path / "d.zarr", "--chunks", "time=1", "-q") == 130
    assert os.listdir(tmp_path) == []


def test_python_dash_m_and_console_script_run():
    import subprocess
    import sys

    done = subprocess.run(
        [sys.executable, "-m", "tarnwell", "--help"], capture_output=True, text=True, check=True
    )
    for command in ("diagnose", "vad", "plot"):
        assert command in done.stdout


def write_grib(path: Path) -> dict[str, np.ndarray]:
    """A small GRIB2 file on pressure levels and a lat/lon grid, as a global model writes it."""
    eccodes = pytest.importorskip("eccodes")
    levels = [1000, 925, 850, 700, 500, 300]
    ny, nx = 5, 6
    rng = np.random.default_rng(5)
    written: dict[str, np.ndarray] = {}
    with open(path, "wb") as f:
        for short, base, per_level in [
            ("t", 295.0, -9.0),
            ("gh", 110.0, 1500.0),
            ("u", 4.0, 3.0),
            ("v", -2.0, 1.5),
            ("r", 85.0, -8.0),
        ]:
            field = np.empty((len(levels), ny, nx))
            for k, level in enumerate(levels):
                h = eccodes.codes_grib_new_from_samples("regular_ll_pl_grib2")
                for key, value in {
                    "Ni": nx,
                    "Nj": ny,
                    "latitudeOfFirstGridPointInDegrees": 40.0,
                    "latitudeOfLastGridPointInDegrees": 36.0,
                    "longitudeOfFirstGridPointInDegrees": 260.0,
                    "longitudeOfLastGridPointInDegrees": 265.0,
                    "iDirectionIncrementInDegrees": 1.0,
                    "jDirectionIncrementInDegrees": 1.0,
                    "shortName": short,
                    "typeOfFirstFixedSurface": 100,
                    "level": level,
                }.items():
                    eccodes.codes_set(h, key, value)
                values = base + k * per_level + rng.random(ny * nx)
                eccodes.codes_set_values(h, values)
                eccodes.codes_write(h, f)
                eccodes.codes_release(h)
                field[k] = values.reshape(ny, nx)
            written[short] = field
    return written


def test_grib_file_through_cfgrib(tmp_path, capsys):
    pytest.importorskip("cfgrib")
    grib = tmp_path / "model.grib2"
    write_grib(grib)
    out = tmp_path / "grib_diag.nc"
    assert run("diagnose", grib, "-o", out, "-q", "--dtype", "float64") == 0
    assert "no gradients" not in capsys.readouterr().err
    got = read(out)
    with xr.open_dataset(grib, engine="cfgrib", backend_kwargs={"indexpath": ""}) as ds:
        t, z, u, v, rh = (ds[n].values.astype(np.float64) for n in ("t", "gh", "u", "v", "r"))
        p = ds["isobaricInhPa"].values.astype(np.float64)[:, None, None] * 100.0
        lat = ds["latitude"].values.astype(np.float64)
        lon = ds["longitude"].values.astype(np.float64)
    # A lat/lon grid: derivatives on the sphere, by centred differences in radians
    # inside the grid (latitudes stored north to south), then the metric factors.
    theta = got["theta"].values
    radius = 6371000.0
    lam, phi = np.deg2rad(lon), np.deg2rad(lat)
    dfdx = (theta[:, :, 2:] - theta[:, :, :-2]) / (lam[2:] - lam[:-2])
    dfdx = dfdx / (radius * np.cos(phi))[None, :, None]
    dfdy = (theta[:, 2:, :] - theta[:, :-2, :]) / (phi[2:] - phi[:-2])[None, :, None] / radius
    np.testing.assert_allclose(got["dfdx_theta"].values[:, :, 1:-1], dfdx, rtol=1e-12)
    np.testing.assert_allclose(got["dfdy_theta"].values[:, 1:-1, :], dfdy, rtol=1e-12)
    assert same_bits(got["theta"].values, tarnwell.thermo(t, p, t).theta)
    # Relative humidity (%) to dew point and back to a mixing ratio.
    tc = t - 273.15
    e = rh / 100.0 * 611.2 * np.exp(17.67 * tc / (tc + 243.5))
    w = 0.6219569156569429 * e / (p - e)
    np.testing.assert_allclose(got["mixing_ratio"].values, w, rtol=1e-9)
    ground = z.min(axis=0)
    res = tarnwell.profile(
        z,
        u,
        v,
        ground=ground,
        bottom=0.0,
        top=1000.0,
        cu=got["u_storm"].values,
        cv=got["v_storm"].values,
        axis=0,
    )
    assert same_bits(got["helicity_0_1km"].values, res.helicity)
    assert got["helicity_0_1km"].dims == ("latitude", "longitude")


def test_chunks_split_only_the_named_dimensions(model, tmp_path, capsys):
    """A file stored in small chunks (as netCDF-4 stores an unlimited time
    axis): --chunks time=1 still gives whole fields per block, so no kernel
    input has to be concatenated; a dimension the file lacks is refused."""
    from tarnwell.cli import _io

    _, ds = model
    path = tmp_path / "stored_in_pieces.nc"
    pieces = {n: {"chunksizes": (1, 3, 5, 7)} for n, v in ds.data_vars.items() if v.ndim == 4}
    ds.to_netcdf(path, encoding=pieces, unlimited_dims=["time"])
    with xr.open_dataset(path, chunks={"time": 1}) as preferred:
        assert len(preferred["T"].chunks[1]) > 1  # what xarray alone would give
    with _io.open_model(str(path), {"time": 1}) as opened:
        t = opened["T"]
        assert t.chunks == ((1,) * t.shape[0], *((n,) for n in t.shape[1:]))
        np.testing.assert_array_equal(t.values, ds["T"].values)
    with pytest.raises(_io.CommandError, match="no dimension 'tiem'"):
        _io.open_model(str(path), {"tiem": 1})
    out = tmp_path / "d.nc"
    assert run("diagnose", path, "-o", out, "--chunks", "time=1", "-q") == 0
    assert run("diagnose", path, "-o", tmp_path / "e.nc", "--chunks", "tiem=1", "-q") == 1
    assert "no dimension 'tiem'" in capsys.readouterr().err
    assert not (tmp_path / "e.nc").exists()


def test_chunked_fields_are_views_of_the_kernels_result():
    """Each dask task returns the kernel's own stacked result, not a copy; a
    tuple that is not consecutive rows of one array is stacked afresh."""
    from tarnwell.cli.blockwise import _stacked

    rng = np.random.default_rng(5)
    t = rng.uniform(250, 300, (3, 4))
    fields = tarnwell.thermo(t, t * 300, t - 2)
    whole = _stacked(tuple(fields))
    assert whole.shape == (4, 3, 4)
    for i, f in enumerate(fields):
        assert f.ctypes.data == whole[i].ctypes.data
    swapped = _stacked((fields[1], fields[0]))
    assert not np.shares_memory(swapped, fields[0])
    np.testing.assert_array_equal(swapped, np.stack([fields[1], fields[0]]))
