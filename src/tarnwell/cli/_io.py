"""Reading model files and writing diagnostics files for the command line.

Outputs are written to a hidden temporary sibling of the target and renamed
into place only once complete, so an interrupted or failed run never leaves a
partial file under the name the user asked for. The rename never replaces
anything that was not meant to be replaced: without ``--overwrite`` it fails
if anything appeared at the target meanwhile (a rename that refuses to
replace, done by the kernel in one step), and with it only a file or a zarr
store that this command wrote is replaced.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import json
import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .errors import CommandError, first_line
from .formats import GRIB_COLUMNS, GRIB_LEVELS, GRIB_SUFFIXES, is_zarr, netcdf_engine

if TYPE_CHECKING:
    import xarray as xr


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
        if chunks[name.strip()] < 1 and chunks[name.strip()] != -1:
            raise CommandError(
                f"--chunks: a chunk size is 1 or more (or -1 for the whole dimension), "
                f"got {item.strip()!r}"
            )
    return chunks


def open_model(path: str, chunks: dict[str, int] | str | None) -> xr.Dataset:
    """The model file as a Dataset, lazily (dask) when ``chunks`` is given.

    netCDF (any flavour), zarr stores (a path ending in ``.zarr``) and GRIB
    (with the optional cfgrib and eccodes) are read; CF decoding is on, so
    fill values become NaN. Dimensions that ``chunks`` does not name are one
    chunk each (``time=1``: one time step per chunk, whole fields), whatever
    the file's own storage chunks: the kernels need whole columns and grids,
    and blocks split along them would be concatenated again for every call.
    ``time`` names the file's time dimension whatever the file calls it
    (WRF's ``Time``, ERA5's ``valid_time``).
    """
    require_reading(path)
    import xarray as xr

    from . import integrity, preflight, stepwise

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file or directory")
    if not os.access(path, os.R_OK):
        raise CommandError(f"{path}: permission denied (not readable)")
    if chunks is not None:
        _require("dask", "reading in chunks (--chunks)")
    kwargs: dict[str, Any] = {"chunks": chunks} if isinstance(chunks, str) else {}
    netcdf = _netcdf_backend(path)
    grib = path.lower().endswith(GRIB_SUFFIXES)
    if netcdf is not None:
        # Naming the backend class spares xarray loading every installed backend
        # plugin (the radar readers alone take seconds) to guess the format.
        kwargs["engine"] = netcdf
    elif is_zarr(path):
        _require("zarr", "reading zarr stores")
        kwargs["engine"] = "zarr"
    if grib:
        preflight.check_grib_file(path)
    else:
        integrity.check_file(path)
    with _grib_complaints() as complaints:
        try:
            source = stepwise.netcdf_store(path) if netcdf else path
            ds = _open_grib(path) if grib else xr.open_dataset(source, **kwargs)
        except CommandError:
            raise
        except Exception as err:  # every backend has its own way of saying "not mine"
            raise CommandError(f"{path}: cannot read as a model file ({first_line(err)})") from None
    if complaints:
        ds.close()
        raise integrity.DamagedInput(
            f"{path}: {len(complaints)} GRIB message(s) could not be decoded "
            f"({complaints[0]}): the file is damaged"
        )
    try:
        integrity.check_dataset(ds, path)
    except CommandError:
        ds.close()
        raise
    if isinstance(chunks, dict):
        chunks = _time_alias(chunks, ds)
        unknown = sorted(set(chunks) - set(ds.dims))
        if unknown:
            ds.close()
            raise CommandError(
                f"--chunks: no dimension {', '.join(map(repr, unknown))} in {path} "
                f"(its dimensions: {', '.join(map(str, ds.dims))})"
            )
        ds = ds.chunk({d: chunks.get(str(d), -1) for d in ds.dims})
    elif chunks is not None and grib:
        ds = ds.chunk(chunks)
    return ds


# What reading each kind of file needs, and the extra of the package that brings it.
_NEEDED = {
    "netcdf": (("netCDF4", "h5netcdf"), "cli", "reading netCDF files"),
    "zarr": (("zarr",), "cli", "reading zarr stores"),
    "grib": (("cfgrib", "eccodes"), "grib", "reading GRIB files"),
}


def require_reading(path: str) -> None:
    """One line naming the extra to install when a package the file needs is missing."""
    if not _importable("xarray"):
        raise CommandError(
            "reading model files needs the Python package 'xarray': pip install 'tarnwell[cli]'"
        )
    if path.lower().endswith(GRIB_SUFFIXES):
        kind = "grib"
    elif is_zarr(path):
        kind = "zarr"
    else:
        kind = "netcdf"
    modules, extra, purpose = _NEEDED[kind]
    if kind == "netcdf":  # either library will do
        missing = [] if any(_importable(m) for m in modules) else [modules[0]]
    else:
        missing = [m for m in modules if not _importable(m)]
    if missing:
        names = " and ".join(repr(m) for m in missing)
        raise CommandError(
            f"{purpose} needs the Python package {names}: pip install 'tarnwell[{extra}]'"
        )


def _importable(module: str) -> bool:
    import importlib.util

    if module in sys.modules:
        return sys.modules[module] is not None
    try:
        return importlib.util.find_spec(module) is not None
    except (ImportError, ValueError):
        return False


def _time_alias(chunks: dict[str, int], ds: xr.Dataset) -> dict[str, int]:
    """``time`` for the file's own time dimension when it has no ``time``."""
    if "time" not in chunks or "time" in ds.dims:
        return chunks
    own = [d for d in ("Time", "valid_time") if d in ds.dims]
    if len(own) != 1:
        return chunks
    return {(own[0] if k == "time" else k): v for k, v in chunks.items()}


