"""What the command's file formats are: which paths are zarr stores or GRIB files,
the GRIB level types it reads, and the netCDF writer at hand."""

from __future__ import annotations

import importlib.util
import os
from typing import Literal

GRIB_SUFFIXES = (".grib", ".grib2", ".grb", ".grb2")
# GRIB level types that hold the 3-D fields, in order of preference.
GRIB_LEVELS = ("isobaricInhPa", "isobaricInPa", "hybrid", "generalVerticalLayer")
# Per-column fields taken from the other kinds of level: level type, value (None: any).
GRIB_COLUMNS = {"surface": None, "heightAboveGround": 10.0}


def is_zarr(path: str | os.PathLike[str]) -> bool:
    return str(path).rstrip("/").endswith(".zarr")


def netcdf_engine() -> Literal["netcdf4", "h5netcdf", "scipy"]:
    if importlib.util.find_spec("netCDF4") is not None:
        return "netcdf4"
    if importlib.util.find_spec("h5netcdf") is not None:
        return "h5netcdf"
    return "scipy"
