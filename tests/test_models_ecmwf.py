"""ERA5 files as the Climate Data Store writes them, against a computation by hand."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("netCDF4")

import tarnwell  # noqa: E402
from tarnwell.cli import _io, main, models  # noqa: E402

G = 9.80665
EPSILON = 0.6219569156569429
LEVELS_TOP_DOWN = np.array([100.0, 200.0, 300.0, 500.0, 700.0, 850.0, 925.0, 1000.0])
LATITUDES = np.arange(50.0, 39.0, -1.0)  # north to south, as ERA5 stores them
LONGITUDES = np.arange(5.0, 17.0, 1.0)
NT = 2


def grib_attrs(short: str, name: str, units: str, standard: str) -> dict[str, object]:
    return {
        "GRIB_paramId": np.int64(0),
        "GRIB_shortName": short,
        "GRIB_units": units,
        "GRIB_name": name,
        "GRIB_cfName": standard,
        "GRIB_gridType": "regular_ll",
        "long_name": name,
        "units": units,
        "standard_name": standard,
    }


def era5(seed: int = 11) -> xr.Dataset:
    """Pressure levels (1 -> 1000 hPa, top-down) with the single-level surface
    pressure and 10-m winds merged in, float32, with the CDS netCDF's metadata."""
    rng = np.random.default_rng(seed)
    nz, ny, nx = len(LEVELS_TOP_DOWN), len(LATITUDES), len(LONGITUDES)
    shape = (NT, nz, ny, nx)
    p = LEVELS_TOP_DOWN[None, :, None, None] * 100.0
    # Height of each pressure surface: the hypsometric relation of a 250-290 K column.
    lat = LATITUDES[None, None, :, None]
    t_surface = 290.0 - 0.6 * (lat - 40.0) + 0.5 * rng.standard_normal((NT, 1, ny, nx))
    z_m = 7500.0 * np.log(101325.0 / p) + 0 * t_surface
    t = t_surface - 0.0065 * np.minimum(z_m, 11000.0) + 0.2 * rng.standard_normal(shape)
    q = 0.012 * (p / 100000.0) ** 3 * (0.5 + 0.5 * rng.random(shape))
    r = 100.0 * np.clip(0.3 + 0.6 * rng.random(shape), 0, 1)
    u = 5.0 + 25.0 * (z_m / 10000.0) + rng.standard_normal(shape)
    v = 3.0 * np.sin(z_m / 2000.0) + rng.standard_normal(shape)
    # Alps-like terrain in the middle: surface pressure below 850 hPa there.
    jj, ii = np.meshgrid(np.arange(ny), np.arange(nx), indexing="ij")
    mountain = np.exp(-(((ii - 6) / 2.0) ** 2 + ((jj - 5) / 2.0) ** 2))
    sp = 101000.0 - 25000.0 * mountain + 200.0 * rng.standard_normal((NT, ny, nx))
    dims = ("valid_time", "pressure_level", "latitude", "longitude")
    surface = ("valid_time", "latitude", "longitude")

    def f32(a: np.ndarray) -> np.ndarray:
        return np.asarray(a, dtype=np.float32)

    ds = xr.Dataset(
        {
            "z": (
                dims,
                f32(z_m * G),
                grib_attrs("z", "Geopotential", "m**2 s**-2", "geopotential"),
            ),
            "t": (dims, f32(t), grib_attrs("t", "Temperature", "K", "air_temperature")),
            "q": (
                dims,
                f32(q),
                grib_attrs("q", "Specific humidity", "kg kg**-1", "specific_humidity"),
            ),
            "r": (dims, f32(r), grib_attrs("r", "Relative humidity", "%", "relative_humidity")),
            "u": (dims, f32(u), grib_attrs("u", "U component of wind", "m s**-1", "eastward_wind")),
            "v": (
                dims,
                f32(v),
                grib_attrs("v", "V component of wind", "m s**-1", "northward_wind"),
            ),
            "sp": (
                surface,
                f32(sp),
                grib_attrs("sp", "Surface pressure", "Pa", "surface_air_pressure"),
            ),
            "u10": (
                surface,
                f32(u[:, -1] * 0.7),
                grib_attrs("10u", "10 metre U wind component", "m s**-1", "eastward_wind"),
            ),
            "v10": (
                surface,
                f32(v[:, -1] * 0.7),
                grib_attrs("10v", "10 metre V wind component", "m s**-1", "northward_wind"),
            ),
        },
        coords={
            "number": (
                (),
                np.int64(0),
                {
                    "long_name": "ensemble member numerical id",
                    "units": "1",
                    "standard_name": "realization",
                },
            ),
            "valid_time": (
                "valid_time",
                np.array(["2023-07-01T12:00", "2023-07-01T13:00"], dtype="datetime64[ns]"),
                {"long_name": "time", "standard_name": "time"},
            ),
            "pressure_level": (
                "pressure_level",
                LEVELS_TOP_DOWN,
                {
                    "long_name": "pressure",
                    "units": "hPa",
                    "standard_name": "air_pressure",
                    "positive": "down",
                    "stored_direction": "decreasing",
                },
            ),
            "latitude": (
                "latitude",
                LATITUDES,
                {"units": "degrees_north", "standard_name": "latitude"},
            ),
            "longitude": (
                "longitude",
                LONGITUDES,
                {"units": "degrees_east", "standard_name": "longitude"},
            ),
            # The single-level file's 10-m wind brings a scalar height coordinate.
            "height": ((), 10.0, {"units": "m", "standard_name": "height", "positive": "up"}),
            "expver": ("valid_time", np.array(["0001", "0001"], dtype=object)),
        },
        attrs={
            "GRIB_centre": "ecmf",
            "GRIB_centreDescription": "European Centre for Medium-Range Weather Forecasts",
            "Conventions": "CF-1.7",
            "institution": "European Centre for Medium-Range Weather Forecasts",
        },
    )
    return ds


