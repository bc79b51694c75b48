"""The fields of every model point: cold pools and horizontal gradients of θ and θv.

(θ, θv, θe and the mixing ratio themselves come from the reader's canonical
fields through :func:`.models.thermo_fields`.)
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, cast

import numpy as np

from tarnwell._results import ColdPool
from tarnwell._sphere import EARTH_RADIUS
from tarnwell._sphere import gradient as sphere_gradient

from . import models
from .blockwise import Block, apply, per_column
from .field_attrs import THERMO_ATTRS, cf_attrs, with_attrs

if TYPE_CHECKING:
    import xarray as xr

GRAVITY = 9.80665  # m s-2, standard gravity: geopotential to geopotential height

DEFAULT_COLD_POOL_THRESHOLD = -0.01  # m s-2: about -0.3 K of theta_v against the reference
# A horizontal mean is a meaningful environment for a cold pool over a region,
# not over a domain that spans air masses from the subtropics to the pole: above
# these extents the cold-pool fields are left out, with a note.
MAX_COLD_POOL_EXTENT = (4000.0e3, 6000.0e3)  # m, north-south and east-west
#: The fields :func:`gradient_fields` writes, in order.
GRADIENT_NAMES = tuple(
    f"{part}_{name}" for name in ("theta", "theta_v") for part in ("dfdx", "dfdy", "grad")
)


def _horizontal_mean(a: np.ndarray, weights: np.ndarray | None = None) -> np.ndarray:
    """Mean over the last two axes of the finite values (NaN where there are none).

    Summed along one flattened axis so the order of additions, and therefore
    the bits, do not depend on how the batch axes are split into blocks.
    ``weights`` (one per row of the second-last axis) weight each row's
    points, as the cosine of latitude weights them by area on a lat/lon grid.
    """
    flat = a.reshape(*a.shape[:-2], -1)
    finite = np.isfinite(flat)
    if weights is None:
        total = np.where(finite, flat, 0.0).sum(axis=-1)
        count = finite.sum(axis=-1)
    else:
        w = np.broadcast_to(weights[:, None], a.shape[-2:]).reshape(-1)
        total = np.where(finite, flat * w, 0.0).sum(axis=-1)
        count = np.where(finite, w, 0.0).sum(axis=-1)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean: np.ndarray = total / count
    return mean


def buoyancy(
    theta_v: xr.DataArray, y_dim: str, x_dim: str, lat: np.ndarray | None = None
) -> xr.DataArray:
    """b = g (θv − θv_ref) / θv_ref, θv_ref the horizontal mean of θv on each level and time.

    On a lat/lon grid (``lat`` in degrees, one per row) the mean is weighted by
    area, cos(latitude).
    """
    import xarray as xr

    weights = None if lat is None else np.cos(np.deg2rad(np.asarray(lat, dtype=np.float64)))
    whole = theta_v.chunk({y_dim: -1, x_dim: -1}) if theta_v.chunks is not None else theta_v
    reference = xr.apply_ufunc(
        _horizontal_mean,
        whole,
        input_core_dims=[[y_dim, x_dim]],
        kwargs={"weights": weights},
        dask="parallelized",
        output_dtypes=[np.float64],
    )
    return cast("xr.DataArray", GRAVITY * (theta_v - reference) / reference)


def domain_extent(fields: models.ModelFields) -> tuple[float, float] | None:
    """North-south (or y) and east-west (or x) extent of the grid in metres; None if unknown.

    On a lat/lon grid the east-west extent is measured along the latitude
    nearest the equator, where it is widest.
    """
    if fields.x is None or fields.y is None or fields.x.size == 0 or fields.y.size == 0:
        return None
    x = np.asarray(fields.x, dtype=np.float64)
    y = np.asarray(fields.y, dtype=np.float64)
    if not fields.geographic:
        return float(np.ptp(y)), float(np.ptp(x))

    north_south = EARTH_RADIUS * np.deg2rad(float(np.ptp(y)))
    widest = np.cos(np.deg2rad(float(np.min(np.abs(y)))))
    east_west = EARTH_RADIUS * widest * np.deg2rad(min(float(np.ptp(x)), 360.0))
    return float(north_south), float(east_west)


def too_large_for_a_mean(fields: models.ModelFields) -> str | None:
    extent = domain_extent(fields)
    if extent is None:
        return None
    north_south, east_west = extent
    max_ns, max_ew = MAX_COLD_POOL_EXTENT
    if north_south <= max_ns and east_west <= max_ew:
        return None
    return (
        f"no cold-pool fields: the domain spans {north_south / 1e3:,.0f} km north-south and "
        f"{east_west / 1e3:,.0f} km east-west; a horizontal mean over more than "
        f"{max_ns / 1e3:,.0f} x {max_ew / 1e3:,.0f} km mixes air masses and is no cold pool's "
        f"environment (cut the file to a region around the storms)"
    )


def cold_pool_fields(
    fields: models.ModelFields, theta_v: xr.DataArray, threshold: float, n_threads: int
) -> dict[str, xr.DataArray]:
    import xarray as xr

    assert fields.height is not None and fields.ground is not None
    lat = fields.y if fields.geographic else None
    b = buoyancy(theta_v, fields.y_dim, fields.x_dim, lat)
    block = per_column("cold_pool", n_threads, ("bottom", "top"), threshold=threshold)
    top = xr.full_like(fields.ground, np.nan)
    level = fields.level_dim
    pool = apply(
        block,
        [fields.height, b, fields.ground, top],
        [[level], [level], [], []],
        len(ColdPool._fields),
    )
    attrs = {
        "intensity": cf_attrs("m s-1", "cold-pool intensity sqrt(2 * integral of -b dz)"),
        "depth": cf_attrs("m", "cold-pool depth"),
        "open_top": {
            **cf_attrs("1", "cold pool reaches the top of the column"),
            "flag_values": np.array([0.0, 1.0]),
            "flag_meanings": "closed open",
        },
    }
    return {
        name: with_attrs(field, attrs[name])
        for name, field in zip(ColdPool._fields, pool, strict=True)
    }


def gradient_fields(
    fields: models.ModelFields, thermo: dict[str, xr.DataArray], n_threads: int
) -> dict[str, xr.DataArray]:
    """Horizontal gradients of θ and θv: on the projected grid, or on the sphere."""
    import xarray as xr

    assert fields.x is not None and fields.y is not None
    y_dim, x_dim = fields.y_dim, fields.x_dim
    if fields.geographic:
        block: Any = SphereGradient(n_threads)
        along = ("eastward", "northward")
    else:
        block = Block("gradient", n_threads)
        along = ("grid x", "grid y")
    out: dict[str, xr.DataArray] = {}
    for name in ("theta", "theta_v"):
        gx, gy = apply(
            block,
            [
                thermo[name],
                xr.DataArray(fields.x, dims=[x_dim]),
                xr.DataArray(fields.y, dims=[y_dim]),
            ],
            [[y_dim, x_dim], [x_dim], [y_dim]],
            2,
            out_core=[y_dim, x_dim],
        )
        label = THERMO_ATTRS[name]["long_name"]
        if fields.map_factor is not None:
            # A step dx on a conformal map projection is dx / m on the earth.
            gx = gx * fields.map_factor
            gy = gy * fields.map_factor
        gx = gx.transpose(*fields.dims)
        gy = gy.transpose(*fields.dims)
        out[f"dfdx_{name}"] = with_attrs(gx, cf_attrs("K m-1", f"{along[0]} derivative of {label}"))
        out[f"dfdy_{name}"] = with_attrs(gy, cf_attrs("K m-1", f"{along[1]} derivative of {label}"))
        out[f"grad_{name}"] = with_attrs(
            cast("xr.DataArray", np.hypot(gx, gy)),
            cf_attrs("K m-1", f"magnitude of the horizontal gradient of {label}"),
        )
    return out


class SphereGradient:
    """Eastward and northward derivatives on a lat/lon grid for one block (picklable)."""

    def __init__(self, n_threads: int) -> None:
        self.n_threads = n_threads

    def __call__(self, f: Any, lon: Any, lat: Any) -> tuple[Any, ...]:
        dfdx, dfdy = sphere_gradient(f, lon, lat, axes=(-2, -1), n_threads=self.n_threads)
        return dfdx, dfdy
