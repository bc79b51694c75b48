"""dask arrays: the kernels over blocks, lazily.

Batch axes keep their chunks; the vertical (gate, grid) axes a kernel needs
whole are merged into one chunk first. Column kernels run blockwise on blocks
of whole columns, `thermo` and `gradient` as generalised ufuncs. Every block
runs the NumPy face, so the result is bit-identical to the eager call
whatever the chunks.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import numpy as np

from . import _core, _sphere
from ._declarations import Diagnostic
from ._threads import resolve_threads


def _in_task(n_threads: int | None) -> int:
    # A block runs inside a dask task: the scheduler spreads the blocks over
    # the cores, so an unset thread count means one thread per block.
    return 1 if n_threads is None else resolve_threads(n_threads)


def _element_block(*arrays: Any, compute: Any, names: tuple[str, ...], **options: Any) -> Any:
    if "n_threads" in options:
        options["n_threads"] = _in_task(options["n_threads"])
    fields = tuple(compute(**dict(zip(names, arrays, strict=True)), **options))
    # A gufunc of one output returns it bare.
    return fields if len(fields) > 1 else fields[0]


def _column_block(*blocks: Any, compute: Any, names: tuple[str, ...], **kwargs: Any) -> Any:
    """The stacked fields (k, *batch) of one block of whole columns."""
    n_threads = kwargs.pop("n_threads")
    # Blocks of the column axis come as a list (of one block: it is one chunk).
    arrays = [b[0] if isinstance(b, list) else b for b in blocks]
    call = dict(zip(names, arrays, strict=True)) | kwargs
    fields = compute(**call, axis=-1, n_threads=_in_task(n_threads))
    return np.ma.stack(fields) if isinstance(fields[0], np.ma.MaskedArray) else np.stack(fields)


def _columns(
    da: Any,
    decl: Diagnostic,
    compute: Any,
    arrays: list[Any],
    per: list[Any],
    names: tuple[str, ...],
    n_threads: int | None,
    scalars: Mapping[str, Any],
) -> list[Any]:
    """Column kernel over blocks of whole columns: `arrays` (*batch, L) with L in one
    chunk, `per` broadcasting against the batch shape."""
    batch = arrays[0].shape[:-1]
    try:
        full_batch = tuple(np.broadcast_shapes(batch, *(p.shape for p in per)))
    except ValueError:
        shapes = {"the non-vertical axes of the data": batch} | {
            n: p.shape for n, p in zip(names[len(arrays) :], per, strict=True)
        }
        raise ValueError(
            f"tarnwell.{decl.name}: cannot broadcast {_core.shape_text(shapes)}"
        ) from None
    if full_batch != batch:
        arrays = [da.broadcast_to(a, full_batch + a.shape[-1:]) for a in arrays]
    nb = len(full_batch)
    batch_index = tuple(range(1, nb + 1))
    level_index = nb + 1
    field_index = 0
    pairs: list[Any] = []
    for a in arrays:
        pairs += [a, (*batch_index, level_index)]
    for p in per:
        pairs += [p, batch_index[nb - p.ndim :]]
    # blockwise, not a gufunc: a gufunc concatenates the blocks of the column
    # axis into a copy even when there is only one.
    stacked = da.blockwise(
        _column_block,
        (field_index, *batch_index),
        *pairs,
        new_axes={field_index: len(decl.outputs)},
        concatenate=False,
        dtype=np.float64,
        meta=np.empty((0,) * (nb + 1)),
        compute=compute,
        names=names,
        n_threads=n_threads,
        **scalars,
    )
    return [stacked[i] for i in range(len(decl.outputs))]


def _gradient_block(
    f: Any, *, compute: Any, x: Any, y: Any, sphere: bool, n_threads: int | None
) -> tuple[Any, ...]:
    # On the sphere the derivatives along the grid axes take the metric factors.
    on_grid = _sphere.gradient if sphere else compute
    return tuple(on_grid(f, x, y, axes=(-2, -1), n_threads=_in_task(n_threads)))


def run(decl: Diagnostic, compute: Any, args: Mapping[str, Any], options: Mapping[str, Any]) -> Any:
    """The lazy dask fields of `decl` on arguments where one is a dask array."""
    import dask.array as da

    func = decl.name
    n_fields = len(decl.outputs)
    dtypes = [np.float64] * n_fields
    n_threads = options.get("n_threads")
    if n_threads is not None:
        resolve_threads(n_threads)  # refuse a bad value now, not at compute time
    if decl.core == "none":
        names = decl.role_names("element")
        inputs = [_as_dask(da, func, n, args[n]) for n in names]
        _refuse_unknown_chunks(func, dict(zip(names, inputs, strict=True)))
        try:
            inputs = da.broadcast_arrays(*inputs)
        except ValueError:
            shapes = {n: a.shape for n, a in zip(names, inputs, strict=True)}
            raise ValueError(
                f"tarnwell.{func}: cannot broadcast {_core.shape_text(shapes)}"
            ) from None
        # Arguments chunked differently (per-level storage chunks, one of them in
        # memory) are brought to common chunks: the kernel is elementwise.
        index = "".join(chr(ord("a") + i) for i in range(inputs[0].ndim))
        _, inputs = da.core.unify_chunks(*(x for a in inputs for x in (a, index)))
        out = da.apply_gufunc(
            _element_block,
            ",".join(["()"] * len(names)) + "->" + ",".join(["()"] * n_fields),
            *inputs,
            output_dtypes=dtypes if n_fields > 1 else dtypes[0],
            compute=compute,
            names=names,
            **options,
        )
        out = out if n_fields > 1 else [out]
    elif decl.core == "grid":
        sphere = bool(options.get("sphere", False))
        out = _gradient(da, compute, args, options["axes"], n_threads, dtypes, sphere)
    else:
        data_names, per_names = decl.role_names("level"), decl.role_names("column")
        arrays = [_as_dask(da, func, n, args[n]) for n in data_names]
        _refuse_unknown_chunks(func, dict(zip(data_names, arrays, strict=True)))
        try:
            arrays = da.broadcast_arrays(*arrays)
        except ValueError:
            shapes = {n: a.shape for n, a in zip(data_names, arrays, strict=True)}
            raise ValueError(
                f"tarnwell.{func}: cannot broadcast {_core.shape_text(shapes)}"
            ) from None
        full = arrays[0].shape
        what = f"broadcast shape {full}"
        if not full:
            raise ValueError(f"tarnwell.{func}: {', '.join(data_names)} need a vertical axis")
        ax = _core.normalize_axis(func, "axis", options.get("axis", -1), len(full), what)
        arrays = [da.moveaxis(a, ax, -1).rechunk({-1: -1}) for a in arrays]
        per = [_as_dask(da, func, n, args[n]) for n in per_names]
        scalars = {k: v for k, v in args.items() if k not in data_names + per_names}
        scalars |= {k: v for k, v in options.items() if k not in ("axis", "n_threads")}
        out = _columns(da, decl, compute, arrays, per, data_names + per_names, n_threads, scalars)
    return list(out)


def _refuse_unknown_chunks(func: str, arrays: Mapping[str, Any]) -> None:
    """Arrays of unknown shape (from boolean indexing, ``unique``, ``to_dask_array()``
    of a DataFrame) cannot be laid out in columns or broadcast."""
    for name, a in arrays.items():
        if any(math.isnan(n) for n in a.shape):
            raise ValueError(
                f"tarnwell.{func}: {name} is a dask array of unknown chunk sizes (shape "
                f"{a.shape}); compute them first with {name}.compute_chunk_sizes()"
            )


def _as_dask(da: Any, func: str, name: str, value: Any) -> Any:
    if isinstance(value, da.Array):
        if value.dtype.kind not in "biuf":
            raise TypeError(f"tarnwell.{func}: {name} must hold real numbers, got {value.dtype}")
        return value
    # Plain values are checked and converted the way the eager face does it.
    arr, masked = _core.as_float(func, name, value)
    return da.from_array(np.ma.masked_invalid(arr) if masked else arr, chunks=-1)


def _gradient(
    da: Any,
    compute: Any,
    args: Mapping[str, Any],
    axes: Any,
    n_threads: int | None,
    dtypes: list[Any],
    sphere: bool,
) -> Any:
    func = "gradient"
    f = _as_dask(da, func, "f", args["f"])
    _refuse_unknown_chunks(func, {"f": f})
    if f.ndim < 2:
        raise ValueError(f"tarnwell.gradient: f with shape {f.shape} needs at least 2 dimensions")
    ay_in, ax_in = axes
    what = f"f with shape {f.shape}"
    ay = _core.normalize_axis(func, "axes[0]", ay_in, f.ndim, what)
    ax = _core.normalize_axis(func, "axes[1]", ax_in, f.ndim, what)
    if ay == ax:
        raise ValueError(f"tarnwell.gradient: axes={tuple(axes)} name the same axis twice")
    x = _core.coordinate(func, "x", args["x"], f.shape[ax], f"f's x axis (axis {ax})")
    y = _core.coordinate(func, "y", args["y"], f.shape[ay], f"f's y axis (axis {ay})")
    grid_last = da.moveaxis(f, (ay, ax), (-2, -1)).rechunk({-2: -1, -1: -1})
    out = da.apply_gufunc(
        _gradient_block,
        "(y,x)->(y,x),(y,x)",
        grid_last,
        output_dtypes=dtypes,
        compute=compute,
        x=x,
        y=y,
        sphere=sphere,
        n_threads=n_threads,
    )
    return [da.moveaxis(o, (-2, -1), (ay, ax)) for o in out]
