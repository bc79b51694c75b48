"""The kernels' row layout: columns (levels, gates) as contiguous rows.

Level-last data that is already C-ordered goes to the kernel as it is.
Level-first data (time, level, y, x) is not copied whole: a whole transposed
copy would write and read again as many bytes as the kernel itself reads.
`cold_pool` and `profile` run through the compiled helper, which calls the
kernel's own column routine on the grid as it lies: column by column with the
levels read in place when the columns are read only part of the way up (each
cache line then serves eight neighbouring columns), else a tile of columns at
a time gathered into a buffer in each worker's cache. It samples a few
columns to choose. Other kernels work through the grid in blocks of a few
thousand columns, each transposed into a buffer that stays in cache while the
kernel reads it.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import cast

import numpy as np
import numpy.typing as npt

from ._native.transpose import MAX_TILE_LEVELS, to_levels_last

FloatArray = npt.NDArray[np.float64]

# Bytes of one array's block: a few blocks of this size (one per data array)
# fit the shared last-level cache (32 MB here) beside the kernel's own working
# set; fewer, larger blocks also start fewer threads. 2 MB measured slower
# than 4 MB and 8 MB on a (8, 40, 256, 256) grid.
BLOCK_BYTES = 1 << 22
# Columns of a block are a multiple of this (the transposing copy's own block).
BLOCK_COLUMNS = 256


def c_contiguous(a: FloatArray) -> FloatArray:
    """`a` itself when already C-contiguous, else a C-ordered copy."""
    return np.ascontiguousarray(a)


def _level_middle(a: FloatArray, axis: int, split: int) -> FloatArray | None:
    """`a` viewed without a copy as (batch, level, point): the axes other than
    `axis`, in order, split at `split` into two runs; None when either run
    cannot be merged into one strided axis."""
    others = a.shape[:axis] + a.shape[axis + 1 :]
    shape = (math.prod(others[:split]), a.shape[axis], math.prod(others[split:]))
    try:
        return np.moveaxis(a, axis, split).reshape(shape, copy=False)
    except ValueError:
        return None


def _plan(arrays: Sequence[FloatArray], axis: int) -> tuple[int, list[FloatArray | None]]:
    """The split of the other axes and each array's (batch, level, point) view
    at it; None for arrays that are read as they are or copied by NumPy."""
    ndim = arrays[0].ndim
    direct = [axis == ndim - 1 and a.flags.c_contiguous for a in arrays]
    best: tuple[int, list[FloatArray | None]] = (0, [None] * len(arrays))
    best_count = 0
    # Level-first grids split after the time axis (split 1); the first split
    # that serves most arrays gives the most points per block.
    for split in range(ndim - 1):
        views = [
            None if d else _level_middle(a, axis, split)
            for a, d in zip(arrays, direct, strict=True)
        ]
        count = sum(v is not None for v in views)
        if count > best_count:
            best, best_count = (split, views), count
    return best


def _level_first_views(arrays: Sequence[FloatArray], axis: int) -> list[FloatArray] | None:
    """Every array as a (batch, level, point) view at one split, or None when
    no split serves them all (or one is unaligned for the compiled loads)."""
    if not all(a.flags.aligned for a in arrays):
        return None
    for split in range(arrays[0].ndim - 1):
        views = [_level_middle(a, axis, split) for a in arrays]
        if all(v is not None for v in views):
            return cast(list[FloatArray], views)
    return None


LevelFirstCall = Callable[[list[FloatArray], list[FloatArray]], FloatArray]


def run_rows(
    arrays: Sequence[FloatArray],
    axis: int,
    vectors: Sequence[FloatArray],
    n_fields: int,
    n_threads: int,
    call: Callable[[list[FloatArray], list[FloatArray]], FloatArray],
    level_first: LevelFirstCall | None = None,
) -> FloatArray:
    """Result (n_fields, n) of `call(rows, vectors)` over the columns along `axis`.

    `arrays` share one shape; the n columns are taken in C order of the other
    axes, `vectors` hold one value per column. `call` gets C-contiguous (nc, L)
    rows and the matching slices of `vectors` and returns (n_fields, nc).
    `level_first`, when given, computes the same result from (batch, level, point)
    views of the arrays and the whole `vectors`; it serves data that is not
    already level-last and C-ordered.
    """
    shape = arrays[0].shape
    levels = shape[axis]
    n = math.prod(shape) // levels if levels else math.prod(shape[:axis] + shape[axis + 1 :])
    if n == 0 or levels == 0:
        views: list[FloatArray | None] = [None] * len(arrays)
    else:
        in_place = axis in (-1, len(shape) - 1) and all(a.flags.c_contiguous for a in arrays)
        if level_first is not None and not in_place and levels <= MAX_TILE_LEVELS:
            grids = _level_first_views(arrays, axis)
            if grids is not None:
                return level_first(grids, list(vectors))
        split, views = _plan(arrays, axis)
    if all(v is None for v in views):
        # Level-last C-ordered data is read in place; anything else that no
        # strided view covers takes NumPy's copy.
        rows = [np.ascontiguousarray(np.moveaxis(a, axis, -1)).reshape(n, levels) for a in arrays]
        return call(rows, list(vectors))

    others = shape[:axis] + shape[axis + 1 :]
    batch = math.prod(others[:split])
    points = math.prod(others[split:])
    step = max(BLOCK_COLUMNS, BLOCK_BYTES // (8 * levels) // BLOCK_COLUMNS * BLOCK_COLUMNS)
    step = min(step, points)
    # Arrays that cannot be viewed so are laid out whole (NumPy's strided copy).
    # Arrays that do not vary along the batch axis (heights fixed in time) are
    # laid out for one batch index and read from there for every other.
    whole: list[FloatArray | None] = []
    for a, v in zip(arrays, views, strict=True):
        if v is None:
            whole.append(np.ascontiguousarray(np.moveaxis(a, axis, -1)).reshape(n, levels))
        elif batch > 1 and v.strides[0] == 0 and v.strides[2] != 0:
            whole.append(to_levels_last(v[:1], None, n_threads).reshape(points, levels))
        else:
            whole.append(None)
    repeated = [w is not None and v is not None for w, v in zip(whole, views, strict=True)]
    # Heights given per level only (broadcast over time and points) make the
    # same block every time: laid out once, reused for every block.
    constant = [v is not None and v.strides[0] == 0 and v.strides[2] == 0 for v in views]
    buffers = [
        np.empty((1, step, levels)) if v is not None and w is None else None
        for v, w in zip(views, whole, strict=True)
    ]
    for view, buf, const in zip(views, buffers, constant, strict=True):
        if const and view is not None and buf is not None:
            to_levels_last(view[:1, :, :step], buf, n_threads)
    out = np.empty((n_fields, n))
    for b in range(batch):
        for m0 in range(0, points, step):
            m1 = min(m0 + step, points)
            i0, i1 = b * points + m0, b * points + m1
            rows = []
            for view, buf, full, const, rep in zip(
                views, buffers, whole, constant, repeated, strict=True
            ):
                if rep:
                    assert full is not None
                    rows.append(full[m0:m1])
                elif view is None or buf is None:
                    assert full is not None
                    rows.append(full[i0:i1])
                else:
                    dst = buf[:, : m1 - m0]
                    if not const:
                        to_levels_last(view[b : b + 1, :, m0:m1], dst, n_threads)
                    rows.append(dst.reshape(m1 - m0, levels))
            out[:, i0:i1] = call(rows, [v[i0:i1] for v in vectors])
    return out
