"""`cold_pool` and `profile` run straight on level-first grids.

The compiled helper reads a (batch, level, point) view either column by column
in place or tile by tile through a gathered buffer, and picks one by sampling
how deep the columns are read. Whichever it takes, every column must be the
kernel's own bits: each case is compared with `_tarnwell` on the same data laid
out level-last by hand, for both ways of reading, several thread counts and
grids of many tiles and chunks.
"""

import numpy as np
import pytest
from scalar_ref import assert_bits

import _tarnwell as tw
import tarnwell
from tarnwell._native import transpose as _transpose

PATHS = ("in_place", "tiled", "auto")


def laid_out(a, shape):
    """(B, L, M) data broadcast to `shape`, as the kernel's C-ordered (B*M, L) rows."""
    b, nl, m = shape
    return np.ascontiguousarray(np.transpose(np.broadcast_to(a, shape), (0, 2, 1))).reshape(
        b * m, nl
    )


def heights(rng, shape, kind):
    """Heights of a (B, L, M) grid: one per level, fixed in time, or varying in
    every column, with falling heights and gaps in the last."""
    nb, nl, nm = shape
    if kind == "per level":
        return np.broadcast_to(np.cumsum(rng.uniform(50, 300, nl))[None, :, None], shape)
    if kind == "fixed in time":
        z = np.cumsum(rng.uniform(50, 300, (1, nl, nm)), axis=1)
        return np.broadcast_to(z, shape)
    z = np.cumsum(rng.uniform(50, 300, shape), axis=1)
    z[0, :, :7] = z[0, ::-1, :7]
    z[rng.random(shape) < 0.03] = np.nan
    return z


# Points: one tile; several tiles per batch with a partial last one (a tile
# holds MAX_TILE_LEVELS // levels columns); and a single point.
GRIDS = [(2, 9, 50), (3, 40, 2 * (_transpose.MAX_TILE_LEVELS // 40) + 37), (4, 7, 1)]


@pytest.mark.parametrize("shape", GRIDS)
@pytest.mark.parametrize("z_kind", ["per level", "fixed in time", "every column"])
def test_cold_pool_level_first_matches_laid_out_rows_threads(shape, z_kind):
    rng = np.random.default_rng(21)
    nb, nl, nm = shape
    z = heights(rng, shape, z_kind)
    # Cold air of varying depth: some columns warm from the start, some cold
    # to the top, crossings at every level.
    depth = rng.integers(0, nl + 1, (nb, 1, nm))
    b = np.where(np.arange(nl)[None, :, None] < depth, -0.03, 0.02) + rng.normal(0, 0.005, shape)
    b[rng.random(shape) < 0.03] = np.nan
    n = nb * nm
    bottom = rng.uniform(-100, 400, n)
    bottom[::5] = np.nan
    for top in (np.full(n, np.nan), rng.uniform(200, 2000, n)):
        expected = tw.cold_pool(laid_out(z, shape), laid_out(b, shape), bottom, -0.01, top)
        assert np.isfinite(expected[0]).any() or n < 10
        for path in PATHS:
            for n_threads in (1, 2, 3):
                got = _transpose.cold_pool_level_first(
                    z, b, bottom, -0.01, top, path=path, n_threads=n_threads
                )
                assert_bits(got, expected)


@pytest.mark.parametrize("shape", GRIDS)
@pytest.mark.parametrize("z_kind", ["per level", "every column"])
@pytest.mark.parametrize(("bottom", "top"), [(0.0, 1000.0), (500.0, 200.0), (0.0, np.nan)])
def test_profile_level_first_matches_laid_out_rows_threads(shape, z_kind, bottom, top):
    rng = np.random.default_rng(22)
    nb, nl, nm = shape
    z = heights(rng, shape, z_kind) - 100.0  # the lowest levels near the ground
    u, v = rng.normal(0, 10, (2, *shape))
    u[rng.random(shape) < 0.03] = np.nan
    n = nb * nm
    ground = rng.uniform(-50, 100, n)
    ground[::4] = np.nan
    cu, cv = rng.normal(0, 5, (2, n))
    expected = tw.profile(
        laid_out(z, shape), laid_out(u, shape), laid_out(v, shape), ground, bottom, top, cu, cv
    )
    assert np.isfinite(expected).any() == np.isfinite(top) or n < 10
    for path in PATHS:
        for n_threads in (1, 2, 3):
            got = _transpose.profile_level_first(
                z, u, v, ground, bottom, top, cu, cv, path=path, n_threads=n_threads
            )
            assert_bits(got, expected)


def test_level_first_reads_any_strides_in_place_or_tiled():
    """Reversed levels, every other point, batches in reverse, and level-last
    data seen as (B, L, M): none is copied, all give the kernel's bits."""
    rng = np.random.default_rng(23)
    base_z = np.cumsum(rng.uniform(50, 300, (3, 12, 200)), axis=1)
    base_b = rng.normal(-0.01, 0.02, (3, 12, 200))
    level_last_b = np.ascontiguousarray(np.transpose(base_b, (0, 2, 1)))
    views = [
        (base_z[:, ::-1, ::2], base_b[:, ::-1, ::2]),
        (base_z[::-1], base_b[::-1]),
        (base_z, np.transpose(level_last_b, (0, 2, 1))),
    ]
    for z, b in views:
        shape = z.shape
        n = shape[0] * shape[2]
        rows = (laid_out(z, shape), laid_out(b, shape))
        top = np.full(n, np.nan)
        expected = tw.cold_pool(*rows, np.full(n, np.nan), 0.0, top)
        for path in PATHS:
            got = _transpose.cold_pool_level_first(z, b, np.full(n, np.nan), 0.0, top, path=path)
            assert_bits(got, expected)


def test_level_first_refuses_what_it_cannot_read():
    z = np.zeros((2, 5, 7))
    n = 14
    args = (np.zeros(n), 0.0, np.zeros(n))
    with pytest.raises(ValueError, match="path must be"):
        _transpose.cold_pool_level_first(z, z, *args, path="transposed")
    with pytest.raises(ValueError, match="b must be"):
        _transpose.cold_pool_level_first(z, np.zeros((2, 5, 6)), *args)
    with pytest.raises(ValueError, match="bottom needs one value per column"):
        _transpose.cold_pool_level_first(z, z, np.zeros(n - 1), 0.0, np.zeros(n))
    unaligned = np.zeros(8 * 70 + 1, np.uint8)[1:].view(np.float64).reshape(2, 5, 7)
    assert not unaligned.flags.aligned
    with pytest.raises(ValueError, match="unaligned"):
        _transpose.cold_pool_level_first(z, unaligned, *args)


def test_face_takes_columns_too_tall_for_a_tile_another_way():
    """More levels than a tile holds: the face lays the columns out instead."""
    rng = np.random.default_rng(24)
    nl = _transpose.MAX_TILE_LEVELS + 3
    z = np.cumsum(rng.uniform(0.1, 1.0, (nl, 2)), axis=0)
    b = np.where(np.arange(nl)[:, None] < nl - 5, -0.02, 0.01) * np.ones((nl, 2))
    got = tarnwell.cold_pool(z, b, bottom=np.nan, threshold=0.0, top=np.nan, axis=0)
    expected = tw.cold_pool(z.T.copy(), b.T.copy(), np.full(2, np.nan), 0.0, np.full(2, np.nan))
    for field, row in zip(got, expected, strict=True):
        assert_bits(field, row)
