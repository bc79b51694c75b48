"""Where a formula leaves its domain: numbers the kernels compute that mean nothing.

The compiled kernels evaluate their formulas wherever the inputs are finite.
A few of those formulas have no physical value at some inputs (a mixing ratio
where the vapour pressure reaches the pressure, a wind divided by the cosine
of a vertical beam, a difference over zero spacing); the package turns those
into NaN, or refuses an argument that is plainly in the wrong quantity. Each
check is a vectorised reduction over the result or a per-column vector, and
writes only where something is wrong.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]


def _finite_range(a: FloatArray) -> tuple[float, float]:
    """Least and greatest non-NaN value of `a` (NaN for none); the NaN-ignoring
    reductions (several times slower) only where NaN is present."""
    low, high = float(np.min(a)), float(np.max(a))
    if math.isnan(low) or math.isnan(high):
        low, high = float(np.fmin.reduce(a, axis=None)), float(np.fmax.reduce(a, axis=None))
    return low, high


def no_mixing_ratio_as_missing(stacked: FloatArray, vapour_rows: tuple[int, ...]) -> None:
    """NaN in rows `vapour_rows` of thermo's result wherever its mixing ratio (row 0)
    is negative or +inf: where the vapour pressure reaches the pressure.

    The kernel's w = ε e/(p - e) has e > 0 (an exponential; 0 only by underflow)
    and, for a positive pressure, p - e > 0 exactly when e < p: the difference of
    two distinct doubles is never 0, so the sign of the result is exact. e = p
    gives +inf, e > p a negative w; a non-positive pressure (no air) gives a
    negative w too. A finite mixing ratio from finite inputs cannot overflow at
    atmospheric pressures, so the test on the result is the test on e >= p,
    without evaluating e again. θ does not depend on w and is left as it is.
    """
    w = stacked[0]
    if w.size == 0:
        return
    low, high = _finite_range(w)
    if not (low < 0.0 or high == math.inf):
        return
    beyond = (w < 0.0) | (w == math.inf)
    for row in vapour_rows:
        stacked[row][beyond] = np.nan


def cos_elevation(func: str, cos_el: FloatArray) -> FloatArray:
    """The per-ring cosines of the elevation, NaN where the beam is vertical or
    beyond (cos <= 0: no horizontal wind follows); ValueError beyond ±1.

    An elevation in degrees passed by mistake (2.0 for 2°) would otherwise give a
    plausible wind divided by the wrong number.
    """
    if cos_el.size == 0:
        return cos_el
    low, high = _finite_range(cos_el)
    if low < -1.0 or high > 1.0:
        bad = high if high > 1.0 else low
        raise ValueError(
            f"tarnwell.{func}: cos_el holds {bad!r}, beyond ±1; it is the cosine of each "
            "ring's elevation (numpy.cos(numpy.deg2rad(elevation)) for an elevation in "
            "degrees), not the elevation"
        )
    if not low <= 0.0:
        return cos_el
    return np.where(cos_el > 0.0, cos_el, np.nan)


def zero_spacing_points(c: FloatArray) -> npt.NDArray[np.intp] | None:
    """Indices of the points whose finite difference may divide by zero spacing:
    a neighbour at the same coordinate, or both neighbours at one coordinate;
    None when there is none (the common case)."""
    if c.size < 2:
        return None
    same = c[1:] == c[:-1]
    across = c[2:] == c[:-2]
    if not (same.any() or across.any()):
        return None
    hit = np.zeros(c.size, dtype=bool)
    hit[1:] |= same
    hit[:-1] |= same
    hit[1:-1] |= across
    return np.flatnonzero(hit)


def zero_spacing_as_missing(derivative: FloatArray, c: FloatArray, axis: int) -> None:
    """NaN in place of the ±inf that zero spacing gives along `axis` of
    `derivative` (0/0 is NaN already): no derivative is defined there."""
    points = zero_spacing_points(c)
    if points is None:
        return
    part = np.take(derivative, points, axis=axis)
    part[np.isinf(part)] = np.nan
    index: list[slice | npt.NDArray[np.intp]] = [slice(None)] * derivative.ndim
    index[axis] = points
    derivative[tuple(index)] = part
