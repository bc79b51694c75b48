"""WRF ARW output (``wrfout_d0*``), read as the model writes it.

WRF stores the state as perturbations of a base state on a staggered
(Arakawa C) grid, with winds relative to the projection's grid:

- θ = ``T`` + 300 K (``T`` is the perturbation potential temperature);
- p = ``P`` + ``PB`` (perturbation and base-state pressure, Pa);
- T = θ (p / 100000 Pa)^(R_d/c_p), with WRF's own R_d = 287 and c_p = 7 R_d / 2,
  so that the temperature is the model's; θ itself is written as the model's
  (the kernel's κ would turn T back into a θ up to 0.2 K short of it);
- heights: geopotential (``PH`` + ``PHB``) / g on the w levels
  (``bottom_top_stag``), with WRF's g = 9.81 m s-2 (so that the lowest w
  level is ``HGT``), averaged to the mass levels;
- ``U`` on ``west_east_stag`` and ``V`` on ``south_north_stag`` averaged to
  the mass points, then turned earth-relative with ``SINALPHA``/``COSALPHA``:
  u_e = u cos α − v sin α, v_e = v cos α + u sin α (also ``U10``/``V10``);
- ``QVAPOR`` is the water-vapour mixing ratio (kg/kg), ``HGT`` the surface
  altitude; ``DX``/``DY`` (global attributes, m) the spacing on the
  projection plane, ``MAPFAC_M`` its map scale factor;
- ``Times`` (or ``XTIME``) dates the ``Time`` dimension; ``XLAT``/``XLONG``
  come along as 2-D latitude and longitude for pictures.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from ..errors import CommandError
from .common import (
    dewpoint_from_vapour_pressure,
    input_dtype,
    temperature_from_theta,
    vapour_pressure_from_mixing_ratio,
)
from .fields import ModelFields

if TYPE_CHECKING:
    import xarray as xr

FAMILY = "WRF"
THETA_OFFSET = 300.0  # K: WRF's T is θ − 300 K
WRF_GRAVITY = 9.81  # m s-2, WRF's g (module_model_constants)
WRF_KAPPA = 2.0 / 7.0  # R_d / c_p with WRF's R_d = 287, c_p = 7 R_d / 2
LEVEL, LEVEL_STAG = "bottom_top", "bottom_top_stag"
Y, Y_STAG = "south_north", "south_north_stag"
X, X_STAG = "west_east", "west_east_stag"
TIME = "Time"


def recognise(ds: xr.Dataset) -> bool:
    """WRF's own variables (base-state pressure and geopotential), dimensions or title."""
    if "WRF" in str(ds.attrs.get("TITLE", "")).upper():
        return True
    if "PB" in ds.variables and "PHB" in ds.variables:
        return True
    return LEVEL in ds.dims and X in ds.dims and "T" in ds.variables


