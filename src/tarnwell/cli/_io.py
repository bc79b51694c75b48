"""Reading model files and writing diagnostics files for the command line.

Outputs are written to a hidden temporary sibling of the target and renamed
into place only once complete, so an interrupted or failed run never leaves a
partial file under the name the user asked for.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import sys
import tempfile
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    import xarray as xr


class CommandError(Exception):
    """A problem with the user's input or environment, reported as one line on stderr."""


GRIB_SUFFIXES = (".grib", ".grib2", ".grb", ".grb2")


def is_zarr(path: str | os.PathLike[str]) -> bool:
    return str(path).rstrip("/").endswith(".zarr")


def parse_chunks(text: str | None) -> dict[str, int] | str | None:
    """``"time=1,level=-1"`` as a dict for xarray; ``"auto"`` as is; None for no dask."""
    if text is None:
        return None
    if text.strip() == "auto":
        return "auto"
    chunks: dict[str, int] = {}
    for item in text.split(","):
        name, sep, size = item.partition("=")
        try:
            if not sep or not name.strip():
                raise ValueError
            chunks[name.strip()] = int(size)
        except ValueError:
            raise CommandError(
                f"--chunks: expected DIM=SIZE[,DIM=SIZE...] or 'auto', got {text!r}"
            ) from None
    return chunks


def open_model(path: str, chunks: dict[str, int] | str | None) -> xr.Dataset:
    """The model file as a Dataset, lazily (dask) when ``chunks`` is given.

    netCDF (any flavour), zarr stores (a path ending in ``.zarr``) and GRIB
    (with the optional cfgrib and eccodes) are read; CF decoding is on, so
    fill values become NaN. Dimensions that ``chunks`` does not name are one
    chunk each (``time=1``: one time step per chunk, whole fields), whatever
    the file's own storage chunks: the kernels need whole columns and grids,
    and blocks split along them would be concatenated again for every call.
    """
    import xarray as xr

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file or directory")
    if chunks is not None:
        _require("dask", "reading in chunks (--chunks)")
    kwargs: dict[str, Any] = {"chunks": chunks} if isinstance(chunks, str) else {}
    netcdf = _netcdf_backend(path)
    if netcdf is not None:
        # Naming the backend class spares xarray loading every installed backend
        # plugin (the radar readers alone take seconds) to guess the format.
        kwargs["engine"] = netcdf
    elif is_zarr(path):
        _require("zarr", "reading zarr stores")
        kwargs["engine"] = "zarr"
    elif path.lower().endswith(GRIB_SUFFIXES):
        _require("cfgrib", "reading GRIB files (pip install 'tarnwell[grib]')")
        kwargs["engine"] = "cfgrib"
        kwargs["backend_kwargs"] = {"indexpath": ""}
    try:
        ds = xr.open_dataset(path, **kwargs)
    except Exception as err:  # every backend has its own way of saying "not mine"
        raise CommandError(f"{path}: cannot read as a model file ({_first_line(err)})") from None
    if isinstance(chunks, dict):
        unknown = sorted(set(chunks) - set(ds.dims))
        if unknown:
            ds.close()
            raise CommandError(
                f"--chunks: no dimension {', '.join(map(repr, unknown))} in {path} "
                f"(its dimensions: {', '.join(map(str, ds.dims))})"
            )
        ds = ds.chunk({d: chunks.get(str(d), -1) for d in ds.dims})
    return ds


def _netcdf_backend(path: str) -> Any:
    """xarray's netCDF4 backend class for a netCDF-3 or HDF5 file, if netCDF4 is installed."""
    import importlib.util

    if os.path.isdir(path) or importlib.util.find_spec("netCDF4") is None:
        return None
    with open(path, "rb") as f:
        magic = f.read(8)
    if not (magic.startswith(b"CDF") or magic.startswith(b"\x89HDF")):
        return None
    from xarray.backends import NetCDF4BackendEntrypoint

    return NetCDF4BackendEntrypoint


def _require(module: str, purpose: str) -> None:
    import importlib.util

    if importlib.util.find_spec(module) is None:
        raise CommandError(
            f"{purpose} needs the Python package {module!r}: pip install 'tarnwell[cli]'"
        )


def _first_line(err: BaseException) -> str:
    text = str(err).strip().splitlines()
    return text[0] if text else type(err).__name__


def check_output(path: str, overwrite: bool) -> None:
    """Refuse an existing output unless ``overwrite``; refuse a missing directory."""
    target = Path(path)
    if target.exists() and not overwrite:
        raise CommandError(f"{path} exists; pass --overwrite to replace it")
    parent = target.absolute().parent
    if not parent.is_dir():
        raise CommandError(f"{path}: directory {parent} does not exist")


@contextlib.contextmanager
def staged_output(path: str, overwrite: bool) -> Iterator[str]:
    """A temporary path to write to; renamed to ``path`` when the block succeeds.

    On any failure (also Ctrl-C) the temporary output is removed and ``path``
    is left as it was.
    """
    check_output(path, overwrite)
    target = Path(path).absolute()
    fd, tmp_name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".partial", dir=target.parent)
    os.close(fd)
    os.unlink(tmp_name)  # writers create the file or zarr directory themselves
    try:
        yield tmp_name
        if target.exists():
            _remove(target)
        os.replace(tmp_name, target)
    finally:
        if os.path.lexists(tmp_name):
            _remove(Path(tmp_name))


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    else:
        path.unlink()


def write_dataset(
    ds: xr.Dataset,
    path: str,
    *,
    overwrite: bool,
    compute: Callable[[Any], None],
) -> None:
    """Write ``ds`` to netCDF, or zarr when ``path`` ends in ``.zarr``, all or nothing.

    ``compute`` runs the delayed write (so the caller chooses the scheduler,
    the thread count and the progress bar); for in-memory data it does nothing.
    """
    from .output import for_path

    ds = for_path(ds, path)
    with staged_output(path, overwrite) as tmp:
        if is_zarr(path):
            _require("zarr", "writing zarr stores")
            delayed = ds.to_zarr(tmp, mode="w", compute=False, zarr_format=2, consolidated=True)
        else:
            delayed = ds.to_netcdf(tmp, engine=_netcdf_engine(), compute=False)
        if delayed is not None:
            compute(delayed)


def _netcdf_engine() -> Literal["netcdf4", "h5netcdf", "scipy"]:
    import importlib.util

    if importlib.util.find_spec("netCDF4") is not None:
        return "netcdf4"
    if importlib.util.find_spec("h5netcdf") is not None:
        return "h5netcdf"
    return "scipy"


def _clean_encoding(ds: xr.Dataset) -> xr.Dataset:
    """Drop encodings inherited from the input (chunk sizes, compression, packing).

    An input's packing (scale_factor on int16) or chunk layout does not fit
    new float64 fields; floats are written with a NaN fill value.
    """
    ds = ds.copy()
    for name in ds.variables:
        var = ds.variables[name]
        keep: Mapping[str, Any] = {
            k: v for k, v in var.encoding.items() if k in ("units", "calendar", "dtype")
        }
        if var.dtype.kind == "f":
            keep = {"_FillValue": float("nan")}
        var.encoding = dict(keep)
    return ds


def progress_wanted(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()
