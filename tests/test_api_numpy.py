"""The `tarnwell` face on NumPy input: layout, broadcasting, masks, errors.

References are direct `_tarnwell` calls on data laid out by hand (explicit
transposes) and single-column calls at sampled columns, compared bit for bit.
"""

import os
import subprocess
import sys

import numpy as np
import pytest
from scalar_ref import assert_bits

import _tarnwell as tw
import tarnwell


def assert_result_bits(result, stacked):
    """Every field of `result` equals the row of `stacked` (k, *shape) with its index."""
    assert len(result) == stacked.shape[0]
    for field, row in zip(result, stacked, strict=True):
        assert_bits(np.ma.getdata(field), row)


def column_data(rng, shape, missing=0.1):
    """Heights rising along the last axis with scattered NaN, and a random field."""
    z = np.cumsum(rng.uniform(50.0, 400.0, shape), axis=-1)
    f = rng.normal(0.0, 8.0, shape)
    f[rng.random(shape) < missing] = np.nan
    return z, f


def level_first_perm(ndim, axis):
    """Permutation moving `axis` to the end by an explicit transpose list."""
    return [k for k in range(ndim) if k != axis] + [axis]


# -- thermo ----------------------------------------------------------------


def test_thermo_broadcasting_matches_direct_call():
    rng = np.random.default_rng(1)
    t = rng.uniform(220.0, 310.0, (3, 5, 4, 6))
    p = rng.uniform(2.0e4, 1.05e5, (5, 1, 1))  # one pressure per level, level axis 1
    td = t - rng.uniform(0.0, 30.0, t.shape)
    r = tarnwell.thermo(t, p, td)
    assert r.theta.shape == t.shape
    pf = np.broadcast_to(p, t.shape).copy()
    assert_result_bits(r, tw.thermo(t, pf, td).reshape(4, *t.shape))
    # scalar pressure and dew point broadcast as well
    r2 = tarnwell.thermo(t, 85000.0, 250.0)
    assert_result_bits(
        r2, tw.thermo(t, np.full(t.shape, 85000.0), np.full(t.shape, 250.0)).reshape(4, *t.shape)
    )


def test_thermo_fields_are_views_of_one_result_and_inputs_untouched():
    rng = np.random.default_rng(2)
    t = rng.uniform(250.0, 300.0, (7, 9))
    p = np.full((7, 9), 9e4)
    td = t - 5
    before = [a.copy() for a in (t, p, td)]
    r = tarnwell.thermo(t, p, td)
    base = r.theta.base
    assert base is not None and all(f.base is base for f in r)
    for a, b in zip((t, p, td), before, strict=True):
        assert_bits(a, b)


def test_thermo_scalar_inputs_give_0d_arrays():
    r = tarnwell.thermo(300.0, 100000.0, 290.0)
    assert isinstance(r, tarnwell.Thermo)
    assert all(isinstance(f, np.ndarray) and f.shape == () for f in r)
    assert_result_bits(r, tw.thermo(300.0, 100000.0, 290.0)[:, 0])


# -- column kernels: random shapes, axes and broadcasting -------------------


@pytest.mark.parametrize("seed", range(6))
def test_profile_matches_layout_by_hand_and_single_columns(seed):
    rng = np.random.default_rng(seed)
    ndim = int(rng.integers(1, 5))
    shape = tuple(int(s) for s in rng.integers(1, 6, ndim))
    levels = int(rng.integers(2, 9))
    axis = int(rng.integers(0, ndim + 1))
    full = shape[:axis] + (levels,) + shape[axis:]
    zl, u = column_data(rng, shape + (levels,))
    v = rng.normal(0.0, 8.0, zl.shape)
    # Heights as data of their own layout: the vertical axis moved to `axis`.
    z = np.moveaxis(zl, -1, axis)
    u = np.moveaxis(u, -1, axis)
    v = np.moveaxis(v, -1, axis)
    if rng.random() < 0.5:  # time-invariant heights, broadcast over the first axis
        z = z[:1] if full[0] > 1 and axis != 0 else z
    ground = rng.uniform(0.0, 100.0, shape[-1:])  # broadcasts over the batch
    cu, cv = rng.normal(0, 5, shape), 3.0
    kw = dict(ground=ground, bottom=100.0, top=1500.0, cu=cu, cv=cv)
    for ax in (axis, axis - len(full)):
        r = tarnwell.profile(z, u, v, axis=ax, **kw)
        assert r.helicity.shape == shape
        perm = level_first_perm(len(full), axis)
        lay = [
            np.transpose(np.broadcast_to(a, full), perm).copy().reshape(-1, levels)
            for a in (z, u, v)
        ]
        n = lay[0].shape[0]
        ref = tw.profile(
            lay[0],
            lay[1],
            lay[2],
            np.broadcast_to(ground, shape).ravel(),
            100.0,
            1500.0,
            np.broadcast_to(cu, shape).ravel(),
            np.full(n, cv),
        )
        assert_result_bits(r, ref.reshape(7, *shape))
    zb = np.broadcast_to(z, full)
    for _ in range(5):
        idx = tuple(int(rng.integers(0, s)) for s in shape)
        sl = idx[:axis] + (slice(None),) + idx[axis:]
        one = tw.profile(
            zb[sl],
            u[sl][None],
            v[sl],
            [np.broadcast_to(ground, shape)[idx]],
            100.0,
            1500.0,
            [cu[idx]],
            [cv],
        )
        assert_bits([f[idx] for f in r], one[:, 0])


