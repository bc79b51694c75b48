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
    d_dlambda, d_dphi = _core.gradient(
        f, radians(lon), radians(lat), axes=axes, n_threads=n_threads
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
