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

The inputs are found by :mod:`.roles` and the kernels run block by block
through :mod:`.blockwise`.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

import numpy as np

import tarnwell

from . import models, output
from ._io import CommandError
from .blockwise import Block, apply, per_column

if TYPE_CHECKING:
    import xarray as xr

GRAVITY = 9.80665  # m s-2, standard gravity: geopotential to geopotential height
HELICITY_LAYERS = ((0.0, 1000.0), (0.0, 3000.0), (0.0, 6000.0))
PROFILE_FIELDS = tarnwell.Profile._fields
# The layer of the Bunkers et al. (2000) mean wind, whose top reports use; the
# motion itself is tarnwell.composites.bunkers_storm_motion's.
BUNKERS_MEAN_LAYER = (0.0, 6000.0)
TEN_METRES = 10.0  # m: height above the ground of the 10-m wind
DEFAULT_COLD_POOL_THRESHOLD = -0.01  # m s-2: about -0.3 K of theta_v against the reference
# A horizontal mean is a meaningful environment for a cold pool over a region,
# not over a domain that spans air masses from the subtropics to the pole: above
# these extents the cold-pool fields are left out, with a note.
MAX_COLD_POOL_EXTENT = (4000.0e3, 6000.0e3)  # m, north-south and east-west
# The parcels diagnose lifts: output suffix, tarnwell.parcel's name, and words for attributes.
PARCELS = (
    ("sb", "surface_based", "surface-based"),
    ("ml", "mixed_layer", "mixed-layer (lowest 100 hPa)"),
    ("mu", "most_unstable", "most-unstable (highest theta_e in the lowest 300 hPa)"),
)
PARCEL_FIELDS = tarnwell.Parcel._fields
EFFECTIVE_FIELDS = ("bottom_height", "top_height", "bottom_pressure", "top_pressure")
# NaN in these is the answer, not a failure: no LFC or EL in a stable column.
PARCEL_NAN_EXPECTED = ("lfc_pressure", "lfc_height", "el_pressure", "el_height")
# Most columns: a field NaN in more than this share of the points with data is reported.
NAN_SHARE_REPORTED = 0.5


@dataclass
class Options:
    storm_motion: tuple[float, float] | None = None  # None: Bunkers right mover
    cold_pool_threshold: float = DEFAULT_COLD_POOL_THRESHOLD
    level_dim: str | None = None
    n_threads: int = 1
    dtype: str | None = None  # storage precision; None: that of the inputs


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


# Output attributes: CF standard names where one exists.
def _attrs(
    units_: str, long_name: str, standard_name: str | None = None, **extra: str
) -> dict[str, Any]:
    attrs = {"units": units_, "long_name": long_name}
    if standard_name:
        attrs["standard_name"] = standard_name
    return {**attrs, **extra}


THERMO_ATTRS = {
    "mixing_ratio": _attrs("kg kg-1", "water vapour mixing ratio", "humidity_mixing_ratio"),
    "theta": _attrs("K", "potential temperature", "air_potential_temperature"),
    "theta_v": _attrs("K", "virtual potential temperature"),
    "theta_e": _attrs(
        "K",
        "equivalent potential temperature (Bolton 1980)",
        "pseudo_equivalent_potential_temperature",
    ),
}


def _horizontal_mean(a: np.ndarray, weights: np.ndarray | None = None) -> np.ndarray:
    """Mean over the last two axes of the finite values (NaN where there are none).

    Summed along one flattened axis so the order of additions, and therefore
    the bits, do not depend on how the batch axes are split into blocks.
    ``weights`` (one per row of the second-last axis) weight each row's
    points, as the cosine of latitude weights them by area on a lat/lon grid.
    """
    flat = a.reshape(*a.shape[:-2], -1)
    finite = np.isfinite(flat)
    if weights is None:
        total = np.where(finite, flat, 0.0).sum(axis=-1)
        count = finite.sum(axis=-1)
    else:
        w = np.broadcast_to(weights[:, None], a.shape[-2:]).reshape(-1)
        total = np.where(finite, flat * w, 0.0).sum(axis=-1)
        count = np.where(finite, w, 0.0).sum(axis=-1)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean: np.ndarray = total / count
    return mean


def buoyancy(
    theta_v: xr.DataArray, y_dim: str, x_dim: str, lat: np.ndarray | None = None
) -> xr.DataArray:
    """b = g (θv − θv_ref) / θv_ref, θv_ref the horizontal mean of θv on each level and time.

    On a lat/lon grid (``lat`` in degrees, one per row) the mean is weighted by
    area, cos(latitude).
    """
    import xarray as xr

    weights = None if lat is None else np.cos(np.deg2rad(np.asarray(lat, dtype=np.float64)))
    whole = theta_v.chunk({y_dim: -1, x_dim: -1}) if theta_v.chunks is not None else theta_v
    reference = xr.apply_ufunc(
        _horizontal_mean,
        whole,
        input_core_dims=[[y_dim, x_dim]],
        kwargs={"weights": weights},
        dask="parallelized",
        output_dtypes=[np.float64],
    )
    return cast("xr.DataArray", GRAVITY * (theta_v - reference) / reference)