def read(ds: xr.Dataset, variables: Mapping[str, str], level_dim: str | None) -> ModelFields:
    """The fields of WRF output, from WRF's own variables."""
    if variables:
        raise CommandError(
            "--var: WRF output is read by WRF's own variable names (T, P, PB, PH, PHB, "
            "QVAPOR, U, V, HGT); --var is for CF files"
        )
    if level_dim is not None and level_dim != LEVEL:
        raise CommandError(f"--level-dim {level_dim}: WRF's mass levels are {LEVEL!r}")
    missing = [n for n in ("T", "P", "PB") if n not in ds.variables]
    if missing:
        raise CommandError(
            f"WRF output without {', '.join(missing)}: the temperature and pressure "
            f"need T, P and PB"
        )
    anchor = ds["T"]
    dims = tuple(str(d) for d in anchor.dims)
    if LEVEL not in dims or Y not in dims or X not in dims:
        raise CommandError(f"WRF variable T has dimensions {dims}: expected {LEVEL}, {Y}, {X}")
    columns = tuple(d for d in dims if d != LEVEL)
    fields = ModelFields(FAMILY, dims, LEVEL, Y, X, time_dim=TIME if TIME in dims else None)
    coords = _coordinates(ds, columns)

    def field(da: xr.DataArray, units_: str, long_name: str) -> xr.DataArray:
        out = da.transpose(*[d for d in dims if d in da.dims]).assign_coords(coords)
        out.attrs = {"units": units_, "long_name": long_name}
        return out

    pressure = _float(ds["P"]) + _float(ds["PB"])
    theta = _float(ds["T"]) + THETA_OFFSET
    fields.pressure = field(pressure, "Pa", "air pressure")
    fields.temperature = field(
        temperature_from_theta(theta, pressure, WRF_KAPPA), "K", "air temperature"
    )
    fields.theta = field(theta, "K", "potential temperature")
    fields.theta_source = "WRF's T + 300 K"
    fields.theta_constants = (
        "WRF's R_d/c_p = 2/7 (R_d = 287 J kg-1 K-1, c_p = 7 R_d / 2) and p0 = 100000 Pa"
    )
    if "QVAPOR" in ds.variables:
        e = vapour_pressure_from_mixing_ratio(_float(ds["QVAPOR"]), pressure)
        fields.dewpoint = field(dewpoint_from_vapour_pressure(e), "K", "dew point")
    else:
        fields.notes.append("WRF output without QVAPOR: no humidity, no thermodynamic fields")

    if "PH" in ds.variables and "PHB" in ds.variables:
        geopotential = _float(ds["PH"]) + _float(ds["PHB"])
        z_w = geopotential / WRF_GRAVITY
        fields.height = field(_destagger(z_w, LEVEL_STAG, LEVEL), "m", "height above sea level")
        if "HGT" in ds.variables:
            fields.ground = field(_float(ds["HGT"]), "m", "surface altitude")
        else:
            # The lowest w level is the ground.
            fields.ground = field(
                z_w.isel({LEVEL_STAG: 0}, drop=True), "m", "surface altitude (lowest w level)"
            )
    else:
        fields.notes.append("WRF output without PH and PHB: no heights")

    rotation = _rotation(ds, fields)
    if "U" in ds.variables and "V" in ds.variables:
        u = _destagger(_float(ds["U"]), X_STAG, X)
        v = _destagger(_float(ds["V"]), Y_STAG, Y)
        u, v = _earth_relative(u, v, rotation)
        fields.u = field(u, "m s-1", "eastward wind")
        fields.v = field(v, "m s-1", "northward wind")
    if "U10" in ds.variables and "V10" in ds.variables:
        u10, v10 = _earth_relative(_float(ds["U10"]), _float(ds["V10"]), rotation)
        fields.u10 = field(u10, "m s-1", "10-m eastward wind")
        fields.v10 = field(v10, "m s-1", "10-m northward wind")

    _grid(ds, fields)
    fields.input_dtype = input_dtype(*(ds[n] for n in ("T", "P", "PB") if n in ds.variables))
    return fields


def _float(da: xr.DataArray) -> xr.DataArray:
    """The values alone, in double precision (WRF writes float32; the sums of
    base state and perturbation must not round to single precision)."""
    bare = da.drop_vars(list(da.coords))
    bare.attrs = {}
    return bare.astype(np.float64) if bare.dtype != np.float64 else bare


def _destagger(da: xr.DataArray, staggered: str, centred: str) -> xr.DataArray:
    """The mean of the two faces around each mass point, on the mass dimension."""
    if staggered not in da.dims:
        raise CommandError(f"WRF variable {da.name!r} is not on {staggered!r} as WRF writes it")
    lower = da.isel({staggered: slice(None, -1)}).variable
    upper = da.isel({staggered: slice(1, None)}).variable
    mean = (lower + upper) * 0.5
    import xarray as xr

    return xr.DataArray(mean).rename({staggered: centred})


