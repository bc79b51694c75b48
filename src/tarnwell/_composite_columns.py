"""Column computations behind the composites: level-last rows in, arrays out.

The public functions of :mod:`tarnwell.composites` check and broadcast their
arguments and shape the results; the work on the rows is here, in the
compiled kernels, so that each quantity has one implementation.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core, _parcel
from ._threads import resolve_threads

FloatArray = npt.NDArray[np.float64]


def level_last_rows(
    func: str, data: dict[str, Any], axis: int, heights: str | None = None
) -> tuple[tuple[int, ...], list[FloatArray]]:
    """Broadcast column data as C-ordered (n, L) rows, NaN where masked; columns
    whose `heights` fall with the index are read from the top down."""
    c = _core.columns(func, data, {}, axis, heights=heights)
    rows = [
        np.ascontiguousarray(np.moveaxis(a, c.axis, -1)).reshape(-1, a.shape[c.axis])
        for a in c.arrays
    ]
    return c.batch, rows


def effective_layer_rows(
    p: FloatArray, t: FloatArray, td: FloatArray, z: FloatArray, n_threads: int | None
) -> FloatArray:
    """The effective inflow layer of rows (n, L): (4, n) bottom and top heights
    above the lowest usable level, then bottom and top pressures."""
    return _parcel.effective_layer(p, t, td, z, n_threads=resolve_threads(n_threads))
