"""Parcel fields and severe-weather composites of `tarnwell diagnose`, against direct calls."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")
pytest.importorskip("netCDF4")

from test_cli import read, reference, run, same_bits  # noqa: E402
from test_models_ecmwf import by_hand, era5  # noqa: E402

import tarnwell  # noqa: E402
from tarnwell import _sample_data, composites  # noqa: E402

SUFFIXES = {"sb": "surface_based", "ml": "mixed_layer", "mu": "most_unstable"}


@pytest.fixture(scope="module")
def model(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, xr.Dataset]:
    ds = _sample_data.model_dataset(nt=3, nz=14, ny=22, nx=26, dx=10000.0, seed=3)
    t = ds["T"].values
    t[0, 3, 5, 7] = np.nan
    # A lowest level without temperature: that column's parcels start one level up,
    # and its heights are still measured from the ground.
    t[2, 0, 10, 11] = np.nan
    path = tmp_path_factory.mktemp("parcel") / "model.nc"
    ds.to_netcdf(path)
    return path, ds


def parcel_reference(ds: xr.Dataset) -> dict[str, np.ndarray]:
    """The parcel and composite fields by direct calls on (time, level, y, x) arrays.

    The sample has no surface altitude: the ground is each column's lowest
    level height, and the wind columns start there with the lowest wind.
    """
    t, p, td, z = (ds[n].values for n in ("T", "P", "TD", "Z"))
    u, v = ds["U"].values, ds["V"].values
    ground = z.min(axis=1)
    first = np.argmax(np.isfinite(t), axis=1)[:, None]
    offset = np.take_along_axis(z, first, axis=1)[:, 0] - ground
    out: dict[str, np.ndarray] = {}
    for suffix, kind in SUFFIXES.items():
        res = tarnwell.parcel(p, t, td, z, parcel=kind, axis=1)
        for name, value in res._asdict().items():
            out[f"{name}_{suffix}"] = value + offset if name.endswith("_height") else value
    layer = composites.effective_inflow_layer(p, t, td, z, axis=1)
    above_ground = composites.EffectiveLayer(
        layer.bottom_height + offset, layer.top_height + offset, np.nan, np.nan
    )
    out["bottom_height_effective"] = above_ground.bottom_height
    out["top_height_effective"] = above_ground.top_height
    out["bottom_pressure_effective"] = layer.bottom_pressure
    out["top_pressure_effective"] = layer.top_pressure
    # Wind columns laid out by hand: the ground with the lowest wind, the model
    # levels, then the (unused) 10-m level, which is missing.
    nan = np.full_like(u[:, :1], np.nan)
    zc = np.concatenate([ground[:, None], z, nan], axis=1)
    uc = np.concatenate([u[:, :1], u, nan], axis=1)
    vc = np.concatenate([v[:, :1], v, nan], axis=1)
    winds = reference(ds)
    cu, cv = winds["u_storm"], winds["v_storm"]
    esrh = composites.effective_srh(zc, uc, vc, above_ground, cu=cu, cv=cv, axis=1)
    ebwd = composites.effective_bulk_wind_difference(
        zc, uc, vc, above_ground, out["el_height_mu"], axis=1
    )
    out["helicity_effective"] = esrh
    out["bulk_wind_difference_effective"] = ebwd
    out["stp"] = composites.significant_tornado_parameter(
        out["cape_ml"], out["cin_ml"], out["lcl_height_ml"], esrh, ebwd, layer.bottom_height
    )
    out["scp"] = composites.supercell_composite_parameter(out["cape_mu"], esrh, ebwd, out["cin_mu"])
    return out


@pytest.mark.parametrize("chunks", [None, "time=1", "time=2,y=7", "level=5,x=10"])
def test_parcel_fields_equal_direct_calls(model, tmp_path, chunks):
    path, ds = model
    out = tmp_path / "diag.nc"
    extra = ["--chunks", chunks] if chunks else []
    assert run("diagnose", path, "-o", out, "-q", "--dtype", "float64", *extra) == 0
    got = read(out)
    expected = parcel_reference(ds)
    for name, value in expected.items():
        assert got[name].dims == ("time", "y", "x"), name
        assert same_bits(got[name].values, value), name
    # Not a degenerate case: CAPE, an effective layer, helicity in it, and tornado
    # parameters above 1 in the warm sector; the column without its lowest
    # temperature still has its parcels.
    assert np.nanmax(got["cape_ml"].values) > 1000.0
    assert np.isfinite(got["helicity_effective"].values).mean() > 0.3
    assert np.nanmax(got["stp"].values) > 1.0 and np.nanmax(got["scp"].values) > 1.0
    assert np.isfinite(got["cape_sb"].values[2, 10, 11])
    assert got["lcl_height_sb"].values[2, 10, 11] > 100.0  # from the ground, not level 1
    attrs = got["cape_ml"].attrs
    assert attrs["units"] == "J kg-1" and "mixed-layer" in attrs["long_name"]
    assert "Bolton (1980)" in attrs["comment"]
    assert "Thompson et al. (2012)" in got["stp"].attrs["comment"]
    assert got["helicity_effective"].attrs["units"] == "m2 s-2"


def test_parcel_physics_on_the_sample(model, tmp_path):
    """What any correct CAPE field must satisfy, and what the sample's storm must show."""
    path, ds = model
    out = tmp_path / "diag.nc"
    assert run("diagnose", path, "-o", out, "-q") == 0
    got = read(out)
    # The sample's inputs are float64, and so are the parcel fields it feeds.
    assert got["cape_sb"].dtype == np.float64
    for suffix in SUFFIXES:
        cape, cin = got[f"cape_{suffix}"].values, got[f"cin_{suffix}"].values
        assert np.nanmin(cape) >= 0.0 and np.nanmax(cin) <= 0.0, suffix
        lcl, lfc, el = (got[f"{k}_height_{suffix}"].values for k in ("lcl", "lfc", "el"))
        both = np.isfinite(lfc) & np.isfinite(el)
        assert both.any()
        assert np.all(lcl[both] <= lfc[both] + 1e-9) and np.all(lfc[both] < el[both]), suffix
        # No LFC, no CAPE.
        assert np.all(cape[np.isnan(lfc) & np.isfinite(cape)] == 0.0), suffix
        lcl_p = got[f"lcl_pressure_{suffix}"].values
        assert np.nanmax(lcl_p) < 102000.0 and np.nanmin(lcl_p) > 50000.0
    # The most unstable parcel is at least as buoyant as the surface one where
    # it starts from the lowest level, and the mixed layer is no moister than
    # the surface air of this moist boundary layer.
    assert np.nanmean(got["cape_mu"].values) >= np.nanmean(got["cape_sb"].values)
    assert np.nanmean(got["cape_ml"].values) < np.nanmean(got["cape_sb"].values)
    # The cold pool under the storm (12 K colder near the ground) is stable.
    t = 1
    intensity = got["intensity"].values[t]
    j, i = np.unravel_index(np.nanargmax(intensity), intensity.shape)
    assert got["cape_sb"].values[t, j, i] < 0.1 * np.nanmax(got["cape_sb"].values[t])
    # The effective layer starts at the ground where it exists here (surface-based
    # warm sector), so STP is its product there and 0 elsewhere.
    bottom = got["bottom_height_effective"].values
    assert np.all(bottom[np.isfinite(bottom)] == 0.0)
    assert np.all(got["stp"].values[np.isnan(bottom)] == 0.0)
    assert np.all(got["stp"].values >= 0.0)


