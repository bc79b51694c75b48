"""The compiled effective inflow layer against the level-by-level search that
lifts every level's parcel through the public parcel function."""

import numpy as np
import pytest
from parcel_ref import synthetic_soundings

import _tarnwell as tw
import tarnwell
from tarnwell import composites as cp
from tarnwell._native import lifts
from tarnwell._native import parcel as _parcel
from tarnwell.cli.parcel_fields import lift_columns


def layer_by_full_lifts(p, t, td, z):
    """Rows (n, L): every level within 300 hPa of the lowest usable one lifts
    its surface-based parcel on the levels from it upward, to the top; the
    layer is the lowest contiguous run of levels that pass."""
    n, levels = t.shape
    usable = np.isfinite(p) & np.isfinite(t) & np.isfinite(td) & np.isfinite(z)
    first = np.argmax(np.isfinite(p) & np.isfinite(t) & np.isfinite(z), axis=1)
    rows = np.arange(n)
    p_sfc, z_sfc = p[rows, first], z[rows, first]
    within = usable & (p >= (p_sfc - 30000.0)[:, None])
    qualifies = np.zeros((n, levels), dtype=bool)
    for k in range(levels):
        r = tarnwell.parcel(p[:, k:], t[:, k:], td[:, k:], z[:, k:], n_threads=1)
        qualifies[:, k] = within[:, k] & (r.cape >= 100.0) & (r.cin >= -250.0)
    out = np.full((4, n), np.nan)
    for i in range(n):
        run = np.flatnonzero(qualifies[i])
        if run.size == 0:
            continue
        b = run[0]
        t_ = b
        while t_ + 1 < levels and qualifies[i, t_ + 1]:
            t_ += 1
        out[:, i] = z[i, b] - z_sfc[i], z[i, t_] - z_sfc[i], p[i, b], p[i, t_]
    return out


@pytest.fixture(scope="module")
def awkward_columns():
    """Three thousand soundings, some with holes: missing dew points, missing
    levels, a missing lowest level, short columns ending in NaN, and one-level
    and empty columns."""
    n, levels = 3000, 36
    p, t, td, z = (a.copy() for a in synthetic_soundings(n, levels, seed=5))
    rng = np.random.default_rng(6)
    holes = rng.random((n, levels)) < 0.04
    td[holes] = np.nan
    which = rng.integers(0, 4, (n, levels))
    gaps = rng.random((n, levels)) < 0.03
    for k, a in enumerate((p, t, td, z)):
        a[gaps & (which == k)] = np.nan
    t[rng.random(n) < 0.05, 0] = np.nan  # the ground itself missing
    short = rng.random(n) < 0.05
    cut = rng.integers(1, levels, n)
    for a in (p, t, td, z):
        a[short[:, None] & (np.arange(levels)[None, :] >= cut[:, None])] = np.nan
    for a in (p, t, td, z):
        a[0, 1:] = np.nan  # one level
        a[1] = np.nan  # nothing
    return p, t, td, z


def test_same_layer_as_lifting_every_level_to_the_top(awkward_columns):
    p, t, td, z = awkward_columns
    got = np.array(cp.effective_inflow_layer(p, t, td, z, n_threads=1))
    want = layer_by_full_lifts(p, t, td, z)
    np.testing.assert_array_equal(got, want)
    has = np.isfinite(got[0])
    # The cases the search must tell apart are all there.
    assert 300 < has.sum() < len(p) - 300
    assert (got[0][has] > 0).sum() > 30  # elevated layers
    assert (got[1][has] > got[0][has]).sum() > 100  # layers of several levels
    assert (got[1][has] == got[0][has]).sum() > 10  # one-level layers
    # Layers whose top level is the last within the 300 hPa searched.
    top_row = np.argmax(p == got[3][:, None], axis=1)
    above = np.where(top_row + 1 < p.shape[1], p[np.arange(len(p)), top_row + 1], np.nan)
    assert (has & (above < p[:, 0] - 30000.0)).sum() > 0


def test_thread_count_and_layout_change_nothing(awkward_columns):
    p, t, td, z = awkward_columns
    one = np.array(cp.effective_inflow_layer(p, t, td, z, n_threads=1))
    for threads in (2, 3, 8):
        many = np.array(cp.effective_inflow_layer(p, t, td, z, n_threads=threads))
        np.testing.assert_array_equal(many, one)
    # Level-first, top-down and masked inputs are the same columns.
    first = [np.ascontiguousarray(a.T) for a in (p, t, td, z)]
    np.testing.assert_array_equal(np.array(cp.effective_inflow_layer(*first, axis=0)), one)
    down = [a[:, ::-1] for a in (p, t, td, z)]
    np.testing.assert_array_equal(np.array(cp.effective_inflow_layer(*down)), one)
    masked = [np.ma.masked_invalid(a) for a in (p, t, td, z)]
    np.testing.assert_array_equal(np.array(cp.effective_inflow_layer(*masked)), one)
    # Columns too tall to keep their environment on the stack work it out per lift.
    tall = [np.pad(a[:300], ((0, 0), (0, 260)), constant_values=np.nan) for a in (p, t, td, z)]
    np.testing.assert_array_equal(np.array(cp.effective_inflow_layer(*tall)), one[:, :300])