def _rotation(ds: xr.Dataset, fields: ModelFields) -> tuple[xr.DataArray, xr.DataArray] | None:
    if "SINALPHA" in ds.variables and "COSALPHA" in ds.variables:
        return _float(ds["SINALPHA"]), _float(ds["COSALPHA"])
    projection = ds.attrs.get("MAP_PROJ")
    # Mercator (3) and regular latitude-longitude (6) grids are aligned with the
    # meridians already; Lambert (1) and polar stereographic (2) are not.
    if projection in (1, 2):
        fields.notes.append(
            "WRF output without SINALPHA/COSALPHA on a rotated projection: u and v are "
            "relative to the grid, not to the earth (helicity does not depend on it)"
        )
    return None


def _earth_relative(
    u: xr.DataArray, v: xr.DataArray, rotation: tuple[xr.DataArray, xr.DataArray] | None
) -> tuple[xr.DataArray, xr.DataArray]:
    """Grid-relative to earth-relative components."""
    if rotation is None:
        return u, v
    sin_alpha, cos_alpha = rotation
    east = u * cos_alpha - v * sin_alpha
    north = v * cos_alpha + u * sin_alpha
    return east, north


def _coordinates(ds: xr.Dataset, columns: tuple[str, ...]) -> dict[str, Any]:
    """The Time dimension's dates, and 2-D latitude and longitude for pictures."""
    import xarray as xr

    coords: dict[str, Any] = {}
    times = _times(ds)
    if times is not None:
        coords[TIME] = xr.Variable((TIME,), times, {"standard_name": "time"})
    for name, out, standard, unit in (
        ("XLAT", "latitude", "latitude", "degrees_north"),
        ("XLONG", "longitude", "longitude", "degrees_east"),
    ):
        if name in ds.variables:
            da = ds[name].reset_coords(drop=True)
            da = da.drop_vars(list(da.coords), errors="ignore")
            wanted = [d for d in columns if d in da.dims]
            coords[out] = xr.Variable(
                tuple(wanted),
                da.transpose(*wanted).data,
                {"standard_name": standard, "units": unit},
            )
    return coords


def _times(ds: xr.Dataset) -> np.ndarray | None:
    """WRF's dates: ``Times`` as written ("2016-03-02_15:00:00"), else a decoded ``XTIME``."""
    if "Times" in ds.variables and ds["Times"].dims[:1] == (TIME,):
        raw = np.asarray(ds["Times"].values)
        if raw.dtype.kind == "S" and raw.ndim == 2:  # characters not joined by the reader
            raw = np.array([b"".join(row) for row in raw])
        try:
            text = [
                (s.decode() if isinstance(s, bytes) else str(s)).strip().replace("_", "T")
                for s in raw.reshape(-1)
            ]
            return np.array(text, dtype="datetime64[ns]")
        except ValueError:
            pass
    if "XTIME" in ds.variables and np.issubdtype(ds["XTIME"].dtype, np.datetime64):
        return np.asarray(ds["XTIME"].values)
    return None


def _grid(ds: xr.Dataset, fields: ModelFields) -> None:
    """Distances on the projection plane from DX and DY, and the map factor."""
    dx, dy = ds.attrs.get("DX"), ds.attrs.get("DY")
    if dx is None or dy is None:
        fields.grid_note = "no gradients: WRF output without the DX and DY global attributes"
        return
    nx, ny = ds.sizes[X], ds.sizes[Y]
    fields.x = np.arange(nx, dtype=np.float64) * float(dx)
    fields.y = np.arange(ny, dtype=np.float64) * float(dy)
    if "MAPFAC_M" in ds.variables and ds.attrs.get("MAP_PROJ") != 6:
        mapfac = _float(ds["MAPFAC_M"])
        mapfac.attrs = {"units": "1", "long_name": "map scale factor on mass grid"}
        fields.map_factor = mapfac
