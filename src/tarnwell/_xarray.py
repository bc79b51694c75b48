"""xarray DataArrays: dimensions by name, CF units and attributes, dask-backed data kept lazy."""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from typing import Any

import numpy as np

from . import _dask, _sphere, units
from ._declarations import Diagnostic, Output
from ._threads import resolve_threads

# Dimension names taken as vertical when no coordinate says so (compared lower-case).
VERTICAL_NAMES = (
    "level", "levels", "lev", "z", "height", "altitude", "pressure", "plev", "isobaric",
    "model_level", "model_level_number", "bottom_top", "nz",
)  # fmt: skip
GATE_NAMES = ("azimuth", "az", "gate", "gates")
X_NAMES = ("x", "projection_x_coordinate", "west_east", "lon", "longitude")
Y_NAMES = ("y", "projection_y_coordinate", "south_north", "lat", "latitude")


def _attrs_of(arrays: list[Any], dim: Hashable) -> list[Mapping[str, Any]]:
    return [a.coords[dim].attrs for a in arrays if dim in a.coords]


def _dims_of(arrays: list[Any]) -> list[Hashable]:
    dims: list[Hashable] = []
    for a in arrays:
        dims.extend(d for d in a.dims if d not in dims)
    return dims


def find_dim(
    func: str, role: str, arrays: Mapping[str, Any], axis_attr: str | None, names: tuple[str, ...]
) -> Hashable:
    """The dimension of `arrays` that plays `role`, from CF attributes or else from its name."""
    dims = _dims_of(list(arrays.values()))
    marked = []
    for d in dims:
        for attrs in _attrs_of(list(arrays.values()), d):
            axis = str(attrs.get("axis", "")).upper()
            if axis_attr is not None and (
                axis == axis_attr
                or (axis_attr == "Z" and str(attrs.get("positive", "")).lower() in ("up", "down"))
            ):
                marked.append(d)
                break
    found = marked or [d for d in dims if str(d).lower() in names]
    described = ", ".join(f"{k} {tuple(a.dims)}" for k, a in arrays.items())
    keyword = {"vertical": "dim", "gate": "dim", "x": "x_dim", "y": "y_dim"}[role]
    if len(found) == 1:
        return found[0]
    if not found:
        raise ValueError(
            f"tarnwell.{func}: cannot tell the {role} dimension of {described}; "
            f"name it with {keyword}=..."
        )
    raise ValueError(
        f"tarnwell.{func}: the {role} dimension of {described} is ambiguous "
        f"({', '.join(map(repr, found))}); name it with {keyword}=..."
    )


def _convert(decl: Diagnostic, name: str, value: Any, xr: Any) -> tuple[Any, Any]:
    """`value` in the declared unit of `name`, and the units it came with (None if none)."""
    func = decl.name
    target = decl.unit(name)
    if isinstance(value, xr.DataArray):
        source: Any = None
        data = value.data
        if units.is_quantity(data) or units.is_lazy_quantity(data):
            # A DataArray wrapping a pint Quantity, or dask blocks of Quantities.
            magnitude, source = units.strip_quantity(func, name, data, target)
            if magnitude.dtype.kind not in "biuf":
                raise TypeError(
                    f"tarnwell.{func}: {name} must hold real numbers, got dtype {magnitude.dtype}"
                )
            return value.copy(data=magnitude), source
        elif "units" in value.attrs:
            source = value.attrs["units"]
        if value.dtype.kind not in "biuf":
            raise TypeError(
                f"tarnwell.{func}: {name} must hold real numbers, got dtype {value.dtype}"
            )
        if source is None or target is None:
            return value, source
        scale, offset = units.conversion(func, name, source, target)
        return units.apply_linear(value, scale, offset), source
    if units.is_quantity(value) or units.is_lazy_quantity(value):
        plain, source = units.strip_quantity(func, name, value, target)
        if np.ndim(plain) > 0:
            # Without dimension names it would broadcast by position.
            raise TypeError(
                f"tarnwell.{func}: {name} is a Quantity array among DataArray inputs; "
                f"wrap it in a DataArray to name its dimensions"
            )
        return plain, source
    if np.ndim(value) > 0:
        raise TypeError(
            f"tarnwell.{func}: {name} is a plain array among DataArray inputs; "
            f"wrap it in a DataArray to name its dimensions"
        )
    return value, None


