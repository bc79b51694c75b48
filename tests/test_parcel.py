"""tarnwell.parcel: the ascent against an independent scalar evaluation of the
documented method, its physical invariants, threads, layouts, and the faces
(masks, units, xarray, dask)."""

import math

import numpy as np
import pytest
from parcel_ref import parcel_ref, synthetic_soundings
from scalar_ref import assert_bits

import tarnwell
from tarnwell._native import parcel as _parcel
from tarnwell.parcel import MIXED_LAYER_DEPTH

KINDS = ("surface_based", "mixed_layer", "most_unstable")


def stacked(r):
    return np.array([np.asarray(f) for f in r])


def reference(p, t, td, z, kind):
    return np.array([parcel_ref(p[i], t[i], td[i], z[i], kind) for i in range(len(p))]).T


@pytest.fixture(scope="module")
def soundings():
    """Synthetic soundings with what real ones carry: missing dew points aloft,
    missing levels inside, and NaN padding after the top."""
    p, t, td, z = synthetic_soundings(400, 36, seed=5)
    rng = np.random.default_rng(6)
    td[rng.random(td.shape) < 0.03] = np.nan
    td[:, 0] = np.where(rng.random(len(td)) < 0.01, np.nan, td[:, 0])
    holes = rng.random(t.shape) < 0.03
    holes[:, 0] = False
    t[holes] = np.nan
    for i in rng.choice(len(p), 40, replace=False):
        cut = rng.integers(12, 36)
        p[i, cut:] = t[i, cut:] = td[i, cut:] = z[i, cut:] = np.nan
    return p, t, td, z


@pytest.mark.parametrize("kind", KINDS)
def test_matches_the_scalar_reference(soundings, kind):
    p, t, td, z = soundings
    got = stacked(tarnwell.parcel(p, t, td, z, parcel=kind))
    ref = reference(p, t, td, z, kind)
    np.testing.assert_array_equal(np.isnan(got), np.isnan(ref))
    # Newton's method to 1e-6 K against bisection to 1e-11 K.
    np.testing.assert_allclose(got[0:2], ref[0:2], rtol=1e-7, atol=1e-6)
    np.testing.assert_allclose(got[2::2], ref[2::2], rtol=1e-9)
    np.testing.assert_allclose(got[3::2], ref[3::2], rtol=1e-9, atol=1e-6)
    # The sample exercises what the reference is there to check.
    assert np.sum(got[0] > 100) > 50 and np.sum(got[1] < -10) > 20
    assert np.sum(np.isnan(got[6]) & (got[0] > 0)) < np.sum(got[0] > 0)


def with_level_at(p, t, td, z, p_new):
    """Every column with one more level, at p_new, on the environment's own
    line: temperature, dew point and height linear in ln p between the data
    levels around it."""
    n, levels = p.shape
    x, x_new = np.log(p), np.log(p_new)
    above = np.clip(np.sum(x > x_new[:, None], axis=1), 1, levels - 1)
    rows = np.arange(n)
    f = (x[rows, above - 1] - x_new) / (x[rows, above - 1] - x[rows, above])
    source = np.arange(levels + 1)[None, :]
    source = np.where(source < above[:, None], source, source - 1)
    out = []
    for a in (p, t, td, z):
        b = a[rows[:, None], source]
        b[rows, above] = a[rows, above - 1] + f * (a[rows, above] - a[rows, above - 1])
        out.append(b)
    out[0][rows, above] = p_new
    return out


@pytest.mark.parametrize("kind", KINDS)
def test_a_level_next_to_the_lcl_changes_nothing(kind):
    """A level on the environment's line, down to a millipascal above or below
    the LCL, adds a node and nothing else. The one segment it splits is
    re-interpolated: a few hundredths of J/kg of CAPE, and below the LCL up
    to a few tenths of J/kg of CIN (the last dry segment then ends at Bolton's
    LCL temperature, a few hundredths of a kelvin off the pseudo-adiabat)."""
    p, t, td, z = synthetic_soundings(3000, 40, seed=23)
    base = tarnwell.parcel(p, t, td, z, parcel=kind)
    lcl = base.lcl_pressure
    inside = np.isfinite(lcl) & (lcl < p[:, 0] - 1.0) & (lcl > p[:, -1] + 1.0)
    if kind == "mixed_layer":  # a level inside the layer changes the layer's mean
        inside &= lcl < p[:, 0] - MIXED_LAYER_DEPTH - 1.0
    assert inside.sum() > 1000 and np.sum(base.cape[inside] > 100) > 300
    for offset in (-1.0, -1e-2, -1e-3, 1e-3, 1e-2, 0.3, 1.0):
        got = tarnwell.parcel(
            *with_level_at(p, t, td, z, np.where(inside, lcl - offset, lcl)), parcel=kind
        )
        for name in ("cape", "cin", "lfc_height", "el_height"):
            a, b = getattr(got, name)[inside], getattr(base, name)[inside]
            np.testing.assert_array_equal(np.isnan(a), np.isnan(b), err_msg=f"{name} {offset}")
        np.testing.assert_allclose(got.cape[inside], base.cape[inside], rtol=1e-3, atol=0.1)
        np.testing.assert_allclose(got.cin[inside], base.cin[inside], rtol=1e-3, atol=0.3)