@pytest.mark.parametrize("seed", range(4))
def test_cold_pool_level_first_equals_level_last_and_single_columns(seed):
    rng = np.random.default_rng(10 + seed)
    nt, nl, ny, nx = 2, 7, 3, 5
    z = np.cumsum(rng.uniform(50, 200, nl))  # one height per level
    b = rng.normal(-0.02, 0.02, (nt, nl, ny, nx))
    b[rng.random(b.shape) < 0.1] = np.nan
    top = np.where(rng.random((nt, ny, nx)) < 0.5, np.nan, 300.0)
    kw = dict(bottom=0.0, threshold=-0.005, top=top)
    first = tarnwell.cold_pool(z[:, None, None], b, axis=1, **kw)
    last = tarnwell.cold_pool(z, np.transpose(b, (0, 2, 3, 1)), **kw)
    assert first.intensity.shape == (nt, ny, nx)
    for a, c in zip(first, last, strict=True):
        assert_bits(a, c)
    for _ in range(6):
        i, j, k = (int(rng.integers(0, s)) for s in (nt, ny, nx))
        one = tw.cold_pool(z[None], b[i, :, j, k][None], [0.0], -0.005, [top[i, j, k]])
        assert_bits([f[i, j, k] for f in first], one[:, 0])


def test_vad_gate_axis_broadcast_azimuth_and_per_ring_cos_el():
    rng = np.random.default_rng(5)
    nel, ngate, nrange = 3, 72, 4
    az = np.linspace(0, 2 * np.pi, ngate, endpoint=False)
    vr = rng.normal(0, 10, (nel, ngate, nrange))  # gates along axis 1
    vr[rng.random(vr.shape) < 0.2] = np.nan
    cos_el = np.cos(np.radians([0.5, 1.5, 4.0]))[:, None]
    r = tarnwell.vad(vr, az[:, None], cos_el=cos_el, min_gates=10, min_spread=0.1, axis=1)
    assert r.u.shape == (nel, nrange)
    lay = np.transpose(vr, (0, 2, 1)).copy().reshape(-1, ngate)
    ref = tw.vad(lay, np.broadcast_to(az, lay.shape), np.repeat(cos_el[:, 0], nrange), 10, 0.1)
    assert_result_bits(r, ref.reshape(8, nel, nrange))


@pytest.mark.parametrize("axes", [(-2, -1), (0, 2), (2, 0), (1, 3)])
def test_gradient_any_grid_axes_matches_direct_call(axes):
    rng = np.random.default_rng(7)
    f = rng.normal(size=(3, 6, 5, 4))
    f[rng.random(f.shape) < 0.1] = np.nan
    ay, ax = (a % f.ndim for a in axes)
    x = np.cumsum(rng.uniform(1, 3, f.shape[ax]))
    y = -np.cumsum(rng.uniform(1, 3, f.shape[ay]))
    r = tarnwell.gradient(f, x, y, axes=axes)
    assert r.dfdx.shape == f.shape
    rest = [k for k in range(f.ndim) if k not in (ay, ax)]
    g = np.transpose(f, rest + [ay, ax]).copy()
    ref = tw.gradient(g.reshape(-1, f.shape[ay], f.shape[ax]), x, y).reshape(2, *g.shape)
    inverse = np.argsort(rest + [ay, ax])
    for field, comp in zip(r, ref, strict=True):
        assert_bits(field, np.transpose(comp, inverse))


