"""Refusing damaged inputs before their contents are used as data.

The readers do not always notice damage: the netCDF library reads the part of
a classic-format file that a cut-off copy lacks as zeros, and zarr reads a
missing chunk as the array's fill value (NaN). Either would pass through the
diagnostics as plausible numbers, and a missing region changes the horizontal
mean that every cold pool is measured against. So before any variable is
used:

- a classic netCDF file (CDF-1, CDF-2, CDF-5) must be at least as long as its
  header says each variable's data reaches; an HDF5 (netCDF-4) file at least
  as long as the end-of-file address in its superblock;
- every chunk of every array in a zarr store must be present;
- no variable of two or more dimensions may have a dimension of length 0;

and a variable whose data the library cannot read (a corrupt compressed chunk,
an HDF5 error) is reported by file and variable name when it is read.
"""

from __future__ import annotations

import math
import os
import re
import struct
from typing import TYPE_CHECKING, Any

from .errors import CommandError

if TYPE_CHECKING:
    import xarray as xr


class DamagedInput(CommandError):
    """An input file whose contents cannot be trusted."""


# nc_type codes of the classic format and their sizes in bytes.
_NC_TYPE_SIZE = {1: 1, 2: 1, 3: 2, 4: 4, 5: 4, 6: 8, 7: 1, 8: 2, 9: 4, 10: 8, 11: 8}
_NC_DIMENSION, _NC_VARIABLE, _NC_ATTRIBUTE = 0x0A, 0x0B, 0x0C
_STREAMING = (0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF)


class _Header:
    """A big-endian reader over the header bytes of a classic netCDF file."""

    def __init__(self, data: bytes, version: int) -> None:
        self.data = data
        self.pos = 4
        self.version = version  # 1: CDF-1, 2: 64-bit offsets, 5: 64-bit data

    def _take(self, fmt: str) -> int:
        size = struct.calcsize(fmt)
        if self.pos + size > len(self.data):
            raise EOFError
        (value,) = struct.unpack_from(fmt, self.data, self.pos)
        self.pos += size
        return int(value)

    def int32(self) -> int:
        return self._take(">I")

    def count(self) -> int:
        return self._take(">Q" if self.version == 5 else ">I")

    def offset(self) -> int:
        return self._take(">I" if self.version == 1 else ">Q")

    def name(self) -> str:
        n = self.count()
        raw = self.data[self.pos : self.pos + n]
        if len(raw) < n:
            raise EOFError
        self.pos += (n + 3) // 4 * 4
        return raw.decode("utf-8", "replace")

    def skip_attributes(self) -> None:
        tag, n = self.int32(), self.count()
        if tag not in (0, _NC_ATTRIBUTE):
            raise ValueError("bad attribute list")
        for _ in range(n):
            self.name()
            size = _NC_TYPE_SIZE.get(self.int32())
            if size is None:
                raise ValueError("bad attribute type")
            values = self.count() * size
            self.pos += (values + 3) // 4 * 4