def domain_extent(fields: models.ModelFields) -> tuple[float, float] | None:
    """North-south (or y) and east-west (or x) extent of the grid in metres; None if unknown.

    On a lat/lon grid the east-west extent is measured along the latitude
    nearest the equator, where it is widest.
    """
    if fields.x is None or fields.y is None or fields.x.size == 0 or fields.y.size == 0:
        return None
    x = np.asarray(fields.x, dtype=np.float64)
    y = np.asarray(fields.y, dtype=np.float64)
    if not fields.geographic:
        return float(np.ptp(y)), float(np.ptp(x))
    from tarnwell._sphere import EARTH_RADIUS

    north_south = EARTH_RADIUS * np.deg2rad(float(np.ptp(y)))
    widest = np.cos(np.deg2rad(float(np.min(np.abs(y)))))
    east_west = EARTH_RADIUS * widest * np.deg2rad(min(float(np.ptp(x)), 360.0))
    return float(north_south), float(east_west)


def layer_name(bottom: float, top: float) -> str:
    def km(h: float) -> str:
        return f"{h / 1000.0:g}".replace(".", "p")

    return f"{km(bottom)}_{km(top)}km"


def diagnose(ds: xr.Dataset, variables: Mapping[str, str], options: Options) -> xr.Dataset:
    """All diagnostics the variables of ``ds`` allow, as a Dataset with CF attributes."""
    import xarray as xr

    fields = models.read(ds, variables, options.level_dim)
    out: dict[str, xr.DataArray] = {}
    notes: list[str] = list(fields.notes)
    n_threads = options.n_threads
    dims = fields.dims
    level_dim = fields.level_dim
    height, ground = fields.height, fields.ground
    # The storage precision of each group of fields follows the inputs that feed it.
    thermo_in = [fields.temperature, fields.pressure, fields.dewpoint]
    wind_in = [height, fields.u, fields.v, fields.u10, fields.v10]
    precision = {
        "thermo": _storage_dtype(ds, fields, thermo_in, options.dtype),
        "cold_pool": _storage_dtype(ds, fields, [*thermo_in, height], options.dtype),
        "wind": _storage_dtype(ds, fields, wind_in, options.dtype),
        "parcel": _storage_dtype(ds, fields, [*thermo_in, height], options.dtype),
        "composite": _storage_dtype(ds, fields, [*thermo_in, *wind_in], options.dtype),
    }
    group: dict[str, str] = {}

    thermo = None
    if fields.temperature is not None and fields.pressure is not None:
        if fields.dewpoint is not None:
            stacked = apply(
                Block("thermo", n_threads),
                [fields.temperature, fields.pressure, fields.dewpoint],
                [[], [], []],
                len(tarnwell.Thermo._fields),
            )
            thermo, attrs = models.thermo_fields(fields, stacked, THERMO_ATTRS)
            for name, field in thermo.items():
                out[name] = _finish(field.transpose(*dims), attrs[name])
                group[name] = "thermo"
        else:
            notes.append("no dew point or humidity: no thermodynamic or parcel fields")
    else:
        notes.append("no temperature and pressure: no thermodynamic or parcel fields")

    # Cold pool: buoyancy of the density-weighting (virtual) temperature against the
    # horizontal mean of each level; the layer ends where b rises to the threshold.
    if thermo is not None and height is not None and ground is not None:
        too_large = _too_large_for_a_mean(fields)
        if too_large:
            notes.append(too_large)
        else:
            out.update(_cold_pool(fields, thermo["theta_v"], options, n_threads))
            group.update(dict.fromkeys(tarnwell.ColdPool._fields, "cold_pool"))

    winds = None
    if fields.u is not None and fields.v is not None and height is not None and ground is not None:
        winds = _wind_layers(fields, options, n_threads)
        out.update(winds)
        group.update(dict.fromkeys(winds, "wind"))
    elif fields.u is None or fields.v is None:
        composites = ", no effective helicity, stp or scp" if thermo is not None else ""
        notes.append("no eastward and northward wind: no helicity" + composites)
    else:
        notes.append("no heights or geopotential: no helicity, no cold pool, no parcel fields")

    if thermo is not None and height is not None and ground is not None:
        parcels = _parcels(fields, winds, n_threads)
        out.update(parcels)
        group.update({name: _parcel_group(name) for name in parcels})
    elif thermo is not None and (fields.u is None or fields.v is None):
        notes.append("no heights or geopotential: no cold pool, no parcel fields")

    if thermo is not None and fields.grid_note is not None:
        notes.append(fields.grid_note)
    elif thermo is not None and fields.x is not None and fields.y is not None:
        gradients = _gradients(fields, thermo, n_threads)
        out.update(gradients)
        group.update(dict.fromkeys(gradients, "thermo"))

    if not out:
        raise CommandError("nothing to diagnose: " + "; ".join(notes))
    notes += _nan_notes(out, fields)
    for name, field in out.items():
        field.encoding["dtype"] = precision[group[name]]
    result = xr.Dataset(out)
    if height is not None:
        mean_height = height.mean([d for d in dims if d != level_dim])
        mean_height.attrs = _attrs("m", "mean height of the model level")
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
        "source": f"tarnwell {tarnwell.__version__}",
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


