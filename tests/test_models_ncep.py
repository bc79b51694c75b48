"""NCEP GRIB2 (GFS on latitude-longitude, HRRR on Lambert) through cfgrib, against
the messages decoded one by one with eccodes and worked by hand."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
eccodes = pytest.importorskip("eccodes")
pytest.importorskip("cfgrib")
pytest.importorskip("netCDF4")

import tarnwell  # noqa: E402
from tarnwell.cli import _io, main, models  # noqa: E402

LEVELS = [1000, 925, 850, 700, 500, 300, 200]  # hPa
NY, NX = 6, 7
# GRIB2 product codes (discipline 0): category, number.
TMP, HGT, RH, UGRD, VGRD, PRES = (0, 0), (3, 5), (1, 1), (2, 2), (2, 3), (3, 0)
ISOBARIC, SURFACE, ABOVE_GROUND = 100, 1, 103


def regular_grid() -> dict[str, object]:
    """GFS's 1-degree grid, scanned north to south."""
    return {
        "gridType": "regular_ll",
        "Ni": NX,
        "Nj": NY,
        "latitudeOfFirstGridPointInDegrees": 45.0,
        "latitudeOfLastGridPointInDegrees": 45.0 - (NY - 1),
        "longitudeOfFirstGridPointInDegrees": 250.0,
        "longitudeOfLastGridPointInDegrees": 250.0 + (NX - 1),
        "iDirectionIncrementInDegrees": 1.0,
        "jDirectionIncrementInDegrees": 1.0,
    }


def lambert_grid() -> dict[str, object]:
    """HRRR's projection (3-km spacing, standard parallels 38.5 N, LoV 97.5 W)."""
    return {
        "gridType": "lambert",
        "Nx": NX,
        "Ny": NY,
        "latitudeOfFirstGridPointInDegrees": 36.0,
        "longitudeOfFirstGridPointInDegrees": 262.0,
        "LaDInDegrees": 38.5,
        "LoVInDegrees": 262.5,
        "Latin1InDegrees": 38.5,
        "Latin2InDegrees": 38.5,
        "DxInMetres": 3000.0,
        "DyInMetres": 3000.0,
        "resolutionAndComponentFlags": 8,  # winds relative to the grid
        "jScansPositively": 1,  # rows south to north
    }


def fields_of_a_column(rng: np.random.Generator) -> dict[tuple, np.ndarray]:
    """(product, level type, level) -> values, for a GFS-like state over a mountain."""
    jj, ii = np.meshgrid(np.arange(NY), np.arange(NX), indexing="ij")
    orog = 100.0 + 1400.0 * np.exp(-(((ii - 4) / 1.5) ** 2 + ((jj - 2) / 1.5) ** 2))
    sp = 101325.0 * (1.0 - 0.0065 * orog / 288.15) ** 5.2559
    out: dict[tuple, np.ndarray] = {
        (HGT, SURFACE, 0): orog,
        (PRES, SURFACE, 0): sp,
        (UGRD, ABOVE_GROUND, 10): 3.0 + rng.random((NY, NX)),
        (VGRD, ABOVE_GROUND, 10): -1.0 + rng.random((NY, NX)),
        (TMP, ABOVE_GROUND, 2): 295.0 + rng.random((NY, NX)),
    }
    for level in LEVELS:
        z = 44330.8 * (1.0 - (level / 1013.25) ** 0.190263)
        out[(TMP, ISOBARIC, level)] = 296.0 - 0.0065 * z + rng.random((NY, NX))
        out[(HGT, ISOBARIC, level)] = z + 20.0 * rng.random((NY, NX))
        out[(RH, ISOBARIC, level)] = 40.0 + 50.0 * rng.random((NY, NX))
        out[(UGRD, ISOBARIC, level)] = 4.0 + 0.003 * z + rng.random((NY, NX))
        out[(VGRD, ISOBARIC, level)] = 6.0 * np.sin(z / 2500.0) + rng.random((NY, NX))
    return out


def write_grib2(path: Path, grid: dict[str, object], seed: int = 4) -> None:
    rng = np.random.default_rng(seed)
    with open(path, "wb") as f:
        for ((category, number), level_type, level), values in fields_of_a_column(rng).items():
            h = eccodes.codes_grib_new_from_samples("GRIB2")
            keys: dict[str, object] = {"centre": 7, **grid}  # 7: NCEP
            keys.update(
                discipline=0,
                parameterCategory=category,
                parameterNumber=number,
                typeOfFirstFixedSurface=level_type,
                scaleFactorOfFirstFixedSurface=0,
                scaledValueOfFirstFixedSurface=level * 100 if level_type == ISOBARIC else level,
                bitsPerValue=24,
            )
            for key, value in keys.items():
                eccodes.codes_set(h, key, value)
            eccodes.codes_set_values(h, values.reshape(-1))
            eccodes.codes_write(h, f)
            eccodes.codes_release(h)


def decoded(path: Path) -> dict[tuple[str, str, int], np.ndarray]:
    """Every message as eccodes decodes it: (shortName, typeOfLevel, level) -> (NY, NX),
    rounded to float32 as cfgrib hands GRIB values to xarray."""
    out = {}
    with open(path, "rb") as f:
        while (h := eccodes.codes_grib_new_from_file(f)) is not None:
            key = tuple(eccodes.codes_get(h, k) for k in ("shortName", "typeOfLevel", "level"))
            values = eccodes.codes_get_values(h).reshape(NY, NX)
            out[key] = values.astype(np.float32).astype(np.float64)
            eccodes.codes_release(h)
    return out


