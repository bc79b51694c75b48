"""One note for each output field that is NaN where the inputs have data."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from . import models
from .parcel_fields import PARCEL_FIELDS, PARCEL_NAN_EXPECTED, PARCELS
from .wind_fields import BUNKERS_MEAN_LAYER, HELICITY_LAYERS, layer_name

if TYPE_CHECKING:
    import xarray as xr

# Most columns: a field NaN in more than this share of the points with data is reported.
NAN_SHARE_REPORTED = 0.5


def nan_notes(out: Mapping[str, xr.DataArray], fields: models.ModelFields) -> list[str]:
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
