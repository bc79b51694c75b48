"""The general CF reader on layouts tidy files do not show: potential temperature
instead of temperature (UM), top-down levels with a coordinate, terrain under
the lowest level, scalar height coordinates; and the missing-package messages."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("netCDF4")

from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import _io, main, models  # noqa: E402

KAPPA = 0.28542059262205427


@pytest.fixture(scope="module")
def sample() -> xr.Dataset:
    return _sample_data.model_dataset(nt=2, nz=10, ny=8, nx=9, dx=5000.0, seed=2)


def save(ds: xr.Dataset, path: Path) -> xr.Dataset:
    ds.to_netcdf(path)
    with xr.open_dataset(path) as stored:
        return stored.load()


def test_theta_gives_the_temperature(sample, tmp_path):
    """A UM-style file: potential temperature and pressure, no temperature."""
    theta = sample["T"] * (100000.0 / sample["P"]) ** KAPPA
    um = sample.drop_vars("T").assign(
        theta=theta.assign_attrs(standard_name="air_potential_temperature", units="K")
    )
    stored = save(um, tmp_path / "um.nc")
    fields = models.read(stored, {}, None)
    assert fields.family == "CF"
    th, p = stored["theta"].values, stored["P"].values
    np.testing.assert_array_equal(fields.temperature.values, th * (p / 100000.0) ** KAPPA)
    out = tmp_path / "um_diag.nc"
    assert main(["diagnose", str(tmp_path / "um.nc"), "-o", str(out), "-q"]) == 0
    with xr.open_dataset(out) as got:
        # The theta that comes out is the theta that went in.
        np.testing.assert_array_equal(got["theta"].values, th)
        assert "the file's theta" in got["theta"].attrs["comment"]


def test_theta_on_pressure_levels_is_masked_below_the_ground(sample, tmp_path):
    """θ on pressure levels with a surface pressure: the θ written is the file's
    above the ground and missing below it, where the temperature is."""
    pressures = np.linspace(100000.0, 20000.0, sample.sizes["level"])
    p = xr.DataArray(pressures, dims="level")
    theta = sample["T"] * (100000.0 / p) ** KAPPA
    ps = xr.full_like(sample["P"].isel(level=0, drop=True), 95000.0)
    ps[:, :, :4] = 91000.0
    on_p = (
        sample.drop_vars(["P", "T"])
        .assign(
            theta=theta.assign_attrs(standard_name="air_potential_temperature", units="K"),
            ps=ps.assign_attrs(standard_name="surface_air_pressure", units="Pa"),
        )
        .assign_coords(level=("level", pressures, {"units": "Pa", "standard_name": "air_pressure"}))
    )
    stored = save(on_p, tmp_path / "theta_p.nc")
    out = tmp_path / "theta_p_diag.nc"
    assert main(["diagnose", str(tmp_path / "theta_p.nc"), "-o", str(out), "-q"]) == 0
    with xr.open_dataset(out) as got:
        below = (p > stored["ps"]).transpose(*got["theta"].dims).values
        assert 0 < below.sum() < below.size
        want = np.where(below, np.nan, stored["theta"].values)
        np.testing.assert_array_equal(got["theta"].values, want)
        assert np.array_equal(np.isnan(got["theta_v"].values), below)


def test_top_down_levels_with_coordinates_stay_aligned(sample, tmp_path):
    """Pressure levels as a coordinate stored top-down, and a 1-D height-above-ground
    level coordinate stored top-down: turned round together with every field."""
    nz = sample.sizes["level"]
    pressures = np.linspace(100000.0, 20000.0, nz)
    on_p = sample.drop_vars("P").assign_coords(
        level=("level", pressures / 100.0, {"units": "hPa", "standard_name": "air_pressure"})
    )
    stored = save(on_p.isel(level=slice(None, None, -1)), tmp_path / "p_top_down.nc")
    fields = models.read(stored, {}, None)
    np.testing.assert_array_equal(fields.pressure["level"].values, pressures / 100.0)
    np.testing.assert_array_equal(fields.pressure.values[0, :, 0, 0], pressures)
    np.testing.assert_array_equal(fields.temperature.values, on_p["T"].values)
    np.testing.assert_array_equal(fields.u.values, on_p["U"].values)
    np.testing.assert_array_equal(fields.height.values, on_p["Z"].values)
    assert any("top-down" in note for note in fields.notes)

    heights = np.linspace(10.0, 12000.0, nz)
    on_z = sample.drop_vars("Z").assign_coords(
        level=("level", heights, {"units": "m", "standard_name": "height", "positive": "up"})
    )
    stored = save(on_z.isel(level=slice(None, None, -1)), tmp_path / "z_top_down.nc")
    fields = models.read(stored, {}, None)
    np.testing.assert_array_equal(fields.height.values[0, :, 3, 4], heights)
    np.testing.assert_array_equal(fields.v.values, on_z["V"].values)
    assert np.all(fields.ground.values == 0.0)  # heights above ground start at the ground


def test_terrain_below_the_lowest_level_is_the_ground(sample, tmp_path):
    """Terrain-following levels: the lowest level 10-40 m above the surface altitude."""
    z = sample["Z"]
    zs = (z.isel(level=0) - 25.0).assign_attrs(standard_name="surface_altitude", units="m")
    stored = save(sample.assign(orog=zs), tmp_path / "terrain.nc")
    fields = models.read(stored, {}, None)
    np.testing.assert_array_equal(fields.ground.values, stored["orog"].values)
    assert fields.ground.dims == ("time", "y", "x")
    assert np.all(fields.height.values[:, 0] - fields.ground.values == pytest.approx(25.0))


def test_scalar_height_and_ten_metre_winds_are_not_levels(sample, tmp_path):
    """A 10-m wind with a scalar height coordinate (standard name height) and a
    2-D wind: the level heights and winds stay the 4-D fields."""
    u10 = (
        sample["U"]
        .isel(level=0, drop=True)
        .assign_attrs(standard_name="eastward_wind", units="m s-1")
    )
    v10 = (
        sample["V"]
        .isel(level=0, drop=True)
        .assign_attrs(standard_name="northward_wind", units="m s-1")
    )
    ten = sample.assign(uas=u10 * 0.8, vas=v10 * 0.8).assign_coords(
        height=((), 10.0, {"standard_name": "height", "units": "m"})
    )
    stored = save(ten, tmp_path / "ten.nc")
    fields = models.read(stored, {}, None)
    np.testing.assert_array_equal(fields.height.values, stored["Z"].values)
    np.testing.assert_array_equal(fields.u.values, stored["U"].values)
    np.testing.assert_array_equal(fields.u10.values, stored["uas"].values)
    np.testing.assert_array_equal(fields.v10.values, stored["vas"].values)
    out = tmp_path / "ten_diag.nc"
    assert main(["diagnose", str(tmp_path / "ten.nc"), "-o", str(out), "-q"]) == 0
    with xr.open_dataset(out) as got:
        assert np.isfinite(got["helicity_0_3km"].values).mean() > 0.9
        mean = got["height_level_mean"]
        assert mean.attrs["units"] == "m" and "standard_name" not in mean.attrs
        np.testing.assert_allclose(
            mean.values, stored["Z"].mean(["time", "y", "x"]).values, rtol=1e-12
        )


def test_missing_packages_are_one_line_naming_the_extra(sample, tmp_path, monkeypatch, capsys):
    path = tmp_path / "m.nc"
    sample.to_netcdf(path)
    grib = tmp_path / "m.grib2"
    grib.write_bytes(b"GRIB")
    real = _io._importable
    for blocked, target, extra in [
        ("xarray", path, "tarnwell[cli]"),
        ("netCDF4", path, "tarnwell[cli]"),
        ("cfgrib", grib, "tarnwell[grib]"),
        ("eccodes", grib, "tarnwell[grib]"),
    ]:
        gone = {blocked} | ({"h5netcdf"} if blocked == "netCDF4" else set())
        monkeypatch.setattr(_io, "_importable", lambda m, gone=gone: m not in gone and real(m))
        assert main(["diagnose", str(target), "-o", str(tmp_path / "o.nc")]) == 1
        err = capsys.readouterr().err.strip()
        assert len(err.splitlines()) == 1, err
        assert repr(blocked) in err and extra in err, err
    assert not (tmp_path / "o.nc").exists()


def test_wheel_alone_names_the_extra(sample, tmp_path):
    """With xarray not importable at all, as with the bare wheel: one line, exit 1."""
    path = tmp_path / "m.nc"
    sample.to_netcdf(path)
    code = (
        "import sys; sys.modules['xarray'] = None\n"
        "from tarnwell.cli import main\n"
        f"sys.exit(main(['diagnose', {str(path)!r}, '-o', {str(tmp_path / 'o.nc')!r}]))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 1, done.stderr
    assert done.stderr.strip().splitlines() == [
        "tarnwell diagnose: error: reading model files needs the Python package 'xarray': "
        "pip install 'tarnwell[cli]'"
    ]


def test_recognised_families(sample):
    assert models.reader(sample) is models.cf.read
    assert models.reader(sample.assign_attrs(GRIB_centre="ecmf")) is models.ecmwf.read
    assert models.reader(sample.assign_attrs(GRIB_centre="kwbc")) is models.ncep.read
    wrf_like = sample.assign_attrs(TITLE=" OUTPUT FROM WRF V4.5 MODEL")
    assert models.reader(wrf_like) is models.wrf.read


def test_unified_model_hybrid_height_levels(sample, tmp_path):
    """A UM file as iris writes it: theta on model levels whose heights are the
    hybrid height coordinate z = level_height + sigma * surface_altitude."""
    nz = sample.sizes["level"]
    level_height = np.linspace(20.0, 14000.0, nz)
    sigma = np.clip(1.0 - level_height / 8000.0, 0.0, 1.0) ** 2
    rng = np.random.default_rng(1)
    orog = 300.0 + 900.0 * rng.random((sample.sizes["y"], sample.sizes["x"]))
    theta = sample["T"] * (100000.0 / sample["P"]) ** KAPPA
    um = sample.drop_vars(["T", "Z"]).assign(
        air_potential_temperature=theta.assign_attrs(
            standard_name="air_potential_temperature", units="K"
        ),
        surface_altitude=(("y", "x"), orog, {"standard_name": "surface_altitude", "units": "m"}),
    )
    um = um.assign_coords(
        level_height=(
            "level",
            level_height,
            {
                "standard_name": "atmosphere_hybrid_height_coordinate",
                "units": "m",
                "axis": "Z",
                "positive": "up",
                "formula_terms": "a: level_height b: sigma orog: surface_altitude",
            },
        ),
        sigma=("level", sigma, {"long_name": "sigma", "units": "1"}),
    )
    stored = save(um, tmp_path / "um_hybrid.nc")
    fields = models.read(stored, {}, None)
    z = level_height[None, :, None, None] + sigma[None, :, None, None] * orog[None, None]
    np.testing.assert_allclose(fields.height.values, np.broadcast_to(z, theta.shape), rtol=1e-15)
    np.testing.assert_array_equal(fields.ground.values[0], orog)
    assert np.all(fields.height.values[:, 0] > fields.ground.values)  # the lowest level above
    # Stored top-down, the same heights on the same levels.
    top_down = save(um.isel(level=slice(None, None, -1)), tmp_path / "um_top_down.nc")
    flipped = models.read(top_down, {}, None)
    np.testing.assert_allclose(flipped.height.values, fields.height.values, rtol=1e-15)
    np.testing.assert_array_equal(flipped.temperature.values, fields.temperature.values)
