import math

import numpy as np
import pytest
from scalar_ref import INF, NAN, QUIET_NAN_BITS, assert_same, bits, div

import _tarnwell as tw

TOL = 1e-6


def usable(z, u, v, k):
    return math.isfinite(z[k]) and math.isfinite(u[k]) and math.isfinite(v[k])


def wind_ref(z, u, v, h):
    """Linear interpolation in height over the usable levels, in index order."""
    m = None
    for k in range(len(z)):
        if not usable(z, u, v, k):
            continue
        if z[k] == h:
            return u[k], v[k]
        if z[k] > h:
            if m is not None:
                w = div(h - z[m], z[k] - z[m])
                return (u[k] - u[m]) * w + u[m], (v[k] - v[m]) * w + v[m]
            if z[k] - h > TOL:
                return None
            return u[k], v[k]
        m = k
    if m is not None and h - z[m] <= TOL:
        return u[m], v[m]
    return None


def column_ref(z, u, v, ground, bottom, top, cu, cv):
    out = [NAN] * 7
    base = ground
    if not math.isfinite(base):
        first = [k for k in range(len(z)) if usable(z, u, v, k)]
        if not first:
            return out
        base = z[first[0]]
    zb = base + bottom
    wb = wind_ref(z, u, v, zb)
    if wb is None:
        return out
    zt = base + top
    wt = wind_ref(z, u, v, zt)
    if wt is None:
        return out
    (ub, vb), (ut, vt) = wb, wt
    out[0:4] = [ub, vb, ut, vt]
    zp, up, vp = zb, ub, vb
    H = Su = Sv = 0.0
    for k in range(len(z)):
        if not usable(z, u, v, k) or z[k] <= zb:
            continue
        if z[k] >= zt:
            break
        dz = z[k] - zp
        H = H + (((u[k] - cu) * (vp - cv)) - ((v[k] - cv) * (up - cu)))
        Su = Su + (((u[k] + up) * 0.5) * dz)
        Sv = Sv + (((v[k] + vp) * 0.5) * dz)
        zp, up, vp = z[k], u[k], v[k]
    if math.isfinite(cu) and math.isfinite(cv):
        out[4] = (((vp - cv) * (ut - cu)) - ((up - cu) * (vt - cv))) + H
    if zt > zb:
        out[5] = div((((up + ut) * 0.5) * (zt - zp)) + Su, zt - zb)
        out[6] = div((((vp + vt) * 0.5) * (zt - zp)) + Sv, zt - zb)
    else:
        out[5], out[6] = ub, vb
    return out


def profile_ref(z, u, v, ground, bottom, top, cu, cv):
    u = np.asarray(u, dtype=float)
    n, L = u.shape
    z, v = (np.asarray(a, dtype=float).reshape(n, L) for a in (z, v))
    g, a, b = (np.ravel(np.asarray(x, dtype=float)) for x in (ground, cu, cv))
    out = np.empty((7, n))
    for i in range(n):
        out[:, i] = column_ref(
            z[i].tolist(),
            u[i].tolist(),
            v[i].tolist(),
            float(g[i]),
            float(bottom),
            float(top),
            float(a[i]),
            float(b[i]),
        )
    return out


Z4 = [0.0, 1000.0, 2000.0, 3000.0]
U4 = [0.0, 0.0, 10.0, 10.0]
V4 = [0.0, 10.0, 10.0, 0.0]


@pytest.mark.parametrize(
    "ground, bottom, top, cu, expected",
    [
        (0.0, 0.0, 3000.0, 5.0, [0, 0, 10, 0, 150, 5, 6.666666666666667]),
        (0.0, 0.0, 2500.0, 5.0, [0, 0, 10, 5, 125, 4, 7.5]),
        (500.0, 0.0, 2000.0, 5.0, [0, 5, 10, 5, 100, 5, 8.75]),
        (NAN, 0.0, 2500.0, 5.0, [0, 0, 10, 5, 125, 4, 7.5]),
        (0.0, 1000.0, 1000.0, 5.0, [0, 10, 0, 10, 0, 0, 10]),
        (0.0, 2000.0, 1000.0, 5.0, [10, 10, 0, 10, -50, 10, 10]),
        (0.0, 0.0, 3000.0, NAN, [0, 0, 10, 0, NAN, 5, 6.666666666666667]),
        (0.0, -0.001, 3000.0, 5.0, [NAN] * 7),
        (0.0, 0.0, 3000.001, 5.0, [NAN] * 7),
    ],
)
def test_worked_examples(ground, bottom, top, cu, expected):
    r = tw.profile(Z4, [U4], V4, [ground], bottom, top, [cu], [5.0])
    assert r.shape == (7, 1)
    assert_same(r[:, 0], np.array(expected, dtype=float))
    assert_same(r, profile_ref(Z4, [U4], V4, [ground], bottom, top, [cu], [5.0]))


