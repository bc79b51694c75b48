"""Wind layers measured from the ground as users define them, and Bunkers storm motion.

Terrain-following and pressure-level models put their lowest level metres to
tens of metres above the ground; the layers must still start there. Every
expectation here is computed by hand, column by column in plain Python, on
the same fields the command reads.
"""

from __future__ import annotations

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")

from tarnwell.cli import diagnose as diag  # noqa: E402
from tarnwell.cli import models, wind_fields  # noqa: E402

ABOVE_GROUND = np.array(
    [25.0, 80.0, 200.0, 400.0, 700.0, 1100.0, 1600.0, 2300.0, 3200.0, 4300.0, 5600.0, 7000.0]
)
DIMS = ("time", "level", "y", "x")


def terrain_following(seed: int = 1, nt: int = 2, ny: int = 4, nx: int = 5) -> models.ModelFields:
    """Levels 25 m and more above a hilly ground, with 10-m winds, as a model writes them."""
    rng = np.random.default_rng(seed)
    ground = rng.uniform(0.0, 1500.0, (ny, nx))
    z = ground[None, None] + ABOVE_GROUND[None, :, None, None] + np.zeros((nt, 1, ny, nx))
    h = z - ground
    # A veering, strengthening wind with noise, and 10-m winds weaker than the lowest level's.
    u = 2.0 + 4.0e-3 * h + rng.normal(0.0, 1.0, z.shape)
    v = 3.0 * np.sin(h / 2500.0) + rng.normal(0.0, 1.0, z.shape)
    u10 = 0.6 * u[:, 0] + rng.normal(0.0, 0.3, (nt, ny, nx))
    v10 = 0.6 * v[:, 0] + rng.normal(0.0, 0.3, (nt, ny, nx))

    def field(a: np.ndarray, name: str) -> xr.DataArray:
        return xr.DataArray(a, dims=DIMS if a.ndim == 4 else ("time", "y", "x"), name=name)

    return models.ModelFields(
        "test",
        DIMS,
        "level",
        "y",
        "x",
        height=field(z, "z"),
        ground=xr.DataArray(np.broadcast_to(ground, (nt, ny, nx)), dims=("time", "y", "x")),
        u=field(u, "u"),
        v=field(v, "v"),
        u10=field(u10, "u10"),
        v10=field(v10, "v10"),
    )


def run_fields(
    monkeypatch: pytest.MonkeyPatch, fields: models.ModelFields, **options: object
) -> xr.Dataset:
    """The diagnostics of ``fields`` as the command computes them (the reader bypassed)."""
    monkeypatch.setattr(models, "read", lambda ds, variables, level_dim: fields)
    source = xr.Dataset({"u": fields.u})
    return diag.diagnose(source, {}, diag.Options(**options))  # type: ignore[arg-type]


def column_points(z, u, v, ground, u10=None, v10=None):
    """A column's winds from the lowest one at or above the ground, in height order."""
    keep = [k for k in range(len(z)) if z[k] >= ground and np.isfinite(u[k] + v[k] + z[k])]
    zs, us, vs = [z[k] for k in keep], [u[k] for k in keep], [v[k] for k in keep]
    if u10 is not None and np.isfinite(u10 + v10) and (not zs or ground + 10.0 < zs[0]):
        zs, us, vs = [ground + 10.0, *zs], [u10, *us], [v10, *vs]
    return zs, us, vs


def wind_at(zs, us, vs, h):
    for k in range(1, len(zs)):
        if zs[k - 1] <= h <= zs[k]:
            w = (h - zs[k - 1]) / (zs[k] - zs[k - 1])
            return (us[k] - us[k - 1]) * w + us[k - 1], (vs[k] - vs[k - 1]) * w + vs[k - 1]
    raise AssertionError("height outside the column")


def helicity_by_hand(zs, us, vs, top, cu, cv):
    """Σ (u_k − cu)(v_k−1 − cv) − (u_k−1 − cu)(v_k − cv) from the lowest wind to ``top``."""
    ut, vt = wind_at(zs, us, vs, top)
    pts = [(u, v) for z, u, v in zip(zs, us, vs, strict=True) if z < top] + [(ut, vt)]
    total = 0.0
    for (u0, v0), (u1, v1) in zip(pts[:-1], pts[1:], strict=True):
        total = total + ((u1 - cu) * (v0 - cv) - (v1 - cv) * (u0 - cu))
    return total


def mean_by_hand(zs, us, vs, ground, bottom, top):
    """Height-weighted mean over [ground + bottom, ground + top], the lowest wind held below."""
    lo, hi = ground + bottom, ground + top
    grid = np.concatenate([[lo], [z for z in zs if lo < z < hi], [hi]])
    zz = np.concatenate([[ground], zs])
    u = np.interp(grid, zz, np.concatenate([[us[0]], us]))
    v = np.interp(grid, zz, np.concatenate([[vs[0]], vs]))
    return np.trapezoid(u, grid) / (hi - lo), np.trapezoid(v, grid) / (hi - lo)