def test_gradient_single_field():
    f = np.arange(12.0).reshape(3, 4) ** 2
    r = tarnwell.gradient(f, np.arange(4.0), np.arange(3.0) * 2)
    assert_result_bits(r, tw.gradient(f[None], np.arange(4.0), np.arange(3.0) * 2)[:, 0])


# -- masks -----------------------------------------------------------------


def test_masked_elements_are_missing_and_outputs_masked():
    rng = np.random.default_rng(8)
    z, u = column_data(rng, (4, 6), missing=0.0)
    v = rng.normal(size=(4, 6))
    mask = rng.random((4, 6)) < 0.3
    # The fill value 1e20 under the mask must never be used as data.
    um = np.ma.MaskedArray(np.where(mask, 1e20, u), mask=mask)
    before = np.ma.getdata(um).copy()
    r = tarnwell.profile(z, um, v, ground=np.nan, bottom=0.0, top=800.0, cu=0.0, cv=0.0)
    ref = tw.profile(
        z, np.where(mask, np.nan, u), v, np.full(4, np.nan), 0.0, 800.0, np.zeros(4), np.zeros(4)
    )
    assert_result_bits(r, ref)
    for field, row in zip(r, ref, strict=True):
        assert isinstance(field, np.ma.MaskedArray)
        np.testing.assert_array_equal(field.mask, np.isnan(row))
    assert_bits(np.ma.getdata(um), before)

    t = np.ma.MaskedArray([300.0, 1e20], mask=[False, True])
    th = tarnwell.thermo(t, 1e5, 290.0)
    assert th.theta.mask.tolist() == [False, True]
    assert float(th.theta[0]) == 300.0


def test_masked_integer_array_is_accepted():
    f = np.ma.MaskedArray(np.arange(12).reshape(3, 4), mask=np.eye(3, 4, dtype=bool))
    g = tarnwell.gradient(f, np.arange(4.0), np.arange(3.0))
    assert g.dfdx.mask[0, 0] and not g.dfdx.mask[0, 1]


# -- thread counts ---------------------------------------------------------


def test_results_do_not_depend_on_thread_count():
    rng = np.random.default_rng(9)
    z, u = column_data(rng, (700, 12))  # several chunks of 64 columns
    v = rng.normal(size=z.shape)
    kw = dict(ground=0.0, bottom=0.0, top=3000.0, cu=1.0, cv=2.0)
    one = tarnwell.profile(z, u, v, n_threads=1, **kw)
    for n in (2, 3, None):
        for a, b in zip(one, tarnwell.profile(z, u, v, n_threads=n, **kw), strict=True):
            assert_bits(a, b)
    t = rng.uniform(250, 300, 20000)  # several chunks of 4096 elements
    for a, b in zip(
        tarnwell.thermo(t, 9e4, t - 3, n_threads=1),
        tarnwell.thermo(t, 9e4, t - 3, n_threads=3),
        strict=True,
    ):
        assert_bits(a, b)


