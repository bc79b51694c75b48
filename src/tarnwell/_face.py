"""The one face of every diagnostic: NumPy, masked arrays, pint, xarray and dask.

A public function hands over its declaration, its NumPy-level compute and the
caller's values. DataArrays go to the xarray layer (dimensions by name, CF
units); pint Quantities are converted to the declared SI units and the
results given the declared ones; dask arrays stay lazy; plain values are
taken as SI and warned about when they cannot be.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

from . import _dask, _sphere, _xarray, units
from ._declarations import Diagnostic

Compute = Callable[..., Any]


def _is_dataarray(value: Any) -> bool:
    return units.is_instance_of(value, "xarray", ("DataArray",))


def _is_dask(value: Any) -> bool:
    return units.is_instance_of(value, "dask", ("Array",))


def run(
    decl: Diagnostic,
    compute: Compute,
    values: Mapping[str, Any],
    options: Mapping[str, Any],
    xarray_options: Mapping[str, Any],
) -> Any:
    """`decl`'s result on `values` (one per declared input) with `options` passed on."""
    arrays = {n: values[n] for n in decl.role_names("element", "level", "column", "grid")}
    coordinates = {n: values[n] for n in decl.role_names("coordinate")}
    if any(_is_dataarray(v) for v in arrays.values()):
        return _xarray.run(decl, compute, values, options, xarray_options)
    for name, value in xarray_options.items():
        if value is not None:
            raise TypeError(f"tarnwell.{decl.name}: {name}= names a dimension of DataArray inputs")

    values = dict(values)
    sphere = False
    if decl.core == "grid":
        x, y = coordinates
        degrees = [
            units.is_quantity(values[n])
            and units.is_angle_in_degrees(decl.name, n, values[n].units)
            for n in (x, y)
        ]
        if degrees[0] and degrees[1]:
            # Longitudes and latitudes: the gradient on the sphere.
            for n in (x, y):
                scale, offset = units.conversion(decl.name, n, values[n].units, "degree")
                values[n] = units.apply_linear(values[n].magnitude, scale, offset)
        sphere = _sphere.is_lat_lon_grid(degrees[0], degrees[1], values[y])
    plain: dict[str, Any] = {}
    unitless: dict[str, Any] = {}
    reg = None
    f_units = None
    for name, value in values.items():
        plain[name], quantity_units = units.strip_quantity(decl.name, name, value, decl.unit(name))
        if quantity_units is not None:
            reg = reg or quantity_units._REGISTRY
            if decl.input(name).unit is None and decl.input(name).role == "grid":
                f_units = quantity_units
        elif not _is_dask(value):
            unitless[name] = value

    if any(_is_dask(plain[name]) for name in arrays):
        fields = _dask.run(
            decl, compute, plain, {**options, "sphere": sphere} if sphere else options
        )
    elif sphere:
        fields = _sphere.gradient(
            *(plain[n] for n in decl.role_names("grid", "coordinate")), **options
        )
    else:
        fields = compute(**plain, **options)
    # After the call, so a refused call does not warn too; lazy values are not
    # read here: that would compute them.
    units.warn_implausible(decl, unitless, stacklevel=3)
    if reg is not None:
        fields = [
            reg.Quantity(field, _pint_unit(output.unit, reg, f_units))
            for output, field in zip(decl.outputs, fields, strict=True)
        ]
    return decl.build(fields)


def _pint_unit(cf_unit: str | None, reg: Any, f_units: Any) -> Any:
    if cf_unit is None:
        return (f_units if f_units is not None else reg.dimensionless) / reg.meter
    return reg.Unit(units.cf_to_pint(cf_unit))
