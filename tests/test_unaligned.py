"""Inputs whose buffers start off an 8-byte boundary (np.frombuffer at an odd
offset, fields of packed records) give exactly the bits of the same values in
an aligned array, for every function; only the unaligned inputs are copied."""

import numpy as np
import pytest
from probes import traced_peak

import _tarnwell as tw

OFFSETS = range(1, 8)


def unaligned(a, offset):
    """The values of `a` (bit for bit) in a C-ordered float64 array whose data
    starts `offset` bytes past an 8-byte boundary."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    store = np.zeros(a.nbytes + 16, dtype=np.uint8)
    start = (-store.ctypes.data) % 8 + offset
    store[start : start + a.nbytes] = a.reshape(-1).view(np.uint8)
    u = store[start : start + a.nbytes].view(np.float64).reshape(a.shape)
    assert not u.flags.aligned or a.size == 0
    return u


def awkward(rng, shape, lo, hi):
    """Values in [lo, hi) with NaNs of several payloads and signs, infinities,
    signed zeros and subnormals sprinkled in."""
    return sprinkle(rng, rng.uniform(lo, hi, shape))


def sprinkle(rng, a):
    shape = a.shape
    specials = np.array(
        [
            0x7FF8000000000001,
            0xFFF0000000000ABC,
            0x7FF4000000000000,
            0x7FF0000000000000,
            0xFFF0000000000000,
            0x8000000000000000,
            0x0000000000000000,
            0x0000000000000001,
            0x800FFFFFFFFFFFFF,
        ],
        dtype=np.uint64,
    ).view(np.float64)
    hit = rng.random(shape) < 0.05
    a[hit] = rng.choice(specials, int(hit.sum()))
    return a


def cases():
    rng = np.random.default_rng(13)
    n = 5000  # two thermo chunks
    t = rng.uniform(220.0, 310.0, n)
    td = sprinkle(rng, t - rng.uniform(0.0, 20.0, n))
    yield "thermo", (sprinkle(rng, t), awkward(rng, n, 2e4, 1.05e5), td), {}
    cols, L = 150, 9  # three columns' chunks
    z = np.cumsum(rng.uniform(50.0, 400.0, (cols, L)), axis=1)
    yield (
        "cold_pool",
        (
            z,
            awkward(rng, (cols, L), -0.2, 0.05),
            rng.uniform(0.0, 300.0, cols),
            np.full(cols, np.nan),
        ),
        {"threshold": -0.01},
    )
    yield (
        "profile",
        (
            sprinkle(rng, rng.uniform(0.0, 300.0, (cols, L)) + np.arange(L) * 400.0),
            awkward(rng, (cols, L), -20.0, 20.0),
            awkward(rng, (cols, L), -20.0, 20.0),
            rng.uniform(0.0, 100.0, cols),
            rng.uniform(-5.0, 5.0, cols),
            rng.uniform(-5.0, 5.0, cols),
        ),
        {"bottom": 0.0, "top": 2500.0},
    )
    yield (
        "gradient",
        (
            awkward(rng, (2, 13, 11), -1.0, 1.0),
            np.cumsum(rng.uniform(1, 2, 11)),
            np.cumsum(rng.uniform(1, 2, 13)),
        ),
        {},
    )
    rings, gates = 130, 40
    az = rng.uniform(0.0, 6.3, (rings, gates))
    yield (
        "vad",
        (awkward(rng, (rings, gates), -30.0, 30.0), az, rng.uniform(0.5, 1.0, rings)),
        {"min_gates": 5, "min_spread": 0.3},
    )


# Positional order of the array arguments, with the scalars passed by keyword.
ARRAY_NAMES = {
    "thermo": ("t", "p", "td"),
    "cold_pool": ("z", "b", "bottom", "top"),
    "profile": ("z", "u", "v", "ground", "cu", "cv"),
    "gradient": ("f", "x", "y"),
    "vad": ("vr", "az", "cos_el"),
}


def call(name, arrays, scalars, n_threads=2):
    kwargs = dict(zip(ARRAY_NAMES[name], arrays, strict=True), **scalars)
    return getattr(tw, name)(**kwargs, n_threads=n_threads)


def raw_bits(a):
    return a.view(np.uint64)


@pytest.mark.parametrize("name, arrays, scalars", [pytest.param(*c, id=c[0]) for c in cases()])
def test_unaligned_inputs_give_the_aligned_bits(name, arrays, scalars):
    expected = raw_bits(call(name, arrays, scalars))
    for offset in OFFSETS:
        moved = [unaligned(a, offset) for a in arrays]
        before = [m.tobytes() for m in moved]
        got = call(name, moved, scalars)
        assert np.array_equal(raw_bits(got), expected), f"offset {offset}"
        assert [m.tobytes() for m in moved] == before, "an input was written"
        # One unaligned argument among aligned ones, at each position.
        for k in range(len(arrays)):
            mixed = list(arrays)
            mixed[k] = moved[k]
            got = call(name, mixed, scalars, n_threads=1)
            assert np.array_equal(raw_bits(got), expected), f"offset {offset}, argument {k}"


def test_unaligned_zero_d_and_empty_inputs():
    zero_d = unaligned(np.array(300.0), 3)
    assert np.array_equal(
        raw_bits(tw.thermo(zero_d, 9e4, 290.0)), raw_bits(tw.thermo(300.0, 9e4, 290.0))
    )
    empty = unaligned(np.empty((0, 4)), 5)
    r = tw.cold_pool(empty, empty, unaligned(np.empty(0), 1), 0.0, np.empty(0))
    assert r.shape == (3, 0)


def test_only_unaligned_inputs_are_copied():
    n = 1_000_000
    rng = np.random.default_rng(2)
    t, p = rng.uniform(250.0, 300.0, n), rng.uniform(5e4, 1e5, n)
    td = unaligned(t - 3.0, 4)
    result_bytes = 4 * n * 8
    peak = traced_peak(lambda: tw.thermo(t, p, td))
    assert result_bytes + n * 8 <= peak < result_bytes + n * 8 + n * 8 // 2