def _block(
    *arrays: Any,
    decl: Diagnostic,
    compute: Any,
    names: tuple[str, ...],
    lazy: bool,
    options: dict[str, Any],
    **scalars: Any,
) -> Any:
    """The fields of `decl` on the DataArrays' data, the consumed dimensions last."""
    call = dict(zip(names, arrays, strict=True)) | scalars
    options = dict(options)
    if decl.core == "grid":
        options["axes"] = (-2, -1)
    elif decl.core != "none":
        options["axis"] = -1
    if lazy:
        fields = _dask.run(decl, compute, call, options)
    elif options.pop("sphere", False):
        fields = _sphere.gradient(call["f"], call["x"], call["y"], **options)
    else:
        fields = compute(**call, **options)
    fields = tuple(fields)
    return fields if len(fields) > 1 else fields[0]


def run(
    decl: Diagnostic,
    compute: Any,
    values: Mapping[str, Any],
    options: Mapping[str, Any],
    xarray_options: Mapping[str, Any],
) -> Any:
    import xarray as xr

    func = decl.name
    if options.get("axis", -1) != -1 or tuple(options.get("axes", (-2, -1))) != (-2, -1):
        raise TypeError(
            f"tarnwell.{func}: DataArray inputs name their axes by dimension "
            f"({', '.join(xarray_options)}=), not by position"
        )
    n_threads = options.get("n_threads")
    if n_threads is not None:
        resolve_threads(n_threads)
    data_names = decl.role_names("element", "level", "grid")
    per_names = decl.role_names("column")

    converted: dict[str, Any] = {}
    source_units: dict[str, Any] = {}
    for name in data_names + per_names:
        converted[name], source_units[name] = _convert(decl, name, values[name], xr)
    plain_scalars: dict[str, Any] = {}
    for name in decl.role_names("scalar"):
        plain_scalars[name], _ = units.strip_quantity(func, name, values[name], decl.unit(name))
    # Values without units are taken as SI; those that cannot be are named.
    # Lazy values are not read: that would compute them.
    unitless = {
        name: value.values if isinstance(value, xr.DataArray) else value
        for name, value in converted.items()
        if source_units[name] is None and getattr(value, "chunks", None) is None
    }

    data = {n: converted[n] for n in data_names}
    for name, value in data.items():
        if not isinstance(value, xr.DataArray) and decl.core != "none":
            raise TypeError(f"tarnwell.{func}: {name} must be a DataArray like the other data")

    core: list[Hashable] = []
    if decl.core == "grid":
        f = data["f"]
        x_dim = xarray_options["x_dim"] or find_dim(func, "x", data, "X", X_NAMES)
        y_dim = xarray_options["y_dim"] or find_dim(func, "y", data, "Y", Y_NAMES)
        for d, opt in ((x_dim, "x_dim"), (y_dim, "y_dim")):
            if d not in f.dims:
                raise ValueError(f"tarnwell.gradient: {opt}={d!r} is not a dimension of f {f.dims}")
        if x_dim == y_dim:
            raise ValueError(f"tarnwell.gradient: x_dim and y_dim are both {x_dim!r}")
        x, x_degrees = _grid_coordinate(func, "x", values["x"], f, x_dim, xr)
        y, y_degrees = _grid_coordinate(func, "y", values["y"], f, y_dim, xr)
        plain_scalars["x"], plain_scalars["y"] = x, y
        core = [y_dim, x_dim]
        if _sphere.is_lat_lon_grid(x_degrees, y_degrees, y):
            options = {**options, "sphere": True}
    elif decl.core != "none":
        role = "gate" if decl.core == "gate" else "vertical"
        dim = xarray_options["dim"]
        if dim is None:
            if role == "gate":
                dim = find_dim(func, role, data, None, GATE_NAMES)
            else:
                dim = find_dim(func, role, data, "Z", VERTICAL_NAMES)
        for name, value in data.items():
            if dim not in value.dims:
                raise ValueError(
                    f"tarnwell.{func}: {name} with dimensions {value.dims} lacks the "
                    f"{role} dimension {dim!r}"
                )
        core = [dim]
    for name in per_names:
        value = converted[name]
        if isinstance(value, xr.DataArray) and any(d in value.dims for d in core):
            raise ValueError(
                f"tarnwell.{func}: {name} with dimensions {value.dims} varies along "
                f"{core[0]!r}; it takes one value per column"
            )

    lazy = any(getattr(v, "chunks", None) is not None for v in converted.values())
    # The results take the dimension order of the main data argument, other
    # arguments' extra dimensions after it: apply_ufunc orders the broadcast
    # dimensions by first appearance.
    data_names = (decl.main, *(n for n in data_names if n != decl.main))
    data_list = [data[n] for n in data_names]
    if core and lazy:
        # The kernel needs whole columns (or whole grids): merge chunks along them.
        data_list = [
            a.chunk({d: -1 for d in core}) if a.chunks is not None else a for a in data_list
        ]
    per_list = [converted[n] for n in per_names]
    passed = {k: v for k, v in options.items() if k not in ("axis", "axes")}
    try:
        out = xr.apply_ufunc(
            _block,
            *data_list,
            *per_list,
            input_core_dims=[core] * len(data_list) + [[]] * len(per_list),
            output_core_dims=[core if decl.core == "grid" else []] * len(decl.outputs),
            dask="allowed",
            kwargs={
                "decl": decl,
                "compute": compute,
                "names": data_names + per_names,
                "lazy": lazy,
                "options": passed,
                **plain_scalars,
            },
            keep_attrs=False,
        )
    except ValueError as err:
        if "tarnwell." in str(err):
            raise
        raise ValueError(f"tarnwell.{func}: {err}") from None
    if not isinstance(out, tuple):
        out = (out,)
    units.warn_implausible(decl, unitless, stacklevel=4)
    results = []
    for output, field in zip(decl.outputs, out, strict=True):
        if decl.core == "grid":
            field = field.transpose(*data["f"].dims)
        field.name = output.name
        field.attrs = _attributes(output, source_units.get("f"))
        results.append(field)
    return decl.build(results)


