"""How the command's outputs are stored: precision, compression and chunks.

A diagnostics file should be about the size of the model file it came from.
Fields are computed in double precision and stored in the precision asked
for by the diagnostics (``encoding["dtype"]``, float32 when the inputs that
feed a field were float32), rounded once as they are written. netCDF-4
variables are compressed with zlib at level 1 after the byte shuffle (level 1
gives most of the reduction of the higher levels at a fraction of their
time); zarr arrays keep zarr's default compressor. Both are chunked one time
step per chunk, whole fields otherwise, so that reading one time step reads
one chunk per variable.

Encodings inherited from the input (its packing, chunk layout, compression)
never reach the output: they describe the input's variables, not new fields.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from .formats import is_zarr, netcdf_engine

if TYPE_CHECKING:
    import xarray as xr

COMPRESSION_LEVEL = 1
# Bytes of one chunk at most: larger single-time fields are split along their
# leading non-time dimensions (HDF5 caps a chunk at 4 GiB, and a reader of one
# level should not decompress hundreds of megabytes).
MAX_CHUNK_BYTES = 64 * 2**20
TIME_NAMES = ("time", "Time", "valid_time", "t")


def time_dims(ds: xr.Dataset | xr.DataArray) -> set[Hashable]:
    """Dimensions that are time: a usual name, or a coordinate of dates or with a time axis."""
    found: set[Hashable] = set()
    for dim in ds.dims:
        if dim in TIME_NAMES:
            found.add(dim)
        elif dim in ds.coords:
            coord = ds[dim]
            if np.issubdtype(coord.dtype, np.datetime64) or coord.attrs.get("axis") == "T":
                found.add(dim)
            elif coord.attrs.get("standard_name") == "time":
                found.add(dim)
    return found


def chunk_shape(
    dims: tuple[Hashable, ...], shape: tuple[int, ...], itemsize: int, times: set[Hashable]
) -> tuple[int, ...]:
    """One time step per chunk, whole fields otherwise, at most MAX_CHUNK_BYTES."""
    chunks = [1 if d in times else max(n, 1) for d, n in zip(dims, shape, strict=True)]
    for k, d in enumerate(dims):
        if math.prod(chunks) * itemsize <= MAX_CHUNK_BYTES:
            break
        if d in times:
            continue
        rest = math.prod(chunks) // chunks[k]
        chunks[k] = max(1, MAX_CHUNK_BYTES // (rest * itemsize))
    return tuple(chunks)


def for_path(ds: xr.Dataset, path: str) -> xr.Dataset:
    """``ds`` encoded for the writer that the command uses for ``path``."""
    zarr = is_zarr(path)
    return encoded(ds, zarr=zarr, engine=None if zarr else netcdf_engine())


def encoded(ds: xr.Dataset, *, zarr: bool, engine: str | None) -> xr.Dataset:
    """``ds`` with the encoding it is stored with (the input's encodings dropped).

    ``engine`` is the netCDF writer (``netcdf4``, ``h5netcdf`` or ``scipy``; the
    last writes netCDF-3, which has neither compression nor chunks).
    """
    ds = ds.copy()
    times = time_dims(ds)
    if zarr:
        ds = _chunk_lazy_arrays(ds, times)
    for name in ds.variables:
        var = ds.variables[name]
        ds.variables[name].encoding = _encoding(name, var, ds, times, zarr=zarr, engine=engine)
    return ds


def _encoding(
    name: Hashable,
    var: xr.Variable,
    ds: xr.Dataset,
    times: set[Hashable],
    *,
    zarr: bool,
    engine: str | None,
) -> dict[str, Any]:
    if var.dtype.kind != "f":
        keep = ("units", "calendar", "dtype")
        return {k: v for k, v in var.encoding.items() if k in keep}
    # Only the diagnostics' own fields carry a storage precision; coordinates
    # (longitudes, level heights) are kept as they are.
    stored = np.dtype(var.encoding.get("dtype", var.dtype)) if name in ds.data_vars else var.dtype
    if stored.kind != "f":
        stored = var.dtype
    encoding: dict[str, Any] = {"_FillValue": stored.type(np.nan), "dtype": stored}
    if var.ndim < 2 or name in ds.dims:
        return encoding
    chunks = chunk_shape(var.dims, var.shape, stored.itemsize, times)
    if zarr:
        encoding["chunks"] = chunks
    elif engine in ("netcdf4", "h5netcdf"):
        encoding.update(zlib=True, complevel=COMPRESSION_LEVEL, shuffle=True, chunksizes=chunks)
    return encoding


def _chunk_lazy_arrays(ds: xr.Dataset, times: set[Hashable]) -> xr.Dataset:
    """Lazy fields rechunked to the stored chunks: zarr needs each dask block to
    fill whole chunks of the store (netCDF writes any block under a lock)."""
    for name, var in ds.data_vars.items():
        if var.chunks is None or var.dtype.kind != "f" or var.ndim < 2:
            continue
        stored = np.dtype(var.encoding.get("dtype", var.dtype))
        chunks = chunk_shape(var.dims, var.shape, stored.itemsize, times)
        ds[name] = var.chunk(dict(zip(var.dims, chunks, strict=True)))
    return ds


def storage_dtype(sources: Mapping[str, np.dtype], requested: str | None) -> np.dtype:
    """The precision a field is stored in, given the dtypes of the inputs that feed it.

    float32 when every input is at most single precision (float32 or float16,
    or integers as packed files decode them); float64 when any input is double,
    or when none is known; ``requested`` ("float32" or "float64") overrides.
    """
    if requested is not None:
        return np.dtype(requested)
    if sources and all(d.kind in "fiu" and d.itemsize <= 4 for d in sources.values()):
        return np.dtype(np.float32)
    return np.dtype(np.float64)
