"""What every family's reader shares: humidity to dew point, levels turned bottom-up,
levels below the ground masked, the grid, and a reader by roles for CF-like files.

The CF, ECMWF and NCEP readers are this reader with their own conventions on
top; the WRF reader builds its fields itself and uses the helpers.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, cast

import numpy as np

from tarnwell import units

from ..errors import CommandError
from ..roles import find_variables, find_vertical_dim, horizontal_dim, in_unit, unit_conversion
from .fields import ModelFields

if TYPE_CHECKING:
    import xarray as xr

GRAVITY = 9.80665  # m s-2, standard gravity: geopotential to geopotential height
EPSILON = 0.6219569156569429  # Rd/Rv, as in the thermo kernel
KAPPA = 0.28542059262205427  # Rd/cp of the thermo kernel's potential temperature
REFERENCE_PRESSURE = 100000.0  # Pa, of potential temperature
# Relative humidity labelled "1" that reaches this is in percent, not a fraction:
# supersaturation in model output stays within a few per cent of 1.
RELATIVE_HUMIDITY_LIMIT = 1.5
TIME_NAMES = ("time", "Time", "valid_time", "t")


def clean(da: xr.DataArray, units_: str, long_name: str) -> xr.DataArray:
    """``da`` with only the attributes that stay true of it (no inherited standard
    name, GRIB keys or encoding)."""
    out = da.copy(deep=False)
    out.attrs = {"units": units_, "long_name": long_name}
    out.encoding = {}
    return out


def dewpoint_from_vapour_pressure(e: xr.DataArray) -> xr.DataArray:
    """Inverse of Bolton's saturation vapour pressure over water:
    Td = 243.5 ln(e/611.2) / (17.67 − ln(e/611.2)) + 273.15 (K, e in Pa)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        ln = np.log(e / 611.2)
        return clean(cast("xr.DataArray", 243.5 * ln / (17.67 - ln) + 273.15), "K", "dew point")


def vapour_pressure_from_specific_humidity(q: xr.DataArray, p: xr.DataArray) -> xr.DataArray:
    """e = q p / (ε + (1 − ε) q)."""
    return q * p / (EPSILON + (1.0 - EPSILON) * q)


def vapour_pressure_from_mixing_ratio(w: xr.DataArray, p: xr.DataArray) -> xr.DataArray:
    """e = w p / (ε + w), so that the thermo kernel's w = ε e / (p − e) gives w back."""
    return w * p / (EPSILON + w)


def vapour_pressure_from_relative_humidity(rh: xr.DataArray, t: xr.DataArray) -> xr.DataArray:
    """e = RH · e_s(T), with Bolton's e_s over water."""
    tc = t - 273.15
    return rh * 611.2 * np.exp(17.67 * tc / (tc + 243.5))


def temperature_from_theta(
    theta: xr.DataArray, p: xr.DataArray, kappa: float = KAPPA
) -> xr.DataArray:
    """Poisson's equation turned round: T = θ (p / 100000 Pa)^κ."""
    t = theta * (p / REFERENCE_PRESSURE) ** kappa
    return clean(t, "K", "air temperature")


def relative_humidity(da: xr.DataArray) -> xr.DataArray:
    """Relative humidity as a fraction; refused when labelled a fraction but in percent."""
    rh = in_unit(da, "relative_humidity")
    if str(da.attrs.get("units", "")).strip() not in ("%", "percent"):
        # One field of the first time step tells the percent files apart
        # without reading a lazy file twice.
        first = {d: 0 for d in rh.dims[:-3]}
        largest = float(rh.isel(first).max(skipna=True))
        if largest > RELATIVE_HUMIDITY_LIMIT:
            raise CommandError(
                f"variable {da.name!r} (relative humidity) is labelled "
                f"{da.attrs.get('units')!r} but reaches {largest:g}: if it is in percent, "
                f"label it units='%' (for example: ncatted -a units,{da.name},o,c,% FILE)"
            )
    return rh


def column_dims(dims: tuple[str, ...], level_dim: str) -> tuple[str, ...]:
    return tuple(d for d in dims if d != level_dim)


def flip_if_top_down(
    found: dict[str, xr.DataArray], level_dim: str
) -> tuple[dict[str, xr.DataArray], bool]:
    """Levels ordered bottom-up (the column kernels read heights in index order).

    Decided by the heights where there are any, else by the pressure; every
    field along the level dimension is turned round with its coordinate, so
    fields stay aligned with one another.
    """
    top_down = False
    for role, rising in (("height", True), ("geopotential", True), ("pressure", False)):
        da = found.get(role)
        if da is None or level_dim not in da.dims or da.sizes[level_dim] < 2:
            continue
        first = float(da.isel({level_dim: 0}).mean())
        last = float(da.isel({level_dim: -1}).mean())
        if np.isfinite(first) and np.isfinite(last) and first != last:
            top_down = (first > last) if rising else (first < last)
            break
    if not top_down:
        return found, False
    flip = slice(None, None, -1)
    return {
        role: da.isel({level_dim: flip}) if level_dim in da.dims else da
        for role, da in found.items()
    }, True


