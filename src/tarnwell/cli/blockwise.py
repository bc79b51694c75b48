"""Running the package's functions over xarray inputs, lazily block by block under dask.

Each kernel runs through :func:`xarray.apply_ufunc` on the NumPy face of the
package, so dask-backed inputs stay lazy and every block gives the same bits
as the whole array.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable
from typing import TYPE_CHECKING, Any

import numpy as np

from tarnwell import horizontal, kernels, radar

if TYPE_CHECKING:
    import xarray as xr


def apply(
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


# Where each kernel's public function lives, looked up at each call.
_HOMES = {"thermo": kernels, "cold_pool": kernels, "profile": kernels}
_HOMES |= {"gradient": horizontal, "vad": radar}


def kernel(name: str) -> Any:
    return getattr(_HOMES[name], name)


class Block:
    """A picklable kernel call on one block (dask.distributed ships it to workers)."""

    def __init__(self, func: str, n_threads: int, **kwargs: Any) -> None:
        self.func = func
        self.n_threads = n_threads
        self.kwargs = kwargs

    def __call__(self, *arrays: Any) -> tuple[Any, ...]:
        return tuple(kernel(self.func)(*arrays, **self.kwargs, n_threads=self.n_threads))


def per_column(func: str, n_threads: int, names: tuple[str, ...], **scalars: Any) -> _ColumnBlock:
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
        return tuple(
            kernel(self.func)(*data, **columns, **self.scalars, axis=-1, n_threads=self.n_threads)
        )
