"""Severe-weather composites against plain per-column evaluations by hand."""

import math

import numpy as np
import pytest
from parcel_ref import parcel_ref, synthetic_soundings

import tarnwell
from tarnwell import composites as cp


@pytest.fixture(scope="module")
def columns():
    p, t, td, z = synthetic_soundings(60, 30, seed=21)
    h = z - z[:, :1]
    rng = np.random.default_rng(22)
    u = rng.uniform(0.0, 5.0, (60, 1)) + h * rng.uniform(2.0, 5.0, (60, 1)) / 1000.0
    v = 8.0 * np.sin(h / rng.uniform(1500.0, 4000.0, (60, 1)))
    return p, t, td, z, u, v


def effective_layer_by_hand(p, t, td, z):
    """Level by level from the ground: the first run of parcels with enough
    CAPE and little enough CIN, by the scalar reference of the ascent."""
    run = []
    for k in range(len(p)):
        if p[k] < p[0] - 30000.0:
            break
        cape, cin = parcel_ref(p[k:], t[k:], td[k:], z[k:], "surface_based")[:2]
        if cape >= 100.0 and cin >= -250.0:
            run.append(k)
        elif run:
            break
    if not run:
        return [math.nan] * 4
    return [z[run[0]] - z[0], z[run[-1]] - z[0], p[run[0]], p[run[-1]]]


def test_effective_inflow_layer_matches_the_level_by_level_search(columns):
    p, t, td, z, _, _ = columns
    got = np.array(cp.effective_inflow_layer(p, t, td, z))
    ref = np.array([effective_layer_by_hand(p[i], t[i], td[i], z[i]) for i in range(len(p))]).T
    np.testing.assert_array_equal(got, ref)
    assert np.isfinite(got[0]).sum() > 10 and np.isnan(got[0]).sum() > 5
    assert (got[0] > 0).sum() > 0  # elevated layers too
    # Level-first input gives the same layer.
    lf = [np.ascontiguousarray(a.T) for a in (p, t, td, z)]
    np.testing.assert_array_equal(np.array(cp.effective_inflow_layer(*lf, axis=0)), got)


def test_effective_srh_and_shear_by_hand(columns):
    p, t, td, z, u, v = columns
    layer = cp.effective_inflow_layer(p, t, td, z)
    mu = tarnwell.parcel(p, t, td, z, parcel="most_unstable")
    esrh = cp.effective_srh(z, u, v, layer, cu=3.0, cv=-2.0)
    ebwd = cp.effective_bulk_wind_difference(z, u, v, layer, mu.el_height)
    checked = 0
    for i in range(len(p)):
        zb, zt = layer.bottom_height[i], layer.top_height[i]
        if np.isnan(zb):  # no inflow layer: no inflow to measure
            assert esrh[i] == 0.0 and ebwd[i] == 0.0
            continue
        # The layer as profile measures it: from the ground at its bottom.
        r = tarnwell.profile(
            z[i], u[i], v[i], ground=z[i, 0] + zb, bottom=0.0, top=zt - zb, cu=3.0, cv=-2.0
        )
        want = 0.0 if zt == zb else float(r.helicity)
        assert esrh[i] == pytest.approx(want, rel=1e-10, abs=1e-9)
        if np.isfinite(mu.el_height[i]):
            h = z[i] - z[i, 0]
            top = zb + 0.5 * (mu.el_height[i] - zb)
            du = np.interp(top, h, u[i]) - np.interp(zb, h, u[i])
            dv = np.interp(top, h, v[i]) - np.interp(zb, h, v[i])
            assert ebwd[i] == pytest.approx(math.hypot(du, dv), rel=1e-10)
            checked += 1
    assert checked > 10


def test_bunkers_storm_motion_by_hand(columns):
    _, _, _, z, u, v = columns
    sm = cp.bunkers_storm_motion(z, u, v)
    for i in (0, 17, 42):
        h = z[i] - z[i, 0]

        def mean(a, lo, hi, col=i, h=h):
            hh = np.concatenate(([lo], h[(h > lo) & (h < hi)], [hi]))
            return np.trapezoid(np.interp(hh, h, a[col]), hh) / (hi - lo)

        mu_, mv_ = mean(u, 0, 6000), mean(v, 0, 6000)
        su, sv = mean(u, 5500, 6000) - mean(u, 0, 500), mean(v, 5500, 6000) - mean(v, 0, 500)
        s = math.hypot(su, sv)
        np.testing.assert_allclose(
            [sm.u_right[i], sm.v_right[i], sm.u_left[i], sm.v_left[i]],
            [mu_ + 7.5 * sv / s, mv_ - 7.5 * su / s, mu_ - 7.5 * sv / s, mv_ + 7.5 * su / s],
            rtol=1e-10,
        )