def classic_netcdf_damage(path: str) -> str | None:
    """Why a classic netCDF file is shorter than its header says, or None if it is not."""
    file_size = os.path.getsize(path)
    with open(path, "rb") as f:
        data = f.read(min(file_size, 1 << 24))  # headers are small; 16 MiB is generous
    version = data[3] if len(data) > 3 else 0
    h = _Header(data, version)
    try:
        numrecs = h.count()
        tag, n_dims = h.int32(), h.count()
        if tag not in (0, _NC_DIMENSION):
            raise ValueError
        dims = []
        for _ in range(n_dims):
            h.name()
            dims.append(h.count())
        h.skip_attributes()
        tag, n_vars = h.int32(), h.count()
        if tag not in (0, _NC_VARIABLE):
            raise ValueError
        variables = []
        for _ in range(n_vars):
            name = h.name()
            dimids = [h.count() if version == 5 else h.int32() for _ in range(h.count())]
            h.skip_attributes()
            size = _NC_TYPE_SIZE.get(h.int32())
            h.count()  # vsize: recomputed below, it saturates for large variables
            begin = h.offset()
            if size is None or any(d >= len(dims) for d in dimids):
                raise ValueError
            record = bool(dimids) and dims[dimids[0]] == 0
            lengths = [dims[d] for d in dimids[1:]] if record else [dims[d] for d in dimids]
            variables.append((name, record, begin, math.prod(lengths) * size))
    except (EOFError, ValueError, struct.error):
        return f"{path}: the netCDF header is damaged or cut off"
    records = [v for v in variables if v[1]]
    # One record variable alone is not padded within a record; several are, to 4 bytes.
    record_size = records[0][3] if len(records) == 1 else sum((v[3] + 3) // 4 * 4 for v in records)
    for name, record, begin, nbytes in variables:
        if record:
            if numrecs in _STREAMING or numrecs == 0:
                continue
            end = begin + (numrecs - 1) * record_size + nbytes
        else:
            end = begin + nbytes
        if end > file_size:
            return (
                f"{path}: variable {name!r} is cut off: the file is {file_size:,} bytes and "
                f"its header places data up to byte {end:,} (an interrupted copy or download?)"
            )
    return None


def hdf5_damage(path: str) -> str | None:
    """Why an HDF5 file is shorter than its superblock's end-of-file address, or None."""
    file_size = os.path.getsize(path)
    with open(path, "rb") as f:
        head = f.read(128)
    if not head.startswith(b"\x89HDF\r\n\x1a\n") or len(head) < 16:
        return None
    version = head[8]
    if version in (0, 1):
        offset_size = head[13]
        start = 24 + (4 if version == 1 else 0)
        eof_at = start + 2 * offset_size  # after the base and free-space addresses
    elif version in (2, 3):
        offset_size = head[9]
        eof_at = 12 + 2 * offset_size  # after the base and superblock-extension addresses
    else:
        return None
    if offset_size not in (4, 8) or eof_at + offset_size > len(head):
        return None
    (eof,) = struct.unpack_from("<Q" if offset_size == 8 else "<I", head, eof_at)
    if eof > file_size:
        return (
            f"{path}: the file is cut off: {file_size:,} bytes where its HDF5 superblock "
            f"says {eof:,} (an interrupted copy or download?)"
        )
    return None


def zarr_damage(path: str) -> str | None:
    """The first array of a zarr store with chunks missing, or None if none is.

    The chunks an array declares are counted by arithmetic and those present
    by listing its directory, so the check costs what the store holds on disk,
    never what its metadata claims (a store of a few hundred kilobytes can
    declare a hundred billion chunks).
    """
    import zarr

    try:
        group = zarr.open_group(path, mode="r")
        arrays = list(group.arrays())
    except Exception:
        return None  # xarray reports a store it cannot open
    for name, array in arrays:
        # Only fields: zarr leaves out a chunk that holds nothing but the fill
        # value (its default), which a scalar or a coordinate can well be; a
        # field chunk of nothing but NaN is itself a sign of damage.
        if array.ndim < 2 or array.dtype.kind != "f":
            continue
        # Sharded arrays store one file per shard, each holding many chunks.
        stored = getattr(array, "shards", None) or array.chunks
        expected = math.prod(-(-n // c) for n, c in zip(array.shape, stored, strict=True))
        present = _chunk_files(os.path.join(path, array.path))
        if present < expected:
            return (
                f"{path}: variable {name!r} has {expected - present:,} of {expected:,} chunks "
                "missing (a damaged or incompletely copied store; missing chunks would read "
                "as fill values)"
            )
    return None


# A chunk's key: its indices joined by "." or "/", after "c/" in zarr 3's layout.
_CHUNK_KEY = re.compile(r"(c[./])?\d+([./]\d+)*")


def _chunk_files(directory: str) -> int:
    """The chunk files under an array's directory."""
    count = 0
    for root, _, files in os.walk(directory):
        relative = os.path.relpath(root, directory)
        prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
        count += sum(1 for f in files if _CHUNK_KEY.fullmatch(prefix + f))
    return count


def check_file(path: str) -> None:
    """Refuse a damaged model file before it is opened for its data."""
    if os.path.isdir(path):
        damage = zarr_damage(path) if _is_zarr_store(path) else None
    else:
        with open(path, "rb") as f:
            magic = f.read(4)
        if magic[:3] == b"CDF" and magic[3:] in (b"\x01", b"\x02", b"\x05"):
            damage = classic_netcdf_damage(path)
        else:
            damage = hdf5_damage(path)
    if damage is not None:
        raise DamagedInput(damage)


def _is_zarr_store(path: str) -> bool:
    return any(
        os.path.exists(os.path.join(path, name)) for name in (".zgroup", ".zarray", "zarr.json")
    )


def check_dataset(ds: xr.Dataset, path: str) -> None:
    """Refuse empty dimensions, and name the file and variable of any later read error."""
    for name, var in ds.data_vars.items():
        if var.ndim >= 2 and 0 in var.shape:
            empty = [str(d) for d, n in var.sizes.items() if n == 0]
            raise DamagedInput(
                f"{path}: variable {name!r} has no data along {', '.join(empty)} (length 0)"
            )
    name_read_errors(ds, path)


def name_read_errors(ds: xr.Dataset, path: str) -> None:
    """Wrap each variable's backend array so that a failed read names file and variable.

    The backend array sits at the bottom of xarray's chain of lazy wrappers
    (caching, copy-on-write, lazy indexing, CF decoding); the wrapper goes in
    just above it, so decoding and caching are unchanged. Should xarray's
    layout change, reads simply keep their library's own message.
    """
    try:
        from xarray.backends import BackendArray
    except ImportError:  # pragma: no cover - very old xarray
        return

    for name, var in ds.variables.items():
        holder: Any = getattr(var, "_data", None)
        while holder is not None and hasattr(holder, "array"):
            inner = holder.array
            if isinstance(inner, BackendArray):
                try:
                    holder.array = _NamedReads(inner, path, str(name))
                except (AttributeError, TypeError):
                    pass
                break
            holder = inner


# How the netCDF, HDF5 and compression libraries say that an allocation failed
# (under ``ulimit -v``, or a cgroup's limit): no damage, a lack of memory.
_NO_MEMORY = (
    "memory allocation",
    "malloc",
    "cannot allocate",
    "can't allocate",
    "allocation failed",
    "out of memory",
)


def _read_failure(path: str, name: str, err: BaseException) -> BaseException:
    if any(words in str(err).lower() for words in _NO_MEMORY):
        return MemoryError(f"reading variable {name!r} of {path}: {err}")
    lines = str(err).strip().splitlines()
    cause = lines[0] if lines else type(err).__name__
    return DamagedInput(f"{path}: variable {name!r} cannot be read ({cause}): the file is damaged")


try:
    from xarray.backends import BackendArray as _BackendArray
except ImportError:  # pragma: no cover - xarray is a dependency of the command
    _BackendArray = object  # type: ignore[assignment,misc]


class _NamedReads(_BackendArray):
    """A backend array whose read errors name the file and the variable."""

    def __init__(self, inner: Any, path: str, name: str) -> None:
        self.inner = inner
        self.path = path
        self.name = name
        self.shape = inner.shape
        self.dtype = inner.dtype

    def __getitem__(self, key: Any) -> Any:
        try:
            return self.inner[key]
        except (MemoryError, CommandError):
            raise
        except Exception as err:
            raise _read_failure(self.path, self.name, err) from err

    async def async_getitem(self, key: Any) -> Any:
        try:
            return await self.inner.async_getitem(key)
        except (MemoryError, CommandError):
            raise
        except Exception as err:
            raise _read_failure(self.path, self.name, err) from err

    def __getattr__(self, attr: str) -> Any:
        if attr.startswith("__") or attr == "inner":  # unpickling: no inner yet
            raise AttributeError(attr)
        return getattr(self.inner, attr)
