"""Every diagnostic a model file's variables allow, as one CF Dataset.

Output names follow one rule: the ``tarnwell`` result field, then the layer or
the differentiated quantity where there is one, joined by ``_``:
``theta_e``, ``intensity``, ``helicity_0_3km``, ``u_mean_0_6km``,
``dfdx_theta``. Three derived quantities follow the same pattern:
``u_storm``/``v_storm`` (the storm motion used for helicity) and
``grad_theta``/``grad_theta_v`` (the magnitude of a gradient).

Each kernel runs through :func:`xarray.apply_ufunc` on the NumPy face of the
package, so dask-backed inputs stay lazy and every block gives the same bits
as the whole array.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Hashable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

import numpy as np

import tarnwell
from tarnwell import units

from ._io import CommandError

if TYPE_CHECKING:
    import xarray as xr

GRAVITY = 9.80665  # m s-2, standard gravity: geopotential to geopotential height
EPSILON = 0.6219569156569429  # Rd/Rv, as in the thermo kernel
BUNKERS_DEVIATION = 7.5  # m s-1, Bunkers et al. (2000)
HELICITY_LAYERS = ((0.0, 1000.0), (0.0, 3000.0), (0.0, 6000.0))
BUNKERS_LAYER = (0.0, 6000.0)
DEFAULT_COLD_POOL_THRESHOLD = -0.01  # m s-2: about -0.3 K of theta_v against the reference


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
    "pressure": Role(
        ("air_pressure",),
        ("P", "p", "pres", "pressure", "PRES", "isobaricInhPa", "plev", "level"),
        "Pa",
        "air pressure",
    ),
    "dewpoint": Role(
        ("dew_point_temperature",), ("TD", "td", "dewpoint", "dpt", "DPT", "d2m"), "K", "dew point"
    ),
    "specific_humidity": Role(
        ("specific_humidity",), ("Q", "q", "hus", "SPFH"), "kg kg-1", "specific humidity"
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
        ("geopotential",), ("PHI", "phi", "geopotential"), "m2 s-2", "geopotential"
    ),
    "u": Role(("eastward_wind", "x_wind"), ("U", "u", "ua", "UGRD"), "m s-1", "eastward wind"),
    "v": Role(("northward_wind", "y_wind"), ("V", "v", "va", "VGRD"), "m s-1", "northward wind"),
    "surface_altitude": Role(
        ("surface_altitude", "surface_geopotential_height"),
        ("orog", "HGT_SFC", "zs", "terrain"),
        "m",
        "surface altitude",
    ),
}

VERTICAL_NAMES = (
    "level",
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
X_NAMES = ("x", "projection_x_coordinate", "west_east", "xc", "longitude", "lon")
Y_NAMES = ("y", "projection_y_coordinate", "south_north", "yc", "latitude", "lat")


@dataclass
class Options:
    storm_motion: tuple[float, float] | None = None  # None: Bunkers right mover
    cold_pool_threshold: float = DEFAULT_COLD_POOL_THRESHOLD
    level_dim: str | None = None
    n_threads: int = 1


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


def find_variables(ds: xr.Dataset, explicit: Mapping[str, str]) -> dict[str, xr.DataArray]:
    """Each role's variable: named explicitly, else by CF standard name, else by a common name."""
    found: dict[str, xr.DataArray] = {}
    for role, name in explicit.items():
        if name not in ds.variables:
            raise CommandError(f"--var {role}={name}: the file has no variable {name!r}")
        found[role] = ds[name]
    taken = {da.name for da in found.values()}
    for role, wanted in ROLES.items():
        if role in found:
            continue
        candidates = [
            str(n)
            for n in ds.variables
            if ds[n].attrs.get("standard_name") in wanted.standard_names and n not in taken
        ]
        if not candidates:
            candidates = [n for n in wanted.names if n in ds.variables and n not in taken]
            # A bare vertical coordinate named "level" is pressure only if it is in pressure units.
            candidates = [n for n in candidates if _plausible(ds[n], wanted)]
        if candidates:
            found[role] = ds[candidates[0]]
            taken.add(candidates[0])
    return found


