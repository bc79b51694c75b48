"""The parcels (surface-based, mixed-layer, most unstable), the effective inflow
layer and the composites built on them (effective helicity and bulk wind
difference, STP, SCP)."""

from __future__ import annotations

from collections.abc import Hashable
from typing import TYPE_CHECKING, Any

import numpy as np

from tarnwell import _core, composites, units
from tarnwell._declarations import PARCEL
from tarnwell._layout import run_rows
from tarnwell._native import lifts
from tarnwell._results import Parcel
from tarnwell._threads import resolve_threads

from . import models
from .blockwise import apply
from .field_attrs import cf_attrs, with_attrs
from .wind_fields import grounded_columns

if TYPE_CHECKING:
    import xarray as xr

# The parcels diagnose lifts: output suffix, tarnwell.parcel's name, and words for attributes.
PARCELS = (
    ("sb", "surface_based", "surface-based"),
    ("ml", "mixed_layer", "mixed-layer (lowest 100 hPa)"),
    ("mu", "most_unstable", "most-unstable (highest theta_e in the lowest 300 hPa)"),
)
PARCEL_FIELDS = Parcel._fields
EFFECTIVE_FIELDS = ("bottom_height", "top_height", "bottom_pressure", "top_pressure")
# NaN in these is the answer, not a failure: no LFC or EL in a stable column.
PARCEL_NAN_EXPECTED = ("lfc_pressure", "lfc_height", "el_pressure", "el_height")
#: The fields :func:`parcel_fields` writes, in order: those of the parcels and the
#: effective layer, then the composites, which need the winds too.
PARCEL_NAMES = (
    *(f"{field}_{suffix}" for suffix, _, _ in PARCELS for field in PARCEL_FIELDS),
    *(f"{field}_effective" for field in EFFECTIVE_FIELDS),
)
COMPOSITE_NAMES = ("helicity_effective", "bulk_wind_difference_effective", "stp", "scp")
# The lifts each parcel field is computed from (:mod:`tarnwell._native.lifts` parts):
# its own parcel; the layer; the composites, what each reads (the bulk wind
# difference reaches up to the most-unstable parcel's EL).
PARCEL_PART = {"sb": lifts.SURFACE_BASED, "ml": lifts.MIXED_LAYER, "mu": lifts.MOST_UNSTABLE}
COMPOSITE_PARTS = {
    "helicity_effective": lifts.EFFECTIVE_LAYER,
    "bulk_wind_difference_effective": lifts.EFFECTIVE_LAYER | lifts.MOST_UNSTABLE,
    "stp": lifts.EFFECTIVE_LAYER | lifts.MOST_UNSTABLE | lifts.MIXED_LAYER,
    "scp": lifts.EFFECTIVE_LAYER | lifts.MOST_UNSTABLE,
}


def lift_parts(wanted: tuple[str, ...] | None) -> int:
    """The lifts (a sum of :mod:`tarnwell._native.lifts` parts) the ``wanted``
    parcel and composite fields need; every one for None."""
    if wanted is None:
        return int(lifts.ALL)
    parts = 0
    for name in wanted:
        if name in COMPOSITE_PARTS:
            parts |= COMPOSITE_PARTS[name]
        elif name in PARCEL_NAMES:
            parts |= PARCEL_PART.get(name.rpartition("_")[2], lifts.EFFECTIVE_LAYER)
    return parts


def parcel_group(name: str) -> str:
    """The precision group of a parcel or composite field: the winds feed some."""
    if name.startswith(("helicity_", "bulk_wind_difference_")) or name in ("stp", "scp"):
        return "composite"
    return "parcel"