def _open_grib(path: str) -> xr.Dataset:
    """A GRIB file's 3-D fields on one kind of level, with its 10-m winds and surface fields.

    A GRIB file mixes kinds of level (pressure levels, 2-m and 10-m heights, the
    surface, ...) that cfgrib reads as separate datasets; they are joined here
    on their common horizontal grid and times.
    """
    import importlib
    import warnings

    import xarray as xr

    cfgrib: Any = importlib.import_module("cfgrib")

    with warnings.catch_warnings():
        # cfgrib's own merging warns of a future change of xarray's defaults.
        warnings.simplefilter("ignore", FutureWarning)
        parts: list[xr.Dataset] = cfgrib.open_datasets(path, backend_kwargs={"indexpath": ""})
    if not parts:
        raise CommandError(f"{path}: no GRIB messages cfgrib can read")
    levels = next(
        (kind for kind in GRIB_LEVELS if any(kind in p.dims for p in parts)),
        None,
    )
    if levels is None:
        return parts[0] if len(parts) == 1 else xr.merge(parts, compat="override", join="outer")
    main = [p for p in parts if levels in p.dims]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        ds = main[0] if len(main) == 1 else xr.merge(main, compat="override", join="outer")
    for part in parts:
        if any(kind in part.dims for kind in GRIB_LEVELS):
            continue
        kind = next((k for k in GRIB_COLUMNS if k in part.coords and part[k].ndim == 0), None)
        if kind is None:
            continue
        wanted = GRIB_COLUMNS[kind]
        if wanted is not None and float(part[kind].values) != wanted:
            continue
        for name in part.data_vars:
            if set(part[name].dims) - set(ds.dims):
                continue
            target = str(name) if name not in ds.variables else f"{name}_{kind}"
            da = part[name]
            ds[target] = da.drop_vars([c for c in da.coords if c not in da.dims])
    return ds


