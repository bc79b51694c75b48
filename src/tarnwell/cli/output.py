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

The output is lossless unless ``--significant-digits N`` asks for less: each
floating data field is then bit-rounded to the mantissa bits that hold N
significant decimal digits (:func:`with_significant_digits`), which leaves
runs of zero bits that the compressor removes. Derived fields are noisy in
every bit, so this, not the compressor, decides their size.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Hashable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import CommandError
from .formats import is_zarr, netcdf_engine

if TYPE_CHECKING:
    import xarray as xr

COMPRESSION_LEVEL = 1
# Bytes of one chunk at most: larger single-time fields are split along their
# leading non-time dimensions (HDF5 caps a chunk at 4 GiB, and a reader of one
# level should not decompress hundreds of megabytes).
MAX_CHUNK_BYTES = 64 * 2**20
TIME_NAMES = ("time", "Time", "valid_time", "t")
# A field's significant decimal digits, set on its encoding by with_significant_digits.
SIGNIFICANT_DIGITS = "tarnwell_significant_digits"
# The attribute netCDF-C's BitRound quantize writes; a zarr store gets the same one.
ROUNDING_ATTR = "_QuantizeBitRoundNumberOfSignificantBits"
# Explicit mantissa bits, and the decimal digits they can hold, of each precision.
MANTISSA_BITS = {2: 10, 4: 23, 8: 52}
MOST_DIGITS = {2: 3, 4: 7, 8: 15}


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
        encoding = _encoding(name, var, ds, times, zarr=zarr, engine=engine)
        bits = _kept_bits(name, var, ds, encoding)
        if bits is not None:
            if zarr:
                numcodecs: Any = importlib.import_module("numcodecs")  # no type stubs
                encoding["filters"] = [numcodecs.BitRound(bits)]
                var.attrs[ROUNDING_ATTR] = bits
            else:
                encoding.update(significant_digits=bits, quantize_mode="BitRound")
        var.encoding = encoding
    return ds


def mantissa_bits(digits: int) -> int:
    """Explicit mantissa bits that keep ``digits`` significant decimal digits.

    Rounding to k bits errs by at most half the last kept bit, 2**-(k+1) of
    the value's power of two and so of the value. N digits allow half a unit
    in the N-th digit, which for a value just under a power of ten (the worst
    case: 9.99..., rounded to 3 digits, may move by 0.005, 10**-3 / 2 of 10) is
    10**-N / 2 of the value: 2**-k <= 10**-N, k = ceil(N log2(10)).
    """
    return math.ceil(digits * math.log2(10))


def with_significant_digits(ds: xr.Dataset, digits: int, path: str) -> xr.Dataset:
    """``ds`` with its floating data fields marked to be stored to ``digits`` significant digits.

    Coordinates, integer fields and flags (0/1 with ``flag_values``) are
    never rounded. A float32 field holds at most 7 digits, a float64 one 15;
    asking more of a field's precision is an error. Fields whose precision
    keeps ``digits`` in every bit it has (7 digits of float32 need 24 bits,
    float32 has 23) are stored as they are.
    """
    if not is_zarr(path) and netcdf_engine() != "netcdf4":
        raise CommandError(
            "--significant-digits: netCDF output is rounded by the netCDF4 package's "
            "quantize, which is not installed: pip install netCDF4, or write a .zarr store"
        )
    ds = ds.copy()
    for name, var in ds.data_vars.items():
        if not _roundable(var):
            continue
        stored = np.dtype(var.encoding.get("dtype", var.dtype))
        if stored.kind != "f":
            stored = var.dtype
        if digits > MOST_DIGITS[stored.itemsize]:
            raise CommandError(
                f"--significant-digits: {name} is stored as {stored.name}, which holds at "
                f"most {MOST_DIGITS[stored.itemsize]} significant digits, not {digits} "
                "(--dtype float64 stores double)"
            )
        ds.variables[name].encoding[SIGNIFICANT_DIGITS] = digits
    return ds


def _roundable(var: xr.Variable | xr.DataArray) -> bool:
    return var.dtype.kind == "f" and var.ndim > 0 and "flag_values" not in var.attrs


def _kept_bits(
    name: Hashable, var: xr.Variable, ds: xr.Dataset, encoding: Mapping[str, Any]
) -> int | None:
    """Mantissa bits to keep of ``var``, None to store every bit."""
    digits = var.encoding.get(SIGNIFICANT_DIGITS)
    if digits is None or name not in ds.data_vars or not _roundable(var):
        return None
    stored = np.dtype(encoding["dtype"])
    bits = mantissa_bits(digits)
    return bits if bits < MANTISSA_BITS[stored.itemsize] else None


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