def by_hand(ds: xr.Dataset, humidity: str = "q") -> dict[str, np.ndarray]:
    """Levels turned bottom-up, geopotential over g, dew point from q (or r), and
    every level with a pressure above the surface pressure missing."""
    up = ds.isel(pressure_level=slice(None, None, -1))

    def f(name: str) -> np.ndarray:
        return up[name].values.astype(np.float64)

    p = np.broadcast_to(up["pressure_level"].values[None, :, None, None] * 100.0, f("t").shape)
    t = f("t")
    if humidity == "q":
        e = f("q") * p / (EPSILON + (1.0 - EPSILON) * f("q"))
    else:
        tc = t - 273.15
        e = f("r") / 100.0 * 611.2 * np.exp(17.67 * tc / (tc + 243.5))
    ln = np.log(e / 611.2)
    td = 243.5 * ln / (17.67 - ln) + 273.15
    under = p > f("sp")[:, None]
    out = {
        "pressure": p,
        "temperature": t,
        "dewpoint": td,
        "height": f("z") / G,
        "u": f("u"),
        "v": f("v"),
    }
    out["ground"] = ground_at_surface_pressure(p, out["height"], f("sp"))
    out = {k: v if k == "ground" else np.where(under, np.nan, v) for k, v in out.items()}
    out["u10"], out["v10"] = f("u10"), f("v10")
    return out


def ground_at_surface_pressure(p: np.ndarray, z: np.ndarray, sp: np.ndarray) -> np.ndarray:
    """Column by column: the height at the surface pressure, linear in ln p between
    the levels around it (ERA5's heights under the ground are its own extrapolation)."""
    ground = np.empty(sp.shape)
    for index in np.ndindex(*sp.shape):
        t, j, i = index
        column_p, column_z, surface = p[t, :, j, i], z[t, :, j, i], sp[index]
        k = max(1, int(np.nonzero(column_p <= surface)[0][0]))
        fraction = (math.log(column_p[k - 1]) - math.log(surface)) / (
            math.log(column_p[k - 1]) - math.log(column_p[k])
        )
        ground[index] = column_z[k - 1] + (column_z[k] - column_z[k - 1]) * fraction
    return ground