def test_default_thread_count_follows_the_affinity_mask():
    from tarnwell._threads import resolve_threads

    assert resolve_threads(None) == len(os.sched_getaffinity(0))
    assert resolve_threads(5) == 5
    code = (
        "import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))});"
        "from tarnwell._threads import resolve_threads; print(resolve_threads(None))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "1"
    with pytest.raises(TypeError, match="n_threads"):
        tarnwell.thermo(300.0, 1e5, 290.0, n_threads=2.0)


# -- bad input -------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "error", "pattern"),
    [
        (
            lambda: tarnwell.thermo(np.ones((3, 4)), np.ones(3), 1.0),
            ValueError,
            r"tarnwell\.thermo: cannot broadcast t with shape \(3, 4\), p with shape \(3,\)",
        ),
        (
            lambda: tarnwell.cold_pool(np.ones(5), np.ones((2, 4)), bottom=0, threshold=0, top=1),
            ValueError,
            r"tarnwell\.cold_pool: cannot broadcast z with shape \(5,\), b with shape",
        ),
        (
            lambda: tarnwell.cold_pool(
                np.ones(4), np.ones((2, 4)), bottom=np.zeros(3), threshold=0, top=1
            ),
            ValueError,
            r"tarnwell\.cold_pool: cannot broadcast .*\(2,\), bottom with shape \(3,\)",
        ),
        (
            lambda: tarnwell.profile(1.0, 2.0, 3.0, ground=0, bottom=0, top=1, cu=0, cv=0),
            ValueError,
            r"tarnwell\.profile: z, u, v need a vertical axis",
        ),
        (
            lambda: tarnwell.vad(
                np.ones((2, 4)), np.ones(4), cos_el=1, min_gates=3, min_spread=0, axis=2
            ),
            ValueError,
            r"tarnwell\.vad: axis=2 is out of range",
        ),
        (
            lambda: tarnwell.vad(
                np.ones((2, 4)), np.ones(4), cos_el=1, min_gates=3.0, min_spread=0
            ),
            TypeError,
            r"tarnwell\.vad: min_gates must be",
        ),
        (
            lambda: tarnwell.gradient(np.ones((3, 4)), np.ones(3), np.ones(3)),
            ValueError,
            r"tarnwell\.gradient: x with shape \(3,\) must be 1-D .*\(4\)",
        ),
        (
            lambda: tarnwell.gradient(np.ones(4), np.ones(4), np.ones(1)),
            ValueError,
            r"tarnwell\.gradient: f with shape \(4,\) needs at least 2",
        ),
        (
            lambda: tarnwell.gradient(np.ones((3, 4)), np.ones(4), np.ones(3), axes=(1, -1)),
            ValueError,
            r"same axis twice",
        ),
        (
            lambda: tarnwell.gradient(np.ones((3, 4))),
            TypeError,
            r"tarnwell\.gradient: x and y .* are required",
        ),
        (
            lambda: tarnwell.thermo(["a", "b"], 1.0, 1.0),
            TypeError,
            r"tarnwell\.thermo: t must hold real numbers",
        ),
        (lambda: tarnwell.thermo(np.ones(2, complex), 1.0, 1.0), TypeError, r"t must hold real"),
        (
            lambda: tarnwell.cold_pool(np.ones(4), np.ones(4), bottom=0, threshold="x", top=1),
            TypeError,
            r"tarnwell\.cold_pool: threshold must be a real number",
        ),
        (
            lambda: tarnwell.profile(
                np.ones(4),
                np.ones(4),
                np.ones(4),
                ground=0,
                bottom=0,
                top=1,
                cu=0,
                cv=0,
                dim="level",
            ),
            TypeError,
            r"dim= names a dimension of DataArray",
        ),
    ],
)
def test_bad_input_names_function_argument_and_shapes(call, error, pattern):
    with pytest.raises(error, match=pattern):
        call()


def test_empty_batches_and_levels():
    r = tarnwell.cold_pool(np.zeros((0, 3)), np.zeros((0, 3)), bottom=0, threshold=0, top=1)
    assert r.intensity.shape == (0,)
    r = tarnwell.thermo(np.zeros((2, 0)), 1e5, 280.0)
    assert r.theta_e.shape == (2, 0)


# -- level-first layout: blockwise transposition -----------------------------


def test_transposing_copy_equals_numpy_for_any_strides():
    from tarnwell._native.transpose import to_levels_last

    rng = np.random.default_rng(11)
    a = rng.normal(size=(3, 7, 300))
    for src in (a, a[:, ::-1, ::2], np.broadcast_to(a[:1, :, :1], a.shape), a[::-1]):
        expected = np.ascontiguousarray(np.transpose(src, (0, 2, 1)))
        for n in (1, 2, 3):
            assert_bits(to_levels_last(src, n_threads=n), expected)
    out = np.empty((3, 300, 7))
    assert to_levels_last(a, out) is not None
    assert_bits(out, np.transpose(a, (0, 2, 1)))
    with pytest.raises(ValueError, match="out must be"):
        to_levels_last(a, np.empty((3, 7, 300)))


