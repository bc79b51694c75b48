"""CF netCDF (and files close to it): variables found by standard name, else by common names.

This is the general reader: any file whose variables carry CF ``units`` (and
ideally ``standard_name``) attributes, with a vertical dimension and two
horizontal ones.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, cast

import numpy as np

from tarnwell import units

from .._io import CommandError
from ..roles import find_variables, find_vertical_dim, horizontal_dim, in_unit
from . import ModelFields

if TYPE_CHECKING:
    import xarray as xr

GRAVITY = 9.80665  # m s-2, standard gravity: geopotential to geopotential height
EPSILON = 0.6219569156569429  # Rd/Rv, as in the thermo kernel


def read(ds: xr.Dataset, variables: Mapping[str, str], level_dim: str | None) -> ModelFields:
    """The fields of a CF file, found by role."""
    found = find_variables(ds, variables)
    # The 4-D field whose dimensions set the layout: temperature, else the wind.
    anchor = found.get("temperature", found.get("u"))
    if anchor is None:
        raise CommandError(
            "found neither air temperature nor wind: name them with --var temperature=NAME "
            "or --var u=NAME --var v=NAME"
        )
    level = find_vertical_dim(ds, anchor, level_dim)
    x_dim = horizontal_dim(ds, anchor, "x", (level,))
    y_dim = horizontal_dim(ds, anchor, "y", (level, x_dim))
    dims = tuple(str(d) for d in anchor.dims)
    fields = ModelFields("CF", dims, level, y_dim, x_dim)

    height = _height(found)
    if height is not None:
        height = height.broadcast_like(anchor).transpose(*dims)
        height, found = _upward(height, found, level)
        fields.height = height
        fields.ground = _ground(found, height, level)

    if "temperature" in found and "pressure" in found:
        fields.temperature = in_unit(found["temperature"], "temperature")
        fields.pressure = in_unit(found["pressure"], "pressure")
        fields.dewpoint = _dewpoint(found, fields.temperature, fields.pressure)
    if "u" in found and "v" in found:
        fields.u = in_unit(found["u"], "u").broadcast_like(anchor)
        fields.v = in_unit(found["v"], "v").broadcast_like(anchor)

    grid = _grid_in_metres(ds, x_dim, y_dim)
    if isinstance(grid, str):
        fields.grid_note = grid
    else:
        fields.x, fields.y = grid
    return fields


def _height(found: dict[str, xr.DataArray]) -> xr.DataArray | None:
    if "height" in found:
        return in_unit(found["height"], "height")
    if "geopotential" in found:
        phi = in_unit(found["geopotential"], "geopotential")
        return (phi / GRAVITY).assign_attrs(units="m", long_name="geopotential height")
    return None


def _upward(
    height: xr.DataArray, found: dict[str, xr.DataArray], level_dim: str
) -> tuple[xr.DataArray, dict[str, xr.DataArray]]:
    """Levels ordered bottom-up (the column kernels read heights in index order)."""
    first = float(height.isel({level_dim: 0}).mean())
    last = float(height.isel({level_dim: -1}).mean())
    if not first > last:
        return height, found
    flip = slice(None, None, -1)
    found = {
        role: da.isel({level_dim: flip}) if level_dim in da.dims else da
        for role, da in found.items()
    }
    return height.isel({level_dim: flip}), found


def _dewpoint(
    found: dict[str, xr.DataArray], t: xr.DataArray, p: xr.DataArray
) -> xr.DataArray | None:
    """Dew point (K), given or from specific or relative humidity.

    The vapour pressure e comes from specific humidity q as e = q p / (ε + (1 − ε) q),
    or from relative humidity as RH · e_s(T) with Bolton's e_s; the dew point then
    inverts Bolton's e_s: Td = 243.5 ln(e/611.2) / (17.67 − ln(e/611.2)) + 273.15.
    """
    if "dewpoint" in found:
        return in_unit(found["dewpoint"], "dewpoint")
    if "specific_humidity" in found:
        q = in_unit(found["specific_humidity"], "specific_humidity")
        e = q * p / (EPSILON + (1.0 - EPSILON) * q)
    elif "relative_humidity" in found:
        rh = in_unit(found["relative_humidity"], "relative_humidity")
        tc = t - 273.15
        e = rh * 611.2 * np.exp(17.67 * tc / (tc + 243.5))
    else:
        return None
    with np.errstate(divide="ignore", invalid="ignore"):
        ln = np.log(e / 611.2)
        return cast("xr.DataArray", 243.5 * ln / (17.67 - ln) + 273.15)


def _ground(found: dict[str, xr.DataArray], height: xr.DataArray, level_dim: str) -> xr.DataArray:
    """Ground height in the frame of ``height``.

    Heights above ground (CF ``height``) have ground 0; otherwise the file's
    surface altitude, or failing that each column's lowest level.
    """
    if height.attrs.get("standard_name") == "height":
        return (height.isel({level_dim: 0}, drop=True) * 0.0).fillna(0.0)
    if "surface_altitude" in found:
        zs = in_unit(found["surface_altitude"], "surface_altitude")
        return zs.broadcast_like(height.isel({level_dim: 0}, drop=True))
    return height.min(level_dim, skipna=True)


def _grid_in_metres(ds: xr.Dataset, x_dim: str, y_dim: str) -> tuple[np.ndarray, np.ndarray] | str:
    """The grid's x and y coordinates in metres, or why there are no gradients."""
    try:
        return _coordinate_in_metres(ds, x_dim), _coordinate_in_metres(ds, y_dim)
    except CommandError as err:
        return f"no gradients: {err}"


def _coordinate_in_metres(ds: xr.Dataset, dim: str) -> np.ndarray:
    if dim not in ds.coords:
        raise CommandError(f"dimension {dim!r} has no coordinate values: the gradient needs them")
    coord = ds[dim]
    text = coord.attrs.get("units")
    if text is None:
        raise CommandError(f"coordinate {dim!r} has no units attribute (expected m or km)")
    try:
        if units.is_angle_in_degrees("diagnose", dim, str(text)) or "degree" in str(text):
            raise CommandError(
                f"coordinate {dim!r} is in {text}; the gradient needs a projected grid in "
                f"metres (regrid to a map projection, or give projected x/y coordinates)"
            )
        scale, offset = units.conversion("diagnose", dim, str(text), "m")
    except ValueError as err:
        raise CommandError(str(err)) from None
    return np.asarray(units.apply_linear(coord.values.astype(np.float64), scale, offset))
