import math

import numpy as np
import pytest
from cold_pool_ref import cold_pool_ref
from scalar_ref import INF, NAN, QUIET_NAN_BITS, assert_same, struct_bits

import _tarnwell as tw


def random_columns(rng, n, L):
    """Realistic cold-pool columns with every awkward feature mixed in."""
    dz = rng.uniform(20.0, 300.0, (n, L))
    z = np.cumsum(dz, axis=1) - rng.uniform(0.0, 400.0, (n, 1))
    h = rng.uniform(-200.0, 3000.0, (n, 1))  # cold-pool depth
    b = -rng.uniform(0.0, 0.08, (n, 1)) * (1.0 - z / h) + rng.normal(0.0, 0.004, (n, L))
    b = np.where(rng.random((n, L)) < 0.05, rng.choice([-0.03, 0.0, 0.01], (n, L)), b)
    # Heights that go back down or repeat, and holes of every non-finite kind.
    back = rng.random((n, L)) < 0.06
    z[back] -= rng.uniform(0.0, 500.0, back.sum())
    rep = np.argwhere(rng.random((n, L - 1)) < 0.04)
    z[rep[:, 0], rep[:, 1] + 1] = z[rep[:, 0], rep[:, 1]]
    for arr in (z, b):
        holes = rng.random((n, L)) < 0.06
        arr[holes] = rng.choice([NAN, INF, -INF], holes.sum())
    bottom = rng.uniform(-300.0, 1500.0, n)
    odd = rng.random(n) < 0.15
    bottom[odd] = rng.choice([NAN, INF, -INF], odd.sum())
    top = rng.uniform(0.0, 2500.0, n)
    kind = rng.random(n)
    top[kind < 0.45] = NAN
    inf = (kind >= 0.45) & (kind < 0.55)
    top[inf] = rng.choice([INF, -INF], inf.sum())
    top[(kind >= 0.55) & (kind < 0.62)] = 0.0
    neg = (kind >= 0.62) & (kind < 0.65)
    top[neg] = -rng.uniform(0.0, 300.0, neg.sum())
    # Columns whose usable data ends early, and columns with nothing usable.
    short = rng.random(n) < 0.1
    b[short, L // 2 :] = NAN
    b[rng.random(n) < 0.02] = NAN
    return z, b, bottom, top


def one(z, b, bottom, T, top):
    return tw.cold_pool([z], [b], [bottom], T, [top])[:, 0]


Z4 = [0.0, 100.0, 200.0, 300.0]
B4 = [-0.03, -0.02, -0.01, 0.01]


@pytest.mark.parametrize(
    "bottom, T, top, expected",
    [
        (0.0, 0.0, NAN, (2.9154759474226504, 250.0, 0.0)),
        (0.0, 0.0, 150.0, (2.598076211353316, 150.0, 0.0)),
        (0.0, 0.02, NAN, (2.8284271247461903, 300.0, 1.0)),
        (50.0, 0.0, NAN, (1.8708286933869707, 150.0, 0.0)),
        (0.0, 0.0, 1000.0, (NAN, NAN, NAN)),
    ],
)
def test_worked_examples(bottom, T, top, expected):
    r = tw.cold_pool([Z4], [B4], [bottom], T, [top])
    assert r.shape == (3, 1)
    assert_same(r[:, 0], expected)
    assert_same(r, cold_pool_ref([Z4], [B4], [bottom], T, [top]))


@pytest.mark.parametrize("seed, T", enumerate([0.0, -0.01, 0.004, -0.05, NAN, INF, -INF]))
def test_bit_exact_against_scalar_reference(seed, T):
    rng = np.random.default_rng(seed)
    z, b, bottom, top = random_columns(rng, 1500, 14)
    got = tw.cold_pool(z, b, bottom, T, top)
    assert_same(got, cold_pool_ref(z, b, bottom, T, top))
    # The random columns must reach every outcome, or the comparison proves little.
    flag = got[2]
    fixed = np.isfinite(top)
    assert np.isnan(flag).any() and (np.isfinite(got[0]) & fixed).any()
    if T == -INF:  # every start level is at least -inf: never a cold pool
        assert (got[:, ~fixed & ~np.isnan(flag)] == 0.0).all()
    else:
        assert (flag[~fixed] == 1.0).any()
    if T == 0.0:
        assert ((flag == 0.0) & ~fixed & (got[1] > 0)).any()
        assert ((flag == 0.0) & ~fixed & (got[1] == 0)).any()


def test_missing_and_out_of_range_levels():
    nan_col = [NAN, INF, -INF, 5.0]
    # Nothing usable, or everything below bottom: no result, written as a quiet NaN.
    for z, b, bottom in (
        (Z4, [NAN, INF, -INF, NAN], 0.0),
        (nan_col, [-1.0, -1.0, -1.0, NAN], NAN),
        (Z4, B4, 301.0),
    ):
        r = one(z, b, bottom, 0.0, NAN)
        assert [struct_bits(v) for v in r] == [QUIET_NAN_BITS] * 3
    # A non-finite bottom sets no lower bound.
    for bottom in (NAN, INF, -INF):
        assert_same(one(Z4, B4, bottom, 0.0, NAN), one(Z4, B4, 0.0, 0.0, NAN))
    # A hole in the layer: the trapezoid spans the neighbours of the hole.
    assert_same(
        one(Z4, [-0.03, NAN, -0.01, 0.01], 0.0, 0.0, NAN),
        one([0.0, 200.0, 300.0], [-0.03, -0.01, 0.01], 0.0, 0.0, NAN),
    )
    assert_same(
        one([0.0, INF, 200.0, 300.0], B4, 0.0, 0.0, 150.0),
        one([0.0, 200.0, 300.0], [-0.03, -0.01, 0.01], 0.0, 0.0, 150.0),
    )


def test_threshold_mode_edges():
    # Start level not colder than the threshold: no cold pool.
    assert_same(one(Z4, B4, 0.0, -0.03, NAN), (0.0, 0.0, 0.0))
    # Infinite top selects threshold mode like NaN does.
    for top in (INF, -INF):
        assert_same(one(Z4, B4, 0.0, 0.0, top), one(Z4, B4, 0.0, 0.0, NAN))
    # Only the start level is usable and it is cold: open, zero depth.
    assert_same(one(Z4, [NAN, NAN, -0.01, NAN], 0.0, 0.0, NAN), (0.0, 0.0, 1.0))
    # A NaN threshold never closes the layer: the whole column is integrated.
    assert_same(one(Z4, B4, 0.0, NAN, NAN), (math.sqrt(8.0), 300.0, 1.0))


def test_fixed_depth_edges():
    # Zero depth: the next level at or above the start closes a zero-width layer.
    assert_same(one(Z4, B4, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    # ... unless that level repeats the start height (0/0 in the interpolation).
    r = one([0.0, 0.0, 100.0], [-0.03, -0.02, -0.01], 0.0, 0.0, 0.0)
    assert np.isnan(r[0]) and r[1] == 0.0 and r[2] == 0.0
    # Positive buoyancy inside the layer outweighs the cold: clamped to zero.
    assert_same(one(Z4, [-0.01, 0.05, 0.05, 0.05], 0.0, 0.0, 200.0), (0.0, 200.0, 0.0))
    # Heights decreasing with index enter the sums as they are.
    z = [0.0, -100.0, 50.0, 120.0]
    b = [-0.02, -0.04, -0.02, 0.0]
    r = one(z, b, -INF, 0.0, 100.0)
    assert_same(r, cold_pool_ref([z], [b], [NAN], 0.0, [100.0])[:, 0])
    # -3.0 on the way down, +4.5 back up, then the partial trapezoid to 100.
    assert r[1] == 100.0 and r[0] == pytest.approx(
        math.sqrt(2 * (1.5 + 25 * (0.04 - 1 / 70))), rel=1e-12
    )


def test_per_column_arrays_of_any_shape():
    rng = np.random.default_rng(3)
    z, b, bottom, top = random_columns(rng, 12, 8)
    ref = tw.cold_pool(z, b, bottom, 0.0, top)
    assert_same(tw.cold_pool(z, b, bottom.reshape(12, 1), 0.0, top.reshape(1, 12)), ref)
    assert_same(tw.cold_pool(z, b, bottom.reshape(3, 4), 0, top.tolist()), ref)
    assert_same(tw.cold_pool(b=b, top=top, threshold=0.0, z=z, bottom=bottom, n_threads=2), ref)
    assert_same(tw.cold_pool(np.asfortranarray(z), b, bottom, 0.0, top), ref)
    b32 = b.astype(np.float32)
    assert_same(
        tw.cold_pool(z, b32, bottom, 0.0, top), tw.cold_pool(z, b32.astype(float), bottom, 0.0, top)
    )


def test_empty_inputs():
    r = tw.cold_pool(np.empty((0, 5)), np.empty((0, 5)), [], 0.0, [])
    assert r.shape == (3, 0) and r.dtype == np.float64
    r = tw.cold_pool(np.empty((4, 0)), np.empty((4, 0)), np.zeros(4), 0.0, [NAN, 1.0, NAN, 2.0])
    assert r.shape == (3, 4) and np.isnan(r).all()


@pytest.mark.parametrize(
    "z, b, bottom, top, message",
    [
        (np.ones(4), np.ones((1, 4)), [0.0], [NAN], "z and b must be 2-D"),
        (np.ones((1, 1, 4)), np.ones((1, 4)), [0.0], [NAN], "z and b must be 2-D"),
        (np.ones((1, 4)), np.ones(4), [0.0], [NAN], "z and b must be 2-D"),
        (None, np.ones((1, 4)), [0.0], [NAN], "z and b must be 2-D"),
        (np.ones((2, 4)), np.ones((2, 5)), [0.0, 0.0], [NAN, NAN], "shape mismatch"),
        (np.ones((3, 4)), np.ones((2, 4)), [0.0, 0.0], [NAN, NAN], "shape mismatch"),
        (np.ones((2, 4)), np.ones((2, 4)), [0.0, 0.0, 0.0], [NAN, NAN], "shape mismatch"),
        (np.ones((2, 4)), np.ones((2, 4)), [0.0, 0.0], [NAN], "shape mismatch"),
        # Order: dimensions before extents before the per-column counts.
        (np.ones((2, 4)), np.ones(4), [0.0], [], "z and b must be 2-D"),
        (np.ones((2, 4)), np.ones((2, 5)), [0.0], [], "shape mismatch"),
    ],
)
def test_shape_checks(z, b, bottom, top, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        tw.cold_pool(z, b, bottom, 0.0, top)


def test_argument_types():
    assert_same(one(Z4, B4, 0.0, 0, NAN), one(Z4, B4, 0.0, 0.0, NAN))
    assert_same(
        one(Z4, B4, 0.0, np.float32(0.02), NAN), one(Z4, B4, 0.0, float(np.float32(0.02)), NAN)
    )
    for bad in (None, "0.0", [0.0]):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            tw.cold_pool([Z4], [B4], [0.0], bad, [NAN])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        tw.cold_pool([Z4], [["a", "b", "c", "d"]], [0.0], 0.0, [NAN])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        tw.cold_pool([Z4], [B4], [0.0], 0.0, [NAN], n_threads=1.0)