@pytest.mark.parametrize("points", [(20, 37), (16, 16), (1, 1)])
def test_level_first_blocks_cover_every_column(monkeypatch, points):
    """Small blocks: several per time step, the last one partial; some inputs
    viewable as (time, level, point) and some not (a sliced x axis)."""
    import tarnwell._layout as layout

    monkeypatch.setattr(layout, "BLOCK_BYTES", 8 * 9 * 256)  # 256 columns per block
    rng = np.random.default_rng(12)
    ny, nx = points
    z = np.cumsum(rng.uniform(50, 300, 9))[:, None, None]
    if ny * nx > 1:  # heights fixed in time but varying in space
        z = z + rng.uniform(0, 40, (9, ny, nx))
    u = rng.normal(size=(3, 9, ny, nx + 1))[..., :nx]  # not mergeable: strided copy path
    v = rng.normal(size=(3, 9, ny, nx))
    cu = rng.normal(size=(3, ny, nx))
    kw = dict(ground=np.nan, bottom=0.0, top=900.0, cu=cu, cv=1.0)
    n = 3 * ny * nx
    lay = [
        np.transpose(np.broadcast_to(a, (3, 9, ny, nx)), (0, 2, 3, 1)).copy().reshape(n, 9)
        for a in (z, u, v)
    ]
    ref = tw.profile(*lay, np.full(n, np.nan), 0.0, 900.0, cu.ravel(), np.ones(n))
    assert np.isfinite(ref[4]).any()
    first = tarnwell.profile(z, u, v, axis=1, n_threads=2, **kw)
    # level-last by axis order but level-first in memory: strided views
    last_view = tarnwell.profile(
        np.moveaxis(z, 0, -1), np.moveaxis(u, 1, -1), np.moveaxis(v, 1, -1), **kw
    )
    for result in (first, last_view):
        assert_result_bits(result, ref.reshape(7, 3, ny, nx))


def test_contiguous_level_last_inputs_are_not_copied():
    from probes import traced_peak

    rng = np.random.default_rng(13)
    z = np.cumsum(rng.uniform(50, 300, (4000, 50)), axis=-1)
    u = rng.normal(size=z.shape)
    v = rng.normal(size=z.shape)
    one_input = z.nbytes  # 1.6 MB; the fields and per-column vectors are ~0.3 MB

    def call():
        tarnwell.profile(z, u, v, ground=0.0, bottom=0.0, top=3000.0, cu=1.0, cv=1.0)

    call()  # first-call set-up of NumPy and the package is not the call's cost
    assert traced_peak(call) < one_input / 2
    t = rng.uniform(250, 300, (400, 500))
    p, td = t * 300, t - 3
    # the (4, N) result alone
    assert traced_peak(lambda: tarnwell.thermo(t, p, td)) < 4 * t.nbytes + t.nbytes / 2


@pytest.mark.parametrize(
    ("bottom", "top"),
    [(0.0, 900.0), (500.0, 200.0), (300.0, 300.0), (0.0, 1900.0), (np.nan, 800.0)],
)
@pytest.mark.parametrize("z_kind", ["full", "per level", "fixed in time"])
def test_profile_level_first_on_awkward_columns(monkeypatch, bottom, top, z_kind):
    """Several blocks per time step over columns with falling heights, missing
    values, odd ground heights and inverted or empty layers: the fields equal a
    direct call on data laid out by hand."""
    import tarnwell._layout as layout

    monkeypatch.setattr(layout, "BLOCK_BYTES", 8 * 12 * 256)  # 256 columns per block
    rng = np.random.default_rng(14)
    nt, nl, ny, nx = 3, 12, 9, 70
    if z_kind == "per level":
        z = np.cumsum(rng.uniform(50, 300, nl))[:, None, None]
    elif z_kind == "fixed in time":
        z = np.cumsum(rng.uniform(50, 300, (nl, ny, nx)), axis=0)
    else:
        z = np.cumsum(rng.uniform(50, 300, (nt, nl, ny, nx)), axis=1)
        z[0, :, 0, :5] = z[0, ::-1, 0, :5]  # falling heights
        z[1, 3, 2, :] = 200.0  # a level exactly at a layer end
        z[rng.random(z.shape) < 0.05] = np.nan
    u, v = rng.normal(0, 10, (2, nt, nl, ny, nx))
    u[rng.random(u.shape) < 0.05] = np.nan
    v[rng.random(v.shape) < 0.02] = np.inf
    ground = rng.uniform(-50, 100, (nt, ny, nx))
    ground[rng.random(ground.shape) < 0.1] = np.nan
    ground[0, 0, :3] = [np.inf, -np.inf, 0.0]
    kw = dict(ground=ground, bottom=bottom, top=top, cu=1.0, cv=-1.0)
    first = tarnwell.profile(z, u, v, axis=1, n_threads=2, **kw)
    n = nt * ny * nx
    lay = [
        np.transpose(np.broadcast_to(a, (nt, nl, ny, nx)), (0, 2, 3, 1)).copy().reshape(n, nl)
        for a in (z, u, v)
    ]
    ref = tw.profile(*lay, ground.ravel(), bottom, top, np.ones(n), -np.ones(n))
    # a NaN layer end finds no wind anywhere; every other case finds some
    assert np.isfinite(ref).any() != np.isnan(bottom)
    assert_result_bits(first, ref.reshape(7, nt, ny, nx))