def test_physical_invariants_on_thousands_of_columns():
    p, t, td, z = synthetic_soundings(3000, 40, seed=11)
    for kind in KINDS:
        r = tarnwell.parcel(p, t, td, z, parcel=kind)
        assert np.all(r.cape >= 0) and np.all(r.cin <= 0)
        has = np.isfinite(r.lfc_pressure)
        assert np.all(r.lcl_pressure[has] >= r.lfc_pressure[has])
        assert np.all(r.lcl_height[has] <= r.lfc_height[has])
        el = np.isfinite(r.el_pressure)
        assert np.all(has[el])
        assert np.all(r.lfc_pressure[el] > r.el_pressure[el])
        assert np.all(r.lfc_height[el] < r.el_height[el])
        # No LFC: no CAPE and no CIN.
        assert np.all(r.cape[~has] == 0) and np.all(r.cin[~has] == 0)
        assert np.all(r.lcl_height[np.isfinite(r.lcl_height)] >= 0)
    mu = tarnwell.parcel(p, t, td, z, parcel="most_unstable").cape
    sb = tarnwell.parcel(p, t, td, z, parcel="surface_based").cape
    # The most unstable parcel is the surface parcel or one with more theta-e;
    # where the surface parcel is the one, the two agree exactly.
    same = mu == sb
    assert same.mean() > 0.5 and (~same).sum() > 100


def test_dry_stable_column_has_no_cape():
    z = np.linspace(0.0, 12000.0, 30)
    t = 290.0 - 0.004 * z  # 4 K/km: absolutely stable
    p = 100000.0 * np.exp(-z / 8000.0)
    r = tarnwell.parcel(p, t, t - 25.0, z)
    assert r.cape == 0 and r.cin == 0
    assert np.isnan(r.lfc_pressure) and np.isnan(r.el_pressure) and np.isnan(r.el_height)
    assert np.isfinite(r.lcl_pressure) and r.lcl_height > 0


def test_saturated_start_is_its_own_lcl_and_matches_the_reference():
    p, t, td, z = synthetic_soundings(50, 30, seed=8)
    td[:, 0] = t[:, 0] + 0.5  # supersaturated: taken as saturated
    r = stacked(tarnwell.parcel(p, t, td, z))
    np.testing.assert_array_equal(r[2], p[:, 0])
    np.testing.assert_array_equal(r[3], 0.0)
    ref = reference(p, t, td, z, "surface_based")
    np.testing.assert_allclose(r, ref, rtol=1e-7, atol=1e-6)


@pytest.mark.parametrize("kind", KINDS)
def test_a_dew_point_past_boiling_counts_as_missing(kind):
    """Where the vapour pressure reaches the pressure there is no mixing ratio
    (the formula's is negative): such a dew point is no dew point, at the
    start, in the layers that choose the parcel and in the environment."""
    p, t, td, z = synthetic_soundings(300, 30, seed=9)
    boiling = np.random.default_rng(2).random(t.shape) < 0.08
    boiling[::3, 0] = True
    t[boiling] = td[boiling] = 400.0  # e = 2.4e5 Pa
    got = stacked(tarnwell.parcel(p, t, td, z, parcel=kind))
    assert_bits(got, stacked(tarnwell.parcel(p, t, np.where(boiling, np.nan, td), z, parcel=kind)))
    assert np.isnan(got[0, ::3]).all() == (kind != "most_unstable")


def test_columns_without_a_result_are_nan():
    p, t, td, z = (a[:1].copy() for a in synthetic_soundings(1, 20, seed=3))
    cases = {}
    cases["all missing"] = (p * np.nan, t, td, z)
    no_td = td.copy()
    no_td[0, 0] = np.nan
    cases["no dew point at the ground"] = (p, t, no_td, z)
    cases["one level"] = (p[:, :1], t[:, :1], td[:, :1], z[:, :1])
    for name, args in cases.items():
        r = stacked(tarnwell.parcel(*args))
        assert np.all(np.isnan(r)), name
    # Mixed layer: a column shallower than 100 hPa has no mean to take.
    shallow = [a[:, :3] for a in (p, t, td, z)]
    assert shallow[0][0, 0] - shallow[0][0, -1] < 10000.0
    assert np.all(np.isnan(stacked(tarnwell.parcel(*shallow, parcel="mixed_layer"))))
    # ... but the surface parcel still has its LCL pressure.
    assert np.isfinite(tarnwell.parcel(*shallow).lcl_pressure)