def test_layers_start_at_the_lowest_wind_above_the_ground(monkeypatch):
    """Lowest level 25 m up, 10-m winds given: every column finite, equal to the hand
    computation from the 10-m wind; where a model level lies below 10 m, from it."""
    fields = terrain_following()
    # Some columns with a level 5 m above the ground: the 10-m wind is not the lowest there.
    z = fields.height.values.copy()
    z[:, 0, 0, :] = fields.ground.values[:, 0, :] + 5.0
    fields.height = fields.height.copy(data=z)
    got = run_fields(monkeypatch, fields, n_threads=2)
    z, u, v = (fields.height.values, fields.u.values, fields.v.values)
    g, u10, v10 = fields.ground.values, fields.u10.values, fields.v10.values
    cu, cv = got["u_storm"].values, got["v_storm"].values
    for name in ("helicity_0_1km", "helicity_0_3km", "helicity_0_6km", "u_storm"):
        assert np.isfinite(got[name].values).all(), name
    for t, j, i in np.ndindex(g.shape):
        col = (z[t, :, j, i], u[t, :, j, i], v[t, :, j, i], g[t, j, i])
        zs, us, vs = column_points(*col, u10[t, j, i], v10[t, j, i])
        assert (us[0] == u10[t, j, i]) == (j != 0)
        assert got["u_bottom_0_1km"].values[t, j, i] == us[0]
        assert got["v_bottom_0_3km"].values[t, j, i] == vs[0]
        for top in (1000.0, 3000.0, 6000.0):
            name = wind_fields.layer_name(0.0, top)
            expected = helicity_by_hand(zs, us, vs, g[t, j, i] + top, cu[t, j, i], cv[t, j, i])
            assert got[f"helicity_{name}"].values[t, j, i] == expected, (name, t, j, i)
            ut, vt = wind_at(zs, us, vs, g[t, j, i] + top)
            assert got[f"u_top_{name}"].values[t, j, i] == ut
            assert got[f"v_top_{name}"].values[t, j, i] == vt
            um, vm = mean_by_hand(zs, us, vs, g[t, j, i], 0.0, top)
            np.testing.assert_allclose(got[f"u_mean_{name}"].values[t, j, i], um, rtol=1e-12)
            np.testing.assert_allclose(got[f"v_mean_{name}"].values[t, j, i], vm, rtol=1e-12)
    assert "10-m wind" in got["helicity_0_1km"].attrs["layer_bottom"]
    assert "NaN" not in got.attrs.get("comment", "")


def test_bunkers_storm_motion_by_hand(monkeypatch):
    """Bunkers et al. (2000): 0-6 km mean wind plus 7.5 m/s to the right of the shear
    from the 0-0.5 km to the 5.5-6 km mean wind, computed here by trapezoids."""
    fields = terrain_following(seed=4)
    got = run_fields(monkeypatch, fields)
    z, u, v, g = fields.height.values, fields.u.values, fields.v.values, fields.ground.values
    u10, v10 = fields.u10.values, fields.v10.values
    for t, j, i in np.ndindex(g.shape):
        zs, us, vs = column_points(z[t, :, j, i], u[t, :, j, i], v[t, :, j, i], g[t, j, i],
                                   u10[t, j, i], v10[t, j, i])  # fmt: skip
        mu, mv = mean_by_hand(zs, us, vs, g[t, j, i], 0.0, 6000.0)
        lu, lv = mean_by_hand(zs, us, vs, g[t, j, i], 0.0, 500.0)
        hu, hv = mean_by_hand(zs, us, vs, g[t, j, i], 5500.0, 6000.0)
        su, sv = hu - lu, hv - lv
        shear = np.hypot(su, sv)
        expected = (mu + 7.5 * sv / shear, mv - 7.5 * su / shear)
        got_uv = (got["u_storm"].values[t, j, i], got["v_storm"].values[t, j, i])
        np.testing.assert_allclose(got_uv, expected, rtol=1e-12, atol=1e-12)
    assert "5.5-6 km" in got["u_storm"].attrs["comment"]


def test_bunkers_on_a_straight_hodograph():
    """u = a z from the ground to 8 km, v = 0: mean a·3 km, shear a·(5.75 − 0.25) km
    eastward, so the right mover is (3000 a, −7.5)."""
    a = 4.0e-3
    z = np.linspace(0.0, 8000.0, 33)
    zc, uc, vc = wind_fields.grounded_columns(
        z[None], (a * z)[None], np.zeros((1, z.size)), np.array([0.0])
    )
    block = wind_fields.WindLayers(((0.0, 1000.0),), None, False, 1)
    out = block(z[None], (a * z)[None], np.zeros((1, z.size)), np.array([0.0]))
    np.testing.assert_allclose(out[0], [3000.0 * a], rtol=1e-14)
    np.testing.assert_allclose(out[1], [-7.5], rtol=1e-14)
    # The ground level is the column's own lowest level here; its wind is that level's.
    assert zc[0, 0] == 0.0 and uc[0, 0] == 0.0 and np.isnan(zc[1, 0])


