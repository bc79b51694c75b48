"""Every diagnostic a model file's variables allow, as one CF Dataset.

Output names follow one rule: the ``tarnwell`` result field, then the layer or
the differentiated quantity where there is one, joined by ``_``:
``theta_e``, ``intensity``, ``helicity_0_3km``, ``u_mean_0_6km``,
``dfdx_theta``. Three derived quantities follow the same pattern:
``u_storm``/``v_storm`` (the storm motion used for helicity) and
``grad_theta``/``grad_theta_v`` (the magnitude of a gradient).

Parcel fields name the parcel as their layer, by the abbreviations forecasters
use: ``sb`` (surface-based), ``ml`` (mixed-layer), ``mu`` (most unstable), as in
``cape_ml``, ``lcl_height_sb``, ``el_pressure_mu``. The effective inflow layer
is the layer ``effective``: ``bottom_height_effective``, ``helicity_effective``,
``bulk_wind_difference_effective``; the two composite parameters take the names
forecasters read them by, ``stp`` and ``scp``.

A run goes in stages, one module each: the inputs are found by their roles
(:mod:`.roles`) and read into canonical fields by the model family's reader
(:mod:`.models`); :func:`plan` decides what they allow; :func:`compute` builds
the fields (:mod:`.thermo_fields`, :mod:`.wind_fields`, :mod:`.parcel_fields`,
the kernels running block by block through :mod:`.blockwise`); :func:`assemble`
gives them their precision and attributes, and :mod:`.output` writes them.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from tarnwell._results import ColdPool, Thermo
from tarnwell._version import __version__

from . import models, output
from .blockwise import Block, apply
from .errors import CommandError
from .field_attrs import THERMO_ATTRS, cf_attrs, with_attrs
from .nan_notes import nan_notes
from .parcel_fields import COMPOSITE_NAMES, PARCEL_NAMES, parcel_fields, parcel_group
from .thermo_fields import (
    DEFAULT_COLD_POOL_THRESHOLD,
    GRADIENT_NAMES,
    cold_pool_fields,
    gradient_fields,
    too_large_for_a_mean,
)
from .wind_fields import WIND_NAMES, wind_layer_fields

if TYPE_CHECKING:
    import xarray as xr


@dataclass
class Options:
    storm_motion: tuple[float, float] | None = None  # None: Bunkers right mover
    cold_pool_threshold: float = DEFAULT_COLD_POOL_THRESHOLD
    level_dim: str | None = None
    n_threads: int = 1
    dtype: str | None = None  # storage precision; None: that of the inputs
    fields: tuple[str, ...] | None = None  # the fields to write; None: all the file allows


#: Every field diagnose writes, by group, in the order they are written.
FIELD_GROUPS: dict[str, tuple[str, ...]] = {
    "thermo": Thermo._fields,
    "cold_pool": ColdPool._fields,
    "winds": WIND_NAMES,
    "parcels": PARCEL_NAMES,
    "composites": COMPOSITE_NAMES,
    "gradients": GRADIENT_NAMES,
}
GROUP_OF = {name: group for group, names in FIELD_GROUPS.items() for name in names}
# What each group is computed from: the composites from the parcels' effective layer
# and the storm motion, cold pools and gradients from theta_v and theta.
NEEDS = {
    "thermo": (),
    "cold_pool": ("thermo",),
    "winds": (),
    "parcels": (),
    "composites": ("parcels", "winds"),
    "gradients": ("thermo",),
}


def parse_fields(text: str) -> tuple[str, ...]:
    """``"theta_e,winds"`` as the field names it means, in the order they are written."""
    wanted: set[str] = set()
    for item in text.split(","):
        name = item.strip()
        if name in FIELD_GROUPS:
            wanted.update(FIELD_GROUPS[name])
        elif name in GROUP_OF:
            wanted.add(name)
        else:
            raise CommandError(
                f"--fields: no field or group {name!r}; the groups are "
                f"{', '.join(FIELD_GROUPS)} (every field is listed in tarnwell diagnose --help)"
            )
    return tuple(name for name in GROUP_OF if name in wanted)


def parse_storm_motion(text: str) -> tuple[float, float] | None:
    """``"bunkers"`` as None, ``"U,V"`` (m/s) as a pair."""
    if text.strip().lower() == "bunkers":
        return None
    try:
        u, v = (float(s) for s in text.split(","))
    except ValueError:
        raise CommandError(
            f"--storm-motion: expected 'bunkers' or U,V in m/s, got {text!r}"
        ) from None
    return u, v


def diagnose(ds: xr.Dataset, variables: Mapping[str, str], options: Options) -> xr.Dataset:
    """All diagnostics the variables of ``ds`` allow, as a Dataset with CF attributes."""
    fields = models.read(ds, variables, options.level_dim)
    todo = plan(fields)
    if options.fields is not None:
        todo = select(todo, options.fields)
    out, group = compute(fields, todo, options)
    if options.fields is not None:
        out = {name: field for name, field in out.items() if name in options.fields}
    if not out:
        raise CommandError("nothing to diagnose: " + "; ".join(todo.notes))
    return assemble(ds, fields, out, group, [*todo.notes, *nan_notes(out, fields)], options)


@dataclass
class Plan:
    """The groups of fields the canonical fields allow, and a note for each one left out."""

    thermo: bool
    cold_pool: bool
    winds: bool
    parcels: bool
    composites: bool
    gradients: bool
    notes: list[str]


def plan(fields: models.ModelFields) -> Plan:
    notes = list(fields.notes)
    has_thermo = fields.temperature is not None and fields.pressure is not None
    thermo = has_thermo and fields.dewpoint is not None
    if not has_thermo:
        notes.append("no temperature and pressure: no thermodynamic or parcel fields")
    elif not thermo:
        notes.append("no dew point or humidity: no thermodynamic or parcel fields")
    columns = fields.height is not None and fields.ground is not None

    # Cold pool: buoyancy of the density-weighting (virtual) temperature against the
    # horizontal mean of each level, which means nothing over a hemisphere.
    cold_pool = thermo and columns
    too_large = too_large_for_a_mean(fields) if cold_pool else None
    if too_large:
        notes.append(too_large)
        cold_pool = False

    has_wind = fields.u is not None and fields.v is not None
    if not has_wind:
        composites = ", no effective helicity, stp or scp" if thermo else ""
        notes.append("no eastward and northward wind: no helicity" + composites)
    elif not columns:
        notes.append("no heights or geopotential: no helicity, no cold pool, no parcel fields")
    if thermo and not columns and not has_wind:
        notes.append("no heights or geopotential: no cold pool, no parcel fields")

    gradients = False
    if thermo and fields.grid_note is not None:
        notes.append(fields.grid_note)
    else:
        gradients = thermo and fields.x is not None and fields.y is not None
    winds, parcels = has_wind and columns, thermo and columns
    return Plan(thermo, cold_pool, winds, parcels, winds and parcels, gradients, notes)


def select(todo: Plan, wanted: tuple[str, ...]) -> Plan:
    """Only the groups that ``wanted`` fields are, or are computed from.

    A wanted field the file does not allow is an error, not a note: the user
    asked for it by name.
    """
    groups = {GROUP_OF[name] for name in wanted}
    missing = [name for name in wanted if not getattr(todo, GROUP_OF[name])]
    if missing:
        shown = ", ".join(missing[:4]) + (
            f" and {len(missing) - 4} more" if len(missing) > 4 else ""
        )
        raise CommandError(f"--fields: cannot write {shown}: " + "; ".join(todo.notes))
    needed = groups | {need for group in groups for need in NEEDS[group]}
    chosen = {group: group in needed for group in FIELD_GROUPS}
    return Plan(**chosen, notes=todo.notes)


def compute(
    fields: models.ModelFields, todo: Plan, options: Options
) -> tuple[dict[str, xr.DataArray], dict[str, str]]:
    """The planned fields (lazy where the inputs are), and the precision group of each."""
    out: dict[str, xr.DataArray] = {}
    group: dict[str, str] = {}
    n_threads = options.n_threads
    thermo = None
    if todo.thermo:
        assert fields.temperature is not None and fields.pressure is not None
        assert fields.dewpoint is not None
        stacked = apply(
            Block("thermo", n_threads),
            [fields.temperature, fields.pressure, fields.dewpoint],
            [[], [], []],
            len(Thermo._fields),
        )
        thermo, attrs = models.thermo_fields(fields, stacked, THERMO_ATTRS)
        for name, field in thermo.items():
            out[name] = with_attrs(field.transpose(*fields.dims), attrs[name])
            group[name] = "thermo"
    if todo.cold_pool:
        assert thermo is not None
        threshold = options.cold_pool_threshold
        out.update(cold_pool_fields(fields, thermo["theta_v"], threshold, n_threads))
        group.update(dict.fromkeys(ColdPool._fields, "cold_pool"))
    winds = None
    if todo.winds:
        winds = wind_layer_fields(fields, options.storm_motion, n_threads)
        out.update(winds)
        group.update(dict.fromkeys(winds, "wind"))
    if todo.parcels:
        composite_winds = winds if todo.composites else None
        parcels = parcel_fields(fields, composite_winds, n_threads, options.fields)
        out.update(parcels)
        group.update({name: parcel_group(name) for name in parcels})
    if todo.gradients:
        assert thermo is not None
        gradients = gradient_fields(fields, thermo, n_threads)
        out.update(gradients)
        group.update(dict.fromkeys(gradients, "thermo"))
    return out, group


def assemble(
    ds: xr.Dataset,
    fields: models.ModelFields,
    out: dict[str, xr.DataArray],
    group: Mapping[str, str],
    notes: list[str],
    options: Options,
) -> xr.Dataset:
    """The output Dataset: each field stored at the precision of the inputs that feed it,
    the file's coordinates and grid mapping carried over, the run described."""
    import xarray as xr

    thermo_in = [fields.temperature, fields.pressure, fields.dewpoint]
    wind_in = [fields.height, fields.u, fields.v, fields.u10, fields.v10]
    precision = {
        "thermo": _storage_dtype(ds, fields, thermo_in, options.dtype),
        "cold_pool": _storage_dtype(ds, fields, [*thermo_in, fields.height], options.dtype),
        "wind": _storage_dtype(ds, fields, wind_in, options.dtype),
        "parcel": _storage_dtype(ds, fields, [*thermo_in, fields.height], options.dtype),
        "composite": _storage_dtype(ds, fields, [*thermo_in, *wind_in], options.dtype),
    }
    for name, field in out.items():
        field.encoding["dtype"] = precision[group[name]]
    result = xr.Dataset(out)
    if fields.height is not None:
        mean_height = fields.height.mean([d for d in fields.dims if d != fields.level_dim])
        mean_height.attrs = cf_attrs("m", "mean height of the model level")
        result = result.assign_coords(height_level_mean=mean_height)
    anchor = fields.temperature if fields.temperature is not None else fields.u
    for coord in result.coords:
        # The reader's coordinates first (it may have made them, as WRF's
        # latitude and longitude), else the file's.
        if anchor is not None and coord in anchor.coords and anchor[coord].attrs:
            result[coord].attrs = dict(anchor[coord].attrs)
        elif coord in ds.coords:
            result[coord].attrs = dict(ds[coord].attrs)
    if anchor is not None:
        result = _carry_grid_mapping(ds, result, anchor)
    result.attrs = {
        "Conventions": "CF-1.8",
        "title": "tarnwell diagnostics",
        "source": f"tarnwell {__version__}",
        "tarnwell_product": "diagnose",
        "tarnwell_model_family": fields.family,
        "tarnwell_cold_pool_threshold": options.cold_pool_threshold,
        "tarnwell_cold_pool_reference": "horizontal mean of theta_v on each level and time"
        + (", weighted by cos(latitude)" if fields.geographic else ""),
        "tarnwell_storm_motion": "Bunkers right mover (Bunkers et al. 2000)"
        if options.storm_motion is None
        else f"{options.storm_motion[0]},{options.storm_motion[1]} m s-1",
    }
    if notes:
        result.attrs["comment"] = "\n".join(notes)
    return result


