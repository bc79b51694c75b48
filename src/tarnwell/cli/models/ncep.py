"""NCEP's GRIB2 output (GFS, HRRR, NAM, RAP) through cfgrib.

The GRIB file holds many kinds of level at once; :func:`tarnwell.cli._io.open_model`
joins the pressure levels (``isobaricInhPa``) with the 10-m winds
(``heightAboveGround`` = 10: ``u10``/``v10``) and the surface fields
(orography ``orog``, surface pressure ``sp``). Then:

- heights are the geopotential height ``gh`` (gpm); humidity is relative
  humidity ``r`` (%) or specific humidity ``q``;
- levels under the ground (pressure above ``sp``, or ``gh`` below ``orog``)
  hold extrapolated values: they become missing values;
- GFS is on a regular latitude-longitude grid (latitudes north to south);
  HRRR and NAM are on a Lambert conformal grid, whose spacing on the
  projection plane comes from the GRIB keys ``DxInMetres``/``DyInMetres``.
  Their winds are relative to that grid; the earth-relative winds are the
  grid's rotated by n (λ − LoV), n the cone constant of the projection.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import TYPE_CHECKING

import numpy as np

from .common import read_by_roles
from .fields import ModelFields

if TYPE_CHECKING:
    import xarray as xr

FAMILY = "NCEP"


def recognise(ds: xr.Dataset) -> bool:
    """NCEP's centre in the GRIB keys cfgrib copies."""
    centre = str(ds.attrs.get("GRIB_centre", ""))
    return centre == "kwbc" or "NCEP" in str(ds.attrs.get("institution", ""))


def read(ds: xr.Dataset, variables: Mapping[str, str], level_dim: str | None) -> ModelFields:
    """The fields of an NCEP GRIB2 file, found by role."""
    fields = read_by_roles(ds, variables, level_dim, FAMILY)
    anchor = fields.temperature if fields.temperature is not None else fields.u
    if fields.grid_note is not None and anchor is not None:
        _lambert(ds, fields)
    return fields


def _lambert(ds: xr.Dataset, fields: ModelFields) -> None:
    """A Lambert conformal grid: x and y on the projection plane, winds earth-relative."""
    source = next(
        (ds[n] for n in ds.data_vars if ds[n].attrs.get("GRIB_gridType") == "lambert"), None
    )
    if source is None:
        return
    attrs = source.attrs
    dx, dy = attrs.get("GRIB_DxInMetres"), attrs.get("GRIB_DyInMetres")
    if dx is None or dy is None:
        return
    nx, ny = ds.sizes[fields.x_dim], ds.sizes[fields.y_dim]
    # cfgrib turns rows scanned north to south round to south to north only
    # for regular grids; a Lambert grid comes in the file's scanning order.
    north_up = int(attrs.get("GRIB_jScansPositively", 1)) == 1
    fields.x = np.arange(nx, dtype=np.float64) * float(dx)
    fields.y = np.arange(ny, dtype=np.float64) * (float(dy) if north_up else -float(dy))
    fields.grid_note = None
    if fields.u is None or "longitude" not in ds.coords:
        return
    if int(attrs.get("GRIB_uvRelativeToGrid", 1)) == 0:
        return
    lat1 = math.radians(float(attrs.get("GRIB_Latin1InDegrees", 25.0)))
    lat2 = math.radians(float(attrs.get("GRIB_Latin2InDegrees", lat1)))
    if abs(lat1 - lat2) < 1e-9:
        cone = math.sin(lat1)
    else:
        cone = math.log(math.cos(lat1) / math.cos(lat2)) / math.log(
            math.tan(math.pi / 4 + lat2 / 2) / math.tan(math.pi / 4 + lat1 / 2)
        )
    lov = float(attrs.get("GRIB_LoVInDegrees", 0.0))
    lon = ds["longitude"].reset_coords(drop=True)
    # Longitude from the central meridian, in (-180, 180].
    offset = (lon - lov + 180.0) % 360.0 - 180.0
    angle = np.radians(offset) * cone
    sin_a, cos_a = np.sin(angle), np.cos(angle)

    def rotate(u: xr.DataArray, v: xr.DataArray) -> tuple[xr.DataArray, xr.DataArray]:
        east = (u * cos_a + v * sin_a).transpose(*u.dims)
        north = (v * cos_a - u * sin_a).transpose(*u.dims)
        east.attrs, north.attrs = dict(u.attrs), dict(v.attrs)
        return east, north

    assert fields.v is not None
    fields.u, fields.v = rotate(fields.u, fields.v)
    if fields.u10 is not None and fields.v10 is not None:
        fields.u10, fields.v10 = rotate(fields.u10, fields.v10)
    fields.notes.append("winds relative to the Lambert grid: turned earth-relative")