def _too_large_for_a_mean(fields: models.ModelFields) -> str | None:
    extent = domain_extent(fields)
    if extent is None:
        return None
    north_south, east_west = extent
    max_ns, max_ew = MAX_COLD_POOL_EXTENT
    if north_south <= max_ns and east_west <= max_ew:
        return None
    return (
        f"no cold-pool fields: the domain spans {north_south / 1e3:,.0f} km north-south and "
        f"{east_west / 1e3:,.0f} km east-west; a horizontal mean over more than "
        f"{max_ns / 1e3:,.0f} x {max_ew / 1e3:,.0f} km mixes air masses and is no cold pool's "
        f"environment (cut the file to a region around the storms)"
    )


def _cold_pool(
    fields: models.ModelFields, theta_v: xr.DataArray, options: Options, n_threads: int
) -> dict[str, xr.DataArray]:
    import xarray as xr

    assert fields.height is not None and fields.ground is not None
    lat = fields.y if fields.geographic else None
    b = buoyancy(theta_v, fields.y_dim, fields.x_dim, lat)
    block = per_column(
        "cold_pool", n_threads, ("bottom", "top"), threshold=options.cold_pool_threshold
    )
    top = xr.full_like(fields.ground, np.nan)
    level = fields.level_dim
    pool = apply(
        block,
        [fields.height, b, fields.ground, top],
        [[level], [level], [], []],
        len(tarnwell.ColdPool._fields),
    )
    attrs = {
        "intensity": _attrs("m s-1", "cold-pool intensity sqrt(2 * integral of -b dz)"),
        "depth": _attrs("m", "cold-pool depth"),
        "open_top": {
            **_attrs("1", "cold pool reaches the top of the column"),
            "flag_values": np.array([0.0, 1.0]),
            "flag_meanings": "closed open",
        },
    }
    return {
        name: _finish(field, attrs[name])
        for name, field in zip(tarnwell.ColdPool._fields, pool, strict=True)
    }


def _gradients(
    fields: models.ModelFields, thermo: dict[str, xr.DataArray], n_threads: int
) -> dict[str, xr.DataArray]:
    """Horizontal gradients of θ and θv: on the projected grid, or on the sphere."""
    import xarray as xr

    assert fields.x is not None and fields.y is not None
    y_dim, x_dim = fields.y_dim, fields.x_dim
    if fields.geographic:
        block: Any = SphereGradient(n_threads)
        along = ("eastward", "northward")
    else:
        block = Block("gradient", n_threads)
        along = ("grid x", "grid y")
    out: dict[str, xr.DataArray] = {}
    for name in ("theta", "theta_v"):
        gx, gy = apply(
            block,
            [
                thermo[name],
                xr.DataArray(fields.x, dims=[x_dim]),
                xr.DataArray(fields.y, dims=[y_dim]),
            ],
            [[y_dim, x_dim], [x_dim], [y_dim]],
            2,
            out_core=[y_dim, x_dim],
        )
        label = THERMO_ATTRS[name]["long_name"]
        if fields.map_factor is not None:
            # A step dx on a conformal map projection is dx / m on the earth.
            gx = gx * fields.map_factor
            gy = gy * fields.map_factor
        gx = gx.transpose(*fields.dims)
        gy = gy.transpose(*fields.dims)
        out[f"dfdx_{name}"] = _finish(gx, _attrs("K m-1", f"{along[0]} derivative of {label}"))
        out[f"dfdy_{name}"] = _finish(gy, _attrs("K m-1", f"{along[1]} derivative of {label}"))
        out[f"grad_{name}"] = _finish(
            cast("xr.DataArray", np.hypot(gx, gy)),
            _attrs("K m-1", f"magnitude of the horizontal gradient of {label}"),
        )
    return out


class SphereGradient:
    """Eastward and northward derivatives on a lat/lon grid for one block (picklable)."""

    def __init__(self, n_threads: int) -> None:
        self.n_threads = n_threads

    def __call__(self, f: Any, lon: Any, lat: Any) -> tuple[Any, ...]:
        from tarnwell import _sphere

        dfdx, dfdy = _sphere.gradient(f, lon, lat, axes=(-2, -1), n_threads=self.n_threads)
        return dfdx, dfdy


