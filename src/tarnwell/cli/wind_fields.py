"""Layer winds: the storm motion, and the winds and helicity of 0-1, 0-3 and 0-6 km."""

from __future__ import annotations

from collections.abc import Hashable
from typing import TYPE_CHECKING, Any

import numpy as np

from tarnwell import composites, kernels
from tarnwell._results import Profile

from . import models
from .blockwise import apply
from .field_attrs import cf_attrs, with_attrs

if TYPE_CHECKING:
    import xarray as xr

HELICITY_LAYERS = ((0.0, 1000.0), (0.0, 3000.0), (0.0, 6000.0))
PROFILE_FIELDS = Profile._fields
# The layer of the Bunkers et al. (2000) mean wind, whose top reports use; the
# motion itself is tarnwell.composites.bunkers_storm_motion's.
BUNKERS_MEAN_LAYER = (0.0, 6000.0)
TEN_METRES = 10.0  # m: height above the ground of the 10-m wind


def layer_name(bottom: float, top: float) -> str:
    def km(h: float) -> str:
        return f"{h / 1000.0:g}".replace(".", "p")

    return f"{km(bottom)}_{km(top)}km"


#: The fields :func:`wind_layer_fields` writes, in order.
WIND_NAMES = (
    "u_storm",
    "v_storm",
    *(f"{field}_{layer_name(*layer)}" for layer in HELICITY_LAYERS for field in PROFILE_FIELDS),
)


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
            return kernels.profile(
                zc, uc, vc, ground=ground, bottom=bottom, top=top, cu=cu, cv=cv,
                axis=0, n_threads=self.n_threads,
            )  # fmt: skip

        if self.storm_motion is None:
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


def wind_layer_fields(
    fields: models.ModelFields, storm_motion: tuple[float, float] | None, n_threads: int
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
    block = WindLayers(HELICITY_LAYERS, storm_motion, has_10m, n_threads)
    n_out = 2 + len(PROFILE_FIELDS) * len(HELICITY_LAYERS)
    results = iter(apply(block, args, core, n_out))

    lowest = (
        "the 10-m wind, or the lowest model level at or above the ground where that is lower"
        if has_10m
        else "the lowest model level at or above the ground"
    )
    if storm_motion is None:
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
        "u_storm": with_attrs(next(results), {**cf_attrs("m s-1", f"eastward {how}"), **motion}),
        "v_storm": with_attrs(next(results), {**cf_attrs("m s-1", f"northward {how}"), **motion}),
    }
    for bottom, top in HELICITY_LAYERS:
        name = layer_name(bottom, top)
        where = f"{bottom / 1000:g}-{top / 1000:g} km above ground"
        start = lowest if bottom == 0.0 else f"{bottom:g} m above the ground"
        held = "below the lowest wind, the wind is held at its value down to the ground"
        attrs = {
            "u_bottom": cf_attrs(
                "m s-1", f"eastward wind at the bottom of the {where} layer", layer_bottom=start
            ),
            "v_bottom": cf_attrs(
                "m s-1", f"northward wind at the bottom of the {where} layer", layer_bottom=start
            ),
            "u_top": cf_attrs("m s-1", f"eastward wind at {top / 1000:g} km above ground"),
            "v_top": cf_attrs("m s-1", f"northward wind at {top / 1000:g} km above ground"),
            "helicity": cf_attrs("m2 s-2", f"storm-relative helicity {where}", layer_bottom=start),
            "u_mean": cf_attrs(
                "m s-1",
                f"height-weighted mean eastward wind {where}",
                layer_bottom=start,
                comment=held,
            ),
            "v_mean": cf_attrs(
                "m s-1",
                f"height-weighted mean northward wind {where}",
                layer_bottom=start,
                comment=held,
            ),
        }
        for field in PROFILE_FIELDS:
            out[f"{field}_{name}"] = with_attrs(next(results), attrs[field])
    return out