def separate_calls(p, t, td, z):
    """The 28 rows of lifts.parcels_and_layer, from one call per parcel and the layer's."""
    kinds = ("surface_based", "mixed_layer", "most_unstable")
    parcels = [np.array(tarnwell.parcel(p, t, td, z, parcel=k, n_threads=1)) for k in kinds]
    return np.concatenate([*parcels, np.array(cp.effective_inflow_layer(p, t, td, z))])


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_shared_lifts_are_the_separate_calls_bit_for_bit(awkward_columns, threads):
    p, t, td, z = awkward_columns
    want = separate_calls(p, t, td, z)
    rows_of = np.repeat(
        [lifts.SURFACE_BASED, lifts.MIXED_LAYER, lifts.MOST_UNSTABLE, lifts.EFFECTIVE_LAYER],
        [8, 8, 8, 4],
    )
    for parts in (lifts.ALL, lifts.EFFECTIVE_LAYER, lifts.EFFECTIVE_LAYER | lifts.MOST_UNSTABLE,
                  lifts.SURFACE_BASED | lifts.EFFECTIVE_LAYER, lifts.MIXED_LAYER):  # fmt: skip
        got = lift_columns(p, t, td, z, parts, threads)
        expected = np.where((rows_of & parts != 0)[:, None], want, np.nan)
        np.testing.assert_array_equal(got.view(np.int64), expected.view(np.int64))
    # Top-down columns are read bottom-up, as by the separate calls; columns too
    # tall to keep their environment on the stack take the separate path.
    down = [a[:, ::-1] for a in (p, t, td, z)]
    np.testing.assert_array_equal(lift_columns(*down, lifts.ALL, threads), want)
    tall = [np.pad(a[:200], ((0, 0), (0, 260)), constant_values=np.nan) for a in (p, t, td, z)]
    np.testing.assert_array_equal(lift_columns(*tall, lifts.ALL, threads), want[:, :200])
    # Both cases are here: most-unstable parcels that are the surface-based one
    # (the same LCL) and parcels that start above it.
    mu_at_ground = want[18] == want[2]
    assert 100 < mu_at_ground.sum() < len(p) - 100


@pytest.fixture(scope="module")
def winds(awkward_columns):
    """Heights of the soundings above, with veering winds and some missing."""
    z = awkward_columns[3]
    rng = np.random.default_rng(7)
    h = z - z[:, :1]
    u = rng.uniform(0.0, 5.0, (len(z), 1)) + h * rng.uniform(2.0, 5.0, (len(z), 1)) / 1000.0
    v = 8.0 * np.sin(h / rng.uniform(1500.0, 4000.0, (len(z), 1)))
    u[rng.random(u.shape) < 0.03] = np.nan
    return z, u, v


@pytest.mark.parametrize("bottom, top", [(0.0, 1000.0), (0.0, 3000.0), (250.0, 2600.0)])
def test_per_column_layer_is_the_profile_kernel_for_a_fixed_layer(winds, bottom, top):
    z, u, v = winds
    n = len(z)
    ground = np.where(np.arange(n) % 7 == 0, np.nan, z[:, 0])
    cu, cv = np.full(n, 3.0), np.full(n, -2.0)
    want = tw.profile(z, u, v, ground, bottom, top, cu, cv, 1)
    for threads in (1, 2, 5):
        got = _parcel.profile_per_column(
            z, u, v, ground, np.full(n, bottom), np.full(n, top), cu, cv, threads
        )
        np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))
    assert np.isfinite(want[4]).sum() > n // 2


def old_effective_srh(z, u, v, zb, zt, cu, cv):
    """Every segment between levels clipped to the layer, in NumPy."""
    zagl = z - z[:, :1]
    z0, z1 = zagl[:, :-1], zagl[:, 1:]
    a, b = np.maximum(z0, zb[:, None]), np.minimum(z1, zt[:, None])
    fa, fb = (a - z0) / (z1 - z0), (b - z0) / (z1 - z0)
    du, dv = np.diff(u, axis=1), np.diff(v, axis=1)
    ua, va = u[:, :-1] + du * fa - cu, v[:, :-1] + dv * fa - cv
    ub, vb = u[:, :-1] + du * fb - cu, v[:, :-1] + dv * fb - cv
    return np.where(a < b, ub * va - ua * vb, 0.0).sum(axis=1)


def test_effective_srh_as_the_segment_sum_but_from_one_column_routine(awkward_columns, winds):
    p, t, td, _ = awkward_columns
    z, u, v = winds
    layer = cp.effective_inflow_layer(p, t, td, z)
    got = cp.effective_srh(z, u, v, layer, cu=3.0, cv=-2.0)
    zb, zt = layer.bottom_height, layer.top_height
    h = z - z[:, :1]
    gap = ((h >= zb[:, None]) & (h <= zt[:, None]) & np.isnan(u)).any(axis=1)
    whole = np.isfinite(z).all(axis=1)
    want = old_effective_srh(z, u, v, zb, zt, 3.0, -2.0)
    layered = whole & np.isfinite(zb) & np.isfinite(want) & ~gap
    np.testing.assert_allclose(got[layered], want[layered], rtol=1e-12, atol=1e-9)
    assert layered.sum() > 300 and (got[layered] != 0).sum() > 100
    assert (got[np.isnan(zb)] == 0.0).all()
    # A wind missing inside the layer, ends included, leaves the helicity unknown.
    assert gap.sum() > 10 and np.isnan(got[gap]).all()
