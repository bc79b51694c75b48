"""vad: per-ring harmonic fits of radial velocity against azimuth, checked
against the worked rings, an independent scalar evaluation, NumPy least
squares and the entry's shape rules."""

import math

import numpy as np
import pytest
from scalar_ref import INF, NAN, QUIET_NAN_BITS, assert_same, c_cos, c_sin, c_sqrt, div, struct_bits

import _tarnwell as tw

C05 = math.cos(0.5)


def solve4_ref(A, b):
    """Partial-pivoting elimination, one rounding per operation; (x, det)."""
    A = [row[:] for row in A]
    b = b[:]
    det = 1.0
    for k in range(4):
        p = k
        for j in range(k + 1, 4):
            if abs(A[j][k]) > abs(A[p][k]):
                p = j
        if A[p][k] == 0.0:
            return None, 0.0
        if p != k:
            A[k], A[p] = A[p], A[k]
            b[k], b[p] = b[p], b[k]
            det = -det
        det = det * A[k][k]
        for j in range(k + 1, 4):
            f = div(A[j][k], A[k][k])
            for col in range(k, 4):
                A[j][col] = A[j][col] - f * A[k][col]
            b[j] = b[j] - f * b[k]
    x3 = div(b[3], A[3][3])
    x2 = div(b[2] - A[2][3] * x3, A[2][2])
    x1 = div((b[1] - A[1][2] * x2) - A[1][3] * x3, A[1][1])
    x0 = div(((b[0] - x1 * A[0][1]) - x2 * A[0][2]) - x3 * A[0][3], A[0][0])
    return (x0, x1, x2, x3), det


def ring_ref(y, a, c, min_gates, min_spread):
    """The fit of one ring, written out from the method's definition with
    plain Python floats and the C library's sin, cos and sqrt."""
    out = [NAN] * 8
    gates = [
        (float(yj), float(aj))
        for yj, aj in zip(y, a, strict=True)
        if math.isfinite(yj) and math.isfinite(aj)
    ]
    n = Ss = Sc = Sy = 0.0
    for yj, aj in gates:
        n = n + 1.0
        Ss = Ss + c_sin(aj)
        Sc = Sc + c_cos(aj)
        Sy = Sy + yj
    out[4] = n
    if float(min_gates) > n or 3.0 > n:
        return out
    ms, mc, my = div(Ss, n), div(Sc, n), div(Sy, n)
    Scs = Sys = Sss = Scc = Syc = 0.0
    for yj, aj in gates:
        ds, dc, dy = c_sin(aj) - ms, c_cos(aj) - mc, yj - my
        Scs = Scs + dc * ds
        Sys = Sys + dy * ds
        Sss = Sss + ds * ds
        Scc = Scc + dc * dc
        Syc = Syc + dy * dc
    D1 = (Scc * Sss) - (Scs * Scs)
    if not div(D1, n * n) >= min_spread:
        return out
    Bs = div((Sys * Scc) - (Syc * Scs), D1)
    Bc = div((Syc * Sss) - (Sys * Scs), D1)
    a0 = (my - Bs * ms) - Bc * mc
    SSR = 0.0
    for yj, aj in gates:
        r = ((yj - a0) - c_sin(aj) * Bs) - c_cos(aj) * Bc
        SSR = SSR + r * r
    out[0], out[1], out[2], out[3] = div(Bs, c), div(Bc, c), a0, c_sqrt(div(SSR, n))
    S2s = S2c = 0.0
    for _, aj in gates:
        S2s = S2s + c_sin(aj + aj)
        S2c = S2c + c_cos(aj + aj)
    ms2, mc2 = div(S2s, n), div(S2c, n)
    A = [[0.0] * 4 for _ in range(4)]
    b = [0.0] * 4
    for yj, aj in gates:
        t = aj + aj
        g = (c_sin(aj) - ms, c_cos(aj) - mc, c_sin(t) - ms2, c_cos(t) - mc2)
        dy = yj - my
        for r in range(4):
            for q in range(4):
                A[r][q] = A[r][q] + g[r] * g[q]
            b[r] = b[r] + g[r] * dy
    x, det = solve4_ref(A, b)
    if det == 0.0:
        return out
    if not div(det, ((n * n) * n) * n) >= min_spread * 0.25:
        return out
    out[5] = (((my - x[0] * ms) - x[1] * mc) - x[2] * ms2) - x[3] * mc2
    out[6], out[7] = x[2], x[3]
    return out


