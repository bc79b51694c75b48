"""ECMWF output: ERA5 and the IFS, as the Climate Data Store's netCDF and as GRIB.

What sets these files apart from tidy CF, and how it is read:

- pressure levels along ``pressure_level`` (CDS netCDF, hPa), ``isobaricInhPa``
  (GRIB through cfgrib) or ``level`` (older CDS netCDF, millibars), stored
  top-down (1 → 1000 hPa) in the netCDF: turned round with their coordinate;
- heights as geopotential ``z`` (m² s⁻²): divided by standard gravity; a
  ``z`` without levels (from the single-level files) is the surface
  geopotential, so the surface altitude;
- humidity as specific humidity ``q`` or relative humidity ``r`` (%);
- levels under the ground (pressure above the surface pressure ``sp``, or
  heights below the surface altitude) hold extrapolated values: they become
  missing values;
- 10-m winds ``u10``/``v10`` (with a scalar ``height`` coordinate of 10 m,
  which is never taken for the level heights);
- time along ``valid_time`` (or ``time``), ensemble members along ``number``;
  a regular latitude-longitude grid, latitudes stored north to south.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING

from .common import read_by_roles
from .fields import ModelFields

if TYPE_CHECKING:
    import xarray as xr

FAMILY = "ECMWF"


def recognise(ds: xr.Dataset) -> bool:
    """ECMWF's centre in the GRIB keys cfgrib copies, or the CDS netCDF's layout."""
    centre = str(ds.attrs.get("GRIB_centre", ""))
    institution = str(ds.attrs.get("institution", ""))
    if centre == "ecmf" or "European Centre for Medium-Range" in institution:
        return True
    return "pressure_level" in ds.dims and "valid_time" in ds.dims


def read(ds: xr.Dataset, variables: Mapping[str, str], level_dim: str | None) -> ModelFields:
    """The fields of an ERA5 or IFS file, found by role."""
    return read_by_roles(ds, variables, level_dim, FAMILY)