def test_stp_and_scp_terms():
    # (MLCAPE, MLCIN, MLLCL, ESRH, EBWD, effective bottom) -> STP by hand.
    cases = [
        ((1500.0, 0.0, 500.0, 150.0, 20.0, 0.0), 1.0),
        ((3000.0, -125.0, 1500.0, 300.0, 40.0, 0.0), 2.0 * 0.5 * 2.0 * 1.5 * 0.5),
        ((3000.0, -10.0, 800.0, 300.0, 12.0, 0.0), 0.0),  # too little shear
        ((3000.0, -300.0, 800.0, 300.0, 25.0, 0.0), 0.0),  # too much inhibition
        ((3000.0, -10.0, 2500.0, 300.0, 25.0, 0.0), 0.0),  # LCL too high
        ((3000.0, -10.0, 800.0, 300.0, 25.0, 250.0), 0.0),  # elevated layer
        ((3000.0, -10.0, 800.0, 0.0, 0.0, np.nan), 0.0),  # no layer
        ((np.nan, -10.0, 800.0, 300.0, 25.0, 0.0), np.nan),  # no parcel
    ]
    args = np.array([c[0] for c in cases]).T
    want = np.array([c[1] for c in cases])
    np.testing.assert_allclose(cp.significant_tornado_parameter(*args), want, rtol=1e-14)
    # (MUCAPE, ESRH, EBWD, MUCIN) -> SCP by hand.
    mucape = np.array([1000.0, 2000.0, 2000.0, 2000.0, 2000.0])
    esrh = np.array([50.0, 100.0, 100.0, 100.0, 0.0])
    ebwd = np.array([20.0, 30.0, 15.0, 9.0, 0.0])  # the last: no effective layer
    mucin = np.array([0.0, -80.0, -10.0, -10.0, 0.0])
    want = np.array([1.0, 2.0 * 2.0 * 1.0 * 0.5, 2.0 * 2.0 * 0.75, 0.0, 0.0])
    np.testing.assert_allclose(
        cp.supercell_composite_parameter(mucape, esrh, ebwd, mucin), want, rtol=1e-14
    )


def test_composites_keep_dataarray_labels():
    xr = pytest.importorskip("xarray")
    f = xr.DataArray(np.array([[1500.0, 3000.0]]), dims=("y", "x"))
    stp = cp.significant_tornado_parameter(f, f * 0, f * 0 + 500, f / 10, f * 0 + 20, f * 0)
    assert isinstance(stp, xr.DataArray) and stp.dims == ("y", "x")
    np.testing.assert_allclose(stp.values, [[1.0, 2.0 * 2.0]])


def test_levels_missing_below_the_ground_change_nothing(columns):
    """Pressure levels under the terrain arrive as NaN at the bottom of a column:
    every height is then measured from the first level that has one."""
    p, t, td, z, u, v = columns
    below = np.full((len(p), 3), np.nan)
    pad = [np.hstack([below, a]) for a in (p, t, td, z, u, v)]
    layer = cp.effective_inflow_layer(p, t, td, z)
    padded_layer = cp.effective_inflow_layer(*pad[:4])
    for a, b in zip(layer, padded_layer, strict=True):
        np.testing.assert_array_equal(a, b)
    mu = tarnwell.parcel(p, t, td, z, parcel="most_unstable")
    np.testing.assert_array_equal(
        tarnwell.parcel(*pad[:4], parcel="most_unstable").el_height, mu.el_height
    )
    zp, up, vp = pad[3:]
    esrh = cp.effective_srh(z, u, v, layer, cu=3.0, cv=-2.0)
    assert np.isfinite(esrh).sum() > 10
    # The same terms, summed over a longer row (numpy's pairwise grouping moves).
    np.testing.assert_allclose(
        cp.effective_srh(zp, up, vp, layer, cu=3.0, cv=-2.0), esrh, rtol=1e-14, atol=0.0
    )
    ebwd = cp.effective_bulk_wind_difference(z, u, v, layer, mu.el_height)
    assert np.isfinite(ebwd).sum() > 10
    np.testing.assert_array_equal(
        cp.effective_bulk_wind_difference(zp, up, vp, layer, mu.el_height), ebwd
    )