def test_notes_for_missing_parcels(model, tmp_path):
    path, ds = model
    no_dew = tmp_path / "no_dew.nc"
    ds.drop_vars("TD").to_netcdf(no_dew)
    out = tmp_path / "a.nc"
    assert run("diagnose", no_dew, "-o", out, "-q") == 0
    got = read(out)
    assert "no thermodynamic or parcel fields" in got.attrs["comment"]
    assert not any(name.startswith(("cape", "stp")) for name in got.data_vars)
    # No heights: no parcels; no winds: parcels without the wind composites.
    for dropped, said, kept in (
        (["Z"], "no parcel fields", "theta_e"),
        (["U", "V"], "no effective helicity, stp or scp", "cape_mu"),
    ):
        part = tmp_path / f"no_{dropped[0]}.nc"
        ds.drop_vars(dropped).to_netcdf(part)
        out = tmp_path / f"c_{dropped[0]}.nc"
        assert run("diagnose", part, "-o", out, "-q") == 0
        got = read(out)
        assert said in got.attrs["comment"] and kept in got.data_vars
        assert "stp" not in got.data_vars and "helicity_effective" not in got.data_vars
    # No dew point at the lowest level: no surface-based parcel, said once for
    # its fields; the mixed layer's mean starts there too; the most unstable
    # parcel searches the levels above.
    dry = ds.copy(deep=True)
    dry["TD"][:, 0] = np.nan
    dry_path = tmp_path / "dry.nc"
    dry.to_netcdf(dry_path)
    for chunks in ([], ["--chunks", "time=1"]):
        out = tmp_path / f"b{len(chunks)}.nc"
        assert run("diagnose", dry_path, "-o", out, "-q", *chunks) == 0
        comment = read(out).attrs["comment"]
        assert "cape_sb and the other sb parcel fields: NaN in 100% of the columns" in comment
        assert "mu parcel" not in comment
        assert "lfc_height" not in comment and "_effective" not in comment