class ParcelFields:
    """The three parcels and the effective inflow layer, for one block of columns,
    or those of them that ``parts`` names (the others' rows NaN).

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

    The parcels and the layer are those of :func:`tarnwell.parcel` and
    :func:`tarnwell.composites.effective_inflow_layer`, bit for bit, computed
    column by column in one pass that shares their lifts
    (:mod:`tarnwell._native.lifts`).
    """

    def __init__(self, n_threads: int, parts: int = lifts.ALL) -> None:
        self.n_threads = n_threads
        self.parts = parts

    def __call__(self, p: Any, t: Any, td: Any, z: Any, ground: Any) -> tuple[Any, ...]:

        p, t, td, z = np.broadcast_arrays(p, t, td, z)
        ground = np.broadcast_to(np.asarray(ground, dtype=np.float64), t.shape[:-1])
        t = air_above_ground(t, z, ground)
        offset = lowest_level_above_ground(p, t, z, ground)
        batch = t.shape[:-1]
        out = np.empty((len(PARCELS) * len(PARCEL_FIELDS) + len(EFFECTIVE_FIELDS) + 1, *batch))
        lifted = lift_columns(p, t, td, z, self.parts, self.n_threads)
        n_parcel_rows = len(PARCELS) * len(PARCEL_FIELDS)
        heights = np.array([name.endswith("_height") for name in PARCEL_FIELDS] * len(PARCELS))
        out[:n_parcel_rows] = lifted[:n_parcel_rows]
        out[:n_parcel_rows][heights] += offset
        layer = composites.EffectiveLayer(*lifted[n_parcel_rows:])
        row = n_parcel_rows
        out[row] = layer.bottom_height + offset
        out[row + 1] = layer.top_height + offset
        out[row + 2] = layer.bottom_pressure
        out[row + 3] = layer.top_pressure
        out[row + 4] = layer.bottom_height
        return tuple(out)


def lift_columns(p: Any, t: Any, td: Any, z: Any, parts: int, n_threads: int) -> np.ndarray:
    """Rows (28, *batch) of :func:`tarnwell._native.lifts.parcels_and_layer` on columns
    (levels last) read as :func:`tarnwell.parcel` reads them: the rows of the
    three parcels, then the effective layer's."""
    c = _core.columns("parcel", {"p": p, "t": t, "td": td, "z": z}, {}, -1, heights="z")
    threads = resolve_threads(n_threads)

    def call(rows: list[np.ndarray], _vectors: list[np.ndarray]) -> np.ndarray:
        p, t, td, z = rows
        return lifts.parcels_and_layer(p, t, td, z, parts, n_threads=threads)

    out = run_rows(c.arrays, c.axis, c.vectors, lifts.ROWS, threads, call)
    units.warn_implausible(PARCEL, {"p": p, "t": t, "td": td, "z": z}, stacklevel=2)
    return out.reshape((lifts.ROWS, *c.batch))


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

    def __init__(self, has_10m: bool, bulk_wind_difference: bool = True) -> None:
        self.has_10m = has_10m
        self.bulk_wind_difference = bulk_wind_difference

    def __call__(
        self, z: Any, u: Any, v: Any, ground: Any, bottom: Any, top: Any, el: Any,
        cu: Any, cv: Any, *ten_metre: Any,
    ) -> tuple[Any, ...]:  # fmt: skip

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
            out[1] = (
                composites.effective_bulk_wind_difference(zc, uc, vc, layer, el, axis=0)
                if self.bulk_wind_difference
                else np.nan
            )
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


