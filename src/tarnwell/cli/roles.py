"""Finding a model file's physical inputs: each role's variable, its unit, and the grid's axes.

A role (temperature, pressure, wind, ...) is found by name on the command
line, else by CF ``standard_name``, else by a name common in model output;
its values are converted from the file's ``units`` to the unit the kernels
need.
"""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, cast

import numpy as np

from tarnwell import units

from .errors import CommandError

if TYPE_CHECKING:
    import xarray as xr


@dataclass(frozen=True)
class Role:
    """A physical input: how to find it in a file and the unit the diagnostics need."""

    standard_names: tuple[str, ...]
    names: tuple[str, ...]
    unit: str
    description: str


ROLES: dict[str, Role] = {
    "temperature": Role(
        ("air_temperature",), ("T", "t", "ta", "temp", "TMP", "tk"), "K", "air temperature"
    ),
    "theta": Role(
        ("air_potential_temperature",),
        ("theta", "THETA", "th", "pt"),
        "K",
        "potential temperature",
    ),
    "pressure": Role(
        ("air_pressure",),
        (
            "P",
            "p",
            "pres",
            "pressure",
            "PRES",
            "isobaricInhPa",
            "isobaricInPa",
            "pressure_level",
            "plev",
            "level",
        ),
        "Pa",
        "air pressure",
    ),
    "dewpoint": Role(
        ("dew_point_temperature",), ("TD", "td", "dewpoint", "dpt", "DPT"), "K", "dew point"
    ),
    "specific_humidity": Role(
        ("specific_humidity",), ("Q", "q", "hus", "SPFH"), "kg kg-1", "specific humidity"
    ),
    "mixing_ratio": Role(
        ("humidity_mixing_ratio",),
        ("QVAPOR", "mixing_ratio", "mixr"),
        "kg kg-1",
        "water vapour mixing ratio",
    ),
    "relative_humidity": Role(
        ("relative_humidity",), ("RH", "rh", "hur", "r", "RELHUM"), "1", "relative humidity"
    ),
    "height": Role(
        ("geopotential_height", "height", "altitude", "height_above_mean_sea_level"),
        ("Z", "z", "zg", "gh", "HGT", "height"),
        "m",
        "height",
    ),
    "geopotential": Role(
        ("geopotential",), ("PHI", "phi", "geopotential", "z"), "m2 s-2", "geopotential"
    ),
    "u": Role(("eastward_wind", "x_wind"), ("U", "u", "ua", "UGRD"), "m s-1", "eastward wind"),
    "v": Role(("northward_wind", "y_wind"), ("V", "v", "va", "VGRD"), "m s-1", "northward wind"),
    # Per-column roles: horizontal fields without the level dimension.
    "surface_altitude": Role(
        ("surface_altitude",),
        ("orog", "HGT_SFC", "zs", "terrain", "orography"),
        "m",
        "surface altitude",
    ),
    "surface_geopotential": Role(
        ("surface_geopotential", "geopotential"),
        ("z_surface", "zsfc", "phis", "PHIS"),
        "m2 s-2",
        "surface geopotential",
    ),
    "surface_pressure": Role(
        ("surface_air_pressure",),
        ("sp", "ps", "PSFC", "PRES_SFC", "pres_sfc"),
        "Pa",
        "surface air pressure",
    ),
    "u10": Role(
        ("eastward_wind", "x_wind"),
        ("u10", "U10", "10u", "uas", "UGRD_10maboveground"),
        "m s-1",
        "eastward wind 10 m above ground",
    ),
    "v10": Role(
        ("northward_wind", "y_wind"),
        ("v10", "V10", "10v", "vas", "VGRD_10maboveground"),
        "m s-1",
        "northward wind 10 m above ground",
    ),
}

#: Roles of horizontal fields, one value per column: never the level dimension.
COLUMN_ROLES = frozenset(
    ("surface_altitude", "surface_geopotential", "surface_pressure", "u10", "v10")
)
#: Standard names that name a per-column field only through its lacking levels
#: (cfgrib labels orography "geopotential_height", and a 10-m wind "eastward_wind").
_SURFACE_ONLY_BY_NAME = frozenset(("u10", "v10"))