def test_era5_parcels_from_the_ground(tmp_path):
    """Pressure levels under the ground are not air: the parcels start at the first
    level above it, and their heights are measured from the ground (the
    height at the surface pressure), on the fields worked out by hand."""
    ds = era5()
    path = tmp_path / "era5.nc"
    ds.to_netcdf(path)
    out = tmp_path / "diag.nc"
    assert run("diagnose", path, "-o", out, "-q", "--dtype", "float64") == 0
    got = read(out)
    f = by_hand(ds)
    p, t, td, z = f["pressure"], f["temperature"], f["dewpoint"], f["height"]
    first = np.argmax(np.isfinite(t), axis=1)[:, None]
    offset = np.take_along_axis(z, first, axis=1)[:, 0] - f["ground"]
    assert offset.min() > 0.0 and offset.max() > 500.0  # the mountain hides levels
    for suffix, kind in SUFFIXES.items():
        res = tarnwell.parcel(p, t, td, z, parcel=kind, axis=1)
        for name in ("cape", "cin", "lcl_pressure", "lcl_height", "el_height"):
            want = getattr(res, name) + (offset if name.endswith("height") else 0.0)
            value = got[f"{name}_{suffix}"].values
            assert np.array_equal(np.isnan(value), np.isnan(want)), (name, suffix)
            np.testing.assert_allclose(value, want, rtol=1e-9, atol=1e-6, err_msg=name)
    # The effective helicity exists wherever the layer does, though the lowest
    # pressure levels of the mountain columns are missing; without a layer it is 0.
    layer = got["bottom_height_effective"].values
    helicity = got["helicity_effective"].values
    assert np.isfinite(layer).any()
    assert np.isfinite(helicity).all() and (helicity[np.isnan(layer)] == 0.0).all()
    assert np.all(layer[np.isfinite(layer)] >= offset[np.isfinite(layer)] - 1e-6)


def test_wrf_heights_from_the_ground_and_winds_from_10_m(tmp_path):
    """WRF's lowest mass level lies metres above HGT: parcel heights are measured
    from HGT, and the effective helicity runs on columns that start at the
    ground with the 10-m wind, laid out here by hand from WRF's conventions."""
    from test_models_wrf import by_hand as wrf_by_hand
    from test_models_wrf import wrfout

    ds = wrfout()
    path = tmp_path / "wrfout_d01_2024-05-20_18:00:00"
    ds.to_netcdf(path, format="NETCDF4", unlimited_dims=["Time"])
    out = tmp_path / "diag.nc"
    assert run("diagnose", path, "-o", out, "-q", "--dtype", "float64") == 0
    got = read(out)
    f = wrf_by_hand(ds)
    p, t, td, z, ground = f["pressure"], f["temperature"], f["dewpoint"], f["height"], f["ground"]
    offset = z[:, 0] - ground
    assert offset.min() > 1.0
    res = tarnwell.parcel(p, t, td, z, axis=1)
    for name in ("lcl_height", "lfc_height", "el_height"):
        np.testing.assert_allclose(
            got[f"{name}_sb"].values, getattr(res, name) + offset, rtol=1e-9, atol=1e-6
        )
    np.testing.assert_allclose(got["cape_sb"].values, res.cape, rtol=1e-9, atol=1e-6)
    layer = composites.effective_inflow_layer(p, t, td, z, axis=1)
    above = composites.EffectiveLayer(
        layer.bottom_height + offset, layer.top_height + offset, np.nan, np.nan
    )
    ten = ground + 10.0
    zc = np.concatenate([ground[:, None], ten[:, None], z], axis=1)
    uc = np.concatenate([f["u10"][:, None], f["u10"][:, None], f["u"]], axis=1)
    vc = np.concatenate([f["v10"][:, None], f["v10"][:, None], f["v"]], axis=1)
    cu, cv = got["u_storm"].values, got["v_storm"].values
    esrh = composites.effective_srh(zc, uc, vc, above, cu=cu, cv=cv, axis=1)
    assert np.isfinite(esrh).any()
    helicity = got["helicity_effective"].values
    assert np.array_equal(np.isnan(helicity), np.isnan(esrh))
    np.testing.assert_allclose(helicity, esrh, rtol=1e-8, atol=1e-6)