def test_levels_below_the_ground_are_not_used(monkeypatch):
    """Pressure levels under the terrain (heights below the surface) are skipped: the
    layer starts at the first level above the ground, not at an extrapolated wind."""
    fields = terrain_following(seed=2)
    fields.u10 = fields.v10 = None
    z = fields.height.values.copy()
    g = fields.ground.values
    z[:, 0] = g - 300.0  # the lowest level 300 m under the ground
    z[:, 1] = g - 20.0
    fields.height = fields.height.copy(data=z)
    got = run_fields(monkeypatch, fields)
    np.testing.assert_array_equal(got["u_bottom_0_1km"].values, fields.u.values[:, 2])
    np.testing.assert_array_equal(got["v_bottom_0_6km"].values, fields.v.values[:, 2])
    assert "lowest model level" in got["helicity_0_3km"].attrs["layer_bottom"]


def test_missing_ground_measures_from_the_lowest_level(monkeypatch):
    fields = terrain_following(seed=3)
    fields.u10 = fields.v10 = None
    fields.ground = fields.ground.where(fields.ground < 700.0)
    got = run_fields(monkeypatch, fields)
    unknown = np.isnan(fields.ground.values)
    assert unknown.any() and (~unknown).any()
    top = got["u_top_0_1km"].values
    z, u = fields.height.values, fields.u.values
    for t, j, i in zip(*np.nonzero(unknown), strict=True):
        zs, us = list(z[t, :, j, i]), list(u[t, :, j, i])
        expected = wind_at(zs, us, us, zs[0] + 1000.0)[0]
        assert top[t, j, i] == expected


def test_chunks_and_threads_give_the_same_bits(monkeypatch):
    """Eager and dask (several chunks along time and x), one and two threads."""
    fields = terrain_following(seed=5, nt=3, ny=6, nx=70)
    eager = run_fields(monkeypatch, fields, n_threads=1)
    lazy_fields = terrain_following(seed=5, nt=3, ny=6, nx=70)
    for name in ("height", "u", "v", "u10", "v10", "ground"):
        da = getattr(lazy_fields, name)
        setattr(lazy_fields, name, da.chunk({"time": 1, "x": 30}))
    lazy = run_fields(monkeypatch, lazy_fields, n_threads=2).compute()
    for name in eager.data_vars:
        a, b = eager[name].values, lazy[name].values
        assert a.shape == b.shape and np.array_equal(a, b, equal_nan=True), name


def test_levels_too_low_for_a_layer_are_reported(monkeypatch):
    """Columns that reach 5.2 km above the ground: the 0-6 km fields and the storm motion
    are NaN, and one line each says why."""
    fields = terrain_following(seed=6)
    keep = fields.height - fields.ground <= 5200.0
    fields.height = fields.height.where(keep)
    h = fields.height.values
    h[:, 9] = fields.ground.values + 5200.0  # the highest level left: 5.2 km
    got = run_fields(monkeypatch, fields)
    assert np.isnan(got["helicity_0_6km"].values).all()
    notes = got.attrs["comment"].splitlines()
    six = [n for n in notes if "0_6km" in n]
    storm = [n for n in notes if n.startswith("u_storm")]
    assert len(six) == 1 and len(storm) == 1, notes
    assert "100% of the columns" in six[0] and "reach 5.2 km" in six[0] and "needs 6 km" in six[0]
    # The 0-3 km winds are there; its helicity has no storm motion, and says so.
    assert np.isfinite(got["u_top_0_3km"].values).all()
    three = [n for n in notes if "0_3km" in n]
    assert three == ["helicity_0_3km: NaN in 100% of the columns with data: no storm motion "
                     "(see u_storm)"]  # fmt: skip


def test_mean_level_height_carries_only_its_own_attributes(monkeypatch):
    """Geopotential turned into height keeps no geopotential metadata on the output."""
    fields = terrain_following(seed=7)
    fields.height.attrs = {"standard_name": "geopotential", "GRIB_units": "m**2 s**-2"}
    got = run_fields(monkeypatch, fields)
    assert got["height_level_mean"].attrs == {
        "units": "m",
        "long_name": "mean height of the model level",
    }
    np.testing.assert_allclose(
        got["height_level_mean"].values, fields.height.values.mean(axis=(0, 2, 3))
    )
