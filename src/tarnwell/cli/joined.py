"""A model run's files as one Dataset: WRF writes one file per output time, ERA5
downloads come one per month. The files are joined along time in time order,
lazily, one step per chunk, so that a run over many files holds a few steps in
memory, as a chunked run over one file does."""

from __future__ import annotations

import glob
import importlib.util
import os
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import CommandError

if TYPE_CHECKING:
    import xarray as xr

#: The names models give the time dimension (CF, WRF, ERA5 through cfgrib).
TIME_DIMS = ("time", "Time", "valid_time")


def expand(paths: Sequence[str]) -> list[str]:
    """The paths given, each quoted glob replaced by the files it matches, sorted.

    A pattern the shell did not expand (quoted, or with no match) is expanded
    here; a path that exists as written is taken as written, whatever its
    characters.
    """
    out: list[str] = []
    for path in paths:
        if any(c in path for c in "*?[") and not os.path.exists(path):
            matches = sorted(glob.glob(path))
            if not matches:
                raise CommandError(f"{path}: no file matches this pattern")
            out += matches
        else:
            out.append(path)
    seen: dict[str, str] = {}
    for path in out:
        key = os.path.realpath(path)
        if key in seen:
            raise CommandError(f"{path}: given twice (also as {seen[key]}): its steps would repeat")
        seen[key] = path
    return out


def open_joined(
    paths: Sequence[str],
    chunks: dict[str, int] | str,
    open_one: Callable[[str, dict[str, int] | str], xr.Dataset],
) -> xr.Dataset:
    """The files of ``paths`` (two or more) as one lazy Dataset, joined along time.

    Every file must fit the first: the same variables on the same grid, the
    same time dimension. Closing the result closes every file.
    """
    if importlib.util.find_spec("dask") is None:
        raise CommandError(
            "joining several files needs the Python package 'dask': pip install 'tarnwell[cli]'"
        )
    import xarray as xr

    opened: list[tuple[str, xr.Dataset]] = []
    try:
        for path in paths:
            opened.append((path, _with_time_dim(open_one(path, chunks))))
        time_dim = _time_dim(opened)
        opened = _in_time_order(opened, time_dim)
        ref_path, ref = opened[0]
        for path, ds in opened[1:]:
            _check_fits(path, ds, ref_path, ref, time_dim)
        joined = xr.concat(
            [ds for _, ds in opened],
            dim=time_dim,
            data_vars="minimal",
            coords="minimal",
            compat="override",
            join="exact",
            combine_attrs="override",
        )
    except BaseException:
        for _, ds in opened:
            ds.close()
        raise
    for name in joined.coords:
        if time_dim in joined[name].dims and joined[name].dtype.kind == "M":
            # The first file's units fit its own times ("days since" for a file of
            # one step), not necessarily the run's: the writer chooses again.
            joined[name].encoding.pop("units", None)
            joined[name].encoding.pop("dtype", None)
    datasets = [ds for _, ds in opened]

    def close_all() -> None:
        for ds in datasets:
            ds.close()

    joined.set_close(close_all)
    return joined


def _with_time_dim(ds: xr.Dataset) -> xr.Dataset:
    """A file of one time (a GRIB file per forecast hour) with its time as a dimension
    of length 1: the valid time, which goes on from file to file where the
    reference time of one forecast does not."""
    if any(d in ds.dims for d in TIME_DIMS):
        return ds
    for name in ("valid_time", "time"):
        if name in ds.coords and ds[name].ndim == 0:
            return ds.expand_dims(name)
    return ds


def _time_dim(opened: list[tuple[str, xr.Dataset]]) -> str:
    found = [(path, next((d for d in TIME_DIMS if d in ds.dims), None)) for path, ds in opened]
    for path, dim in found:
        if dim is None:
            raise CommandError(
                f"{path}: no time dimension ({', '.join(TIME_DIMS)}): several files are "
                "joined along time"
            )
    first_path, first = found[0]
    for path, dim in found[1:]:
        if dim != first:
            raise CommandError(
                f"{path}: its time dimension is {dim!r}, {first_path}'s is {first!r}: "
                "the files do not come from one model"
            )
    assert first is not None
    return first


