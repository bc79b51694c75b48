"""NumPy layer: argument conversion, broadcasting, axis layout and masks.

Every kernel of `_tarnwell` wants its columns (levels, gates, grid rows) as the
last, contiguous axis of a C-ordered float64 block, one item per row. This
module turns what a user hands over (any numeric array-like, masked arrays,
any axis order, broadcastable shapes) into exactly that, and the stacked
kernel result back into fields of the batch shape, as views of that result.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _tarnwell

from . import _domain
from ._declarations import Diagnostic
from ._layout import c_contiguous, run_rows

# The compiled modules by their functions: `from . import` of a compiled
# submodule reads, to the import checker (which sees Python sources only), as
# an import of the package itself.
from ._native.parcel import FIELDS as PARCEL_FIELDS
from ._native.parcel import MIXED_LAYER, MOST_UNSTABLE, SURFACE_BASED, parcel_level_first
from ._native.parcel import parcel as parcel_rows
from ._native.transpose import cold_pool_level_first, profile_level_first
from ._threads import resolve_threads

FloatArray = npt.NDArray[np.float64]


def where(func: str) -> str:
    return f"tarnwell.{func}"


def shape_text(shapes: Mapping[str, tuple[int, ...]]) -> str:
    return ", ".join(f"{name} with shape {shape}" for name, shape in shapes.items())


def as_float(func: str, name: str, value: Any) -> tuple[FloatArray, bool]:
    """`value` as a float64 array with masked elements set to NaN; also whether it was masked.

    The caller's object is never written: a masked array is filled into a copy.
    """
    if isinstance(value, np.ma.MaskedArray):
        data = np.ma.getdata(value)
        mask = np.ma.getmaskarray(value)
        out = np.array(check_numeric(func, name, data), dtype=np.float64, copy=True)
        out[mask] = np.nan
        return out, True
    return check_numeric(func, name, value), False


def check_numeric(func: str, name: str, value: Any) -> FloatArray:
    try:
        arr = np.asarray(value)
    except (TypeError, ValueError) as err:
        raise TypeError(f"{where(func)}: {name} must be numeric array-like ({err})") from None
    if arr.dtype.kind in "biuf":
        return arr.astype(np.float64, copy=False)
    if arr.dtype.kind == "O":
        try:
            return arr.astype(np.float64)
        except (TypeError, ValueError):
            pass
    raise TypeError(
        f"{where(func)}: {name} must hold real numbers, got an array of dtype {arr.dtype}"
    )


def as_scalar(func: str, name: str, value: Any) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(
            f"{where(func)}: {name} must be a real number, got {type(value).__name__}"
        ) from None


def as_count(func: str, name: str, value: Any) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{where(func)}: {name} must be an integer, got bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(
            f"{where(func)}: {name} must be an integer, got {type(value).__name__}"
        ) from None


def normalize_axis(func: str, name: str, axis: Any, ndim: int, what: str) -> int:
    index = as_count(func, name, axis)
    if not -ndim <= index < ndim:
        raise ValueError(
            f"{where(func)}: {name}={index} is out of range for the {what}, "
            f"which has {ndim} dimension{'s' if ndim != 1 else ''}"
        )
    return index % ndim


def broadcast_shape(func: str, shapes: Mapping[str, tuple[int, ...]]) -> tuple[int, ...]:
    try:
        return tuple(np.broadcast_shapes(*shapes.values()))
    except ValueError:
        raise ValueError(f"{where(func)}: cannot broadcast {shape_text(shapes)}") from None


def masked_fields(fields: Sequence[FloatArray]) -> list[Any]:
    """Fields as masked arrays (views of the same data) masked where they are NaN."""
    return [np.ma.MaskedArray(f, mask=np.isnan(f), copy=False) for f in fields]


def finish(stacked: FloatArray, masked: bool) -> tuple[Any, ...]:
    """The fields of a stacked result (k, *batch), views of it; masked where NaN
    when an input was masked."""
    # Index with an ellipsis so that even 0-d fields are array views, not scalars.
    fields = [stacked[i, ...] for i in range(stacked.shape[0])]
    return tuple(masked_fields(fields) if masked else fields)


class Columns(NamedTuple):
    """Column data prepared for a kernel that takes rows of (n, L)."""

    batch: tuple[int, ...]
    arrays: list[FloatArray]  # all of one shape, the vertical axis at `axis`
    axis: int
    vectors: list[FloatArray]  # contiguous (n,), one value per column
    masked: bool


def falls_with_index(z: FloatArray, axis: int) -> bool:
    """Whether the heights `z` fall with the index along `axis` (columns stored top-down).

    Each column's direction is that of its first and last usable (finite)
    heights; the ends are read first, and only columns with a missing end are
    searched. True only when some columns fall and none rises: a call whose
    columns go both ways is read in index order, column by column as stored.
    """
    if z.ndim == 0 or z.shape[axis] < 2:
        return False
    first = np.take(z, 0, axis=axis)
    last = np.take(z, -1, axis=axis)
    falling = first > last
    rising = first < last
    undecided = ~(falling | rising)
    if undecided.any():
        # One column gives 0-d comparisons: index with a batch axis of one.
        falling, rising, undecided = (np.atleast_1d(a) for a in (falling, rising, undecided))
        rows = np.moveaxis(z, axis, -1).reshape(*undecided.shape, z.shape[axis])[undecided]
        usable = np.isfinite(rows)
        found = usable.any(axis=-1)
        index = np.arange(rows.shape[0])
        low = rows[index, usable.argmax(axis=-1)]
        high = rows[index, rows.shape[-1] - 1 - usable[:, ::-1].argmax(axis=-1)]
        falling[undecided] = found & (low > high)
        rising[undecided] = found & (low < high)
    return bool(falling.any()) and not rising.any()


def columns(
    func: str,
    data: Mapping[str, Any],
    per_column: Mapping[str, Any],
    axis: Any,
    heights: str | None = None,
) -> Columns:
    """Check and broadcast column data.

    `data` hold the vertical (or gate) axis at `axis` of their broadcast shape;
    `per_column` values broadcast against the other axes. Columns whose
    `heights` fall with the index are read from the top down: every data
    argument is reversed along the axis, as a view.
    """
    arrays: dict[str, FloatArray] = {}
    masked = False
    for name, value in data.items():
        arrays[name], m = as_float(func, name, value)
        masked |= m
    full = broadcast_shape(func, {k: a.shape for k, a in arrays.items()})
    if len(full) == 0:
        shapes_in = shape_text({k: a.shape for k, a in arrays.items()})
        raise ValueError(
            f"{where(func)}: {', '.join(arrays)} need a vertical axis, got {shapes_in}"
        )
    ax = normalize_axis(func, "axis", axis, len(full), f"broadcast shape {full}")
    levels = full[ax]
    data_batch = full[:ax] + full[ax + 1 :]

    per: dict[str, FloatArray] = {}
    for name, value in per_column.items():
        per[name], m = as_float(func, name, value)
        masked |= m
    shapes = {"the non-vertical axes of the data": data_batch} | {
        k: a.shape for k, a in per.items()
    }
    batch = broadcast_shape(func, shapes)
    n = math.prod(batch)
    blocks = [np.broadcast_to(a, full) if a.shape != full else a for a in arrays.values()]
    if heights is not None:
        z = arrays[heights]
        z_axis = ax - (len(full) - z.ndim)
        if z_axis >= 0 and falls_with_index(z, z_axis):
            blocks = [np.flip(a, ax) for a in blocks]
    if batch != data_batch:
        # Per-column arguments add batch axes: the data repeat along them.
        blocks = [np.broadcast_to(np.moveaxis(a, ax, -1), batch + (levels,)) for a in blocks]
        ax = len(batch)
    vectors = [np.ascontiguousarray(np.broadcast_to(p, batch)).reshape(n) for p in per.values()]
    return Columns(batch, blocks, ax, vectors, masked)


def infinite_as_missing(a: FloatArray) -> FloatArray:
    """`a` with ±inf as NaN (a copy only when there is one).

    The thermodynamic formulas carry an infinity through to a number (an
    infinite pressure gives θ = 0, an infinite dew point is clamped to the
    temperature); missing is what it means. A finite sum (one vectorised pass,
    no temporary) rules an infinity out; only data holding NaN or inf take the
    slower NaN-ignoring reductions.
    """
    if a.size == 0:
        return a
    with np.errstate(invalid="ignore", over="ignore"):  # inf - inf, or a sum past 1e308
        if math.isfinite(np.add.reduce(a, axis=None)):
            return a
    if np.fmax.reduce(a, axis=None) != np.inf and np.fmin.reduce(a, axis=None) != -np.inf:
        return a
    return np.where(np.isinf(a), np.nan, a)


def thermo(t: Any, p: Any, td: Any, *, n_threads: int | None = None) -> Any:
    func = "thermo"
    arrays: dict[str, FloatArray] = {}
    masked = False
    for name, value in (("t", t), ("p", p), ("td", td)):
        arrays[name], m = as_float(func, name, value)
        masked |= m
    for name, a in arrays.items():
        arrays[name] = infinite_as_missing(a)
    shape = broadcast_shape(func, {k: a.shape for k, a in arrays.items()})
    # The kernel is elementwise and reads each input in C order: broadcast
    # inputs become contiguous copies, contiguous ones are read in place.
    flat = [np.broadcast_to(a, shape) if a.shape != shape else a for a in arrays.values()]
    t_in, p_in, td_in = flat
    out = _tarnwell.thermo(t_in, p_in, td_in, n_threads=resolve_threads(n_threads))
    # Mixing ratio, θv and θe: none exists where the vapour pressure reaches the pressure.
    _domain.no_mixing_ratio_as_missing(out.reshape(4, -1), (0, 2, 3))
    return finish(out.reshape((4, *shape)), masked)


def cold_pool(
    z: Any,
    b: Any,
    *,
    bottom: Any,
    threshold: Any,
    top: Any,
    axis: int = -1,
    n_threads: int | None = None,
) -> Any:
    func = "cold_pool"
    threshold = as_scalar(func, "threshold", threshold)
    threads = resolve_threads(n_threads)
    c = columns(func, {"z": z, "b": b}, {"bottom": bottom, "top": top}, axis, heights="z")

    def call(rows: list[FloatArray], vec: list[FloatArray]) -> FloatArray:
        return _tarnwell.cold_pool(rows[0], rows[1], vec[0], threshold, vec[1], n_threads=threads)

    def level_first(grids: list[FloatArray], vec: list[FloatArray]) -> FloatArray:
        return cold_pool_level_first(
            grids[0], grids[1], vec[0], threshold, vec[1], n_threads=threads
        )

    out = run_rows(c.arrays, c.axis, c.vectors, 3, threads, call, level_first)
    return finish(out.reshape((3, *c.batch)), c.masked)


def profile(
    z: Any,
    u: Any,
    v: Any,
    *,
    ground: Any,
    bottom: Any,
    top: Any,
    cu: Any,
    cv: Any,
    axis: int = -1,
    n_threads: int | None = None,
) -> Any:
    func = "profile"
    bottom = as_scalar(func, "bottom", bottom)
    top = as_scalar(func, "top", top)
    threads = resolve_threads(n_threads)
    c = columns(
        func, {"z": z, "u": u, "v": v}, {"ground": ground, "cu": cu, "cv": cv}, axis, heights="z"
    )

    def call(rows: list[FloatArray], vec: list[FloatArray]) -> FloatArray:
        z, u, v = rows
        return _tarnwell.profile(z, u, v, vec[0], bottom, top, vec[1], vec[2], n_threads=threads)

    def level_first(grids: list[FloatArray], vec: list[FloatArray]) -> FloatArray:
        z, u, v = grids
        return profile_level_first(z, u, v, vec[0], bottom, top, vec[1], vec[2], n_threads=threads)

    out = run_rows(c.arrays, c.axis, c.vectors, 7, threads, call, level_first)
    return finish(out.reshape((7, *c.batch)), c.masked)


def vad(
    vr: Any,
    az: Any,
    *,
    cos_el: Any,
    min_gates: Any,
    min_spread: Any,
    axis: int = -1,
    n_threads: int | None = None,
) -> Any:
    func = "vad"
    min_gates = as_count(func, "min_gates", min_gates)
    min_spread = as_scalar(func, "min_spread", min_spread)
    threads = resolve_threads(n_threads)
    c = columns(func, {"vr": vr, "az": az}, {"cos_el": cos_el}, axis)
    c = c._replace(vectors=[_domain.cos_elevation(func, c.vectors[0])])

    def call(rows: list[FloatArray], vec: list[FloatArray]) -> FloatArray:
        return _tarnwell.vad(rows[0], rows[1], vec[0], min_gates, min_spread, n_threads=threads)

    out = run_rows(c.arrays, c.axis, c.vectors, 8, threads, call)
    return finish(out.reshape((8, *c.batch)), c.masked)


def coordinate(func: str, name: str, value: Any, size: int, axis_text: str) -> FloatArray:
    c, _ = as_float(func, name, value)
    if c.ndim != 1 or c.shape[0] != size:
        raise ValueError(
            f"{where(func)}: {name} with shape {c.shape} must be 1-D with one value per "
            f"point of {axis_text} ({size})"
        )
    return c


def gradient(
    f: Any,
    x: Any,
    y: Any,
    *,
    axes: tuple[int, int] = (-2, -1),
    n_threads: int | None = None,
    x_wrap: tuple[float, float] | None = None,
) -> Any:
    """`x_wrap`, for an x axis that closes a circle: the coordinates of the last
    point before the first and of the first after the last, a turn away."""
    func = "gradient"
    if x is None or y is None:
        raise TypeError(
            f"{where(func)}: x and y (grid coordinates in metres) are required unless f is "
            "a DataArray with coordinates"
        )
    fa, masked = as_float(func, "f", f)
    if fa.ndim < 2:
        raise ValueError(f"{where(func)}: f with shape {fa.shape} needs at least 2 dimensions")
    try:
        ay_in, ax_in = axes
    except (TypeError, ValueError):
        raise TypeError(f"{where(func)}: axes must be a pair (y axis, x axis)") from None
    what = f"f with shape {fa.shape}"
    ay = normalize_axis(func, "axes[0]", ay_in, fa.ndim, what)
    ax = normalize_axis(func, "axes[1]", ax_in, fa.ndim, what)
    if ay == ax:
        raise ValueError(f"{where(func)}: axes={tuple(axes)} name the same axis twice")
    ny, nx = fa.shape[ay], fa.shape[ax]
    xc = coordinate(func, "x", x, nx, f"f's x axis (axis {ax})")
    yc = coordinate(func, "y", y, ny, f"f's y axis (axis {ay})")
    if fa.size == 0:
        return finish(np.empty((2, *fa.shape)), masked)
    grid_last = np.moveaxis(fa, (ay, ax), (-2, -1))
    batch = grid_last.shape[:-2]
    block = c_contiguous(grid_last).reshape(-1, ny, nx)
    if x_wrap is not None:
        # Periodic in x: each end gets the other end as its outer neighbour.
        block = np.concatenate((block[..., -1:], block, block[..., :1]), axis=-1)
        xc = np.concatenate(([x_wrap[0]], xc, [x_wrap[1]]))
    out = _tarnwell.gradient(block, xc, yc, n_threads=resolve_threads(n_threads))
    _domain.zero_spacing_as_missing(out[0], xc, axis=-1)
    _domain.zero_spacing_as_missing(out[1], yc, axis=-2)
    if x_wrap is not None:
        out = out[..., 1:-1]
    out = np.moveaxis(out.reshape((2, *batch, ny, nx)), (-2, -1), (ay + 1, ax + 1))
    return finish(out, masked)


#: The parcels `parcel=` selects, by name.
PARCELS: dict[str, int] = {
    "surface_based": SURFACE_BASED,
    "mixed_layer": MIXED_LAYER,
    "most_unstable": MOST_UNSTABLE,
}


def parcel_kind(value: Any) -> int:
    """The kernel's code of a parcel name; ValueError naming the choices otherwise."""
    if isinstance(value, str) and value in PARCELS:
        return PARCELS[value]
    choices = ", ".join(repr(k) for k in PARCELS)
    raise ValueError(f"tarnwell.parcel: parcel={value!r} is not one of {choices}")