def same(got: np.ndarray, want: np.ndarray, name: str, rtol: float = 1e-13) -> None:
    assert np.array_equal(np.isnan(got), np.isnan(want)), name
    np.testing.assert_allclose(got, want, rtol=rtol, atol=1e-12, err_msg=name)


@pytest.fixture(scope="module")
def era5_file(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, xr.Dataset]:
    path = tmp_path_factory.mktemp("era5") / "era5_pressure_levels.nc"
    era5().to_netcdf(path)
    with xr.open_dataset(path) as stored:
        return path, stored.load()


@pytest.mark.parametrize("chunks", [None, {"time": 1}])
def test_era5_levels_turned_round_and_masked_below_the_ground(era5_file, chunks):
    path, ds = era5_file
    expected = by_hand(ds)
    with _io.open_model(str(path), chunks) as opened:
        fields = models.read(opened, {}, None)
        assert fields.family == "ECMWF"
        assert fields.level_dim == "pressure_level"
        assert fields.time_dim == "valid_time"
        assert fields.input_dtype == np.float32
        for name, value in expected.items():
            same(getattr(fields, name).values, value, name)
        # Bottom-up with the coordinate: 1000 hPa first, heights rising.
        np.testing.assert_array_equal(
            fields.temperature["pressure_level"].values, LEVELS_TOP_DOWN[::-1]
        )
        rise = np.diff(fields.height.values, axis=1)
        assert np.all(rise[np.isfinite(rise)] > 0)
        # Not a degenerate case: the mountain (760 hPa) hides three levels, the plain none.
        below = np.isnan(fields.temperature.values[:, :, 5, 6])
        assert below[:, :3].all() and not below[:, 3:].any()
        assert np.isfinite(fields.temperature.values[:, :, 0, 0]).all()
        # Longitude and latitude in degrees, as stored (north to south).
        assert fields.geographic and fields.grid_note is None
        np.testing.assert_array_equal(fields.x, LONGITUDES)
        np.testing.assert_array_equal(fields.y, LATITUDES)
        # The ground lies between the lowest level and the first one under it.
        lowest = fields.height.min("pressure_level").values
        assert np.all(fields.ground.values < lowest)
        assert np.all(fields.ground.values > lowest - 1500.0)  # 850 to 700 hPa: 1.46 km
        # The scalar height coordinate of the 10-m wind is not the level heights.
        assert fields.height.attrs == {"units": "m", "long_name": "height above mean sea level"}


def test_relative_humidity_in_percent(era5_file, tmp_path):
    path, ds = era5_file
    expected = by_hand(ds, humidity="r")
    with _io.open_model(str(path), None) as opened:
        fields = models.read(opened.drop_vars("q"), {}, None)
        same(fields.dewpoint.values, expected["dewpoint"], "dewpoint")
    # Labelled as a fraction but in percent: refused, with the fix named.
    mislabelled = tmp_path / "rh_one.nc"
    ds.drop_vars("q").assign(r=ds["r"].assign_attrs(units="1")).to_netcdf(mislabelled)
    out = tmp_path / "d.nc"
    with _io.open_model(str(mislabelled), None) as opened:
        with pytest.raises(_io.CommandError, match="'%'"):
            models.read(opened, {}, None)
    # A true fraction labelled "1" is read as one.
    fraction = tmp_path / "rh_fraction.nc"
    ds.drop_vars("q").assign(r=(ds["r"] / 100.0).assign_attrs(units="1")).to_netcdf(fraction)
    with _io.open_model(str(fraction), None) as opened:
        got = models.read(opened, {}, None).dewpoint.values
        np.testing.assert_allclose(got, expected["dewpoint"], rtol=1e-6)
    assert not out.exists()