def _nan_notes(out: Mapping[str, xr.DataArray], fields: models.ModelFields) -> list[str]:
    """One line for each field NaN in most of the points (or columns) that have data.

    A layer's fields, and the two storm-motion components, share one line. On
    lazy (dask) inputs the check runs on the first step of the outer dimensions
    only, so that it costs one block's work, not a second pass over the file.
    """
    level, y_dim, x_dim = fields.level_dim, fields.y_dim, fields.x_dim
    outer = [d for d in fields.dims if d not in (level, y_dim, x_dim)]
    lazy = any(f.chunks is not None for f in out.values())
    first = {d: slice(0, 1) for d in outer} if lazy else {}

    def sample(da: xr.DataArray) -> xr.DataArray:
        return da.isel({d: s for d, s in first.items() if d in da.dims})

    points = None if fields.temperature is None else sample(fields.temperature).notnull()
    winds = None
    reach = None
    if fields.u is not None and fields.v is not None:
        usable = sample(fields.u).notnull() & sample(fields.v).notnull()
        winds = usable.any(level)
        if fields.height is not None and fields.ground is not None:
            top = sample(fields.height).where(usable).max(level)
            reach = (top - sample(fields.ground)).where(winds).data

    groups: dict[str, tuple[list[str], Any, list[Any]]] = {}
    for name, field in out.items():
        mask, key = _data_mask(name, field, level, points, winds)
        if mask is None:
            continue
        bad = (mask & ~np.isfinite(sample(field))).sum()
        names, _, bads = groups.setdefault(key, ([], mask.sum(), []))
        names.append(name)
        bads.append(bad)
    if not groups:
        return []
    counts = [(g[1], g[2]) for g in groups.values()]
    if lazy:
        import importlib

        dask: Any = importlib.import_module("dask")
        counts, reach = dask.compute(counts, reach)
    reach_m = _median(reach) if reach is not None else np.nan
    notes = []
    failed: set[str] = set()
    for (key, (names, _, _)), (n_data, bads) in zip(groups.items(), counts, strict=True):
        n_data = int(n_data)
        worst = [(int(n), name) for n, name in zip(bads, names, strict=True)]
        reported = [name for n, name in worst if n > NAN_SHARE_REPORTED * n_data]
        if n_data == 0 or not reported:
            continue
        failed.add(key)
        share = max(n for n, _ in worst) / n_data
        what = ", ".join(reported) if len(reported) <= 2 else f"{reported[0]} and the other "
        what += f"{key} fields" if len(reported) > 2 else ""
        where = " in the first time step" if lazy and outer else ""
        text = f"{what}: NaN in {share:.0%} of the {_unit_of(key)} with data{where}"
        needs = _layer_top(key)
        if needs is not None and np.isfinite(reach_m) and reach_m < needs:
            text += (
                f": the levels reach {reach_m / 1000:.1f} km above the ground (median), "
                f"the layer needs {needs / 1000:g} km"
            )
        elif key.endswith("layer") and reported == [n for n in reported if "helicity" in n]:
            if "storm motion" in failed:
                text += ": no storm motion (see u_storm)"
        notes.append(text)
    return notes


def _median(values: Any) -> float:
    finite = np.asarray(values, dtype=np.float64)
    finite = finite[np.isfinite(finite)]
    return float(np.median(finite)) if finite.size else np.nan


def _data_mask(
    name: str, field: xr.DataArray, level: str, points: Any, winds: Any
) -> tuple[Any, str]:
    """Where ``field`` should have a value, and the group it is reported in."""
    if name in ("u_storm", "v_storm"):
        return winds, "storm motion"
    for bottom, top in HELICITY_LAYERS:
        if name.endswith("_" + layer_name(bottom, top)):
            return winds, f"{layer_name(bottom, top)} layer"
    for suffix, _, _ in PARCELS:
        if name.endswith("_" + suffix) and name.removesuffix("_" + suffix) in PARCEL_FIELDS:
            if name.removesuffix("_" + suffix) in PARCEL_NAN_EXPECTED or points is None:
                return None, name
            return points.any(level), f"{suffix} parcel"
    if name.endswith("_effective"):
        # NaN where no level qualifies is the answer in stable air, not a failure.
        return None, name
    if points is None:
        return None, name
    if level in field.dims:
        return points, name
    return points.any(level), name


def _unit_of(key: str) -> str:
    columns = key == "storm motion" or key.endswith(("layer", "parcel")) or key in ("stp", "scp")
    return "columns" if columns else "points"


def _layer_top(key: str) -> float | None:
    if key == "storm motion":
        return BUNKERS_MEAN_LAYER[1]
    for bottom, top in HELICITY_LAYERS:
        if key == f"{layer_name(bottom, top)} layer":
            return top
    return None


def _finish(field: xr.DataArray, attrs: Mapping[str, Any]) -> xr.DataArray:
    field = field.copy(deep=False)
    field.attrs = dict(attrs)
    return field


