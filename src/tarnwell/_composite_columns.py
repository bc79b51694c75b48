"""Column computations behind the composites: level-last rows in, arrays out.

The public functions of :mod:`tarnwell.composites` check and broadcast their
arguments and shape the results; the work on the rows is here, in the
compiled kernels, so that each quantity has one implementation.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ._native.parcel import effective_layer, profile_per_column
from ._threads import resolve_threads

FloatArray = npt.NDArray[np.float64]


def effective_layer_rows(
    p: FloatArray, t: FloatArray, td: FloatArray, z: FloatArray, n_threads: int | None
) -> FloatArray:
    """The effective inflow layer of rows (n, L): (4, n) bottom and top heights
    above the lowest usable level, then bottom and top pressures."""
    return effective_layer(p, t, td, z, n_threads=resolve_threads(n_threads))


def lowest_height(z: FloatArray) -> FloatArray:
    """The first finite height of each row of (n, L): the base the layer's heights
    are measured from, also where levels below the ground are missing (pressure
    levels under high terrain)."""
    first = np.argmax(np.isfinite(z), axis=1)
    base: FloatArray = z[np.arange(len(z)), first]
    return base


def layer_helicity_rows(
    z: FloatArray,
    u: FloatArray,
    v: FloatArray,
    bottom: FloatArray,
    top: FloatArray,
    cu: FloatArray,
    cv: FloatArray,
) -> FloatArray:
    """Storm-relative helicity of rows (n, L) between heights `bottom` and `top`
    above each row's lowest height, by the profile kernel's own column sum;
    NaN where the layer is inverted or a level with a height inside it (ends
    included) has no wind."""
    # Heights above the base, the ground at 0: the layer's ends are then the
    # given heights exactly, whatever frame the heights came in.
    height = z - lowest_height(z)[:, None]
    ground = np.zeros(len(z))
    threads = resolve_threads(None)
    helicity = profile_per_column(height, u, v, ground, bottom, top, cu, cv, threads)[4]
    with np.errstate(invalid="ignore"):
        inside = (height >= bottom[:, None]) & (height <= top[:, None])
    no_wind = (inside & ~(np.isfinite(u) & np.isfinite(v))).any(axis=1)
    out: FloatArray = np.where(no_wind | ~(top >= bottom), np.nan, helicity)
    return out