def test_era5_through_the_command(era5_file, tmp_path, capsys):
    path, ds = era5_file
    expected = by_hand(ds)
    out = tmp_path / "era5_diag.nc"
    assert main(["diagnose", str(path), "-o", str(out), "-q"]) == 0
    with xr.open_dataset(out) as got:
        got = got.load()
    thermo = tarnwell.thermo(expected["temperature"], expected["pressure"], expected["dewpoint"])
    for name in ("mixing_ratio", "theta", "theta_e"):
        same(got[name].values, getattr(thermo, name), name, rtol=1e-6)
    assert got["theta_e"].dims == ("valid_time", "pressure_level", "latitude", "longitude")
    np.testing.assert_array_equal(got["pressure_level"].values, LEVELS_TOP_DOWN[::-1])
    # Metadata of derived coordinates is true: metres, nothing inherited from GRIB.
    attrs = got["height_level_mean"].attrs
    assert attrs["units"] == "m" and "standard_name" not in attrs
    assert not any(k.startswith("GRIB_") for k in attrs)
    assert "height" not in got.coords or got["height"].ndim == 0


def test_ensemble_members_and_older_layout(era5_file, tmp_path):
    """Members along `number`; the older CDS netCDF's `time`/`level` (millibars)."""
    path, ds = era5_file
    expected = by_hand(ds)
    members = xr.concat([ds, ds], dim="number").transpose("number", ...)
    old = members.rename({"valid_time": "time", "pressure_level": "level"})
    old["level"].attrs = {"units": "millibars", "long_name": "pressure_level"}
    del old.attrs["GRIB_centre"]
    old_path = tmp_path / "era5_old.nc"
    old.drop_vars("expver").to_netcdf(old_path)
    with _io.open_model(str(old_path), {"time": 1}) as opened:
        fields = models.read(opened, {}, None)
        assert fields.level_dim == "level" and fields.dims[0] == "number"
        for member in range(2):
            same(fields.temperature.values[member], expected["temperature"], "t")
            same(fields.height.values[member], expected["height"], "height")


