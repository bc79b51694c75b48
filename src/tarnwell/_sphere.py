"""Horizontal gradients on latitude/longitude grids.

On a sphere of radius R the eastward and northward derivatives are

    df/dx = 1 / (R cos(phi)) * df/dlambda,    df/dy = 1 / R * df/dphi,

with longitude lambda and latitude phi in radians. The derivatives along the
grid axes come from the same NaN-aware finite differences as on a projected
grid (the ``gradient`` kernel, with the coordinates in radians); the metric
factors are applied afterwards, one division per point. At the poles, where
cos(phi) vanishes, the eastward derivative is undefined and is NaN.

The radius is the mean radius of the Earth, 6,371,000 m (IUGG), the one most
models and MetPy use for lat/lon finite differences; the ellipsoid changes
the result by less than 0.4%.

Longitudes are unwrapped before differencing (170, 180, -170 are 10 degrees
apart, not 350), and a grid whose longitudes go round the globe, the step
from the last back to the first no wider than the grid's widest step, is
periodic: its first and last columns take centred differences across the seam.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _core

EARTH_RADIUS = 6371000.0  # m, mean radius of the Earth


def radians(degrees: Any) -> np.ndarray:
    """Degrees as float64 radians (``numpy.deg2rad``: one multiplication per value)."""
    return np.deg2rad(np.asarray(degrees, dtype=np.float64))


def metric_factors(lat_degrees: Any) -> tuple[np.ndarray, float]:
    """The divisors of the grid-axis derivatives: R cos(phi) per latitude, and R.

    Exactly at the poles the first is NaN, so the eastward derivative is NaN there
    instead of an overflow of a rounding residue of cos(pi/2).
    """
    lat = np.asarray(lat_degrees, dtype=np.float64)
    x_factor = EARTH_RADIUS * np.cos(radians(lat))
    x_factor = np.where(np.abs(lat) == 90.0, np.nan, x_factor)
    return x_factor, EARTH_RADIUS


def unwrapped(lon_degrees: Any) -> np.ndarray:
    """Longitudes with every jump of more than half a turn between neighbours
    taken the short way round; the values themselves where there is none."""
    lon = np.asarray(lon_degrees, dtype=np.float64)
    if lon.ndim != 1 or lon.size < 2 or not np.isfinite(lon).all():
        return lon
    if (np.abs(np.diff(lon)) <= 180.0).all():
        return lon
    return np.unwrap(lon, period=360.0)


def seam_neighbours(lon: np.ndarray) -> tuple[float, float] | None:
    """For (unwrapped, monotonic) longitudes that close the circle: the longitudes,
    a turn away, of the last point before the first and the first after the last;
    None for a regional grid."""
    if lon.ndim != 1 or lon.size < 3 or not np.isfinite(lon).all():
        return None
    steps = np.diff(lon)
    turn = 360.0 if lon[-1] > lon[0] else -360.0
    if not (steps * turn > 0.0).all():
        return None
    closing = abs(turn - (lon[-1] - lon[0]))
    # A relative tolerance for grids written with rounded steps (1/3 degree).
    if not 0.0 < closing <= float(np.max(np.abs(steps))) * (1.0 + 1e-6):
        return None
    return float(lon[-1] - turn), float(lon[0] + turn)


def gradient(
    f: Any,
    lon: Any,
    lat: Any,
    *,
    axes: tuple[int, int] = (-2, -1),
    n_threads: int | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """Eastward and northward derivatives (units of f per m) of ``f`` on a lat/lon grid.

    ``lon`` and ``lat`` are the 1-D coordinates (degrees) of the x and y axes
    ``axes[1]`` and ``axes[0]`` of ``f``.
    """
    lon = unwrapped(lon)
    seam = seam_neighbours(lon)
    x_wrap = None if seam is None else (float(radians(seam[0])), float(radians(seam[1])))
    d_dlambda, d_dphi = _core.gradient(
        f, radians(lon), radians(lat), axes=axes, n_threads=n_threads, x_wrap=x_wrap
    )
    x_factor, y_factor = metric_factors(lat)
    ndim = np.ndim(d_dlambda)
    ay = axes[0] % ndim
    # One latitude per row of the y axis, broadcast along every other axis.
    shape = [1] * ndim
    shape[ay] = x_factor.size
    dfdx = d_dlambda / x_factor.reshape(shape)
    dfdy = d_dphi / y_factor
    return dfdx, dfdy


def is_lat_lon_grid(x_in_degrees: bool, y_in_degrees: bool, lat: Any) -> bool:
    """Whether coordinates make a longitude/latitude grid: both in degrees.

    One in degrees and the other not, or latitudes beyond the poles, are
    refused: neither is a grid this rule or a projected grid describes.
    """
    if x_in_degrees != y_in_degrees:
        which, other = ("x", "y") if x_in_degrees else ("y", "x")
        raise ValueError(
            f"tarnwell.gradient: {which} is in degrees but {other} is not: a lat/lon grid "
            f"needs longitude and latitude both in degrees, a projected grid both x and y "
            f"in metres"
        )
    if x_in_degrees and np.nanmax(np.abs(np.asarray(lat, dtype=np.float64)), initial=0.0) > 90.0:
        raise ValueError(
            "tarnwell.gradient: the latitudes (y) reach beyond ±90 degrees; "
            "name the latitude dimension with y_dim= or pass coordinates in metres"
        )
    return x_in_degrees