def test_levels_out_of_order_or_missing_are_skipped():
    p, t, td, z = synthetic_soundings(20, 30, seed=9)
    r = stacked(tarnwell.parcel(p, t, td, z))
    # A level repeating its neighbour's pressure, or one with a missing
    # temperature, is skipped: the same as leaving it out.
    p2 = np.insert(p, 5, p[:, 4], axis=1)
    t2, td2, z2 = (np.insert(a, 5, a[:, 4] + 1.0, axis=1) for a in (t, td, z))
    assert_bits(stacked(tarnwell.parcel(p2, t2, td2, z2)), r)
    t3 = np.insert(t, 7, np.nan, axis=1)
    p3, td3, z3 = (np.insert(a, 7, a[:, 6] - 1.0, axis=1) for a in (p, td, z))
    assert_bits(stacked(tarnwell.parcel(p3, t3, td3, z3)), r)


def test_bit_identical_for_any_thread_count():
    p, t, td, z = synthetic_soundings(1000, 40, seed=12)  # 63 chunks of 16 columns
    for kind in KINDS:
        one = stacked(tarnwell.parcel(p, t, td, z, parcel=kind, n_threads=1))
        for n in (2, 3, 8, 0):
            assert_bits(stacked(tarnwell.parcel(p, t, td, z, parcel=kind, n_threads=n)), one)


def test_bit_identical_in_any_layout():
    p, t, td, z = synthetic_soundings(12 * 11, 25, seed=13)
    last = stacked(tarnwell.parcel(p, t, td, z, parcel="most_unstable"))

    def level_first(a):
        return np.ascontiguousarray(a.T.reshape(25, 12, 11))

    lf = [level_first(a) for a in (p, t, td, z)]
    for n in (1, 2):
        r = stacked(tarnwell.parcel(*lf, parcel="most_unstable", axis=0, n_threads=n))
        assert_bits(r.reshape(8, -1), last)
    # Level in the middle, and a Fortran-ordered copy.
    mid = [np.moveaxis(a, 0, 1) for a in lf]
    r = stacked(tarnwell.parcel(*mid, parcel="most_unstable", axis=1))
    assert_bits(r.reshape(8, -1), last)
    fort = [np.asfortranarray(a) for a in (p, t, td, z)]
    assert_bits(stacked(tarnwell.parcel(*fort, parcel="most_unstable")), last)


def test_columns_stored_top_down_read_from_the_ground_up():
    """ERA5 stores its levels top-down: the same columns flipped give the same bits,
    level-last and level-first, with one pressure per level."""
    p, t, td, z = synthetic_soundings(7 * 9, 30, seed=21)
    for kind in KINDS:
        up = stacked(tarnwell.parcel(p, t, td, z, parcel=kind))
        assert np.isfinite(up[0]).all()
        down = [a[:, ::-1] for a in (p, t, td, z)]
        assert_bits(stacked(tarnwell.parcel(*down, parcel=kind)), up)
    levels = p[0]
    up = stacked(tarnwell.parcel(levels, t, td, z, parcel="mixed_layer"))
    lf = [np.ascontiguousarray(a[:, ::-1].T.reshape(30, 7, 9)) for a in (t, td, z)]
    r = stacked(tarnwell.parcel(levels[::-1].reshape(30, 1, 1), *lf, parcel="mixed_layer", axis=0))
    assert_bits(r.reshape(8, -1), up)


def test_one_pressure_per_level_broadcasts():
    p, t, td, z = synthetic_soundings(30, 20, seed=14)
    levels = p[0]
    full = stacked(tarnwell.parcel(np.broadcast_to(levels, p.shape).copy(), t, td, z))
    assert_bits(stacked(tarnwell.parcel(levels, t, td, z)), full)
    lf = [np.ascontiguousarray(a.T.reshape(20, 5, 6)) for a in (t, td, z)]
    r = stacked(tarnwell.parcel(levels.reshape(20, 1, 1), *lf, axis=0))
    assert_bits(r.reshape(8, -1), full)


def test_masked_input_gives_masked_fields():
    p, t, td, z = synthetic_soundings(10, 20, seed=15)
    tm = np.ma.masked_array(t, mask=np.zeros_like(t, bool))
    tm.mask[3, :] = True
    tm.mask[4, 6] = True
    r = tarnwell.parcel(p, tm, td, z)
    t_nan = t.copy()
    t_nan[3, :] = np.nan
    t_nan[4, 6] = np.nan
    plain = tarnwell.parcel(p, t_nan, td, z)
    for got, want in zip(r, plain, strict=True):
        assert isinstance(got, np.ma.MaskedArray)
        np.testing.assert_array_equal(got.mask, np.isnan(want))
        assert_bits(got.data, want)