def _plausible(da: xr.DataArray, wanted: Role) -> bool:
    text = da.attrs.get("units")
    if text is None:
        return False
    try:
        units.conversion("diagnose", str(da.name), str(text), wanted.unit)
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
        scale, offset = units.conversion("diagnose", str(da.name), str(text), wanted.unit)
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
            if attrs.get("axis") == "Z" or "positive" in attrs:
                return str(dim)
    for dim in field.dims:
        if dim in VERTICAL_NAMES:
            return str(dim)
    raise CommandError(
        f"no vertical dimension in {field.name!r} {tuple(field.dims)}: the column "
        f"diagnostics need one (name it with --level-dim)"
    )


def _horizontal_dim(ds: xr.Dataset, field: xr.DataArray, axis: str, skip: tuple[str, ...]) -> str:
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


def _apply(
    block: Callable[..., Any],
    args: list[xr.DataArray],
    core: list[list[Hashable]],
    n_out: int,
    out_core: list[Hashable] | None = None,
) -> tuple[xr.DataArray, ...]:
    import xarray as xr

    # Core dimensions must be whole within a block; batch dimensions keep their chunks.
    args = [
        a.chunk({d: -1 for d in c}) if a.chunks is not None and c else a
        for a, c in zip(args, core, strict=True)
    ]
    result = xr.apply_ufunc(
        _Blockwise(block, core, n_out, out_core or []),
        *args,
        input_core_dims=core,
        output_core_dims=[out_core or []] * n_out,
        dask="allowed",
        keep_attrs="drop",
    )
    return result if isinstance(result, tuple) else (result,)


class _Blockwise:
    """`block` on NumPy arrays as they are, on dask arrays block by block.

    xarray's own dask mode concatenates each input's blocks along the core
    dimensions for every call, which copies a block even when it is the only
    one; here each task hands the kernel its blocks as they are (the core
    dimensions are one block each), and the fields come back as views of the
    kernel's one result.
    """

    def __init__(
        self,
        block: Callable[..., Any],
        core: list[list[Hashable]],
        n_out: int,
        out_core: list[Hashable],
    ) -> None:
        self.block = block
        self.core = core
        self.n_out = n_out
        self.out_core = out_core

    def __call__(self, *arrays: Any) -> tuple[Any, ...]:
        import sys

        dask_array = sys.modules.get("dask.array")
        if dask_array is None or not any(isinstance(a, dask_array.Array) for a in arrays):
            return tuple(self.block(*arrays))
        # Indices for blockwise: the broadcast (batch) axes, right-aligned
        # across the inputs, then one per core dimension.
        batch = max(a.ndim - len(c) for a, c in zip(arrays, self.core, strict=True))
        names = {d: batch + k for k, d in enumerate(dict.fromkeys(sum(self.core, [])))}
        pairs: list[Any] = []
        for a, c in zip(arrays, self.core, strict=True):
            own = a.ndim - len(c)
            pairs += [a, tuple(range(batch - own, batch)) + tuple(names[d] for d in c)]
        stack = batch + len(names)
        out = (stack, *range(batch), *(names[d] for d in self.out_core))
        stacked = dask_array.blockwise(
            _StackedFields(self.block),
            out,
            *pairs,
            new_axes={stack: self.n_out},
            dtype=np.float64,
            meta=np.empty((0,) * len(out)),
        )
        return tuple(stacked[i] for i in range(self.n_out))


class _StackedFields:
    """One task: `block` on blocks (a dimension it consumes comes as a list of
    its one block), the fields stacked along a new first axis."""

    def __init__(self, block: Callable[..., Any]) -> None:
        self.block = block

    def __call__(self, *blocks: Any) -> np.ndarray:
        return _stacked(self.block(*map(_only_block, blocks)))


def _only_block(block: Any) -> Any:
    """A block, unwrapped from the (nested) lists of the dimensions it is consumed along."""
    while isinstance(block, list):
        (block,) = block
    return block


def _stacked(fields: tuple[np.ndarray, ...]) -> np.ndarray:
    """The fields as one (n, ...) array: the kernel's own result when they are
    its consecutive rows (as `tarnwell` returns them), else a stacked copy."""
    first = fields[0]
    base = first.base
    if isinstance(base, np.ndarray) and base.flags.c_contiguous and first.flags.c_contiguous:
        if base.size == first.size * len(fields):
            whole = base.reshape((len(fields), *first.shape))
            if all(
                f.__array_interface__ == whole[i].__array_interface__ for i, f in enumerate(fields)
            ):
                return whole
    return np.stack(fields)