def parcel_fields(
    fields: models.ModelFields,
    winds: dict[str, xr.DataArray] | None,
    n_threads: int,
    wanted: tuple[str, ...] | None = None,
) -> dict[str, xr.DataArray]:
    """The parcel fields, and with ``winds`` the composites. Only what the ``wanted``
    fields read is computed (None: everything): the parcel fields of a parcel
    not lifted come back NaN, composites not wanted are left out."""

    assert fields.pressure is not None and fields.temperature is not None
    assert fields.dewpoint is not None and fields.height is not None
    assert fields.ground is not None
    level = fields.level_dim
    rows = apply(
        ParcelFields(n_threads, lift_parts(wanted)),
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
            "cape": cf_attrs(
                "J kg-1", f"convective available potential energy {where}",
                "atmosphere_convective_available_potential_energy",
            ),
            "cin": cf_attrs(
                "J kg-1", f"convective inhibition {where}",
                "atmosphere_convective_inhibition",
            ),
            "lcl_pressure": cf_attrs("Pa", f"pressure of the lifting condensation level {where}"),
            "lcl_height": cf_attrs(
                "m", f"height above ground of the lifting condensation level {where}"
            ),
            "lfc_pressure": cf_attrs("Pa", f"pressure of the level of free convection {where}"),
            "lfc_height": cf_attrs(
                "m", f"height above ground of the level of free convection {where}"
            ),
            "el_pressure": cf_attrs("Pa", f"pressure of the equilibrium level {where}"),
            "el_height": cf_attrs("m", f"height above ground of the equilibrium level {where}"),
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
            out[f"{name}_{suffix}"] = with_attrs(next(results), {**attrs[name], "comment": extra})
    thompson = "Thompson et al. (2007)"
    layer_comment = (
        f"{thompson}: the levels whose surface-based parcel has CAPE >= "
        f"{composites.EFFECTIVE_CAPE:g} J kg-1 and CIN >= {composites.EFFECTIVE_CIN:g} J kg-1, "
        "the lowest such run within 300 hPa of the lowest level; NaN where no level qualifies"
    )
    inflow = "of the effective inflow layer"
    layer_attrs = {
        "bottom_height": cf_attrs("m", f"height above ground of the bottom {inflow}"),
        "top_height": cf_attrs("m", f"height above ground of the top {inflow}"),
        "bottom_pressure": cf_attrs("Pa", f"pressure of the bottom {inflow}"),
        "top_pressure": cf_attrs("Pa", f"pressure of the top {inflow}"),
    }
    layer = {}
    for name in EFFECTIVE_FIELDS:
        layer[name] = next(results)
        out[f"{name}_effective"] = with_attrs(
            layer[name], {**layer_attrs[name], "comment": layer_comment}
        )
    bottom_from_lowest = next(results)
    composite = [name for name in COMPOSITE_NAMES if wanted is None or name in wanted]
    if winds is None or not composite:
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
    # Helicity alone needs no bulk wind difference (nor the most-unstable EL).
    bulk = composite != ["helicity_effective"]
    esrh, ebwd = apply(EffectiveWinds(has_10m, bulk), args, core, 2)
    motion = winds["u_storm"].attrs["long_name"].replace("eastward ", "")
    out["helicity_effective"] = with_attrs(
        esrh,
        cf_attrs(
            "m2 s-2",
            "effective storm-relative helicity",
            comment=f"{thompson}: over the effective inflow layer, relative to the {motion} "
            "(u_storm, v_storm); 0 where there is no effective layer",
        ),
    )
    out["bulk_wind_difference_effective"] = with_attrs(
        ebwd,
        cf_attrs(
            "m s-1",
            "effective bulk wind difference",
            comment=f"{thompson}: the vector wind difference from the bottom of the effective "
            "inflow layer to half the way up to the most-unstable parcel's EL (el_height_mu); "
            "0 where there is no effective layer, NaN where there is no EL",
        ),
    )
    if "stp" in composite:
        out["stp"] = stp_field(out, esrh, ebwd, bottom_from_lowest)
    if "scp" in composite:
        out["scp"] = scp_field(out, esrh, ebwd)
    return out


def stp_field(
    out: dict[str, xr.DataArray], esrh: Any, ebwd: Any, bottom_from_lowest: Any
) -> xr.DataArray:
    stp = composites.significant_tornado_parameter(
        out["cape_ml"], out["cin_ml"], out["lcl_height_ml"], esrh, ebwd, bottom_from_lowest
    )
    return with_attrs(
        stp,
        cf_attrs(
            "1",
            "significant tornado parameter (effective layer)",
            comment="Thompson et al. (2012): (MLCAPE/1500) ((2000 - MLLCL)/1000) (ESRH/150) "
            "(EBWD/20) ((200 + MLCIN)/150), terms capped as the SPC caps them, from cape_ml, "
            "cin_ml, lcl_height_ml, helicity_effective, bulk_wind_difference_effective; NaN "
            "where one is unknown, else 0 where the effective layer is not ground-based",
        ),
    )


def scp_field(out: dict[str, xr.DataArray], esrh: Any, ebwd: Any) -> xr.DataArray:
    scp = composites.supercell_composite_parameter(out["cape_mu"], esrh, ebwd, out["cin_mu"])
    return with_attrs(scp, cf_attrs(
        "1", "supercell composite parameter",
        comment="Thompson et al. (2004): (MUCAPE/1000) (ESRH/50) (EBWD/20) (-40/MUCIN), "
        "terms capped as the SPC caps them, from cape_mu, helicity_effective, "
        "bulk_wind_difference_effective, cin_mu; NaN where one is unknown, 0 with no layer",
    ))  # fmt: skip


PARCELS_BY_SUFFIX = {suffix: kind for suffix, kind, _ in PARCELS}