VERTICAL_NAMES = (
    "level",
    "pressure_level",
    "isobaricInPa",
    "generalVerticalLayer",
    "lev",
    "levels",
    "z",
    "height",
    "pressure",
    "plev",
    "isobaricInhPa",
    "model_level_number",
    "bottom_top",
    "hybrid",
    "nz",
    "altitude",
)
VERTICAL_STANDARD_NAMES = (
    "air_pressure",
    "height",
    "altitude",
    "model_level_number",
    "atmosphere_hybrid_sigma_pressure_coordinate",
    "atmosphere_hybrid_height_coordinate",
    "atmosphere_sigma_coordinate",
)
X_NAMES = ("x", "projection_x_coordinate", "west_east", "xc", "longitude", "lon")
Y_NAMES = ("y", "projection_y_coordinate", "south_north", "yc", "latitude", "lat")


def parse_var_mapping(items: list[str] | None) -> dict[str, str]:
    """``["temperature=T2", ...]`` as a role-to-variable mapping, roles checked."""
    mapping: dict[str, str] = {}
    for item in items or []:
        role, sep, name = item.partition("=")
        role = role.strip()
        if not sep or not name.strip():
            raise CommandError(f"--var: expected ROLE=VARIABLE, got {item!r}")
        if role not in ROLES:
            raise CommandError(f"--var: unknown role {role!r}; roles are {', '.join(ROLES)}")
        mapping[role] = name.strip()
    return mapping


def find_variables(
    ds: xr.Dataset, explicit: Mapping[str, str], level_dim: str | None = None
) -> dict[str, xr.DataArray]:
    """Each role's variable: named explicitly, else by CF standard name, else by a common name.

    With ``level_dim`` known, a field role takes only variables along it (a
    scalar ``height`` coordinate, the 10-m wind or the orography are never
    level fields) and a per-column role only variables without it; the 1-D
    coordinate of the level dimension itself may be the pressure or height.
    """
    found: dict[str, xr.DataArray] = {}
    for role, name in explicit.items():
        if name not in ds.variables:
            raise CommandError(f"--var {role}={name}: the file has no variable {name!r}")
        found[role] = ds[name]
    taken = {da.name for da in found.values()}
    for role, wanted in ROLES.items():
        if role in found:
            continue

        def fits(name: Hashable, role: str = role) -> bool:
            return name not in taken and _fits(ds[name], role, level_dim)

        by_standard = [
            n
            for n in ds.variables
            if ds[n].attrs.get("standard_name") in wanted.standard_names and fits(n)
        ]
        if role in _SURFACE_ONLY_BY_NAME:
            by_standard = [n for n in by_standard if _ten_metres(ds[n])]
        candidates = by_standard or [
            n for n in wanted.names if n in ds.variables and fits(n) and _plausible(ds[n], wanted)
        ]
        if candidates:
            # The fullest field first: a 4-D wind before a 3-D one of the same name.
            best = max(candidates, key=lambda n: ds[n].ndim)
            found[role] = ds[best]
            taken.add(best)
    return found


def _fits(da: xr.DataArray, role: str, level_dim: str | None) -> bool:
    if da.ndim == 0:
        return False
    if role in COLUMN_ROLES:
        return da.ndim >= 2 and (level_dim is None or level_dim not in da.dims)
    if da.ndim == 1:
        # Only the vertical coordinate itself: pressure or height levels.
        return da.dims[0] == da.name and (level_dim is None or da.dims[0] == level_dim)
    return level_dim is None or level_dim in da.dims


def _ten_metres(da: xr.DataArray) -> bool:
    """A wind with a scalar height coordinate of 10 m (as cfgrib and CMIP label it)."""
    for coord in da.coords.values():
        if coord.ndim == 0 and coord.attrs.get("standard_name") == "height":
            try:
                return bool(float(coord.values) == 10.0)
            except (TypeError, ValueError):
                return False
    return str(da.name) in ROLES["u10"].names + ROLES["v10"].names


# Real unit strings run to a few dozen characters ("kg m-2 s-1", "m2 s-2").
# pint's parser takes time quadratic in the length in regular expressions that
# hold the interpreter throughout (no signal is handled meanwhile): a 1 MB
# attribute would take hours, so anything longer than this is refused unread.
MAX_UNITS_LENGTH = 256


