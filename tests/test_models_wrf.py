"""WRF ARW output read as the model writes it, against a computation by hand."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("netCDF4")

import tarnwell  # noqa: E402
from tarnwell.cli import _io, main, models  # noqa: E402

WRF_G = 9.81
EPSILON = 0.6219569156569429
NT, NZ, NY, NX = 2, 12, 9, 11
DX = DY = 3000.0


def wrf_var(dims, data, description, units, stagger=""):
    attrs = {
        "FieldType": np.int32(104),
        "MemoryOrder": "XYZ" if len(dims) == 4 else "XY ",
        "description": description,
        "units": units,
        "stagger": stagger,
        "coordinates": "XLONG XLAT XTIME",
    }
    return xr.Variable(dims, np.asarray(data, dtype=np.float32), attrs)


def wrfout(seed: int = 7) -> xr.Dataset:
    """A small wrfout file: perturbation fields, staggered winds relative to a
    Lambert grid, geopotential on w levels, float32, as WRF ARW writes them."""
    rng = np.random.default_rng(seed)
    t_ = np.arange(NT)[:, None, None]
    jj, ii = np.meshgrid(np.arange(NY), np.arange(NX), indexing="ij")
    hgt = 200.0 + 400.0 * np.exp(-(((ii - 6) / 3.0) ** 2 + ((jj - 4) / 2.5) ** 2)) + 0 * t_
    eta_w = np.linspace(0.0, 1.0, NZ + 1) ** 1.6
    z_top = 16000.0
    z_w = hgt[:, None] + (z_top - hgt[:, None]) * eta_w[None, :, None, None]
    phb = WRF_G * (z_w - 5.0 * eta_w[None, :, None, None])
    ph = WRF_G * z_w - phb  # the perturbation carries the rest
    z_mass = 0.5 * (z_w[:, :-1] + z_w[:, 1:])
    pb = 100000.0 * np.exp(-z_mass / 8000.0)
    p = -60.0 + 30.0 * rng.standard_normal(pb.shape)
    theta = 298.0 + 0.004 * z_mass + 0.2 * rng.standard_normal(pb.shape)
    qv = 0.014 * np.exp(-z_mass / 2200.0) * (0.7 + 0.3 * rng.random(pb.shape))

    def wind(z: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        angle = np.pi * np.clip(z - 300.0, 0.0, 3000.0) / 3000.0
        return 12.0 * (1.0 - np.cos(angle)) + 0.002 * z, 10.0 * np.sin(angle) - 4.0

    z_u = np.concatenate([z_mass[..., :1], z_mass], axis=-1)
    z_v = np.concatenate([z_mass[..., :1, :], z_mass], axis=-2)
    u_stag = wind(z_u)[0] + 0.3 * rng.standard_normal(z_u.shape)
    v_stag = wind(z_v)[1] + 0.3 * rng.standard_normal(z_v.shape)
    alpha = 0.12 * (ii - (NX - 1) / 2) / NX  # the grid turns against the meridians
    lat = 35.0 + 0.027 * jj + 0 * t_
    lon = -98.0 + 0.033 * ii + 0 * t_
    times = np.array([list(f"2024-05-20_{18 + k:02d}:00:00".encode()) for k in range(NT)])
    mass4 = ("Time", "bottom_top", "south_north", "west_east")
    col = ("Time", "south_north", "west_east")
    ds = xr.Dataset(
        {
            "Times": xr.Variable(("Time", "DateStrLen"), times.astype("u1").view("S1")),
            "XTIME": xr.Variable(
                ("Time",),
                np.arange(NT, dtype=np.float32) * 60.0 + 360.0,
                {"units": "minutes since 2024-05-20 12:00:00", "description": "minutes since"},
            ),
            "T": wrf_var(
                mass4, theta - 300.0, "perturbation potential temperature (theta-t0)", "K"
            ),
            "P": wrf_var(mass4, p, "perturbation pressure", "Pa"),
            "PB": wrf_var(mass4, pb, "BASE STATE PRESSURE", "Pa"),
            "PH": wrf_var(
                ("Time", "bottom_top_stag", "south_north", "west_east"),
                ph,
                "perturbation geopotential",
                "m2 s-2",
                "Z",
            ),
            "PHB": wrf_var(
                ("Time", "bottom_top_stag", "south_north", "west_east"),
                phb,
                "base-state geopotential",
                "m2 s-2",
                "Z",
            ),
            "QVAPOR": wrf_var(mass4, qv, "Water vapor mixing ratio", "kg kg-1"),
            "U": wrf_var(
                ("Time", "bottom_top", "south_north", "west_east_stag"),
                u_stag,
                "x-wind component",
                "m s-1",
                "X",
            ),
            "V": wrf_var(
                ("Time", "bottom_top", "south_north_stag", "west_east"),
                v_stag,
                "y-wind component",
                "m s-1",
                "Y",
            ),
            "HGT": wrf_var(col, hgt, "Terrain Height", "m"),
            "U10": wrf_var(col, wind(hgt + 10.0)[0] * 0.6, "U at 10 M", "m s-1"),
            "V10": wrf_var(col, wind(hgt + 10.0)[1] * 0.6, "V at 10 M", "m s-1"),
            "SINALPHA": wrf_var(col, np.sin(alpha) + 0 * t_, "Local sine of map rotation", ""),
            "COSALPHA": wrf_var(col, np.cos(alpha) + 0 * t_, "Local cosine of map rotation", ""),
            "MAPFAC_M": wrf_var(col, 1.0 + 0.01 * jj / NY + 0 * t_, "Map scale factor", ""),
            "XLAT": wrf_var(col, lat, "LATITUDE, SOUTH IS NEGATIVE", "degree_north"),
            "XLONG": wrf_var(col, lon, "LONGITUDE, WEST IS NEGATIVE", "degree_east"),
        },
        attrs={
            "TITLE": " OUTPUT FROM WRF V4.5.1 MODEL",
            "DX": np.float32(DX),
            "DY": np.float32(DY),
            "MAP_PROJ": np.int32(1),
            "TRUELAT1": np.float32(30.0),
            "TRUELAT2": np.float32(60.0),
            "STAND_LON": np.float32(-98.0),
        },
    )
    for name in ("XLAT", "XLONG"):
        del ds[name].attrs["coordinates"]
    return ds


def by_hand(ds: xr.Dataset) -> dict[str, np.ndarray]:
    """WRF's documented conventions, one NumPy line each."""

    def f(name: str) -> np.ndarray:
        return ds[name].values.astype(np.float64)

    p = f("P") + f("PB")
    theta = f("T") + 300.0
    t = theta * (p / 100000.0) ** (2.0 / 7.0)
    w = f("QVAPOR")
    e = w * p / (EPSILON + w)
    ln = np.log(e / 611.2)
    td = 243.5 * ln / (17.67 - ln) + 273.15
    z_w = (f("PH") + f("PHB")) / WRF_G
    z = (z_w[:, :-1] + z_w[:, 1:]) * 0.5
    u_grid = (f("U")[..., :-1] + f("U")[..., 1:]) * 0.5
    v_grid = (f("V")[..., :-1, :] + f("V")[..., 1:, :]) * 0.5
    sin_a, cos_a = f("SINALPHA")[:, None], f("COSALPHA")[:, None]
    u = u_grid * cos_a - v_grid * sin_a
    v = v_grid * cos_a + u_grid * sin_a
    u10 = f("U10") * f("COSALPHA") - f("V10") * f("SINALPHA")
    v10 = f("V10") * f("COSALPHA") + f("U10") * f("SINALPHA")
    return {
        "pressure": p,
        "theta": theta,
        "temperature": t,
        "dewpoint": td,
        "height": z,
        "ground": f("HGT"),
        "u": u,
        "v": v,
        "u10": u10,
        "v10": v10,
    }