class WindLayers:
    """Storm motion and the wind fields of each layer, for one block of columns.

    Arguments: heights, u and v (levels last), the ground height, and the 10-m
    winds when the file has them. The columns handed to the profile kernel
    start at the ground (see :func:`grounded_columns`), so a 0-x km layer runs
    from the lowest wind at or above the ground up to x km above the ground.
    Returns ``u_storm``, ``v_storm`` and the seven profile fields of every
    layer, as rows of one array.
    """

    def __init__(
        self,
        layers: tuple[tuple[float, float], ...],
        storm_motion: tuple[float, float] | None,
        has_10m: bool,
        n_threads: int,
    ) -> None:
        self.layers = layers
        self.storm_motion = storm_motion
        self.has_10m = has_10m
        self.n_threads = n_threads

    def __call__(self, z: Any, u: Any, v: Any, ground: Any, *ten_metre: Any) -> tuple[Any, ...]:
        batch = np.broadcast_shapes(z.shape[:-1], u.shape[:-1], v.shape[:-1], np.shape(ground))
        levels = z.shape[-1]
        z, u, v = (np.broadcast_to(a, (*batch, levels)) for a in (z, u, v))
        ground = np.broadcast_to(np.asarray(ground, dtype=np.float64), batch)
        u10, v10 = (np.broadcast_to(a, batch) for a in ten_metre) if self.has_10m else (None, None)
        zc, uc, vc = grounded_columns(z, u, v, ground, u10, v10)
        out = np.empty((2 + len(PROFILE_FIELDS) * len(self.layers), *batch))

        def profile(bottom: float, top: float, cu: Any, cv: Any) -> Any:
            return tarnwell.profile(
                zc, uc, vc, ground=ground, bottom=bottom, top=top, cu=cu, cv=cv,
                axis=0, n_threads=self.n_threads,
            )  # fmt: skip

        if self.storm_motion is None:
            from tarnwell import composites

            # The library's Bunkers motion on the grounded columns: their first
            # level is the ground, so its layers are measured from the ground.
            with np.errstate(divide="ignore", invalid="ignore"):
                motion = composites.bunkers_storm_motion(
                    zc, uc, vc, axis=0, n_threads=self.n_threads
                )
            out[0], out[1] = motion.u_right, motion.v_right
        else:
            out[0] = self.storm_motion[0]
            out[1] = self.storm_motion[1]
        row = 2
        for bottom, top in self.layers:
            res = profile(bottom, top, out[0], out[1])
            for value in res:
                out[row] = value
                row += 1
        return tuple(out)