def test_bad_arguments():
    p, t, td, z = synthetic_soundings(2, 10, seed=16)
    with pytest.raises(ValueError, match="parcel='surface' is not one of 'surface_based'"):
        tarnwell.parcel(p, t, td, z, parcel="surface")
    with pytest.raises(ValueError, match="cannot broadcast"):
        tarnwell.parcel(p, t, td[:, :5], z)
    with pytest.raises(ValueError, match="kind must be"):
        _parcel.parcel(p, t, td, z, 3)
    with pytest.raises(ValueError, match="shape mismatch"):
        _parcel.parcel(p, t, td[:, :5], z, 0)


def test_units_and_xarray_and_dask_agree_bit_for_bit():
    xr = pytest.importorskip("xarray")
    pint = pytest.importorskip("pint")
    da = pytest.importorskip("dask.array")
    p, t, td, z = synthetic_soundings(6 * 7, 22, seed=17)
    want = stacked(tarnwell.parcel(p, t, td, z, parcel="mixed_layer"))
    # Level-first DataArrays with CF units, pressure in hPa and temperatures in degC.
    shape = (22, 6, 7)
    dims = ("level", "y", "x")

    def da_(a, units, scale=1.0, offset=0.0):
        return xr.DataArray(a.T.reshape(shape) * scale + offset, dims=dims, attrs={"units": units})

    args = (da_(p, "hPa", 0.01), da_(t, "degC", 1.0, -273.15), da_(td, "K"), da_(z, "m"))
    r = tarnwell.parcel(*args, parcel="mixed_layer")
    assert r.cape.dims == ("y", "x") and r.cape.attrs["units"] == "J kg-1"
    assert r.lcl_height.attrs["long_name"].startswith("height of the lifting")
    # hPa and degC round-trip through a scale and an offset: close, not bits.
    np.testing.assert_allclose(stacked(r).reshape(8, -1), want, rtol=1e-9, atol=1e-6)
    plain_si = (da_(p, "Pa"), da_(t, "K"), da_(td, "K"), da_(z, "m"))
    r_si = tarnwell.parcel(*plain_si, parcel="mixed_layer")
    assert_bits(stacked(r_si).reshape(8, -1), want)
    lazy = tarnwell.parcel(*(a.chunk({"y": 2, "x": 3}) for a in plain_si), parcel="mixed_layer")
    assert isinstance(lazy.cape.data, da.Array)
    assert_bits(stacked([f.compute() for f in lazy]).reshape(8, -1), want)
    ureg = pint.get_application_registry()
    q = tarnwell.parcel(p / 100 * ureg.hPa, t * ureg.K, td * ureg.K, z * ureg.m)
    assert q.cape.units == ureg("J/kg").units
    sb = tarnwell.parcel(p, t, td, z)
    np.testing.assert_allclose(q.cape.magnitude, sb.cape, rtol=1e-12)
    dask_plain = tarnwell.parcel(da.from_array(p, chunks=(10, -1)), t, td, z, parcel="mixed_layer")
    assert_bits(stacked([f.compute() for f in dask_plain]), want)


def test_worked_sounding():
    """The docstring's sounding, lifted by hand: the LCL from Bolton's eq. 15."""
    p = np.array([1000.0, 925, 850, 700, 500, 400, 300, 250, 200, 150, 100]) * 100
    t = np.array([303.0, 297, 293, 283, 265, 254, 240, 231, 221, 215, 210])
    td = np.array([296.0, 292, 287, 273, 250, 235, 220, 210, 200, 190, 185])
    z = np.array([0.0, 700, 1450, 3000, 5600, 7200, 9200, 10400, 11800, 13600, 16200])
    r = tarnwell.parcel(p, t, td, z)
    tl = 1.0 / (1.0 / (296.0 - 56.0) + math.log(303.0 / 296.0) / 800.0) + 56.0
    p_lcl = 100000.0 * (tl / 303.0) ** (1.0 / 0.28542059262205427)
    assert float(r.lcl_pressure) == pytest.approx(p_lcl, rel=1e-14)
    assert 85000.0 < p_lcl < 92500.0
    f = math.log(92500.0 / p_lcl) / math.log(92500.0 / 85000.0)
    assert float(r.lcl_height) == pytest.approx(700.0 + 750.0 * f, rel=1e-12)
    assert 2000 < float(r.cape) < 3500 and -30 < float(r.cin) < 0