def random_columns(rng, n, L):
    """Columns of every awkward kind: regular and irregular rising heights,
    offsets from the ground, missing ground, top-down and repeated heights,
    scrambled heights, and NaN/inf sprinkled over heights and winds."""
    z = np.empty((n, L))
    kind = rng.integers(0, 7, n)
    regular = 250.0 * np.arange(L)
    ground = np.zeros(n)
    for i in range(n):
        k = kind[i]
        if k == 0:
            z[i] = regular
        elif k == 1:
            g = rng.uniform(-200.0, 1500.0)
            z[i] = regular + g
            ground[i] = g
        elif k == 2:
            z[i] = regular + rng.uniform(0.0, 300.0)
            ground[i] = rng.choice([NAN, INF, -INF])
        elif k == 3:
            z[i] = np.cumsum(rng.exponential(300.0, L)) - rng.uniform(0.0, 400.0)
            ground[i] = rng.uniform(-100.0, 100.0)
        elif k == 4:
            z[i] = regular[::-1]
        elif k == 5:
            z[i] = np.repeat(regular[: (L + 1) // 2], 2)[:L]
        else:
            z[i] = rng.uniform(-500.0, 250.0 * L, L)
    u = rng.normal(5.0, 10.0, (n, L))
    v = rng.normal(5.0, 10.0, (n, L))
    for a in (z, u, v):
        hit = rng.random((n, L)) < 0.04
        a[hit] = rng.choice([NAN, INF, -INF], int(hit.sum()))
    cu = rng.normal(8.0, 4.0, n)
    cv = rng.normal(3.0, 4.0, n)
    for a in (cu, cv):
        hit = rng.random(n) < 0.05
        a[hit] = rng.choice([NAN, INF, -INF], int(hit.sum()))
    return z, u, v, ground, cu, cv


L_RANDOM = 13
ZMAX = 250.0 * (L_RANDOM - 1)
LAYERS = [
    (0.0, 1000.0),
    (0.0, 3000.0),
    (500.0, 2500.0),
    (0.0, ZMAX),  # ends on levels
    (-1e-7, ZMAX + 1e-7),
    (-1e-3, 1000.0),
    (0.0, ZMAX + 1e-3),  # just outside the data
    (2000.0, 1000.0),
    (1000.0, 1000.0),
    (0.0, 0.0),
    (123.456, 2345.678),
    (NAN, 1000.0),
    (0.0, INF),
    (-INF, 1000.0),
    (0.0, NAN),
]


@pytest.mark.parametrize("bottom, top", LAYERS)
def test_bit_exact_against_scalar_reference(bottom, top):
    rng = np.random.default_rng(7)
    z, u, v, ground, cu, cv = random_columns(rng, 350, L_RANDOM)
    r = tw.profile(z, u, v, ground, bottom, top, cu, cv)
    assert_same(r, profile_ref(z, u, v, ground, bottom, top, cu, cv))
    # Every undefined value is the quiet NaN written up front, not leftover memory.
    undefined = np.isnan(r[:4])
    assert (bits(r[:4])[undefined] == QUIET_NAN_BITS).all()


def test_layer_semantics():
    z = [0.0, 1000.0, 2000.0, 3000.0]
    u, v = [U4, U4], [V4, V4]
    # Bad motion in one column spoils only its helicity.
    r = tw.profile([z, z], u, v, [0.0, 0.0], 0.0, 2500.0, [5.0, INF], [5.0, 5.0])
    assert_same(r[[0, 1, 2, 3, 5, 6], 0], r[[0, 1, 2, 3, 5, 6], 1])
    assert np.isfinite(r[4, 0]) and np.isnan(r[4, 1])
    # Targets within the tolerance outside the data take the end levels' winds;
    # top-down heights only succeed when both ends are the first level.
    r = tw.profile([z, z[::-1]], u, v, [0.0, 3000.0], -1e-7, 0.0, [5, 5], [5, 5])
    assert_same(r[:4, 0], [0.0, 0.0, 0.0, 0.0])
    assert_same(r[:4, 1], [0.0, 0.0, 0.0, 0.0])
    r = tw.profile([z[::-1]], [U4], [V4], [0.0], 0.0, 1000.0, [5], [5])
    assert np.isnan(r).all()
    # The tolerance is inclusive: a lowest level exactly 1e-6 above the
    # bottom still serves, one 2e-6 above does not.
    r = tw.profile([[1e-6] + z[1:], [2e-6] + z[1:]], u, v, [0.0, 0.0], 0.0, 1000.0, [5, 5], [5, 5])
    assert_same(r[:4, 0], [0.0, 0.0, 0.0, 10.0])
    assert np.isnan(r[:, 1]).all()
    # A missing level is skipped and its neighbours are joined directly.
    zm = [0.0, NAN, 2000.0, 3000.0]
    r = tw.profile(zm, [U4], V4, [0.0], 0.0, 1000.0, [5], [5])
    assert_same(r[:4, 0], [0.0, 0.0, 5.0, 5.0])


def test_keywords():
    ref = tw.profile(Z4, [U4], V4, [0.0], 0.0, 2500.0, [5.0], [5.0])
    assert_same(
        tw.profile(
            cv=[5.0], cu=[5.0], top=2500, bottom=0, ground=[0.0], v=V4, u=[U4], z=Z4, n_threads=3
        ),
        ref,
    )


def test_shapes_read_by_element_count():
    rng = np.random.default_rng(3)
    n, L = 6, 5
    z, u, v, ground, cu, cv = random_columns(rng, n, L)
    ref = tw.profile(z, u, v, ground, 0.0, 750.0, cu, cv)
    # z and v are read as n rows of L in row-major order, whatever their shape;
    # the per-column arrays by element count.
    r = tw.profile(
        z.ravel(),
        u,
        v.reshape(L, n),
        ground.reshape(n, 1),
        0.0,
        750.0,
        cu.reshape(2, 3),
        cv.tolist(),
    )
    assert_same(r, ref)
    # A column-major u is read as its C-ordered equivalent.
    assert_same(tw.profile(z, np.asfortranarray(u), v, ground, 0.0, 750.0, cu, cv), ref)


def test_empty_inputs():
    e = np.empty(0)
    assert tw.profile(e, np.empty((0, 12)), e, e, 0.0, 1.0, e, e).shape == (7, 0)
    assert tw.profile(e, np.empty((0, 0)), e, e, 0.0, 1.0, e, e).shape == (7, 0)
    # No levels: nothing can be found in any column.
    r = tw.profile(e, np.empty((3, 0)), e, [0.0, NAN, 1.0], 0.0, 0.0, [1, 2, 3], [1, 2, 3])
    assert r.shape == (7, 3)
    assert (bits(r) == QUIET_NAN_BITS).all()


def test_shape_checks_in_order():
    n, L = 4, 3
    ok = dict(
        z=np.zeros((n, L)),
        u=np.zeros((n, L)),
        v=np.zeros((n, L)),
        ground=np.zeros(n),
        bottom=0.0,
        top=1.0,
        cu=np.zeros(n),
        cv=np.zeros(n),
    )
    assert tw.profile(**ok).shape == (7, n)
    for bad_u in (np.zeros(n * L), np.zeros((1, n, L)), None, 1.0):
        # Checked first, even with z and v of the right size.
        with pytest.raises(ValueError, match="^u must be 2-D$"):
            tw.profile(**{**ok, "u": bad_u, "z": np.zeros(n * L), "ground": np.zeros(1)})
    for name, size in (
        ("z", n * L + 1),
        ("v", n * L - 1),
        ("ground", n + 1),
        ("cu", n - 1),
        ("cv", 0),
    ):
        with pytest.raises(ValueError, match="^shape mismatch$"):
            tw.profile(**{**ok, name: np.zeros(size)})
    with pytest.raises(TypeError):
        tw.profile(**{**ok, "top": None})
    with pytest.raises(TypeError):
        tw.profile(**{**ok, "cu": ["x"] * n})
    with pytest.raises(TypeError):
        tw.profile(**{**ok, "n_threads": 1.0})