def _attributes(meta: Output, f_units: Any) -> dict[str, str]:
    attrs: dict[str, str] = {}
    if meta.unit is not None:
        attrs["units"] = meta.unit
    elif f_units is not None:
        text = f_units if isinstance(f_units, str) else f"{f_units:~}"
        attrs["units"] = f"{text} m-1" if text not in ("1", "") else "m-1"
    attrs["long_name"] = meta.long_name
    if meta.standard_name is not None:
        attrs["standard_name"] = meta.standard_name
    return attrs


LAT_NAMES = ("lat", "latitude", "nav_lat", "grid_latitude")
LON_NAMES = ("lon", "longitude", "nav_lon", "grid_longitude")
_ANGLE_UNITS = (
    "degrees_north", "degree_north", "degrees_N", "degree_N", "degreesN", "degreeN",
    "degrees_east", "degree_east", "degrees_E", "degree_E", "degreesE", "degreeE",
)  # fmt: skip


def _is_lat_lon(name: Hashable, attrs: Mapping[str, Any]) -> bool:
    """Whether a coordinate without units is latitude or longitude by CF's other marks."""
    standard = str(attrs.get("standard_name", "")).lower()
    return (
        str(name).lower() in LAT_NAMES + LON_NAMES
        or standard in LAT_NAMES + LON_NAMES
        or str(attrs.get("units", "")) in _ANGLE_UNITS
    )


def _grid_coordinate(
    func: str, name: str, given: Any, f: Any, dim: Hashable, xr: Any
) -> tuple[Any, bool]:
    """Coordinate values along `dim`, and whether they are degrees (longitude or latitude).

    Values that are not degrees are converted to metres. A coordinate is taken as
    degrees when its units say so, or, without units, when its name, standard_name
    or the dimension's name is that of a latitude or longitude.
    """
    if given is None:
        if dim not in f.coords:
            raise ValueError(
                f"tarnwell.gradient: f has no coordinate along {dim!r}; pass {name}= in metres"
            )
        given = f.coords[dim]
    source = None
    if isinstance(given, xr.DataArray):
        if units.is_quantity(given.data):  # pint-xarray keeps coordinates as Quantities
            source = given.data.units
            values = given.data.magnitude
        else:
            source = given.attrs.get("units")
            values = given.values
        if source is None and _is_lat_lon(given.name, given.attrs) or _is_lat_lon(dim, {}):
            if source is None or units.is_angle_in_degrees(func, name, source):
                return np.asarray(values, dtype=np.float64), True
        given = values
    elif units.is_quantity(given):
        source = given.units
        given = given.magnitude
    if source is not None:
        if units.is_angle_in_degrees(func, name, source):
            scale, offset = units.conversion(func, name, source, "degree")
            return units.apply_linear(np.asarray(given, dtype=np.float64), scale, offset), True
        scale, offset = units.conversion(func, name, source, "m")
        given = units.apply_linear(np.asarray(given, dtype=np.float64), scale, offset)
    return np.asarray(given, dtype=np.float64), False