def vad_ref(vr, az, cos_el, min_gates, min_spread):
    vr, az = np.asarray(vr, dtype=float), np.asarray(az, dtype=float)
    c = np.ravel(np.asarray(cos_el, dtype=float))
    out = np.empty((8, vr.shape[0]))
    for i in range(vr.shape[0]):
        out[:, i] = ring_ref(vr[i].tolist(), az[i].tolist(), float(c[i]), min_gates, min_spread)
    return out


def one(vr, az, cos_el=1.0, min_gates=3, min_spread=0.1):
    r = tw.vad([vr], [az], cos_el, min_gates, min_spread)
    assert r.shape == (8, 1)
    assert_same(r, vad_ref([vr], [az], [cos_el], min_gates, min_spread))
    return r[:, 0]


def assert_quiet_nan(values):
    assert all(struct_bits(float(v)) == QUIET_NAN_BITS for v in values)


# Worked rings


def test_full_circle_recovers_both_harmonics():
    az = 2.0 * np.pi * np.arange(36) / 36
    vr = 3.0 + (10.0 * np.sin(az) + 5.0 * np.cos(az)) * C05 + 2.0 * np.sin(2 * az) + np.cos(2 * az)
    col = one(vr, az, C05)
    # The first-order fit leaves the second harmonic (mean square 2.5) in its residual.
    np.testing.assert_allclose(
        col, [10.0, 5.0, 3.0, math.sqrt(2.5), 36.0, 3.0, 2.0, 1.0], rtol=1e-12, atol=1e-12
    )


@pytest.mark.parametrize("min_spread, first", [(0.1, False), (0.04, True)])
def test_half_circle_coverage_thresholds(min_spread, first):
    az = np.pi * np.arange(36) / 36
    vr = 3.0 + (10.0 * np.sin(az) + 5.0 * np.cos(az)) * C05
    col = one(vr, az, C05, 3, min_spread)
    assert col[4] == 36.0
    # Rho2 of a half circle is ~2e-4, below either threshold times 0.25.
    assert_quiet_nan(col[5:])
    if first:
        np.testing.assert_allclose(col[:3], [10.0, 5.0, 3.0], rtol=1e-12)
        assert 0.0 <= col[3] < 1e-13
    else:
        assert_quiet_nan(col[:4])


def test_three_gates_fit_exactly_first_order_only():
    col = one([1.0, 2.0, 3.0], [0.0, 2.0, 4.0])
    np.testing.assert_allclose(col[:3], [-0.457657554, -1.0, 2.0], rtol=1e-8)
    assert col[3] < 1e-14 and col[4] == 3.0
    assert_quiet_nan(col[5:])


def test_four_gates_at_quadrants():
    az = np.array([0.0, 0.5, 1.0, 1.5]) * np.pi
    col = one(1.0 + 2.0 * np.sin(az), az)
    np.testing.assert_allclose(col[:5], [2.0, 0.0, 1.0, 0.0, 4.0], atol=1e-14)
    assert_quiet_nan(col[5:])


@pytest.mark.parametrize("min_gates, m", [(5, 4), (0, 2), (-7, 2), (2**62, 36), (2**63 - 1, 3)])
def test_too_few_gates_sets_only_the_count(min_gates, m):
    az = 2.0 * np.pi * np.arange(m) / m
    col = one(np.sin(az), az, 1.0, min_gates, 0.1)
    assert col[4] == m
    assert_quiet_nan(np.delete(col, 4))