def time_dim(da: xr.DataArray) -> str | None:
    """The dimension of ``da`` that holds time: a datetime coordinate, else a usual name."""
    for dim in da.dims:
        if dim in da.coords and np.issubdtype(da[dim].dtype, np.datetime64):
            return str(dim)
    for dim in da.dims:
        if dim in TIME_NAMES:
            return str(dim)
    return None


def grid(
    ds: xr.Dataset, x_dim: str, y_dim: str
) -> tuple[np.ndarray | None, np.ndarray | None, bool, str | None]:
    """(x, y, geographic, note): projected coordinates in metres, or longitudes and
    latitudes in degrees, or why there are no gradients."""
    x_deg, y_deg = _in_degrees(ds, x_dim, "east"), _in_degrees(ds, y_dim, "north")
    if x_deg and y_deg:
        x = np.asarray(ds[x_dim].values, dtype=np.float64)
        y = np.asarray(ds[y_dim].values, dtype=np.float64)
        return x, y, True, None
    try:
        return _coordinate_in_metres(ds, x_dim), _coordinate_in_metres(ds, y_dim), False, None
    except CommandError as err:
        return None, None, False, f"no gradients: {err}"


def _in_degrees(ds: xr.Dataset, dim: str, direction: str) -> bool:
    if dim not in ds.coords or ds[dim].ndim != 1:
        return False
    attrs = ds[dim].attrs
    standard = {"east": "longitude", "north": "latitude"}[direction]
    text = str(attrs.get("units", ""))
    return attrs.get("standard_name") == standard or text in (
        f"degrees_{direction}",
        f"degree_{direction}",
        f"degrees_{direction[0].upper()}",
    )


def _coordinate_in_metres(ds: xr.Dataset, dim: str) -> np.ndarray:
    if dim not in ds.coords:
        raise CommandError(f"dimension {dim!r} has no coordinate values: the gradient needs them")
    coord = ds[dim]
    text = coord.attrs.get("units")
    if text is None:
        raise CommandError(f"coordinate {dim!r} has no units attribute (expected m or km)")
    try:
        angle = unit_conversion(dim, text, "radian") != (1.0, 0.0)
    except ValueError:
        angle = False
    if angle or "degree" in str(text):
        raise CommandError(
            f"coordinate {dim!r} is in {text} and the other horizontal axis is not: "
            f"the gradient needs a projected grid in metres or a longitude-latitude grid"
        )
    try:
        scale, offset = unit_conversion(dim, text, "m")
    except ValueError as err:
        raise CommandError(str(err)) from None
    return np.asarray(units.apply_linear(coord.values.astype(np.float64), scale, offset))


def input_dtype(*fields: xr.DataArray | None) -> np.dtype[np.floating] | None:
    """The widest floating type of the fields as the file gives them (float32 files,
    and 16-bit integers packed with a float32 scale factor, give float32)."""
    floats = [np.dtype(f.dtype) for f in fields if f is not None and f.dtype.kind == "f"]
    return np.result_type(*floats) if floats else None