def _storage_dtype(
    ds: xr.Dataset,
    fields: models.ModelFields,
    inputs: list[xr.DataArray | None],
    requested: str | None,
) -> np.dtype:
    """The precision of fields fed by ``inputs``: that of the file's variables they come from.

    An input is traced to the file's data variables by its name (a coordinate,
    such as the pressure of pressure levels, is exact and does not count);
    where none can be (every input derived, as in WRF files), the precision
    the reader found the file's fields stored in decides, else the file's own
    multi-dimensional fields.
    """
    sources: dict[str, np.dtype] = {}
    for da in inputs:
        if da is not None and da.name is not None and str(da.name) in ds.data_vars:
            sources[str(da.name)] = ds[da.name].dtype
    if not sources and fields.input_dtype is not None:
        sources = {"input fields": np.dtype(fields.input_dtype)}
    if not sources:
        sources = {
            str(name): var.dtype
            for name, var in ds.data_vars.items()
            if var.ndim >= 3 and var.dtype.kind in "fiu"
        }
    return output.storage_dtype(sources, requested)


def _carry_grid_mapping(ds: xr.Dataset, result: xr.Dataset, anchor: xr.DataArray) -> xr.Dataset:
    name = anchor.attrs.get("grid_mapping")
    if not name or name not in ds.variables:
        return result
    result = result.assign({name: ds[name]})
    for var in result.data_vars:
        if var != name and result[var].ndim >= 2:
            result[var].attrs["grid_mapping"] = name
    return result


def elements(ds: xr.Dataset) -> int:
    """Grid points of the largest input field (for throughput figures)."""
    return max((math.prod(v.shape) for v in ds.data_vars.values()), default=0)
