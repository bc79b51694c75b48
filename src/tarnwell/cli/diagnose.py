"""Every diagnostic a model file's variables allow, as one CF Dataset.

Output names follow one rule: the ``tarnwell`` result field, then the layer or
the differentiated quantity where there is one, joined by ``_``:
``theta_e``, ``intensity``, ``helicity_0_3km``, ``u_mean_0_6km``,
``dfdx_theta``. Three derived quantities follow the same pattern:
``u_storm``/``v_storm`` (the storm motion used for helicity) and
``grad_theta``/``grad_theta_v`` (the magnitude of a gradient).

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

from . import models
from ._io import CommandError
from .blockwise import Block, apply, per_column

if TYPE_CHECKING:
    import xarray as xr

GRAVITY = 9.80665  # m s-2, standard gravity: geopotential to geopotential height
BUNKERS_DEVIATION = 7.5  # m s-1, Bunkers et al. (2000)
HELICITY_LAYERS = ((0.0, 1000.0), (0.0, 3000.0), (0.0, 6000.0))
BUNKERS_LAYER = (0.0, 6000.0)
DEFAULT_COLD_POOL_THRESHOLD = -0.01  # m s-2: about -0.3 K of theta_v against the reference


@dataclass
class Options:
    storm_motion: tuple[float, float] | None = None  # None: Bunkers right mover
    cold_pool_threshold: float = DEFAULT_COLD_POOL_THRESHOLD
    level_dim: str | None = None
    n_threads: int = 1


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
def _attrs(units_: str, long_name: str, standard_name: str | None = None) -> dict[str, Any]:
    attrs = {"units": units_, "long_name": long_name}
    if standard_name:
        attrs["standard_name"] = standard_name
    return attrs


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


def _horizontal_mean(a: np.ndarray) -> np.ndarray:
    """Mean over the last two axes of the finite values (NaN where there are none).

    Summed along one flattened axis so the order of additions, and therefore
    the bits, do not depend on how the batch axes are split into blocks.
    """
    flat = a.reshape(*a.shape[:-2], -1)
    finite = np.isfinite(flat)
    total = np.where(finite, flat, 0.0).sum(axis=-1)
    count = finite.sum(axis=-1)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean: np.ndarray = total / count
    return mean


def buoyancy(theta_v: xr.DataArray, y_dim: str, x_dim: str) -> xr.DataArray:
    """b = g (θv − θv_ref) / θv_ref, θv_ref the horizontal mean of θv on each level and time."""
    import xarray as xr

    whole = theta_v.chunk({y_dim: -1, x_dim: -1}) if theta_v.chunks is not None else theta_v
    reference = xr.apply_ufunc(
        _horizontal_mean,
        whole,
        input_core_dims=[[y_dim, x_dim]],
        dask="parallelized",
        output_dtypes=[np.float64],
    )
    return cast("xr.DataArray", GRAVITY * (theta_v - reference) / reference)


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
    level_dim, y_dim, x_dim = fields.level_dim, fields.y_dim, fields.x_dim
    height, ground = fields.height, fields.ground

    thermo = None
    if fields.temperature is not None and fields.pressure is not None:
        if fields.dewpoint is not None:
            stacked = apply(
                Block("thermo", n_threads),
                [fields.temperature, fields.pressure, fields.dewpoint],
                [[], [], []],
                len(tarnwell.Thermo._fields),
            )
            thermo = dict(zip(tarnwell.Thermo._fields, stacked, strict=True))
            for name, field in thermo.items():
                out[name] = _finish(field.transpose(*dims), THERMO_ATTRS[name])
        else:
            notes.append("no dew point or humidity: no thermodynamic fields")
    else:
        notes.append("no temperature and pressure: no thermodynamic fields")

    # Cold pool: buoyancy of the density-weighting (virtual) temperature against the
    # horizontal mean of each level; the layer ends where b rises to the threshold.
    if thermo is not None and height is not None and ground is not None:
        b = buoyancy(thermo["theta_v"], y_dim, x_dim)
        block = per_column(
            "cold_pool", n_threads, ("bottom", "top"), threshold=options.cold_pool_threshold
        )
        top = xr.full_like(ground, np.nan)
        pool = apply(
            block,
            [height, b, ground, top],
            [[level_dim], [level_dim], [], []],
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
        for name, field in zip(tarnwell.ColdPool._fields, pool, strict=True):
            out[name] = _finish(field, attrs[name])

    if fields.u is not None and fields.v is not None and height is not None and ground is not None:
        out.update(_wind_layers(height, fields.u, fields.v, ground, level_dim, options, n_threads))
    elif fields.u is None or fields.v is None:
        notes.append("no eastward and northward wind: no helicity")
    else:
        notes.append("no heights or geopotential: no helicity, no cold pool")

    if thermo is not None and fields.grid_note is not None:
        notes.append(fields.grid_note)
    elif thermo is not None and fields.x is not None and fields.y is not None:
        x, y = fields.x, fields.y
        for name in ("theta", "theta_v"):
            f = thermo[name]
            gx, gy = apply(
                Block("gradient", n_threads),
                [f, xr.DataArray(x, dims=[x_dim]), xr.DataArray(y, dims=[y_dim])],
                [[y_dim, x_dim], [x_dim], [y_dim]],
                2,
                out_core=[y_dim, x_dim],
            )
            label = THERMO_ATTRS[name]["long_name"]
            gx = gx.transpose(*dims)
            gy = gy.transpose(*dims)
            out[f"dfdx_{name}"] = _finish(gx, _attrs("K m-1", f"x derivative of {label}"))
            out[f"dfdy_{name}"] = _finish(gy, _attrs("K m-1", f"y derivative of {label}"))
            out[f"grad_{name}"] = _finish(
                cast("xr.DataArray", np.hypot(gx, gy)),
                _attrs("K m-1", f"magnitude of the horizontal gradient of {label}"),
            )

    if not out:
        raise CommandError("nothing to diagnose: " + "; ".join(notes))
    result = xr.Dataset(out)
    if height is not None:
        mean_height = height.mean([d for d in dims if d != level_dim])
        result = result.assign_coords(
            height_level_mean=mean_height.assign_attrs(
                _attrs("m", "mean height of the model level", None)
            )
        )
    for coord in result.coords:
        if coord in ds.coords:
            result[coord].attrs = dict(ds[coord].attrs)
    anchor = fields.temperature if fields.temperature is not None else fields.u
    if anchor is not None:
        result = _carry_grid_mapping(ds, result, anchor)
    result.attrs = {
        "Conventions": "CF-1.8",
        "title": "tarnwell diagnostics",
        "source": f"tarnwell {tarnwell.__version__}",
        "tarnwell_product": "diagnose",
        "tarnwell_cold_pool_threshold": options.cold_pool_threshold,
        "tarnwell_cold_pool_reference": "horizontal mean of theta_v on each level and time",
        "tarnwell_storm_motion": "Bunkers right mover (0-6 km)"
        if options.storm_motion is None
        else f"{options.storm_motion[0]},{options.storm_motion[1]} m s-1",
    }
    if notes:
        result.attrs["comment"] = "\n".join(notes)
    return result


def _finish(field: xr.DataArray, attrs: Mapping[str, Any]) -> xr.DataArray:
    field = field.copy(deep=False)
    field.attrs = dict(attrs)
    return field


def _wind_layers(
    z: xr.DataArray,
    u: xr.DataArray,
    v: xr.DataArray,
    ground: xr.DataArray,
    level_dim: str,
    options: Options,
    n_threads: int,
) -> dict[str, xr.DataArray]:
    import xarray as xr

    fields = tarnwell.Profile._fields
    core: list[list[Hashable]] = [[level_dim], [level_dim], [level_dim], [], [], []]

    def layer(bottom: float, top: float, cu: xr.DataArray, cv: xr.DataArray) -> dict[str, Any]:
        block = per_column("profile", n_threads, ("ground", "cu", "cv"), bottom=bottom, top=top)
        return dict(zip(fields, apply(block, [z, u, v, ground, cu, cv], core, 7), strict=True))

    if options.storm_motion is None:
        # Bunkers right mover: the 0-6 km mean wind plus 7.5 m/s to the right of the
        # 0-6 km shear. The mean is weighted by height, not by pressure as in
        # Bunkers et al. (2000) and MetPy; in the lowest 6 km the two differ by a
        # few tenths of a m/s where the wind changes strongly with height.
        nan = xr.full_like(ground, np.nan)
        deep = layer(*BUNKERS_LAYER, nan, nan)
        su = deep["u_top"] - deep["u_bottom"]
        sv = deep["v_top"] - deep["v_bottom"]
        shear = np.hypot(su, sv)
        cu = deep["u_mean"] + BUNKERS_DEVIATION * sv / shear
        cv = deep["v_mean"] - BUNKERS_DEVIATION * su / shear
        how = "Bunkers right-mover storm motion (0-6 km mean wind and shear)"
    else:
        cu = xr.full_like(ground, options.storm_motion[0])
        cv = xr.full_like(ground, options.storm_motion[1])
        how = "storm motion given on the command line"

    out: dict[str, xr.DataArray] = {
        "u_storm": _finish(cu, _attrs("m s-1", f"eastward {how}")),
        "v_storm": _finish(cv, _attrs("m s-1", f"northward {how}")),
    }
    for bottom, top in HELICITY_LAYERS:
        name = layer_name(bottom, top)
        where = f"{bottom / 1000:g}-{top / 1000:g} km above ground"
        res = layer(bottom, top, cu, cv)
        attrs = {
            "u_bottom": _attrs("m s-1", f"eastward wind at {bottom / 1000:g} km above ground"),
            "v_bottom": _attrs("m s-1", f"northward wind at {bottom / 1000:g} km above ground"),
            "u_top": _attrs("m s-1", f"eastward wind at {top / 1000:g} km above ground"),
            "v_top": _attrs("m s-1", f"northward wind at {top / 1000:g} km above ground"),
            "helicity": _attrs("m2 s-2", f"storm-relative helicity {where}"),
            "u_mean": _attrs("m s-1", f"height-weighted mean eastward wind {where}"),
            "v_mean": _attrs("m s-1", f"height-weighted mean northward wind {where}"),
        }
        for field in fields:
            out[f"{field}_{name}"] = _finish(res[field], attrs[field])
    return out


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