def read_by_roles(
    ds: xr.Dataset, variables: Mapping[str, str], level_dim: str | None, family: str
) -> ModelFields:
    """The fields of a CF-like file, each found by its role."""
    found = find_variables(ds, variables)
    anchor = found.get("temperature", found.get("theta", found.get("u")))
    if anchor is None:
        raise CommandError(
            "found neither air temperature nor wind: name them with --var temperature=NAME "
            "or --var u=NAME --var v=NAME"
        )
    level = find_vertical_dim(ds, anchor, level_dim)
    found = find_variables(ds, variables, level)
    # The fields' own storage; a coordinate (the pressure levels) is not a field.
    stored = input_dtype(*(da for da in found.values() if da.name not in da.dims))
    found, flipped = flip_if_top_down(found, level)
    anchor = found.get("temperature", found.get("theta", found.get("u")))
    assert anchor is not None
    x_dim = horizontal_dim(ds, anchor, "x", (level,))
    y_dim = horizontal_dim(ds, anchor, "y", (level, x_dim))
    dims = tuple(str(d) for d in anchor.dims)
    columns = column_dims(dims, level)
    fields = ModelFields(family, dims, level, y_dim, x_dim, time_dim=time_dim(anchor))
    fields.input_dtype = stored
    if flipped:
        fields.notes.append(f"levels stored top-down along {level!r}: turned round")

    def full(da: xr.DataArray) -> xr.DataArray:
        return da.broadcast_like(anchor).transpose(*dims)

    def per_column(da: xr.DataArray) -> xr.DataArray:
        return da.broadcast_like(anchor.isel({level: 0}, drop=True)).transpose(*columns)

    pressure = full(in_unit(found["pressure"], "pressure")) if "pressure" in found else None
    on_pressure_levels = "pressure" in found and found["pressure"].dims == (level,)

    height, above_ground = _height(found)
    if height is None:
        height = _hybrid_height(ds, level, found, flipped)
        if height is not None:
            fields.notes.append("level heights from the hybrid height coordinate")
    if height is not None:
        height = full(height)

    temperature = theta = None
    if "temperature" in found:
        temperature = in_unit(found["temperature"], "temperature")
    elif "theta" in found and pressure is not None:
        theta = full(in_unit(found["theta"], "theta"))
        temperature = temperature_from_theta(theta, pressure)
        fields.notes.append("air temperature from potential temperature and pressure")
        fields.theta_source = f"the file's {found['theta'].name}"
        fields.theta_constants = f"R_d/c_pd = {KAPPA!r} and p0 = {REFERENCE_PRESSURE:g} Pa"

    surface_altitude = None
    if "surface_altitude" in found:
        surface_altitude = per_column(in_unit(found["surface_altitude"], "surface_altitude"))
    elif "surface_geopotential" in found:
        phis = in_unit(found["surface_geopotential"], "surface_geopotential")
        surface_altitude = per_column(phis / GRAVITY)
    surface_pressure = None
    if "surface_pressure" in found:
        surface_pressure = per_column(in_unit(found["surface_pressure"], "surface_pressure"))

    u = v = None
    if "u" in found and "v" in found:
        u = full(in_unit(found["u"], "u"))
        v = full(in_unit(found["v"], "v"))
    if "u10" in found and "v10" in found:
        fields.u10 = clean(per_column(in_unit(found["u10"], "u10")), "m s-1", "10-m eastward wind")
        fields.v10 = clean(per_column(in_unit(found["v10"], "v10")), "m s-1", "10-m northward wind")

    dewpoint = None
    if temperature is not None and pressure is not None:
        temperature = full(temperature)
        dewpoint = _dewpoint(found, temperature, pressure)
        if dewpoint is not None:
            dewpoint = full(dewpoint)

    # The model's heights of the pressure levels under the ground, before they are
    # masked, place the ground between the levels around the surface pressure.
    unmasked, pressure_levels = height, pressure
    if on_pressure_levels:
        below = _below_ground(pressure, surface_pressure, height, surface_altitude)
        if below is not None:
            above = ~below
            pressure = None if pressure is None else pressure.where(above)
            temperature = None if temperature is None else temperature.where(above)
            theta = None if theta is None else theta.where(above)
            dewpoint = None if dewpoint is None else dewpoint.where(above)
            height = None if height is None else height.where(above)
            u = None if u is None else u.where(above)
            v = None if v is None else v.where(above)
        else:
            fields.notes.append(
                "pressure levels without surface pressure or surface altitude: levels below "
                "the ground cannot be told apart, and each column starts at its lowest level"
            )

    if height is not None:
        fields.height = clean(
            height,
            "m",
            "height above ground" if above_ground else "height above mean sea level",
        )
        if above_ground:
            fields.ground = per_column(xr_zeros_like(height.isel({level: 0}, drop=True)))
        elif surface_altitude is not None:
            fields.ground = clean(surface_altitude, "m", "surface altitude")
        elif on_pressure_levels and surface_pressure is not None and unmasked is not None:
            assert pressure_levels is not None
            fields.ground = clean(
                _height_at_pressure(unmasked, pressure_levels, surface_pressure, level),
                "m",
                "surface altitude (height at the surface pressure)",
            )
        else:
            fields.ground = clean(height.min(level, skipna=True), "m", "lowest level height")
    fields.temperature, fields.pressure, fields.dewpoint = temperature, pressure, dewpoint
    fields.theta = None if theta is None else clean(theta, "K", "potential temperature")
    fields.u, fields.v = u, v

    fields.x, fields.y, fields.geographic, fields.grid_note = grid(ds, x_dim, y_dim)
    return fields


def xr_zeros_like(da: xr.DataArray) -> xr.DataArray:
    """Zeros where ``da`` has values or not (the ground of heights above ground)."""
    return clean((da * 0.0).fillna(0.0), "m", "ground")


def _height(found: dict[str, xr.DataArray]) -> tuple[xr.DataArray | None, bool]:
    """Level heights (m), and whether they are above the ground (CF ``height``)."""
    if "height" in found:
        above_ground = found["height"].attrs.get("standard_name") == "height"
        return in_unit(found["height"], "height"), above_ground
    if "geopotential" in found:
        phi = in_unit(found["geopotential"], "geopotential")
        return phi / GRAVITY, False
    return None, False