def _times(ds: xr.Dataset, time_dim: str) -> np.ndarray | None:
    """The file's times, decoded, where it says them: the time coordinate, or
    WRF's XTIME (minutes since the start) or Times (text)."""
    for name in (time_dim, "XTIME", "Times"):
        if name in ds.variables and ds[name].dims[:1] == (time_dim,) and ds[name].ndim == 1:
            values = np.asarray(ds[name].values)
            if values.dtype.kind in "SU":
                text = np.char.replace(values.astype(str), "_", "T")
                try:
                    return text.astype("datetime64[s]")
                except ValueError:
                    return None
            if values.dtype.kind in "Mfiu":
                return values
    return None


def _in_time_order(
    opened: list[tuple[str, xr.Dataset]], time_dim: str
) -> list[tuple[str, xr.Dataset]]:
    found = [_times(ds, time_dim) for _, ds in opened]
    times = [t for t in found if t is not None and t.size]
    if len(times) < len(opened):
        return opened  # no times to order by: the order given (a glob's is sorted by name)
    keyed = sorted(zip(times, opened, strict=True), key=lambda pair: pair[0][0])
    for (t0, (p0, _)), (t1, (p1, _)) in zip(keyed, keyed[1:], strict=False):
        if not np.all(t0[-1] < t1[0]):
            raise CommandError(
                f"{p1}: its first time ({t1[0]}) is not after the last of {p0} ({t0[-1]}): "
                "the files overlap in time"
            )
    return [pair for _, pair in keyed]


def _check_fits(path: str, ds: xr.Dataset, ref_path: str, ref: xr.Dataset, time_dim: str) -> None:
    """One line naming the file, the variable and what differs, where ``ds`` does not
    continue ``ref``: other variables, another grid, other levels."""
    missing = sorted(map(str, set(ref.data_vars) - set(ds.data_vars)))
    extra = sorted(map(str, set(ds.data_vars) - set(ref.data_vars)))
    if missing or extra:
        what = "; ".join(
            part
            for part in (
                f"it lacks {', '.join(missing)}" if missing else "",
                f"it has {', '.join(extra)} besides" if extra else "",
            )
            if part
        )
        raise CommandError(f"{path}: does not fit {ref_path}: {what}")
    for name, var in ref.variables.items():
        if name not in ds.variables:
            continue
        other = ds[name]
        if other.dims != var.dims:
            raise CommandError(
                f"{path}: {name} has dimensions {other.dims}, in {ref_path} {var.dims}"
            )
        shape = [n for d, n in zip(var.dims, var.shape, strict=True) if d != time_dim]
        other_shape = [n for d, n in zip(other.dims, other.shape, strict=True) if d != time_dim]
        if shape != other_shape:
            raise CommandError(
                f"{path}: {name} is {_sizes(other, time_dim)} there and "
                f"{_sizes(var, time_dim)} in {ref_path}: another grid"
            )
    for name, coord in ref.coords.items():
        if name not in ds.coords or set(coord.dims) <= {time_dim}:
            continue  # the times themselves (WRF's XTIME too) go on from file to file
        a, b = _first_step(coord, time_dim), _first_step(ds.coords[name], time_dim)
        if a.shape != b.shape or not _same(a, b):
            raise CommandError(f"{path}: its {name} differs from {ref_path}'s: another grid")


def _sizes(var: Any, time_dim: str) -> str:
    return " x ".join(f"{n} {d}" for d, n in zip(var.dims, var.shape, strict=True) if d != time_dim)


def _first_step(coord: Any, time_dim: str) -> np.ndarray:
    if time_dim in coord.dims:
        coord = coord.isel({time_dim: 0})
    return np.asarray(coord.values)


def _same(a: np.ndarray, b: np.ndarray) -> bool:
    if a.dtype.kind in "fc" and b.dtype.kind in "fc":
        return bool(np.array_equal(a, b, equal_nan=True))
    return bool(np.array_equal(a, b))