@pytest.fixture(scope="module")
def wrf_file(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, xr.Dataset]:
    ds = wrfout()
    path = tmp_path_factory.mktemp("wrf") / "wrfout_d01_2024-05-20_18:00:00"
    ds.to_netcdf(path, format="NETCDF4", unlimited_dims=["Time"])
    with xr.open_dataset(path) as stored:
        return path, stored.load()


@pytest.mark.parametrize("chunks", [None, {"time": 1}])
def test_wrf_fields_are_the_models_own(wrf_file, chunks):
    path, ds = wrf_file
    expected = by_hand(ds)
    with _io.open_model(str(path), chunks) as opened:
        assert opened["T"].chunks is None or opened["T"].chunks[0] == (1,) * NT
        fields = models.read(opened, {}, None)
        assert fields.family == "WRF"
        assert fields.dims == ("Time", "bottom_top", "south_north", "west_east")
        assert fields.time_dim == "Time"
        assert fields.input_dtype == np.float32
        for name, value in expected.items():
            got = getattr(fields, name)
            assert got.dtype == np.float64, name
            np.testing.assert_allclose(got.values, value, rtol=1e-13, atol=1e-12, err_msg=name)
        # Heights: the mass levels lie between the ground and the top, bottom-up.
        z = fields.height.values
        assert np.all(np.diff(z, axis=1) > 0)
        assert np.all(z[:, 0] > fields.ground.values)
        # The earth-relative wind keeps the speed of the grid-relative one (to the
        # float32 rounding of SINALPHA and COSALPHA).
        u_stag, v_stag = ds["U"].values.astype(float), ds["V"].values.astype(float)
        u_grid = 0.5 * (u_stag[..., :-1] + u_stag[..., 1:])
        v_grid = 0.5 * (v_stag[..., :-1, :] + v_stag[..., 1:, :])
        np.testing.assert_allclose(
            np.hypot(fields.u.values, fields.v.values), np.hypot(u_grid, v_grid), rtol=1e-6
        )
        assert np.abs(fields.u.values - u_grid).max() > 0.1  # the rotation did something
        np.testing.assert_array_equal(fields.x, np.arange(NX) * DX)
        np.testing.assert_array_equal(fields.y, np.arange(NY) * DY)
        assert not fields.geographic and fields.grid_note is None
        np.testing.assert_array_equal(fields.map_factor.values, ds["MAPFAC_M"].values)
        times = fields.temperature["Time"].values
        assert times[0] == np.datetime64("2024-05-20T18:00") and len(times) == NT
        np.testing.assert_array_equal(fields.temperature["latitude"].values, ds["XLAT"].values)


