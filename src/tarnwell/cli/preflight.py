"""Checks made before a run reads any data: what it may write over, and what its
options and declared sizes can mean.

Each failure here is a :class:`CommandError` naming what to change; none of
these checks reads more than a file's metadata.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING

from .errors import CommandError
from .formats import GRIB_COLUMNS, GRIB_LEVELS

if TYPE_CHECKING:
    import xarray as xr


def _contains(directory: str, path: str) -> bool:
    """Whether ``path`` lies inside ``directory`` (both resolved)."""
    return os.path.commonpath([directory, path]) == directory and path != directory


def check_output_is_no_input(output: str, inputs: Iterable[str]) -> None:
    """Refuse an output that is one of the run's inputs, whatever the flags.

    Publishing an output replaces what is at its path (with ``--overwrite``),
    and the input is still open for reading until the end: an output that is
    the input under another name (the same path, a symlink to it, a hard link
    of it) or a directory holding it (a zarr store) would destroy the data
    the run reads. The same inode, or resolved paths that coincide or nest,
    are refused.
    """
    if not os.path.lexists(output):
        target = os.path.realpath(output)
        for path in inputs:
            if _contains(os.path.realpath(path), target):
                raise CommandError(f"{output} lies inside the input {path}; write elsewhere")
        return
    target = os.path.realpath(output)
    for path in inputs:
        if not os.path.exists(path):
            continue
        source = os.path.realpath(path)
        try:
            same = source == target or os.path.samefile(path, output)
        except OSError:  # a dangling symlink at the output: nothing read through it
            same = False
        if same or _contains(target, source) or _contains(source, target):
            how = "is" if same else "holds" if _contains(target, source) else "lies inside"
            raise CommandError(
                f"{output} {how} the input {path}: this run reads it, so it is never "
                "replaced, whatever the flags; write the output elsewhere"
            )


def _block_values(var: xr.DataArray) -> int:
    """Values of one block of ``var`` as the kernels take it.

    The kernels need whole columns and whole grids: the trailing dimensions
    (level, y, x in every layout the command reads) are taken whole whatever
    their chunks; the leading ones (time, ensemble member) in their chunks.
    """
    whole = min(3, var.ndim - 1)
    sizes = []
    for k, (n, chunks) in enumerate(zip(var.shape, var.chunks or [], strict=False)):
        sizes.append(n if k >= var.ndim - whole else max(chunks, default=n))
    return math.prod(sizes) if var.chunks is not None else var.size


def check_chunk_fits(ds: xr.Dataset, path: str, chunks: object, threads: int) -> None:
    """Refuse a chunked run whose blocks cannot fit in memory, saying what to change.

    Each of the ``threads`` blocks in flight is computed whole, start to
    finish, and holds about as many fields of its size as an in-memory run
    holds of the file's.
    """
    from . import failures

    fields = [v for v in ds.data_vars.values() if v.ndim >= 3]
    if not fields:
        return
    largest = max(fields, key=_block_values)
    block = _block_values(largest) * 8
    resident, address = failures.available_memory()
    for factor, have, what in (
        (failures.EAGER_FIELDS, resident, "memory"),
        (failures.EAGER_FIELDS_ADDRESS_SPACE, address, "address space (ulimit -v)"),
    ):
        need = factor * block * threads
        if have is None or need <= have:
            continue
        outer = largest.ndim - min(3, largest.ndim - 1)
        split = {
            str(d): max(c)
            for d, c in list(zip(largest.dims, largest.chunks or [], strict=False))[:outer]
            if max(c) > 1
        }
        per_step = block // math.prod(split.values())
        if split and factor * per_step * threads <= have:
            advice = "use smaller chunks: --chunks " + ",".join(f"{d}=1" for d in split)
        elif threads > 1 and factor * per_step <= have:
            fewer = f"--threads {have // (factor * per_step)}"
            advice = "--chunks " + ",".join(f"{d}=1" for d in split) + " and " if split else ""
            advice = f"use {advice}fewer threads ({fewer})"
        else:
            advice = (
                "a single step (whole columns and grids, the least the diagnostics take) does "
                "not fit: cut the file to a smaller region or fewer levels first"
            )
        shape = " x ".join(f"{n:,}" for n in largest.shape)
        raise CommandError(
            f"{path}: the chunks of --chunks {chunks} need about {need / 2**30:,.1f} GiB of "
            f"{what} ({threads} block(s) of {largest.name!r}, {shape}, in flight) and "
            f"{have / 2**30:,.1f} GiB are available: {advice}"
        )


def owner_tag() -> str:
    """This process, as the name of its partial outputs records it: its PID and its
    machine (host name, boot and PID namespace), for a later run to tell whether
    the writer of a partial output left behind is still alive."""
    import hashlib
    import socket

    parts = [socket.gethostname()]
    try:
        with open("/proc/sys/kernel/random/boot_id") as f:
            parts.append(f.read())
        parts.append(os.readlink("/proc/self/ns/pid"))
    except OSError:
        parts.append("?")
    machine = hashlib.sha256("\0".join(parts).encode()).hexdigest()[:8]
    return f"{os.getpid()}-{machine}"


def stale_partials(output: str) -> list[str]:
    """Partial outputs of ``output`` left by runs that were killed (SIGKILL, a power
    cut): those written on this machine by a process that no longer exists are
    removed, the others (another machine's, an older version's) named.

    A live writer on this machine is left alone and unnamed: it is a run at
    work. Removing only what this machine can prove dead keeps a run on
    another node of a shared file system safe from ours.
    """
    import glob

    from .signals import remove_path

    target = os.path.abspath(output)
    mine = owner_tag().partition("-")[2]
    notes = []
    pattern = os.path.join(
        glob.escape(os.path.dirname(target)), f".{glob.escape(os.path.basename(target))}.*.partial"
    )
    for path in sorted(glob.glob(pattern)):
        tag = os.path.basename(path)[len(os.path.basename(target)) + 2 :].split(".")[0]
        pid, _, machine = tag.partition("-")
        if machine == mine and pid.isdigit():
            if _alive(int(pid)):
                continue
            try:
                remove_path(path)
            except OSError:
                pass
            else:
                notes.append(f"removed {path}, the partial output of a run that was killed")
                continue
        notes.append(
            f"{path} is the partial output of a run that was killed or is still writing "
            "elsewhere: remove it if no run is"
        )
    return notes


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # another user's process
        return True
    return True


# Arrays of a GRIB message's grid that ecCodes and cfgrib build whole while a
# file is opened: its values, and the latitude and longitude of every point.
GRIB_ARRAYS_PER_MESSAGE = 3
# The parameters the diagnostics take from GRIB files (temperature, winds,
# geopotential and its height, humidities, dew point): each must be on every
# level the others are on. Others (ozone, cloud water) often cover only part
# of the column, by design.
GRIB_CORE = frozenset({"t", "u", "v", "gh", "z", "r", "q", "dpt"})


def check_grib_file(path: str) -> None:
    """Refuse a GRIB file whose message headers promise trouble, before any is decoded.

    - A message whose grid cannot be decoded in the memory there is: ecCodes
      aborts the whole process when an allocation fails (no exception,
      nothing said), and a message of a few hundred bytes can declare a
      constant field of billions of points.
    - Fields on more than one grid: joined on one grid, a field from another
      region or resolution would be read as if it were on this one.
    - A level missing from one of the diagnostics' parameters that the others
      have (a field of another parameter, or on another grid, in its place):
      the level would be NaN throughout that field, without a word.
    """
    import importlib

    from . import failures

    eccodes = importlib.import_module("eccodes")
    resident, address = failures.available_memory()
    room = min((r for r in (resident, address) if r is not None), default=None)
    kept = (*GRIB_LEVELS, *GRIB_COLUMNS)
    messages = []
    damaged = False  # a message whose headers cannot be read: the reader names the damage
    with open(path, "rb") as f:
        while True:
            try:
                handle = eccodes.codes_grib_new_from_file(f, headers_only=True)
            except Exception:
                damaged = True
                break
            if handle is None:
                break
            try:
                keys = {
                    k: eccodes.codes_get(handle, k, ktype=str)
                    for k in ("shortName", "typeOfLevel", "level", "gridType", "md5GridSection")
                }
                points = int(eccodes.codes_get(handle, "numberOfDataPoints"))
            except Exception:
                damaged = True
                continue
            finally:
                eccodes.codes_release(handle)
            messages.append(keys)
            need = GRIB_ARRAYS_PER_MESSAGE * 8 * points
            if room is not None and need > room:
                raise CommandError(
                    f"{path}: GRIB message {len(messages)} declares a {keys['gridType']} grid "
                    f"of {points:,} points, which needs about {need / 2**30:,.1f} GiB to decode "
                    f"and {room / 2**30:,.1f} GiB are available (a damaged file, or one for a "
                    "larger machine: cut it to a region first, e.g. with grib_copy or cdo)"
                )
    if damaged:
        return
    used = [m for m in messages if m["typeOfLevel"] in kept]
    grids = [m["md5GridSection"] for m in used]
    if len(set(grids)) > 1:
        usual = max(set(grids), key=grids.count)
        odd = next(m for m in used if m["md5GridSection"] != usual)
        raise CommandError(
            f"{path}: the {odd['shortName']} field at {odd['typeOfLevel']} {odd['level']} is on "
            f"another grid than the file's other {grids.count(usual)} fields; the diagnostics "
            "need every field on one grid"
        )
    for kind in GRIB_LEVELS:
        fields = [m for m in used if m["typeOfLevel"] == kind and m["shortName"] in GRIB_CORE]
        levels: dict[str, set[str]] = {}
        for m in fields:
            levels.setdefault(m["shortName"], set()).add(m["level"])
        every = set().union(*levels.values()) if levels else set()
        # The parameter missing fewest levels first: one wrong field leaves a
        # gap in its own parameter, and a parameter of its own at one level.
        for name, have in sorted(levels.items(), key=lambda item: len(every - item[1])):
            if have != every:
                lacking = ", ".join(sorted(every - have, key=float))
                raise CommandError(
                    f"{path}: {name} has no field at {kind} {lacking}, where the file's other "
                    "fields have one (a field of another parameter or level type in its place?)"
                )