def unit_conversion(name: Hashable, text: object, target: str) -> tuple[float, float]:
    """Scale and offset from the units ``text`` of variable ``name`` to ``target``.

    ValueError where they are no unit or do not convert; CommandError for a
    string too long to be a unit, which no caller should pass over quietly.
    """
    text = str(text)
    if len(text) > MAX_UNITS_LENGTH:
        raise CommandError(
            f"variable {str(name)!r} has a units attribute of {len(text):,} characters; "
            f"no unit is longer than {MAX_UNITS_LENGTH} (the file is damaged or was not "
            "written by a model or a radar)"
        )
    try:
        return units.conversion("diagnose", str(name), text, target)
    except ValueError:
        raise
    except Exception:
        # Text that is no unit at all (a Python expression, unbalanced brackets)
        # fails deep in pint's parser as an AssertionError, TokenError or SyntaxError.
        raise ValueError(
            f"tarnwell.diagnose: {name} has units {text!r}, which pint cannot read"
        ) from None


def _plausible(da: xr.DataArray, wanted: Role) -> bool:
    text = da.attrs.get("units")
    if text is None:
        return False
    try:
        unit_conversion(da.name, text, wanted.unit)
    except ValueError:
        return False
    return True


def in_unit(da: xr.DataArray, role: str) -> xr.DataArray:
    """``da`` converted from its ``units`` attribute to the role's unit, with that attribute."""
    wanted = ROLES[role]
    text = da.attrs.get("units")
    if text is None:
        raise CommandError(
            f"variable {da.name!r} ({wanted.description}) has no units attribute; "
            f"the diagnostics need to know its units ({wanted.unit} or convertible)"
        )
    try:
        scale, offset = unit_conversion(da.name, text, wanted.unit)
    except ValueError as err:
        raise CommandError(f"variable {da.name!r} ({wanted.description}): {err}") from None
    if da.dtype != np.float64:
        # Files often hold float32; the arithmetic before the kernels (humidity to
        # dew point, buoyancy) must not run in single precision.
        da = da.astype(np.float64)
    converted = units.apply_linear(da, scale, offset)
    if converted is not da:
        converted = converted.copy(deep=False)
        converted.attrs = {**da.attrs, "units": wanted.unit}
    return cast("xr.DataArray", converted)


def find_vertical_dim(ds: xr.Dataset, field: xr.DataArray, requested: str | None) -> str:
    """The vertical dimension of ``field``: requested, CF-marked, or a usual name."""
    if requested is not None:
        if requested not in field.dims:
            raise CommandError(
                f"--level-dim {requested}: not a dimension of {field.name!r} {tuple(field.dims)}"
            )
        return requested
    for dim in field.dims:
        if dim in ds.coords:
            attrs = ds[dim].attrs
            if (
                attrs.get("axis") == "Z"
                or "positive" in attrs
                or attrs.get("standard_name") in VERTICAL_STANDARD_NAMES
            ):
                return str(dim)
    for dim in field.dims:
        if dim in VERTICAL_NAMES:
            return str(dim)
    raise CommandError(
        f"no vertical dimension in {field.name!r} {tuple(field.dims)}: the column "
        f"diagnostics need one (name it with --level-dim)"
    )


def horizontal_dim(ds: xr.Dataset, field: xr.DataArray, axis: str, skip: tuple[str, ...]) -> str:
    """The grid's ``axis`` ("x" or "y") dimension: projected, geographic, CF axis, or by name."""
    standards = {
        "x": ("projection_x_coordinate", "longitude", "grid_longitude"),
        "y": ("projection_y_coordinate", "latitude", "grid_latitude"),
    }[axis]
    names = X_NAMES if axis == "x" else Y_NAMES
    dims = [str(d) for d in field.dims if d not in skip]
    for standard in standards:
        for dim in dims:
            if dim in ds.coords and ds[dim].attrs.get("standard_name") == standard:
                return dim
    for dim in dims:
        if dim in ds.coords and ds[dim].attrs.get("axis") == axis.upper():
            return dim
    for dim in dims:
        if dim in names:
            return dim
    if len(dims) >= 2:  # (..., y, x) is the usual order
        return dims[-1] if axis == "x" else dims[-2]
    raise CommandError(
        f"no horizontal {axis} dimension in {field.name!r} {tuple(field.dims)} "
        f"(a coordinate with standard_name {standards[0]!r})"
    )