def _hybrid_height(
    ds: xr.Dataset, level_dim: str, found: dict[str, xr.DataArray], flipped: bool
) -> xr.DataArray | None:
    """Heights of a hybrid height coordinate (the Met Office Unified Model's levels):
    z = a + b orog, by the CF ``formula_terms`` of its coordinate."""
    for name in ds.variables:
        coord = ds[name]
        attrs = coord.attrs
        if coord.dims != (level_dim,) or (
            attrs.get("standard_name") != "atmosphere_hybrid_height_coordinate"
        ):
            continue
        words = str(attrs.get("formula_terms", "")).split()
        terms = dict(zip((w.rstrip(":") for w in words[::2]), words[1::2], strict=False))
        if not {"a", "b", "orog"} <= set(terms) or not all(
            terms[t] in ds.variables for t in ("a", "b", "orog")
        ):
            continue
        a = in_unit(ds[terms["a"]], "height")
        b = ds[terms["b"]].astype(np.float64)
        orog = in_unit(ds[terms["orog"]], "surface_altitude")
        if level_dim in orog.dims:
            return None
        found.setdefault("surface_altitude", ds[terms["orog"]])
        height = a + b * orog
        return height.isel({level_dim: slice(None, None, -1)}) if flipped else height
    return None


def _dewpoint(
    found: dict[str, xr.DataArray], t: xr.DataArray, p: xr.DataArray
) -> xr.DataArray | None:
    """Dew point (K): given, or from specific humidity, mixing ratio or relative humidity."""
    if "dewpoint" in found:
        return in_unit(found["dewpoint"], "dewpoint")
    if "specific_humidity" in found:
        q = in_unit(found["specific_humidity"], "specific_humidity")
        return dewpoint_from_vapour_pressure(vapour_pressure_from_specific_humidity(q, p))
    if "mixing_ratio" in found:
        w = in_unit(found["mixing_ratio"], "mixing_ratio")
        return dewpoint_from_vapour_pressure(vapour_pressure_from_mixing_ratio(w, p))
    if "relative_humidity" in found:
        rh = relative_humidity(found["relative_humidity"])
        return dewpoint_from_vapour_pressure(vapour_pressure_from_relative_humidity(rh, t))
    return None


def _below_ground(
    pressure: xr.DataArray | None,
    surface_pressure: xr.DataArray | None,
    height: xr.DataArray | None,
    surface_altitude: xr.DataArray | None,
) -> xr.DataArray | None:
    """Where a pressure level lies under the ground: at a higher pressure than the
    surface, or lower than the surface altitude. Models extrapolate their fields
    there; they are not air."""
    below = None
    if pressure is not None and surface_pressure is not None:
        below = pressure > surface_pressure
    if height is not None and surface_altitude is not None:
        under = height < surface_altitude
        below = under if below is None else below | under
    return below


def _height_at_pressure(
    height: xr.DataArray, pressure: xr.DataArray, target: xr.DataArray, level_dim: str
) -> xr.DataArray:
    """The height at pressure ``target`` in each column, linear in ln p between the
    two levels around it (hydrostatic balance at a constant temperature between
    them), extrapolated from the two lowest levels below the lowest one."""
    import xarray as xr

    return cast(
        "xr.DataArray",
        xr.apply_ufunc(
            _height_at_pressure_columns,
            height,
            pressure,
            target,
            input_core_dims=[[level_dim], [level_dim], []],
            dask="parallelized",
            output_dtypes=[np.float64],
        ),
    )


def _height_at_pressure_columns(z: np.ndarray, p: np.ndarray, target: np.ndarray) -> np.ndarray:
    z, p = np.broadcast_arrays(z, p)
    if p.shape[-1] < 2:
        return np.full(np.broadcast_shapes(z.shape[:-1], np.shape(target)), np.nan)
    target = np.asarray(target)[..., None]
    above = p <= target  # levels bottom-up: pressure falls with the index
    upper = np.clip(np.argmax(above, axis=-1), 1, p.shape[-1] - 1)[..., None]
    lower = upper - 1

    def at(a: np.ndarray, k: np.ndarray) -> np.ndarray:
        return np.take_along_axis(a, np.broadcast_to(k, (*a.shape[:-1], 1)), axis=-1)

    ln_lower, ln_upper = np.log(at(p, lower)), np.log(at(p, upper))
    z_lower, z_upper = at(z, lower), at(z, upper)
    with np.errstate(divide="ignore", invalid="ignore"):
        zs = z_lower + (z_upper - z_lower) * (ln_lower - np.log(target)) / (ln_lower - ln_upper)
    result: np.ndarray = np.where(above.any(axis=-1, keepdims=True), zs, np.nan)[..., 0]
    return result