def test_wrf_through_the_command(wrf_file, tmp_path):
    """theta_e and gradients of the file equal the package's functions on the
    fields worked out by hand (stored at most float32-rounded)."""
    path, ds = wrf_file
    expected = by_hand(ds)
    out = tmp_path / "wrf_diag.nc"
    assert main(["diagnose", str(path), "-o", str(out), "-q", "--chunks", "time=1"]) == 0
    with xr.open_dataset(out) as got:
        got = got.load()
    thermo = tarnwell.thermo(expected["temperature"], expected["pressure"], expected["dewpoint"])
    for name in ("mixing_ratio", "theta_e"):
        np.testing.assert_allclose(got[name].values, getattr(thermo, name), rtol=1e-6)
    # The mixing ratio comes back as WRF's QVAPOR.
    np.testing.assert_allclose(got["mixing_ratio"].values, ds["QVAPOR"].values, rtol=1e-6)
    # θ is WRF's own, bit for bit as float32 arithmetic gives T + 300 K.
    assert got["theta"].dtype == np.float32
    np.testing.assert_array_equal(got["theta"].values, ds["T"].values + np.float32(300.0))
    grad = tarnwell.gradient(expected["theta"], np.arange(NX) * DX, np.arange(NY) * DY)
    # A grid step DX on WRF's conformal projection is DX / MAPFAC_M on the earth.
    mapfac = ds["MAPFAC_M"].values.astype(np.float64)[:, None, :, :]
    assert np.abs(mapfac - 1.0).max() > 1e-3  # the factor matters in this file
    for got_name, plane in (("dfdx_theta", grad.dfdx), ("dfdy_theta", grad.dfdy)):
        np.testing.assert_allclose(got[got_name].values, plane * mapfac, rtol=1e-6, atol=1e-12)
    assert np.isfinite(got["theta_e"].values).all()
    assert got["theta_e"].dims == ("Time", "bottom_top", "south_north", "west_east")
    assert got["Time"].values[1] == np.datetime64("2024-05-20T19:00")
    np.testing.assert_array_equal(got["latitude"].values, ds["XLAT"].values)
    assert "height_level_mean" in got.coords
    assert set(got["height_level_mean"].attrs) == {"units", "long_name"}