@contextlib.contextmanager
def _grib_complaints() -> Iterator[list[str]]:
    """cfgrib's logged errors while a file opens, kept from the terminal.

    cfgrib logs a traceback for each message it cannot decode and goes on
    without it; the run would then fail later for a variable that seems
    missing. The complaints are collected, and the file refused with the first.
    """
    import logging

    complaints: list[str] = []

    class Collect(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            if record.levelno >= logging.ERROR:
                complaints.append(first_line(Exception(record.getMessage())))

    logger = logging.getLogger("cfgrib")
    handler = Collect()
    propagate = logger.propagate
    logger.addHandler(handler)
    logger.propagate = False
    try:
        with _library_stderr() as printed:
            yield complaints
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate
        # ecCodes itself prints to the process's standard error, not through
        # Python, for a message whose sections it cannot find, and cfgrib then
        # leaves the message out without a word.
        complaints += [
            line.split(":", 1)[-1].strip() for line in printed if line.startswith("ECCODES ERROR")
        ]


# Copies of the real standard error while a library's output is kept from it.
_real_stderr: list[int] = []


def restore_stderr() -> None:
    """Standard error back on the terminal (or file) it was, if a capture has it.

    For the main thread's one line on a signal, which may come while the
    worker is opening a file with standard error captured.
    """
    for saved in list(_real_stderr):
        try:
            os.dup2(saved, 2)
        except OSError:
            pass


@contextlib.contextmanager
def _library_stderr() -> Iterator[list[str]]:
    """The lines C libraries print to file descriptor 2 meanwhile, kept from the terminal.

    The list is filled in on exit.
    """
    printed: list[str] = []
    sys.stderr.flush()
    try:
        saved = os.dup(2)
    except OSError:  # no standard error at all: nothing to keep anything from
        yield printed
        return
    _real_stderr.append(saved)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield printed
        finally:
            os.dup2(saved, 2)
            _real_stderr.remove(saved)
            os.close(saved)
            sink.seek(0)
            printed += sink.read().decode("utf-8", "replace").splitlines()


def _netcdf_backend(path: str) -> Any:
    """xarray's backend for a netCDF-3 or HDF5 file, if netCDF4 is installed: the file
    comes to it opened, as a store (:func:`.stepwise.netcdf_store`)."""
    import importlib.util

    if os.path.isdir(path) or importlib.util.find_spec("netCDF4") is None:
        return None
    with open(path, "rb") as f:
        magic = f.read(8)
    if not (magic.startswith(b"CDF") or magic.startswith(b"\x89HDF")):
        return None
    from xarray.backends import StoreBackendEntrypoint

    return StoreBackendEntrypoint


def _require(module: str, purpose: str) -> None:
    import importlib.util

    if importlib.util.find_spec(module) is None:
        raise CommandError(
            f"{purpose} needs the Python package {module!r}: pip install 'tarnwell[cli]'"
        )


def check_output(path: str, overwrite: bool) -> None:
    """Refuse an existing output unless ``overwrite`` and it is ours to replace;
    refuse a missing or unwritable directory."""
    target = Path(path)
    if os.path.lexists(target):
        if not overwrite:
            raise CommandError(f"{path} exists; pass --overwrite to replace it")
        _check_replaceable(target)
    parent = target.absolute().parent
    if not parent.is_dir():
        raise CommandError(f"{path}: directory {parent} does not exist")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise CommandError(f"{path}: permission denied: cannot write in {parent}")


def _check_replaceable(target: Path) -> None:
    """``--overwrite`` replaces a file (or symlink), or a zarr store this command wrote."""
    if target.is_symlink() or target.is_file():
        return
    if target.is_dir():
        if is_tarnwell_zarr(target):
            return
        raise CommandError(
            f"{target} is a directory that is not a zarr store written by tarnwell; "
            "--overwrite replaces only files and tarnwell's own zarr outputs"
        )
    raise CommandError(f"{target} is not a regular file; not replacing it")


def is_tarnwell_zarr(path: Path) -> bool:
    """Whether ``path`` is a zarr store whose root attributes name a tarnwell product."""
    for name, key in ((".zattrs", None), ("zarr.json", "attributes")):
        try:
            with open(path / name, encoding="utf-8") as f:
                meta = json.load(f)
        except (OSError, ValueError):
            continue
        attrs = meta.get(key, {}) if key else meta
        if isinstance(attrs, dict) and "tarnwell_product" in attrs:
            return True
    return False


@contextlib.contextmanager
def staged_output(path: str, overwrite: bool) -> Iterator[str]:
    """A temporary path to write to; renamed to ``path`` when the block succeeds.

    On any failure (also Ctrl-C) the writers are stopped, the temporary output
    is removed and ``path`` is left as it was.
    """
    from . import preflight, signals

    check_output(path, overwrite)
    target = Path(path).absolute()
    prefix = f".{target.name}.{preflight.owner_tag()}."  # see preflight.stale_partials
    fd, tmp_name = tempfile.mkstemp(prefix=prefix, suffix=".partial", dir=target.parent)
    os.close(fd)
    os.unlink(tmp_name)  # writers create the file or zarr directory themselves
    gate = signals.register(tmp_name)
    try:
        yield tmp_name
        with signals.commit_lock:
            if signals.stopping():
                raise CommandError("stopped before the output was complete")
            publish(tmp_name, target, overwrite)
    finally:
        # Writer threads still at work (a failed chunk does not stop the others)
        # would recreate files in a removed zarr directory: the gate closes for
        # good, and the writes already started end before the removal.
        gate.close(signals.GRACE)
        if os.path.lexists(tmp_name):
            signals.remove_path(tmp_name)
        signals.unregister(tmp_name)


RENAME_NOREPLACE = 1
RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _renameat2(src: str, dst: str, flags: int) -> bool:
    """Linux's renameat2; False where the system or the file system lacks it."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        func = libc.renameat2
    except (OSError, AttributeError):
        return False
    result = func(_AT_FDCWD, os.fsencode(src), _AT_FDCWD, os.fsencode(dst), ctypes.c_uint(flags))
    if result == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.ENOTSUP):
        return False
    raise OSError(code, os.strerror(code), dst)


def publish(tmp: str, target: Path, overwrite: bool) -> None:
    """Move the finished output ``tmp`` to ``target``, replacing only what may be replaced."""
    try:
        _rename_no_replace(tmp, target)
        return
    except FileExistsError:
        if not overwrite:
            raise CommandError(
                f"{target} appeared while this run was writing it; not replaced "
                "(pass --overwrite to replace it)"
            ) from None
    _check_replaceable(target)
    if os.path.isfile(tmp) and (target.is_symlink() or target.is_file()):
        os.replace(tmp, target)  # atomic: the target is the old file or the new one
        return
    # A directory cannot be renamed over a non-empty one: swap the two in one
    # step, then remove the old one (now under the temporary name).
    if not _renameat2(tmp, str(target), RENAME_EXCHANGE):
        aside = f"{tmp}.old"
        os.rename(target, aside)
        os.rename(tmp, target)
        tmp = aside
    from . import signals

    signals.remove_path(tmp)


def _rename_no_replace(tmp: str, target: Path) -> None:
    """Rename that fails with FileExistsError if anything exists at ``target``."""
    try:
        if _renameat2(tmp, str(target), RENAME_NOREPLACE):
            return
    except OSError as err:
        if err.errno == errno.EEXIST:
            raise FileExistsError(errno.EEXIST, "exists", str(target)) from None
        raise
    # Without renameat2: a hard link is created only where nothing exists; a
    # directory (zarr) falls back to a check then rename, which the kernel
    # still refuses onto a file or a non-empty directory.
    if os.path.isfile(tmp):
        os.link(tmp, target)
        os.unlink(tmp)
        return
    if os.path.lexists(target):
        raise FileExistsError(errno.EEXIST, "exists", str(target))
    try:
        os.rename(tmp, target)
    except OSError as err:
        if err.errno in (errno.ENOTEMPTY, errno.EEXIST, errno.ENOTDIR):
            raise FileExistsError(errno.EEXIST, "exists", str(target)) from None
        raise


def write_dataset(
    ds: xr.Dataset,
    path: str,
    *,
    overwrite: bool,
    compute: Callable[[Any], None],
    on_cluster: bool = False,
) -> None:
    """Write ``ds`` to netCDF, or zarr when ``path`` ends in ``.zarr``, all or nothing.

    ``compute`` runs the delayed write (so the caller chooses the scheduler,
    the thread count and the progress bar); for in-memory data it does nothing.
    ``on_cluster``: the chunks are written by a cluster's workers, in their own
    processes, where this process's write gate cannot reach (nor be sent).
    """
    from .output import for_path

    ds = for_path(ds, path)
    with staged_output(path, overwrite) as tmp:
        if is_zarr(path):
            _require("zarr", "writing zarr stores")
            # Every chunk written, also one of NaN only: a missing chunk means damage.
            delayed = ds.to_zarr(
                tmp if on_cluster else _gated_store(tmp),
                mode="w",
                compute=False,
                zarr_format=2,
                consolidated=True,
                write_empty_chunks=True,
            )
        else:
            engine = netcdf_engine()
            with _write_through(engine):
                delayed = ds.to_netcdf(tmp, engine=engine, compute=False)
        if delayed is not None:
            compute(delayed)


def _gated_store(root: str) -> Any:
    """A zarr directory store whose every write passes the write gate.

    After a failed chunk or a signal the gate closes: the writes in flight
    end, no new one starts, and the partial store can then be removed without
    a writer thread recreating files in it.
    """
    from zarr.storage import LocalStore

    from .signals import gate_for

    gate = gate_for(root)

    class GatedStore(LocalStore):
        async def _set(self, key: str, value: Any, exclusive: bool = False) -> None:
            with gate.write():
                await super()._set(key, value, exclusive=exclusive)

        def set_sync(self, key: str, value: Any) -> None:
            with gate.write():
                super().set_sync(key, value)

    return GatedStore(root)


@contextlib.contextmanager
def _write_through(engine: str) -> Iterator[None]:
    """No chunk cache for the variables of a file created meanwhile by the netCDF library.

    Each chunk of an output is written once, whole, and never read back. The
    library's default cache (64 MiB per variable in netCDF-C 4.9 and later)
    would only keep every chunk written until the file is closed: with a
    hundred output fields, memory that grows with every time step written.
    Without a cache, each chunk goes to the file as it is written.
    """
    if engine != "netcdf4":
        yield
        return
    import netCDF4

    previous = netCDF4.get_chunk_cache()
    netCDF4.set_chunk_cache(0, previous[1], previous[2])
    try:
        yield
    finally:
        netCDF4.set_chunk_cache(*previous)


def progress_wanted(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()