class _Block:
    """A picklable kernel call on one block (dask.distributed ships it to workers)."""

    def __init__(self, func: str, n_threads: int, **kwargs: Any) -> None:
        self.func = func
        self.n_threads = n_threads
        self.kwargs = kwargs

    def __call__(self, *arrays: Any) -> tuple[Any, ...]:
        kernel = getattr(tarnwell, self.func)
        return tuple(kernel(*arrays, **self.kwargs, n_threads=self.n_threads))


def _per_column(func: str, n_threads: int, names: tuple[str, ...], **scalars: Any) -> _ColumnBlock:
    return _ColumnBlock(func, n_threads, names, scalars)


class _ColumnBlock:
    """A column kernel on one block: data arrays with levels last, then per-column arrays."""

    def __init__(
        self, func: str, n_threads: int, per_column: tuple[str, ...], scalars: dict[str, Any]
    ) -> None:
        self.func = func
        self.n_threads = n_threads
        self.per_column = per_column
        self.scalars = scalars

    def __call__(self, *arrays: Any) -> tuple[Any, ...]:
        n_data = len(arrays) - len(self.per_column)
        data = arrays[:n_data]
        columns = dict(zip(self.per_column, arrays[n_data:], strict=True))
        kernel = getattr(tarnwell, self.func)
        return tuple(kernel(*data, **columns, **self.scalars, axis=-1, n_threads=self.n_threads))


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

    found = find_variables(ds, variables)
    out: dict[str, xr.DataArray] = {}
    notes: list[str] = []
    n_threads = options.n_threads

    # The 4-D field whose dimensions set the layout: temperature, else the wind.
    anchor = found.get("temperature", found.get("u"))
    if anchor is None:
        raise CommandError(
            "found neither air temperature nor wind: name them with --var temperature=NAME "
            "or --var u=NAME --var v=NAME"
        )
    level_dim = find_vertical_dim(ds, anchor, options.level_dim)
    x_dim = _horizontal_dim(ds, anchor, "x", (level_dim,))
    y_dim = _horizontal_dim(ds, anchor, "y", (level_dim, x_dim))
    dims = anchor.dims

    height = _height(found)
    if height is not None:
        height = height.broadcast_like(anchor).transpose(*dims)
        height, found = _upward(height, found, level_dim)

    thermo = None
    if "temperature" in found and "pressure" in found:
        t = in_unit(found["temperature"], "temperature")
        p = in_unit(found["pressure"], "pressure")
        td = _dewpoint(found, t, p)
        if td is not None:
            fields = _apply(
                _Block("thermo", n_threads), [t, p, td], [[], [], []], len(tarnwell.Thermo._fields)
            )
            thermo = dict(zip(tarnwell.Thermo._fields, fields, strict=True))
            for name, field in thermo.items():
                out[name] = _finish(field.transpose(*dims), THERMO_ATTRS[name])
        else:
            notes.append("no dew point or humidity: no thermodynamic fields")
    else:
        notes.append("no temperature and pressure: no thermodynamic fields")

    ground = None
    if height is not None:
        ground = _ground(found, height, level_dim)

    # Cold pool: buoyancy of the density-weighting (virtual) temperature against the
    # horizontal mean of each level; the layer ends where b rises to the threshold.
    if thermo is not None and height is not None and ground is not None:
        b = buoyancy(thermo["theta_v"], y_dim, x_dim)
        block = _per_column(
            "cold_pool", n_threads, ("bottom", "top"), threshold=options.cold_pool_threshold
        )
        top = xr.full_like(ground, np.nan)
        fields = _apply(
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
        for name, field in zip(tarnwell.ColdPool._fields, fields, strict=True):
            out[name] = _finish(field, attrs[name])

    if "u" in found and "v" in found and height is not None and ground is not None:
        u = in_unit(found["u"], "u").broadcast_like(anchor)
        v = in_unit(found["v"], "v").broadcast_like(anchor)
        out.update(_wind_layers(height, u, v, ground, level_dim, options, n_threads))
    elif "u" not in found or "v" not in found:
        notes.append("no eastward and northward wind: no helicity")
    else:
        notes.append("no heights or geopotential: no helicity, no cold pool")

    grid = _grid_in_metres(ds, x_dim, y_dim) if thermo is not None else None
    if isinstance(grid, str):
        notes.append(grid)
    elif thermo is not None and grid is not None:
        x, y = grid
        for name in ("theta", "theta_v"):
            f = thermo[name]
            gx, gy = _apply(
                _Block("gradient", n_threads),
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


def _height(found: dict[str, xr.DataArray]) -> xr.DataArray | None:
    if "height" in found:
        return in_unit(found["height"], "height")
    if "geopotential" in found:
        phi = in_unit(found["geopotential"], "geopotential")
        return (phi / GRAVITY).assign_attrs(units="m", long_name="geopotential height")
    return None


def _upward(
    height: xr.DataArray, found: dict[str, xr.DataArray], level_dim: str
) -> tuple[xr.DataArray, dict[str, xr.DataArray]]:
    """Levels ordered bottom-up (the column kernels read heights in index order)."""
    first = float(height.isel({level_dim: 0}).mean())
    last = float(height.isel({level_dim: -1}).mean())
    if not first > last:
        return height, found
    flip = slice(None, None, -1)
    found = {
        role: da.isel({level_dim: flip}) if level_dim in da.dims else da
        for role, da in found.items()
    }
    return height.isel({level_dim: flip}), found


def _dewpoint(
    found: dict[str, xr.DataArray], t: xr.DataArray, p: xr.DataArray
) -> xr.DataArray | None:
    """Dew point (K), given or from specific or relative humidity.

    The vapour pressure e comes from specific humidity q as e = q p / (ε + (1 − ε) q),
    or from relative humidity as RH · e_s(T) with Bolton's e_s; the dew point then
    inverts Bolton's e_s: Td = 243.5 ln(e/611.2) / (17.67 − ln(e/611.2)) + 273.15.
    """
    if "dewpoint" in found:
        return in_unit(found["dewpoint"], "dewpoint")
    if "specific_humidity" in found:
        q = in_unit(found["specific_humidity"], "specific_humidity")
        e = q * p / (EPSILON + (1.0 - EPSILON) * q)
    elif "relative_humidity" in found:
        rh = in_unit(found["relative_humidity"], "relative_humidity")
        tc = t - 273.15
        e = rh * 611.2 * np.exp(17.67 * tc / (tc + 243.5))
    else:
        return None
    with np.errstate(divide="ignore", invalid="ignore"):
        ln = np.log(e / 611.2)
        return cast("xr.DataArray", 243.5 * ln / (17.67 - ln) + 273.15)


def _ground(found: dict[str, xr.DataArray], height: xr.DataArray, level_dim: str) -> xr.DataArray:
    """Ground height in the frame of ``height``.

    Heights above ground (CF ``height``) have ground 0; otherwise the file's
    surface altitude, or failing that each column's lowest level.
    """
    if height.attrs.get("standard_name") == "height":
        return (height.isel({level_dim: 0}, drop=True) * 0.0).fillna(0.0)
    if "surface_altitude" in found:
        zs = in_unit(found["surface_altitude"], "surface_altitude")
        return zs.broadcast_like(height.isel({level_dim: 0}, drop=True))
    return height.min(level_dim, skipna=True)


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
        block = _per_column("profile", n_threads, ("ground", "cu", "cv"), bottom=bottom, top=top)
        return dict(zip(fields, _apply(block, [z, u, v, ground, cu, cv], core, 7), strict=True))

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


def _grid_in_metres(ds: xr.Dataset, x_dim: str, y_dim: str) -> tuple[np.ndarray, np.ndarray] | str:
    """The grid's x and y coordinates in metres, or why there are no gradients."""
    try:
        return _coordinate_in_metres(ds, x_dim), _coordinate_in_metres(ds, y_dim)
    except CommandError as err:
        return f"no gradients: {err}"


def _coordinate_in_metres(ds: xr.Dataset, dim: str) -> np.ndarray:
    if dim not in ds.coords:
        raise CommandError(f"dimension {dim!r} has no coordinate values: the gradient needs them")
    coord = ds[dim]
    text = coord.attrs.get("units")
    if text is None:
        raise CommandError(f"coordinate {dim!r} has no units attribute (expected m or km)")
    try:
        if units.is_angle_in_degrees("diagnose", dim, str(text)) or "degree" in str(text):
            raise CommandError(
                f"coordinate {dim!r} is in {text}; the gradient needs a projected grid in "
                f"metres (regrid to a map projection, or give projected x/y coordinates)"
            )
        scale, offset = units.conversion("diagnose", dim, str(text), "m")
    except ValueError as err:
        raise CommandError(str(err)) from None
    return np.asarray(units.apply_linear(coord.values.astype(np.float64), scale, offset))


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
