"""Property-based checks of all five functions against the independent scalar
references of the kernel tests: random shapes (zero extents included), values
drawn from physical ranges mixed with NaNs of any payload, infinities, signed
zeros, subnormals and huge values, and random thread counts. Every result must
equal the reference bit for bit, and no input may be written.

Inputs of several chunks are built from a small pool of distinct items placed
at random positions, so the slow Python reference runs once per pool item.

Example counts come from a hypothesis profile: TARNWELL_HYPOTHESIS=thorough
(as `make sanitize` sets it) runs ten times as many as the default."""

import os
import struct

import numpy as np
from cold_pool_ref import column_ref as cold_pool_column_ref
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scalar_ref import assert_same
from test_gradient import gradient_ref
from test_profile import column_ref as profile_column_ref
from test_thermo import thermo_ref
from test_vad import ring_ref

import _tarnwell as tw

_common = dict(
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("quick", max_examples=60, **_common)
settings.register_profile("thorough", max_examples=400, **_common)
settings.load_profile(os.environ.get("TARNWELL_HYPOTHESIS", "quick"))


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


SPECIAL = [
    from_bits(b)
    for b in (
        0x7FF8000000000000,
        0xFFF8000000000000,
        0x7FF800000000BEEF,
        0xFFFC000000000001,  # quiet NaNs
        0x7FF4000000000000,
        0x7FF0000000000001,  # signalling NaNs
        0x7FF0000000000000,
        0xFFF0000000000000,  # infinities
        0x0000000000000000,
        0x8000000000000000,  # signed zeros
        0x0000000000000001,
        0x000FFFFFFFFFFFFF,
        0x800FFFFFFFFFFFFF,  # subnormals
        0x0010000000000000,
        0x7FEFFFFFFFFFFFFF,
        0xFFEFFFFFFFFFFFFF,  # extreme normals
    )
] + [1e300, -1e300, 1e-300]

THREADS = st.sampled_from([1, 2, 3, 4, 0, -1, 1000])


def values(lo, hi):
    """Mostly physical values, one in five from the awkward corners of IEEE."""
    return st.integers(0, 9).flatmap(
        lambda k: (
            st.sampled_from(SPECIAL)
            if k == 0
            else st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
            if k == 1
            else st.floats(lo, hi)
        )
    )


def column_of(draw, L, lo, hi):
    return [draw(values(lo, hi)) for _ in range(L)]


def rising(draw, L):
    """Heights that mostly rise (as soundings and model columns do), with
    repeats, steps down and awkward values among them."""
    step = st.one_of(st.floats(1.0, 600.0), st.just(0.0), st.floats(-200.0, 0.0))
    z = [draw(st.floats(-300.0, 300.0))]
    for _ in range(L - 1):
        z.append(z[-1] + draw(step))
    return [
        draw(st.one_of(st.just(h), st.just(h), st.just(h), values(-500.0, 8000.0))) for h in z[:L]
    ]


def placement(draw, pool_size, small=40, chunks_of=None):
    """Which pool item sits at each of N positions; N is small or spans a few
    chunks of `chunks_of` items."""
    n = draw(
        st.integers(0, small)
        if chunks_of is None
        else st.one_of(st.integers(0, small), st.integers(chunks_of - 2, 3 * chunks_of + 3))
    )
    seed = draw(st.integers(0, 2**32 - 1))
    return np.random.default_rng(seed).integers(0, pool_size, n)


def per_item_shape(draw, n):
    """Any shape with n elements: per-item arrays are read by element count."""
    options = [(n,), (n, 1), (1, n)] + [(n // k, k) for k in (2, 3, 4) if n % k == 0]
    if n == 1:
        options.append(())
    return draw(st.sampled_from(options))


def snapshot(arrays):
    return [np.asarray(a).tobytes() for a in arrays]


@st.composite
def thermo_cases(draw):
    P = draw(st.integers(1, 8))
    pool = [
        (draw(values(180.0, 330.0)), draw(values(1e3, 1.1e5)), draw(values(150.0, 330.0)))
        for _ in range(P)
    ]
    idx = placement(draw, P, chunks_of=4096)
    n = idx.size
    cols = np.array(pool, dtype=np.float64).reshape(P, 3)[idx]
    t, p, td = (np.ascontiguousarray(cols[:, k]).reshape(per_item_shape(draw, n)) for k in range(3))
    return pool, idx, (t, p, td), draw(THREADS)


@given(thermo_cases())
def test_thermo_matches_scalar_reference(case):
    pool, idx, arrays, nt = case
    before = snapshot(arrays)
    got = tw.thermo(*arrays, n_threads=nt)
    ref = np.array([thermo_ref(*item) for item in pool]).reshape(len(pool), 4).T
    assert_same(got, ref[:, idx])
    assert snapshot(arrays) == before


@st.composite
def cold_pool_cases(draw):
    L = draw(st.integers(0, 7))
    P = draw(st.integers(1, 6))
    pool = []
    for _ in range(P):
        z, b = rising(draw, L), column_of(draw, L, -0.3, 0.1)
        bottom = draw(values(-300.0, 2000.0))
        top = draw(st.one_of(st.just(float("nan")), values(-100.0, 4000.0)))
        pool.append((z, b, bottom, top))
    idx = placement(draw, P, chunks_of=64)
    n = idx.size
    z = np.array([pool[i][0] for i in idx], dtype=np.float64).reshape(n, L)
    b = np.array([pool[i][1] for i in idx], dtype=np.float64).reshape(n, L)
    bottom = np.array([pool[i][2] for i in idx]).reshape(per_item_shape(draw, n))
    top = np.array([pool[i][3] for i in idx]).reshape(per_item_shape(draw, n))
    threshold = draw(values(-0.2, 0.05))
    return pool, idx, (z, b, bottom, top), threshold, draw(THREADS)


@given(cold_pool_cases())
def test_cold_pool_matches_scalar_reference(case):
    pool, idx, (z, b, bottom, top), T, nt = case
    before = snapshot((z, b, bottom, top))
    got = tw.cold_pool(z, b, bottom, T, top, n_threads=nt)
    ref = np.array([cold_pool_column_ref(zc, bc, B, T, D) for zc, bc, B, D in pool]).T
    assert_same(got, ref.reshape(3, len(pool))[:, idx])
    assert snapshot((z, b, bottom, top)) == before


@st.composite
def profile_cases(draw):
    L = draw(st.integers(0, 9))
    P = draw(st.integers(1, 6))
    pool = [
        (
            rising(draw, L),
            column_of(draw, L, -40.0, 40.0),
            column_of(draw, L, -40.0, 40.0),
            draw(values(-200.0, 200.0)),
            draw(values(-20.0, 20.0)),
            draw(values(-20.0, 20.0)),
        )
        for _ in range(P)
    ]
    idx = placement(draw, P, chunks_of=64)
    n = idx.size
    z, u, v = (
        np.array([pool[i][k] for i in idx], dtype=np.float64).reshape(n, L) for k in range(3)
    )
    ground, cu, cv = (
        np.array([pool[i][k] for i in idx]).reshape(per_item_shape(draw, n)) for k in (3, 4, 5)
    )
    # z and v are read by element count too, in the order of u.
    z = z.reshape(draw(st.sampled_from([(n, L), (n * L,)])))
    bottom, top = draw(values(-100.0, 500.0)), draw(values(0.0, 2500.0))
    return pool, idx, (z, u, v, ground, cu, cv), bottom, top, draw(THREADS)


@given(profile_cases())
def test_profile_matches_scalar_reference(case):
    pool, idx, (z, u, v, ground, cu, cv), bottom, top, nt = case
    arrays = (z, u, v, ground, cu, cv)
    before = snapshot(arrays)
    got = tw.profile(z, u, v, ground, bottom, top, cu, cv, n_threads=nt)
    ref = (
        np.array(
            [profile_column_ref(zc, uc, vc, g, bottom, top, a, c) for zc, uc, vc, g, a, c in pool]
        )
        .reshape(len(pool), 7)
        .T
    )
    assert_same(got, ref[:, idx])
    assert snapshot(arrays) == before


def coordinates(draw, n):
    kind = draw(st.sampled_from(["rising", "falling", "any"]))
    if kind == "any":
        return column_of(draw, n, -1e4, 1e4)
    c = rising(draw, n)
    return c[::-1] if kind == "falling" else c


@st.composite
def gradient_cases(draw):
    ny, nx = draw(st.integers(0, 6)), draw(st.integers(0, 6))
    P = draw(st.integers(1, 3))
    pool = [
        np.array([column_of(draw, nx, -50.0, 50.0) for _ in range(ny)], dtype=np.float64).reshape(
            ny, nx
        )
        for _ in range(P)
    ]
    rows = max(ny, 1)
    idx = placement(draw, P, small=4, chunks_of=max(8 // rows, 1) * 3)
    f = (
        np.stack([pool[i] for i in idx]).reshape(idx.size, ny, nx)
        if idx.size
        else np.empty((0, ny, nx))
    )
    x = np.array(coordinates(draw, nx), dtype=np.float64).reshape(per_item_shape(draw, nx))
    y = np.array(coordinates(draw, ny), dtype=np.float64).reshape(per_item_shape(draw, ny))
    return pool, idx, (f, x, y), draw(THREADS)


@given(gradient_cases())
def test_gradient_matches_scalar_reference(case):
    pool, idx, (f, x, y), nt = case
    before = snapshot((f, x, y))
    got = tw.gradient(f, x, y, n_threads=nt)
    ny, nx = f.shape[1:]
    ref = gradient_ref(np.stack(pool).reshape(len(pool), ny, nx), x, y)
    assert_same(got, ref[:, idx])
    assert snapshot((f, x, y)) == before


@st.composite
def vad_cases(draw):
    G = draw(st.integers(0, 16))
    P = draw(st.integers(1, 5))
    pool = []
    for _ in range(P):
        arc = draw(st.sampled_from([0.0, 0.5, 2.0, 6.3, 400.0]))
        start = draw(st.floats(-10.0, 10.0))
        az = [draw(st.one_of(st.floats(start, start + arc), values(-10.0, 10.0))) for _ in range(G)]
        pool.append((column_of(draw, G, -50.0, 50.0), az, draw(values(0.0, 1.0))))
    idx = placement(draw, P, chunks_of=64)
    n = idx.size
    vr, az = (np.array([pool[i][k] for i in idx], dtype=np.float64).reshape(n, G) for k in (0, 1))
    cos_el = np.array([pool[i][2] for i in idx]).reshape(per_item_shape(draw, n))
    min_gates = draw(st.one_of(st.integers(-5, 6), st.integers(7, 20), st.just(2**40)))
    min_spread = draw(values(-0.2, 0.8))
    return pool, idx, (vr, az, cos_el), min_gates, min_spread, draw(THREADS)


@given(vad_cases())
def test_vad_matches_scalar_reference(case):
    pool, idx, (vr, az, cos_el), min_gates, min_spread, nt = case
    before = snapshot((vr, az, cos_el))
    got = tw.vad(vr, az, cos_el, min_gates, min_spread, n_threads=nt)
    ref = np.array([ring_ref(y, a, c, min_gates, min_spread) for y, a, c in pool])
    assert_same(got, ref.reshape(len(pool), 8).T[:, idx])
    assert snapshot((vr, az, cos_el)) == before