def parcel(
    p: Any,
    t: Any,
    td: Any,
    z: Any,
    *,
    parcel: str = "surface_based",
    axis: int = -1,
    n_threads: int | None = None,
) -> Any:
    func = "parcel"
    kind = parcel_kind(parcel)
    threads = resolve_threads(n_threads)
    c = columns(func, {"p": p, "t": t, "td": td, "z": z}, {}, axis, heights="z")
    n_fields = len(PARCEL_FIELDS)

    def call(rows: list[FloatArray], vec: list[FloatArray]) -> FloatArray:
        p, t, td, z = rows
        return parcel_rows(p, t, td, z, kind, n_threads=threads)

    def level_first(grids: list[FloatArray], vec: list[FloatArray]) -> FloatArray:
        p, t, td, z = grids
        return parcel_level_first(p, t, td, z, kind, n_threads=threads)

    out = run_rows(c.arrays, c.axis, c.vectors, n_fields, threads, call, level_first)
    return finish(out.reshape((n_fields, *c.batch)), c.masked)


@dataclass(frozen=True)
class OnRows:
    """A diagnostic computed on columns laid out as C-ordered (n, L) rows.

    `rows` takes the level inputs' rows, then the column inputs as (n,)
    vectors, then the scalar inputs and ``n_threads`` by keyword, and returns
    its fields as (n,) arrays. Columns stored top-down arrive bottom-up.
    """

    decl: Diagnostic
    rows: Callable[..., Sequence[Any]]

    def __call__(self, *, axis: Any = -1, n_threads: int | None = None, **values: Any) -> Any:
        d = self.decl
        c = columns(
            d.name,
            {n: values[n] for n in d.role_names("level")},
            {n: values[n] for n in d.role_names("column")},
            axis,
            heights=d.heights,
        )
        n = math.prod(c.batch)
        levels = c.arrays[0].shape[c.axis]
        rows = [
            np.ascontiguousarray(np.moveaxis(a, c.axis, -1)).reshape(n, levels) for a in c.arrays
        ]
        scalars = {k: v for k, v in values.items() if k not in d.role_names("level", "column")}
        fields = self.rows(*rows, *c.vectors, n_threads=n_threads, **scalars)
        out = np.empty((len(d.outputs), *c.batch))
        for i, field in enumerate(fields):
            out[i] = np.reshape(field, c.batch)
        return finish(out, c.masked)


@dataclass(frozen=True)
class Elementwise:
    """A diagnostic computed element by element on its broadcast inputs:
    `formula` takes them by name as float64 arrays (NaN where masked)."""

    decl: Diagnostic
    formula: Callable[..., Any]

    def __call__(self, *, n_threads: int | None = None, **values: Any) -> Any:
        arrays: dict[str, FloatArray] = {}
        masked = False
        for name in self.decl.role_names("element"):
            arrays[name], m = as_float(self.decl.name, name, values[name])
            masked |= m
        shape = broadcast_shape(self.decl.name, {k: a.shape for k, a in arrays.items()})
        out = self.formula(**{k: np.broadcast_to(a, shape) for k, a in arrays.items()})
        return finish(np.asarray(out, dtype=np.float64).reshape((1, *shape)), masked)