def grounded_columns(
    z: np.ndarray,
    u: np.ndarray,
    v: np.ndarray,
    ground: np.ndarray,
    u10: np.ndarray | None = None,
    v10: np.ndarray | None = None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Columns (levels first) that start at the ground, for layers measured from it.

    The lowest model level of terrain-following and pressure-level models lies
    metres to tens of metres above the ground, where the profile kernel cannot
    place a layer that starts at the ground. Each column is therefore given
    two levels below the model's:

    - level 0 at the ground height itself, with the lowest wind available at or
      above the ground (the wind is held at that value down to the ground);
    - level 1 at ground + 10 m with the 10-m wind, where the file has one and
      it lies below the lowest usable model level (missing otherwise);

    then the model levels, those below the ground (pressure levels under the
    terrain) made missing. The end winds and the helicity of a 0-x km layer
    are then those from the lowest available wind to x km above the ground:
    the step from level 0 to the lowest wind adds exactly zero helicity, as
    the wind does not change along it. The layer-mean wind counts the held
    wind over the metres below the lowest wind.

    A column whose ground height is missing keeps the kernel's own rule: its
    layers are measured from its lowest usable level.
    """
    levels = z.shape[-1]
    shape = (levels + 2, *z.shape[:-1])
    zc, uc, vc = np.empty(shape), np.empty(shape), np.empty(shape)
    for whole, part in ((zc, z), (uc, u), (vc, v)):
        whole[2:] = np.moveaxis(part, -1, 0)
    with np.errstate(invalid="ignore"):
        below = zc[2:] < ground
    uc[2:][below] = np.nan
    usable = np.isfinite(zc[2:]) & np.isfinite(uc[2:]) & np.isfinite(vc[2:])
    found = usable.any(axis=0)
    first = usable.argmax(axis=0)[None]
    z_low = np.where(found, np.take_along_axis(zc[2:], first, 0)[0], np.nan)
    u_low = np.where(found, np.take_along_axis(uc[2:], first, 0)[0], np.nan)
    v_low = np.where(found, np.take_along_axis(vc[2:], first, 0)[0], np.nan)
    zc[1] = uc[1] = vc[1] = np.nan
    if u10 is not None and v10 is not None:
        z10 = ground + TEN_METRES
        with np.errstate(invalid="ignore"):
            use = np.isfinite(u10) & np.isfinite(v10) & np.isfinite(z10) & ~(z_low <= z10)
        zc[1] = np.where(use, z10, np.nan)
        uc[1] = np.where(use, u10, np.nan)
        vc[1] = np.where(use, v10, np.nan)
        u_low = np.where(use, u10, u_low)
        v_low = np.where(use, v10, v_low)
    zc[0], uc[0], vc[0] = ground, u_low, v_low
    return zc, uc, vc


def _wind_layers(
    fields: models.ModelFields, options: Options, n_threads: int
) -> dict[str, xr.DataArray]:
    assert fields.height is not None and fields.ground is not None
    assert fields.u is not None and fields.v is not None
    level_dim = fields.level_dim
    has_10m = fields.u10 is not None and fields.v10 is not None
    args = [fields.height, fields.u, fields.v, fields.ground]
    core: list[list[Hashable]] = [[level_dim], [level_dim], [level_dim], []]
    if has_10m:
        assert fields.u10 is not None and fields.v10 is not None
        args += [fields.u10, fields.v10]
        core += [[], []]
    block = WindLayers(HELICITY_LAYERS, options.storm_motion, has_10m, n_threads)
    n_out = 2 + len(PROFILE_FIELDS) * len(HELICITY_LAYERS)
    results = iter(apply(block, args, core, n_out))

    lowest = (
        "the 10-m wind, or the lowest model level at or above the ground where that is lower"
        if has_10m
        else "the lowest model level at or above the ground"
    )
    if options.storm_motion is None:
        how = "Bunkers right-mover storm motion"
        motion = {
            "comment": "Bunkers et al. (2000): 7.5 m s-1 to the right of the shear from the "
            "0-0.5 km to the 5.5-6 km mean wind, from the 0-6 km mean wind; means weighted "
            f"by height; layers above the ground, starting at {lowest}"
        }
    else:
        how = "storm motion given on the command line"
        motion = {}
    out: dict[str, xr.DataArray] = {
        "u_storm": _finish(next(results), {**_attrs("m s-1", f"eastward {how}"), **motion}),
        "v_storm": _finish(next(results), {**_attrs("m s-1", f"northward {how}"), **motion}),
    }
    for bottom, top in HELICITY_LAYERS:
        name = layer_name(bottom, top)
        where = f"{bottom / 1000:g}-{top / 1000:g} km above ground"
        start = lowest if bottom == 0.0 else f"{bottom:g} m above the ground"
        held = "below the lowest wind, the wind is held at its value down to the ground"
        attrs = {
            "u_bottom": _attrs(
                "m s-1", f"eastward wind at the bottom of the {where} layer", layer_bottom=start
            ),
            "v_bottom": _attrs(
                "m s-1", f"northward wind at the bottom of the {where} layer", layer_bottom=start
            ),
            "u_top": _attrs("m s-1", f"eastward wind at {top / 1000:g} km above ground"),
            "v_top": _attrs("m s-1", f"northward wind at {top / 1000:g} km above ground"),
            "helicity": _attrs("m2 s-2", f"storm-relative helicity {where}", layer_bottom=start),
            "u_mean": _attrs(
                "m s-1",
                f"height-weighted mean eastward wind {where}",
                layer_bottom=start,
                comment=held,
            ),
            "v_mean": _attrs(
                "m s-1",
                f"height-weighted mean northward wind {where}",
                layer_bottom=start,
                comment=held,
            ),
        }
        for field in PROFILE_FIELDS:
            out[f"{field}_{name}"] = _finish(next(results), attrs[field])
    return out


def _parcel_group(name: str) -> str:
    """The precision group of a parcel or composite field: the winds feed some."""
    if name.startswith(("helicity_", "bulk_wind_difference_")) or name in ("stp", "scp"):
        return "composite"
    return "parcel"


class ParcelFields:
    """The three parcels and the effective inflow layer, for one block of columns.

    Arguments: pressure, temperature, dew point and heights (levels last) and
    the ground height. :func:`tarnwell.parcel` measures heights from each
    column's lowest usable level; they are returned above the ground, that
    level's height above the ground added (the lowest level of a
    terrain-following model lies metres above the surface, the lowest pressure
    level above the ground may lie hundreds of metres up). Levels below the
    ground are not air and are left out. Rows: the eight parcel fields of each
    parcel in :data:`PARCELS` order, the four effective-layer fields, then the
    effective layer's bottom above the lowest usable level (0 where the layer
    starts there: the test of the significant tornado parameter).
    """

    def __init__(self, n_threads: int) -> None:
        self.n_threads = n_threads

    def __call__(self, p: Any, t: Any, td: Any, z: Any, ground: Any) -> tuple[Any, ...]:
        from tarnwell import composites

        p, t, td, z = np.broadcast_arrays(p, t, td, z)
        ground = np.broadcast_to(np.asarray(ground, dtype=np.float64), t.shape[:-1])
        t = air_above_ground(t, z, ground)
        offset = lowest_level_above_ground(p, t, z, ground)
        batch = t.shape[:-1]
        out = np.empty((len(PARCELS) * len(PARCEL_FIELDS) + len(EFFECTIVE_FIELDS) + 1, *batch))
        row = 0
        for _, kind, _ in PARCELS:
            res = tarnwell.parcel(p, t, td, z, parcel=kind, n_threads=self.n_threads)
            for name, value in zip(PARCEL_FIELDS, res, strict=True):
                out[row] = value + offset if name.endswith("_height") else value
                row += 1
        layer = composites.effective_inflow_layer(p, t, td, z, n_threads=self.n_threads)
        out[row] = layer.bottom_height + offset
        out[row + 1] = layer.top_height + offset
        out[row + 2] = layer.bottom_pressure
        out[row + 3] = layer.top_pressure
        out[row + 4] = layer.bottom_height
        return tuple(out)


def air_above_ground(t: np.ndarray, z: np.ndarray, ground: np.ndarray) -> np.ndarray:
    """Temperature with levels below the ground missing (a missing ground keeps every level)."""
    with np.errstate(invalid="ignore"):
        below = z < ground[..., None]
    return np.where(below, np.nan, t) if below.any() else t


def lowest_level_above_ground(
    p: np.ndarray, t: np.ndarray, z: np.ndarray, ground: np.ndarray
) -> np.ndarray:
    """Height above the ground of each column's lowest usable level: finite positive
    pressure, finite temperature and height, as the parcel reads a column.
    0 where the ground is missing (heights stay above the lowest level)."""
    with np.errstate(invalid="ignore"):
        usable = (p > 0.0) & np.isfinite(p) & np.isfinite(t) & np.isfinite(z)
    first = usable.argmax(axis=-1)[..., None]
    z_low = np.take_along_axis(z, first, axis=-1)[..., 0]
    offset: np.ndarray = np.where(np.isfinite(ground), z_low - ground, 0.0)
    return offset


class EffectiveWinds:
    """Effective storm-relative helicity and bulk wind difference, for one block.

    Arguments: heights, u and v (levels last), the ground, the effective
    layer's bottom and top and the most-unstable parcel's EL (m above the
    ground), the storm motion, then the 10-m winds when the file has them.
    The winds are the columns of :func:`grounded_columns`, heights above the
    ground, with the levels that have no wind moved to the top of each column,
    so that every segment joins two winds.
    """

    def __init__(self, has_10m: bool) -> None:
        self.has_10m = has_10m

    def __call__(
        self, z: Any, u: Any, v: Any, ground: Any, bottom: Any, top: Any, el: Any,
        cu: Any, cv: Any, *ten_metre: Any,
    ) -> tuple[Any, ...]:  # fmt: skip
        from tarnwell import composites

        z, u, v = np.broadcast_arrays(z, u, v)
        batch = z.shape[:-1]
        ground = np.broadcast_to(np.asarray(ground, dtype=np.float64), batch)
        u10, v10 = (np.broadcast_to(a, batch) for a in ten_metre) if self.has_10m else (None, None)
        zc, uc, vc = wind_columns(z, u, v, ground, u10, v10)
        layer = composites.EffectiveLayer(bottom, top, np.nan, np.nan)
        out = np.empty((2, *batch))
        # Missing winds and layers give NaN, which is the answer there, not a warning.
        with np.errstate(invalid="ignore", divide="ignore"):
            out[0] = composites.effective_srh(zc, uc, vc, layer, cu=cu, cv=cv, axis=0)
            out[1] = composites.effective_bulk_wind_difference(zc, uc, vc, layer, el, axis=0)
        return tuple(out)


def wind_columns(
    z: np.ndarray,
    u: np.ndarray,
    v: np.ndarray,
    ground: np.ndarray,
    u10: np.ndarray | None = None,
    v10: np.ndarray | None = None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Columns (levels first) of :func:`grounded_columns`, heights above the ground
    (above the lowest level where the ground is missing), the levels without
    a wind after those with one, in order."""
    zc, uc, vc = grounded_columns(z, u, v, ground, u10, v10)
    usable = np.isfinite(zc) & np.isfinite(uc) & np.isfinite(vc)
    if usable.all():
        return zc, uc, vc
    flat = usable.reshape(len(usable), -1)
    if (flat == flat[:, :1]).all():
        # Every column misses the same levels (a file without 10-m winds): one
        # order for all, without a sort per column.
        order = np.argsort(~flat[:, 0], kind="stable")
        zc, uc, vc, usable = zc[order], uc[order], vc[order], usable[order]
    else:
        order = np.argsort(~usable, axis=0, kind="stable")
        zc, uc, vc = (np.take_along_axis(a, order, axis=0) for a in (zc, uc, vc))
        usable = np.take_along_axis(usable, order, axis=0)
    zc[~usable] = np.nan
    return zc, uc, vc