def test_era5_grib_with_orography(tmp_path):
    """ERA5 as GRIB (through cfgrib): pressure levels, the surface geopotential (also
    named z, on the surface) and the 10-m winds, joined; heights under the
    orography masked."""
    eccodes = pytest.importorskip("eccodes")
    pytest.importorskip("cfgrib")
    levels, ny, nx = [1000, 850, 700, 500], 4, 5
    rng = np.random.default_rng(3)
    orog = np.where(np.arange(nx)[None, :] > 2, 2500.0, 50.0) + np.zeros((ny, nx))
    written = {}
    path = tmp_path / "era5.grib"
    with open(path, "wb") as f:

        def message(short: str, level_type: int, level: int, values: np.ndarray) -> None:
            h = eccodes.codes_grib_new_from_samples("GRIB2")
            keys = {
                "centre": 98,  # ECMWF
                "gridType": "regular_ll",
                "Ni": nx,
                "Nj": ny,
                "latitudeOfFirstGridPointInDegrees": 47.0,
                "latitudeOfLastGridPointInDegrees": 47.0 - (ny - 1) * 0.25,
                "longitudeOfFirstGridPointInDegrees": 8.0,
                "longitudeOfLastGridPointInDegrees": 8.0 + (nx - 1) * 0.25,
                "iDirectionIncrementInDegrees": 0.25,
                "jDirectionIncrementInDegrees": 0.25,
                "typeOfFirstFixedSurface": level_type,
                "bitsPerValue": 24,
            }
            for key, value in keys.items():
                eccodes.codes_set(h, key, value)
            if level_type == 100:
                eccodes.codes_set(h, "level", level)
            elif level_type == 103:
                eccodes.codes_set(h, "scaledValueOfFirstFixedSurface", level)
                eccodes.codes_set(h, "scaleFactorOfFirstFixedSurface", 0)
            eccodes.codes_set(h, "shortName", short)
            eccodes.codes_set_values(h, values.reshape(-1))
            eccodes.codes_write(h, f)
            written[(short, level_type, level)] = eccodes.codes_get_values(h).reshape(ny, nx)
            eccodes.codes_release(h)

        message("z", 1, 0, orog * G)
        message("10u", 103, 10, 2.0 + rng.random((ny, nx)))
        message("10v", 103, 10, -1.0 + rng.random((ny, nx)))
        for level in levels:
            height = 7500.0 * np.log(1013.0 / level) + 30.0 * rng.random((ny, nx))
            message("t", 100, level, 290.0 - 0.0065 * height)
            message("z", 100, level, height * G)
            message("q", 100, level, 0.01 * (level / 1000.0) ** 3 + 0 * height)
            message("u", 100, level, 5.0 + 0.002 * height)
            message("v", 100, level, 1.0 + 0.001 * height)
    with _io.open_model(str(path), None) as opened:
        assert opened["z_surface"].dims == ("latitude", "longitude")
        fields = models.read(opened, {}, None)
    assert fields.family == "ECMWF"

    def f32(a: np.ndarray) -> np.ndarray:
        return a.astype(np.float32).astype(np.float64)

    zs = f32(written[("z", 1, 0)]) / G
    z = np.stack([f32(written[("z", 100, lev)]) for lev in levels]) / G
    t = np.stack([f32(written[("t", 100, lev)]) for lev in levels])
    under = z < zs
    assert under.any() and not under.all()
    same(fields.ground.values, zs, "ground")
    same(fields.height.values, np.where(under, np.nan, z), "height")
    same(fields.temperature.values, np.where(under, np.nan, t), "temperature")
    same(fields.u10.values, f32(written[("10u", 103, 10)]), "u10")


def test_real_grib_sample_with_members():
    """The GRIB sample that ships with xarray (two members, three times, 850 and
    500 hPa, a global 90-degree grid), against its messages decoded by eccodes."""
    eccodes = pytest.importorskip("eccodes")
    pytest.importorskip("cfgrib")
    sample = Path(xr.__file__).parent / "tests" / "data" / "example.grib"
    if not sample.exists():
        pytest.skip("this xarray ships without its test data")
    messages: dict[tuple[str, int, int, int], np.ndarray] = {}
    with open(sample, "rb") as f:
        while (h := eccodes.codes_grib_new_from_file(f)) is not None:
            key = tuple(eccodes.codes_get(h, k) for k in ("shortName", "number", "level"))
            when = eccodes.codes_get(h, "dataDate") * 10000 + eccodes.codes_get(h, "dataTime")
            values = eccodes.codes_get_values(h).reshape(3, 4)
            messages[(*key, when)] = values.astype(np.float32).astype(np.float64)
            eccodes.codes_release(h)
    times = sorted({k[3] for k in messages})
    with _io.open_model(str(sample), None) as opened:
        fields = models.read(opened, {}, None)
    assert fields.dims == ("number", "time", "isobaricInhPa", "latitude", "longitude")
    assert fields.level_dim == "isobaricInhPa" and fields.time_dim == "time"

    def stacked(short: str) -> np.ndarray:
        return np.array(
            [[[messages[(short, n, lev, w)] for lev in (850, 500)] for w in times] for n in (0, 1)]
        )

    same(fields.temperature.values, stacked("t"), "t")
    same(fields.height.values, stacked("z") / G, "height")
    np.testing.assert_array_equal(fields.pressure.values[0, 0, :, 0, 0], [85000.0, 50000.0])
    assert fields.dewpoint is None  # no humidity in the sample
    assert fields.geographic
    np.testing.assert_array_equal(fields.y, [90.0, 0.0, -90.0])