def by_hand(messages: dict[tuple[str, str, int], np.ndarray]) -> dict[str, np.ndarray]:
    """Bottom-up pressure levels, RH (%) to dew point, and levels under the
    ground (p above the surface pressure, or gh below the orography) missing."""

    def column(short: str) -> np.ndarray:
        return np.stack([messages[(short, "isobaricInhPa", lev)] for lev in LEVELS])

    p = np.broadcast_to(np.array(LEVELS, dtype=float)[:, None, None] * 100.0, (len(LEVELS), NY, NX))
    t = column("t")
    tc = t - 273.15
    e = column("r") / 100.0 * 611.2 * np.exp(17.67 * tc / (tc + 243.5))
    ln = np.log(e / 611.2)
    td = 243.5 * ln / (17.67 - ln) + 273.15
    orog = messages[("orog", "surface", 0)]
    under = (p > messages[("sp", "surface", 0)]) | (column("gh") < orog)
    out = {
        "pressure": p,
        "temperature": t,
        "dewpoint": td,
        "height": column("gh"),
        "u": column("u"),
        "v": column("v"),
    }
    out = {k: np.where(under, np.nan, v) for k, v in out.items()}
    out["ground"] = orog
    out["u10"] = messages[("10u", "heightAboveGround", 10)]
    out["v10"] = messages[("10v", "heightAboveGround", 10)]
    return out


def same(got: np.ndarray, want: np.ndarray, name: str, rtol: float = 1e-13) -> None:
    assert np.array_equal(np.isnan(got), np.isnan(want)), name
    np.testing.assert_allclose(got, want, rtol=rtol, atol=1e-12, err_msg=name)


@pytest.fixture(scope="module")
def gfs(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("gfs") / "gfs.t12z.pgrb2.1p00.f000.grib2"
    write_grib2(path, regular_grid())
    return path


def test_gfs_kinds_of_level_joined_and_read(gfs):
    expected = by_hand(decoded(gfs))
    with _io.open_model(str(gfs), None) as opened:
        # The 2-m temperature is on another kind of level: left out, not mixed in.
        assert "t2m" not in opened and "u10" in opened and "orog" in opened
        fields = models.read(opened, {}, None)
    assert fields.family == "NCEP" and fields.level_dim == "isobaricInhPa"
    assert fields.input_dtype == np.float32
    for name, value in expected.items():
        same(getattr(fields, name).values, value, name)
    under = np.isnan(fields.temperature.values)
    assert under[0].any() and not under[0].all() and not under[-1].any()
    assert fields.geographic and fields.grid_note is None
    np.testing.assert_array_equal(fields.y, 45.0 - np.arange(NY))
    np.testing.assert_array_equal(fields.x, 250.0 + np.arange(NX))


def test_gfs_through_the_command(gfs, tmp_path):
    expected = by_hand(decoded(gfs))
    out = tmp_path / "gfs_diag.nc"
    assert main(["diagnose", str(gfs), "-o", str(out), "-q"]) == 0
    with xr.open_dataset(out) as got:
        got = got.load()
    thermo = tarnwell.thermo(expected["temperature"], expected["pressure"], expected["dewpoint"])
    for name in ("mixing_ratio", "theta", "theta_e"):
        same(got[name].values, getattr(thermo, name), name, rtol=1e-6)
    attrs = got["height_level_mean"].attrs
    assert "standard_name" not in attrs and not any(k.startswith("GRIB_") for k in attrs)


def test_lambert_grid_winds_turned_earth_relative(tmp_path):
    path = tmp_path / "hrrr.t00z.wrfprsf00.grib2"
    write_grib2(path, lambert_grid())
    messages = decoded(path)
    expected = by_hand(messages)
    with _io.open_model(str(path), None) as opened:
        fields = models.read(opened, {}, None)
        lon = opened["longitude"].values
        lat = opened["latitude"].values
        assert np.all(np.diff(lat, axis=0) > 0)
    np.testing.assert_array_equal(fields.x, np.arange(NX) * 3000.0)
    np.testing.assert_array_equal(fields.y, np.arange(NY) * 3000.0)
    assert not fields.geographic and fields.grid_note is None
    # Tangent cone (Latin1 = Latin2): n = sin(38.5 deg); the grid's north turns
    # by n (lon - LoV) from the meridian.
    angle = np.radians(((lon - 262.5 + 180.0) % 360.0) - 180.0) * math.sin(math.radians(38.5))
    u_grid, v_grid = expected["u"], expected["v"]
    same(fields.u.values, u_grid * np.cos(angle) + v_grid * np.sin(angle), "u")
    same(fields.v.values, v_grid * np.cos(angle) - u_grid * np.sin(angle), "v")
    u10 = expected["u10"] * np.cos(angle) + expected["v10"] * np.sin(angle)
    same(fields.u10.values, u10, "u10")
    assert np.abs(angle).max() > 0.005  # not a degenerate case
    # Independently, from eccodes' own latitudes: true north points along the
    # latitude's gradient, (-sin a, cos a) in grid axes.
    dlat_dy, dlat_dx = np.gradient(lat)
    np.testing.assert_allclose(np.arctan2(-dlat_dx, dlat_dy), angle, atol=2e-4)