def _parcels(
    fields: models.ModelFields, winds: dict[str, xr.DataArray] | None, n_threads: int
) -> dict[str, xr.DataArray]:
    from tarnwell import composites

    assert fields.pressure is not None and fields.temperature is not None
    assert fields.dewpoint is not None and fields.height is not None
    assert fields.ground is not None
    level = fields.level_dim
    rows = apply(
        ParcelFields(n_threads),
        [fields.pressure, fields.temperature, fields.dewpoint, fields.height, fields.ground],
        [[level], [level], [level], [level], []],
        len(PARCELS) * len(PARCEL_FIELDS) + len(EFFECTIVE_FIELDS) + 1,
    )
    results = iter(rows)
    start = "ground (the lowest model level at or above it where that is higher)"
    out: dict[str, xr.DataArray] = {}
    for suffix, _, words in PARCELS:
        where = f"of the {words} parcel"
        attrs = {
            "cape": _attrs(
                "J kg-1", f"convective available potential energy {where}",
                "atmosphere_convective_available_potential_energy",
            ),
            "cin": _attrs(
                "J kg-1", f"convective inhibition {where}",
                "atmosphere_convective_inhibition",
            ),
            "lcl_pressure": _attrs("Pa", f"pressure of the lifting condensation level {where}"),
            "lcl_height": _attrs(
                "m", f"height above ground of the lifting condensation level {where}"
            ),
            "lfc_pressure": _attrs("Pa", f"pressure of the level of free convection {where}"),
            "lfc_height": _attrs(
                "m", f"height above ground of the level of free convection {where}"
            ),
            "el_pressure": _attrs("Pa", f"pressure of the equilibrium level {where}"),
            "el_height": _attrs("m", f"height above ground of the equilibrium level {where}"),
        }  # fmt: skip
        comment = (
            f"tarnwell.parcel(parcel='{PARCELS_BY_SUFFIX[suffix]}'): Bolton (1980) LCL and "
            "pseudo-adiabat, buoyancy of virtual temperature (Doswell and Rasmussen 1994), "
            f"areas in ln p; the parcel starts at the lowest level at or above the {start}"
        )
        for name in PARCEL_FIELDS:
            extra = comment
            if name.endswith("_height"):
                extra += "; heights above the ground"
            if name in PARCEL_NAN_EXPECTED:
                extra += "; NaN where the parcel has none (no CAPE, or buoyant to the top)"
            out[f"{name}_{suffix}"] = _finish(next(results), {**attrs[name], "comment": extra})
    thompson = "Thompson et al. (2007)"
    layer_comment = (
        f"{thompson}: the levels whose surface-based parcel has CAPE >= "
        f"{composites.EFFECTIVE_CAPE:g} J kg-1 and CIN >= {composites.EFFECTIVE_CIN:g} J kg-1, "
        "the lowest such run within 300 hPa of the lowest level; NaN where no level qualifies"
    )
    inflow = "of the effective inflow layer"
    layer_attrs = {
        "bottom_height": _attrs("m", f"height above ground of the bottom {inflow}"),
        "top_height": _attrs("m", f"height above ground of the top {inflow}"),
        "bottom_pressure": _attrs("Pa", f"pressure of the bottom {inflow}"),
        "top_pressure": _attrs("Pa", f"pressure of the top {inflow}"),
    }
    layer = {}
    for name in EFFECTIVE_FIELDS:
        layer[name] = next(results)
        out[f"{name}_effective"] = _finish(
            layer[name], {**layer_attrs[name], "comment": layer_comment}
        )
    bottom_from_lowest = next(results)
    if winds is None:
        return out
    assert fields.u is not None and fields.v is not None
    has_10m = fields.u10 is not None and fields.v10 is not None
    args = [
        fields.height, fields.u, fields.v, fields.ground, layer["bottom_height"],
        layer["top_height"], out["el_height_mu"], winds["u_storm"], winds["v_storm"],
    ]  # fmt: skip
    along: list[Hashable] = [level]
    core: list[list[Hashable]] = [along, along, along, [], [], [], [], [], []]
    if has_10m:
        assert fields.u10 is not None and fields.v10 is not None
        args += [fields.u10, fields.v10]
        core += [[], []]
    esrh, ebwd = apply(EffectiveWinds(has_10m), args, core, 2)
    motion = winds["u_storm"].attrs["long_name"].replace("eastward ", "")
    out["helicity_effective"] = _finish(
        esrh,
        _attrs(
            "m2 s-2",
            "effective storm-relative helicity",
            comment=f"{thompson}: over the effective inflow layer, relative to the {motion} "
            "(u_storm, v_storm); 0 where there is no effective layer",
        ),
    )
    out["bulk_wind_difference_effective"] = _finish(
        ebwd,
        _attrs(
            "m s-1",
            "effective bulk wind difference",
            comment=f"{thompson}: the vector wind difference from the bottom of the effective "
            "inflow layer to half the way up to the most-unstable parcel's EL (el_height_mu); "
            "0 where there is no effective layer, NaN where there is no EL",
        ),
    )
    stp = composites.significant_tornado_parameter(
        out["cape_ml"], out["cin_ml"], out["lcl_height_ml"], esrh, ebwd, bottom_from_lowest
    )
    out["stp"] = _finish(
        stp,
        _attrs(
            "1",
            "significant tornado parameter (effective layer)",
            comment="Thompson et al. (2012): (MLCAPE/1500) ((2000 - MLLCL)/1000) (ESRH/150) "
            "(EBWD/20) ((200 + MLCIN)/150), terms capped as the SPC caps them, from cape_ml, "
            "cin_ml, lcl_height_ml, helicity_effective, bulk_wind_difference_effective; NaN "
            "where one is unknown, else 0 where the effective layer is not ground-based",
        ),
    )
    scp = composites.supercell_composite_parameter(out["cape_mu"], esrh, ebwd, out["cin_mu"])
    out["scp"] = _finish(scp, _attrs(
        "1", "supercell composite parameter",
        comment="Thompson et al. (2004): (MUCAPE/1000) (ESRH/50) (EBWD/20) (-40/MUCIN), "
        "terms capped as the SPC caps them, from cape_mu, helicity_effective, "
        "bulk_wind_difference_effective, cin_mu; NaN where one is unknown, 0 with no layer",
    ))  # fmt: skip
    return out


PARCELS_BY_SUFFIX = {suffix: kind for suffix, kind, _ in PARCELS}


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