def test_wrf_theta_is_the_models_own(wrf_file, tmp_path):
    """θ is T + 300 K exactly; θv is formed from it and QVAPOR; θe is Bolton's from the
    temperature of WRF's R/cp = 2/7. (The package's κ would turn that temperature
    back into a θ 0.2 K short of the model's near 150 hPa.)"""
    path, ds = wrf_file
    hand = by_hand(ds)
    out = tmp_path / "wrf_theta.nc"
    assert main(["diagnose", str(path), "-o", str(out), "-q", "--dtype", "float64"]) == 0
    with xr.open_dataset(out) as got:
        got = got.load()
    theta, t, td, p = hand["theta"], hand["temperature"], hand["dewpoint"], hand["pressure"]
    np.testing.assert_array_equal(got["theta"].values, theta)
    w = ds["QVAPOR"].values.astype(np.float64)
    np.testing.assert_allclose(
        got["theta_v"].values, theta * (1.0 + w / EPSILON) / (1.0 + w), rtol=1e-13
    )
    assert np.all(td < t)  # unsaturated: no clamping of the dew point
    e = 611.2 * np.exp(17.67 * (td - 273.15) / (td - 273.15 + 243.5))
    r = 1000.0 * EPSILON * e / (p - e)  # g/kg
    t_lcl = 1.0 / (1.0 / (td - 56.0) + np.log(t / td) / 800.0) + 56.0
    theta_e = (
        t
        * (100000.0 / p) ** (0.2854 * (1.0 - 0.00028 * r))
        * np.exp((3.376 / t_lcl - 0.00254) * r * (1.0 + 0.00081 * r))
    )
    np.testing.assert_allclose(got["theta_e"].values, theta_e, rtol=1e-13)
    # The cold pool's buoyancy is that of this θv against its level's mean.
    theta_v = got["theta_v"].values
    mean = theta_v.mean(axis=(-2, -1), keepdims=True)
    b = 9.80665 * (theta_v - mean) / mean
    assert np.array_equal(got["intensity"].values > 0.0, (b[:, 0] < -0.01))
    assert "T + 300 K" in got["theta"].attrs["comment"]
    assert "T + 300 K" in got["theta_v"].attrs["comment"]
    assert "2/7" in got["theta_e"].attrs["comment"]


def test_wrf_refusals(wrf_file, tmp_path, capsys):
    path, ds = wrf_file
    out = tmp_path / "x.nc"
    assert main(["diagnose", str(path), "-o", str(out), "--var", "temperature=T"]) == 1
    assert "WRF" in capsys.readouterr().err
    partial = tmp_path / "wrfout_partial"
    ds.drop_vars(["PB"]).to_netcdf(partial)
    assert main(["diagnose", str(partial), "-o", str(out)]) == 1
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and "PB" in err, err
    assert not out.exists()
