"""Diagnostics on latitude/longitude grids: gradients on the sphere and the cold-pool
reference weighted by area, checked against computations by hand."""

from __future__ import annotations

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")

import tarnwell  # noqa: E402
from tarnwell.cli import diagnose as diag  # noqa: E402
from tarnwell.cli import models, thermo_fields  # noqa: E402

EARTH_RADIUS = 6371000.0
GRAVITY = 9.80665
DIMS = ("time", "level", "latitude", "longitude")


def lat_lon_fields(lat: np.ndarray, lon: np.ndarray, seed: int = 0) -> models.ModelFields:
    """A column atmosphere colder towards the pole, with a cold pool at the west edge,
    latitudes stored north to south as ERA5 stores them."""
    rng = np.random.default_rng(seed)
    nt, heights = 2, np.array([10.0, 300.0, 800.0, 1500.0, 3000.0, 5000.0, 7000.0])
    shape = (nt, heights.size, lat.size, lon.size)
    h = np.broadcast_to(heights[None, :, None, None], shape)
    phi = np.broadcast_to(lat[None, None, :, None], shape)
    t = 300.0 - 0.0065 * h - 0.4 * (phi - 30.0) + rng.normal(0.0, 0.2, shape)
    t[:, :3, 5:8, :3] -= 8.0  # the pool: the lowest 800 m of three rows at the west edge
    p = 1.0e5 * np.exp(-h / 8000.0)
    td = t - 4.0 - rng.uniform(0.0, 2.0, shape)
    u = 5.0 + 2.0e-3 * h + rng.normal(0.0, 0.5, shape)
    v = 1.0e-3 * h + rng.normal(0.0, 0.5, shape)

    def field(a: np.ndarray, name: str) -> xr.DataArray:
        return xr.DataArray(np.array(a), dims=DIMS, name=name)

    return models.ModelFields(
        "test",
        DIMS,
        "level",
        "latitude",
        "longitude",
        temperature=field(t, "t"),
        pressure=field(p, "p"),
        dewpoint=field(td, "td"),
        height=field(h, "z"),
        ground=xr.DataArray(np.zeros((nt, lat.size, lon.size)), dims=DIMS[:1] + DIMS[2:]),
        u=field(u, "u"),
        v=field(v, "v"),
        x=lon,
        y=lat,
        geographic=True,
    )


def run_fields(monkeypatch: pytest.MonkeyPatch, fields: models.ModelFields) -> xr.Dataset:
    monkeypatch.setattr(models, "read", lambda ds, variables, level_dim: fields)
    return diag.diagnose(xr.Dataset({"t": fields.temperature}), {}, diag.Options(n_threads=2))


def test_gradients_on_the_sphere_by_hand(monkeypatch):
    """Centred differences in radians divided by R cos(latitude) (eastward) and R
    (northward), on a regional grid stored north to south."""
    lat = np.arange(50.0, 19.0, -2.5)
    lon = np.arange(0.0, 31.0, 2.5)
    got = run_fields(monkeypatch, lat_lon_fields(lat, lon))
    theta = got["theta"].values
    lam, phi = np.deg2rad(lon), np.deg2rad(lat)
    dfdx = (theta[..., 2:] - theta[..., :-2]) / (lam[2:] - lam[:-2])
    dfdx = dfdx / (EARTH_RADIUS * np.cos(phi))[:, None]
    dfdy = (theta[..., 2:, :] - theta[..., :-2, :]) / (phi[2:] - phi[:-2])[:, None] / EARTH_RADIUS
    np.testing.assert_allclose(got["dfdx_theta"].values[..., 1:-1], dfdx, rtol=1e-9, atol=1e-15)
    np.testing.assert_allclose(got["dfdy_theta"].values[..., 1:-1, :], dfdy, rtol=1e-9, atol=1e-15)
    # Colder to the north: theta falls northward whatever the storage order.
    assert np.nanmedian(got["dfdy_theta"].values) < 0.0
    assert got["dfdx_theta"].attrs["long_name"].startswith("eastward derivative")
    assert got["dfdy_theta_v"].attrs["long_name"].startswith("northward derivative")
    assert got["grad_theta"].attrs["units"] == "K m-1"


def test_cold_pool_reference_weighted_by_area(monkeypatch):
    """θv_ref = Σ cos φ θv / Σ cos φ on each level and time; the cold-pool fields equal
    the kernel on the buoyancy computed by hand from it."""
    lat = np.arange(50.0, 19.0, -2.5)
    lon = np.arange(0.0, 31.0, 2.5)
    fields = lat_lon_fields(lat, lon, seed=2)
    got = run_fields(monkeypatch, fields)
    theta_v = got["theta_v"].values
    weights = np.broadcast_to(np.cos(np.deg2rad(lat))[:, None], theta_v.shape[-2:])
    reference = np.array(
        [[np.average(level, weights=weights) for level in step] for step in theta_v]
    )[..., None, None]
    b = GRAVITY * (theta_v - reference) / reference
    z = fields.height.values
    ground = fields.ground.values
    top = np.full(ground.shape, np.nan)
    expected = tarnwell.cold_pool(z, b, bottom=ground, threshold=-0.01, top=top, axis=1)
    np.testing.assert_allclose(got["intensity"].values, expected.intensity, rtol=1e-9)
    np.testing.assert_allclose(got["depth"].values, expected.depth, rtol=1e-9)
    assert got["intensity"].values[:, 6, 1].min() > 5.0  # the pool is found
    assert "cos(latitude)" in got.attrs["tarnwell_cold_pool_reference"]


def test_global_grid_gives_no_cold_pool_and_says_why(monkeypatch):
    """Pole to pole, a horizontal mean is no environment: no cold-pool fields, one note;
    gradients everywhere but the eastward derivative at the poles."""
    lat = np.arange(90.0, -90.1, -10.0)
    lon = np.arange(0.0, 360.0, 15.0)
    got = run_fields(monkeypatch, lat_lon_fields(lat, lon))
    assert "intensity" not in got and "depth" not in got
    notes = [n for n in got.attrs["comment"].splitlines() if "cold-pool" in n]
    assert len(notes) == 1 and "20,015 km north-south" in notes[0]
    dfdx = got["dfdx_theta"].values
    assert np.isnan(dfdx[..., [0, -1], :]).all()
    assert np.isfinite(dfdx[..., 1:-1, :]).all()
    assert np.isfinite(got["dfdy_theta"].values).all()
    assert np.isfinite(got["helicity_0_3km"].values).all()


def test_domain_extent():
    fields = lat_lon_fields(np.array([10.0, -5.0]), np.array([350.0, 355.0, 360.0]))
    north_south, east_west = thermo_fields.domain_extent(fields)
    assert north_south == pytest.approx(EARTH_RADIUS * np.deg2rad(15.0))
    assert east_west == pytest.approx(EARTH_RADIUS * np.cos(np.deg2rad(5.0)) * np.deg2rad(10.0))
    fields.geographic = False
    fields.x, fields.y = np.array([0.0, 3.0e6]), np.array([1.0e5, 5.0e5])
    assert thermo_fields.domain_extent(fields) == (4.0e5, 3.0e6)