def test_missing_gates_and_cos_el_values():
    az = 2.0 * np.pi * np.arange(12) / 12
    vr = 4.0 + 3.0 * np.sin(az) - 2.0 * np.cos(az)
    vr[[1, 5]] = [NAN, INF]
    az_bad = az.copy()
    az_bad[[2, 7]] = [-INF, NAN]
    col = one(vr, az_bad)
    assert col[4] == 8.0
    keep = np.isfinite(vr) & np.isfinite(az_bad)
    assert_same(col, one(vr[keep], az[keep]))
    assert one([NAN, INF, 1.0], [0.0, 1.0, NAN])[4] == 0.0
    # cos_el is never tested: it only scales rows 0 and 1.
    base = one(vr, az)
    for c, expect in (
        (NAN, [NAN, NAN]),
        (INF, [0.0, -0.0]),
        (-INF, [-0.0, 0.0]),
        (0.0, [INF, -INF]),
        (-0.0, [-INF, INF]),
    ):
        col = one(vr, az, c)
        assert_same(col[2:], base[2:])
        assert_same(col[:2], expect)


def test_single_azimuth_needs_nonpositive_spread():
    vr = [1.0, 2.0, 4.0, 3.0, 5.0]
    same = [0.7] * 5
    jitter = [0.7, 0.7 + 1e-9, 0.7 - 2e-9, 0.7 + 3e-9, 0.7 + 5e-10]
    for az in (same, jitter):
        assert_quiet_nan(np.delete(one(vr, az, 1.0, 3, 1e-12), 4))
    # With no coverage demand the fit divides by the (near-)zero determinant:
    # 0/0 for one exact azimuth, huge coefficients for a sliver of arc.
    assert np.isnan(one(vr, same, 1.0, 3, 0.0)[:4]).all()
    assert np.abs(one(vr, jitter, 1.0, 3, 0.0)[:3]).min() > 1e12


@pytest.mark.parametrize("min_spread", [0.2500001, NAN, INF])
def test_unreachable_spread_rejects_every_ring(min_spread):
    az = 2.0 * np.pi * np.arange(36) / 36
    col = one(np.cos(az), az, 1.0, 3, min_spread)
    assert col[4] == 36.0
    assert_quiet_nan(np.delete(col, 4))


def test_agrees_with_numpy_least_squares():
    rng = np.random.default_rng(11)
    R, M = 50, 40
    az = rng.uniform(0.0, 2.0 * np.pi, (R, M))
    c = np.cos(rng.uniform(0.0, 0.3, R))
    coef = rng.normal(0.0, 10.0, (R, 5))
    basis = np.stack([np.ones_like(az), np.sin(az), np.cos(az), np.sin(2 * az), np.cos(2 * az)])
    vr = np.einsum("rk,krm->rm", coef, basis) + rng.normal(0.0, 0.5, (R, M))
    res = tw.vad(vr, az, c, 3, 0.05)
    for i in range(R):
        X = basis[:, i].T
        x1, ssr, *_ = np.linalg.lstsq(X[:, :3], vr[i], rcond=None)
        x2, *_ = np.linalg.lstsq(X, vr[i], rcond=None)
        np.testing.assert_allclose(
            res[[0, 1, 2], i], [x1[1] / c[i], x1[2] / c[i], x1[0]], rtol=1e-9, atol=1e-9
        )
        np.testing.assert_allclose(res[3, i], math.sqrt(ssr[0] / M), rtol=1e-9)
        np.testing.assert_allclose(res[5:, i], [x2[0], x2[3], x2[4]], rtol=1e-9, atol=1e-9)


# Random rings against the scalar evaluation


def random_rings(rng, R, M):
    """Rings of every coverage kind with missing gates sprinkled in."""
    az = np.empty((R, M))
    vr = np.empty((R, M))
    for i in range(R):
        kind = i % 7
        if kind == 0:  # full circle, random gates
            a = rng.uniform(0.0, 2.0 * np.pi, M)
        elif kind == 1:  # evenly spaced, any start
            a = rng.uniform(-10.0, 10.0) + 2.0 * np.pi * np.arange(M) / M
        elif kind == 2:  # partial arc
            a = rng.uniform(0.0, 6.0) + rng.uniform(0.0, rng.uniform(0.1, 4.0), M)
        elif kind == 3:  # a few tight clusters
            centres = rng.uniform(0.0, 2.0 * np.pi, rng.integers(1, 4))
            a = rng.choice(centres, M) + rng.normal(0.0, 1e-3, M)
        elif kind == 4:  # one azimuth
            a = np.full(M, rng.uniform(-4.0, 4.0))
        elif kind == 5:  # degrees passed by mistake, and huge azimuths
            a = rng.uniform(0.0, 360.0, M)
            a[rng.integers(M)] = 1.7e308  # doubled, it overflows
        else:  # only a handful of valid gates
            a = rng.uniform(0.0, 2.0 * np.pi, M)
            a[rng.choice(M, M - int(rng.integers(0, 7)), replace=False)] = NAN
        vr[i] = (
            rng.normal(0.0, 5.0) + 12.0 * np.sin(a + rng.uniform(0, 6)) + rng.normal(0.0, 1.0, M)
        )
        az[i] = a
        if i % 3 == 0:
            k = int(rng.integers(0, M // 3 + 1))
            vr[i, rng.choice(M, k, replace=False)] = rng.choice([NAN, INF, -INF], k)
        if i % 5 == 0:
            k = int(rng.integers(0, M // 4 + 1))
            az[i, rng.choice(M, k, replace=False)] = rng.choice([NAN, INF, -INF], k)
    cos_el = np.cos(rng.uniform(0.0, 1.4, R))
    specials = [0.0, -0.0, NAN, INF, -INF, 1.0, -1.0, 1e-300, 0.0, NAN, INF, 2.0]
    if R >= 4 * len(specials):
        cos_el[rng.choice(R, len(specials), replace=False)] = specials
    return vr, az, cos_el


@pytest.mark.parametrize(
    "min_gates, min_spread, fits",
    [
        (3, 0.1, True),
        (10, 0.02, True),
        (0, 0.0, True),
        (-4, -1.0, True),
        (1, 1e-30, True),
        (3, 0.25, True),
        (3, 0.3, False),
        (2, NAN, False),
        (2**40, 0.1, False),
    ],
)
def test_bit_exact_against_scalar_evaluation(min_gates, min_spread, fits):
    rng = np.random.default_rng(2024)
    vr, az, cos_el = random_rings(rng, 210, 19)
    r = tw.vad(vr, az, cos_el, min_gates, min_spread)
    assert_same(r, vad_ref(vr, az, cos_el, min_gates, min_spread))
    # The rings mix accepted and rejected fits of both orders.
    first, second = np.isfinite(r[2]).sum(), np.isfinite(r[5]).sum()
    assert (0 < second < first < 210) if fits else (first == second == 0)


# Entry: shapes, counts and arguments


@pytest.mark.parametrize(
    "vr, az, cos_el, message",
    [
        (np.ones(5), np.ones((1, 5)), 1.0, "vr, az must be 2-D"),
        (np.ones((1, 1, 5)), np.ones((7,)), 1.0, "vr, az must be 2-D"),
        (np.ones((2, 5)), np.ones(10), np.ones(2), "vr, az must be 2-D"),
        (np.ones((2, 5)), np.ones((2, 5, 1)), np.ones(3), "vr, az must be 2-D"),
        (np.ones((2, 5)), None, np.ones(2), "vr, az must be 2-D"),
        (np.ones((2, 5)), np.ones((3, 5)), np.ones(2), "shape mismatch"),
        (np.ones((2, 5)), np.ones((2, 6)), np.ones(2), "shape mismatch"),
        (np.ones((2, 5)), np.ones((5, 2)), np.ones(2), "shape mismatch"),
        (np.ones((2, 5)), np.ones((2, 5)), np.ones(3), "shape mismatch"),
        (np.ones((2, 5)), np.ones((2, 5)), 1.0, "shape mismatch"),
        (np.ones((0, 5)), np.ones((0, 5)), 1.0, "shape mismatch"),
    ],
)
def test_shape_checks_in_order(vr, az, cos_el, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        tw.vad(vr, az, cos_el, 3, 0.1)


def test_empty_ring_sets_and_empty_rings():
    r = tw.vad(np.ones((0, 5)), np.ones((0, 5)), [], 3, 0.1)
    assert r.shape == (8, 0) and r.dtype == np.float64
    r = tw.vad(np.ones((70, 0)), np.ones((70, 0)), np.ones(70), 0, -1.0, n_threads=2)
    assert r.shape == (8, 70)
    assert (r[4] == 0.0).all()
    assert_quiet_nan(np.delete(r, 4, axis=0).ravel())


def test_cos_el_is_read_by_element_count():
    rng = np.random.default_rng(3)
    vr, az, cos_el = random_rings(rng, 6, 15)
    ref = tw.vad(vr, az, cos_el, 3, 0.01)
    for shaped in (
        cos_el.reshape(6, 1),
        cos_el.reshape(1, 6),
        cos_el.reshape(2, 3),
        cos_el.tolist(),
    ):
        assert_same(tw.vad(vr, az, shaped, 3, 0.01), ref)
    assert_same(tw.vad(vr[:1], az[:1], np.float64(cos_el[0]), 3, 0.01), ref[:, :1])


def test_argument_kinds():
    vr, az = [[1.0, 2.0, 3.0]], [[0.0, 2.0, 4.0]]
    ref = tw.vad(vr, az, [1.0], 3, 0.1)
    assert_same(tw.vad(n_threads=2, min_spread=0.1, min_gates=3, cos_el=1, az=az, vr=vr), ref)
    assert_same(tw.vad(vr, az, 1.0, np.int64(3), 0, 0), tw.vad(vr, az, 1.0, 3, 0.0))
    for bad in (
        dict(min_gates=3.0),
        dict(min_gates=2**63),
        dict(min_gates=None),
        dict(min_spread=None),
        dict(min_spread="x"),
        dict(n_threads=2.0),
        dict(vr="abc"),
    ):
        args = dict(vr=vr, az=az, cos_el=1.0, min_gates=3, min_spread=0.1) | bad
        with pytest.raises(TypeError):
            tw.vad(**args)
    with pytest.raises(TypeError):
        tw.vad(vr, az, 1.0, 3)


@pytest.mark.parametrize("M", [1, 2, 3, 4, 5, 7, 8, 36, 97])
def test_bit_exact_for_every_ring_length(M):
    # The passes of a ring share their gate loops: rings of every length, with
    # missing gates at the first and last positions, must still sum each
    # accumulator exactly as the scalar evaluation does.
    rng = np.random.default_rng(M)
    if M >= 7:
        vr, az, cos_el = random_rings(rng, 70, M)
    else:
        az = rng.uniform(0.0, 2.0 * np.pi, (70, M))
        vr = 10.0 * np.sin(az + 1.0) + rng.normal(0.0, 1.0, (70, M))
        cos_el = np.cos(rng.uniform(0.0, 1.4, 70))
    vr[::4, 0] = NAN
    az[1::4, -1] = INF
    assert_same(tw.vad(vr, az, cos_el, 3, 0.01), vad_ref(vr, az, cos_el, 3, 0.01))
