"""Every failure of a run as one line: the cause and, where there is one, the fix.

A traceback tells a user that the program broke, not what to do; the cases a
user, a batch scheduler or a full disk meet each get a sentence here. Anything
not recognised still gets one line (its type and first line) and a pointer to
``--debug`` for the traceback.
"""

from __future__ import annotations

import argparse
import errno
import os
import resource
from pathlib import Path

from .errors import CommandError

_FIX = {
    errno.ENOSPC: "no space left on the device: free some space or write elsewhere",
    errno.EDQUOT: "disk quota exceeded: free some space or write elsewhere",
    errno.EFBIG: "file size limit exceeded (see 'ulimit -f'): raise the limit or write "
    "a smaller output (zarr stores split the data into many files)",
    errno.EROFS: "read-only file system: write elsewhere",
    errno.EACCES: "permission denied",
    errno.EPERM: "operation not permitted",
    errno.ENOMEM: "out of memory",
}


def _chain(err: BaseException) -> list[BaseException]:
    seen: list[BaseException] = []
    while err is not None and err not in seen:
        seen.append(err)
        err = err.__cause__ or err.__context__  # type: ignore[assignment]
    return seen


def first_line(err: BaseException) -> str:
    lines = str(err).strip().splitlines()
    return lines[0] if lines else type(err).__name__


def describe(err: BaseException, args: argparse.Namespace) -> str:
    """The one line for ``err``, raised while running ``args``."""
    chain = _chain(err)
    for e in chain:
        if isinstance(e, CommandError):
            return str(e)
    for e in chain:
        if isinstance(e, MemoryError):
            return _out_of_memory(args)
    for e in chain:
        if isinstance(e, OSError) and e.errno in _FIX:
            where = f" ({e.filename})" if e.filename else ""
            return _FIX[e.errno] + where
    output = _output_dir(args)
    if output is not None and any(_write_failure(e) for e in chain):
        # The netCDF and HDF5 libraries report a failed write as "HDF error"
        # without the reason; the file system and the limits tell it.
        full = _no_space(output)
        if full:
            return f"{_FIX[errno.ENOSPC]} (writing in {output})"
        if _file_size_limited():
            return _FIX[errno.EFBIG]
    for e in chain:
        kind = type(e).__name__
        if kind == "KilledWorker":
            return (
                "a dask worker died while running a task (usually out of memory on the "
                "worker): use smaller --chunks or give the workers more memory"
            )
        lost = ("CommClosedError", "TimeoutError", "FutureCancelledError", "CancelledError")
        if kind in lost and getattr(args, "scheduler", None):
            return f"lost the connection to the dask scheduler at {args.scheduler}"
    for e in chain:
        if isinstance(e, OSError) and e.strerror:
            where = f": {e.filename}" if e.filename else ""
            return f"{e.strerror}{where}"
    return (
        f"{type(err).__name__}: {first_line(err)} "
        "(an unexpected failure: run again with --debug for the traceback and report it)"
    )


def _write_failure(err: BaseException) -> bool:
    text = str(err)
    return isinstance(err, OSError) or "HDF" in text or "NetCDF" in text


def _out_of_memory(args: argparse.Namespace) -> str:
    chunks = getattr(args, "chunks", None)
    if args.command == "diagnose" and not chunks:
        return "out of memory: run with --chunks time=1 to process the file piece by piece"
    if args.command == "diagnose" and any(
        item.partition("=")[2].strip() != "1" for item in str(chunks).split(",")
    ):
        return f"out of memory: use smaller chunks than --chunks {chunks} (e.g. time=1)"
    if args.command == "diagnose":
        # Already one step at a time: what is left to give is threads, or grid.
        return (
            f"out of memory with --chunks {chunks}: use fewer --threads, or cut the file to "
            "a smaller region or fewer levels"
        )
    return "out of memory: free some memory or raise the limit (ulimit -v)"


def _output_dir(args: argparse.Namespace) -> str | None:
    output: str | None = getattr(args, "output", None)
    if not output and args.command == "plot" and getattr(args, "files", None):
        output = str(args.files[0])
    if not output:
        return None
    return os.path.dirname(os.path.abspath(output))


def _no_space(directory: str) -> bool:
    """Whether the file system holding ``directory`` is (nearly) full."""
    try:
        st = os.statvfs(directory)
    except OSError:
        return False
    free = (st.f_bfree if os.geteuid() == 0 else st.f_bavail) * st.f_frsize
    return free < 1 << 20


def _file_size_limited() -> bool:
    soft, _ = resource.getrlimit(resource.RLIMIT_FSIZE)
    return soft != resource.RLIM_INFINITY


# Peak memory of an in-memory diagnose run, in 4-D float64 fields the size of
# the largest input variable: measured at 38 resident and 48 of address space
# on a 12-step sample model file (its six inputs, the thermodynamic, parcel and
# gradient outputs, buoyancy, the ground-based wind columns and the
# temporaries of unit conversion and broadcasting; allocator arenas and thread
# stacks count in the address space too), each with some margin.
EAGER_FIELDS = 42
EAGER_FIELDS_ADDRESS_SPACE = 54


def available_memory() -> tuple[int | None, int | None]:
    """Bytes this process can still use: resident (the least of the free memory,
    the data limit and the cgroup's limit) and address space (the limit less
    what is mapped); None where there is no bound."""
    resident: list[int] = []
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    resident.append(int(line.split()[1]) * 1024)
    except OSError:
        pass
    soft, _ = resource.getrlimit(resource.RLIMIT_DATA)
    if soft != resource.RLIM_INFINITY:
        resident.append(max(soft - _status_kb("VmData:"), 0))
    for path in ("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"):
        current_path = path.replace("memory.max", "memory.current").replace(
            "limit_in_bytes", "usage_in_bytes"
        )
        try:
            text = Path(path).read_text().strip()
            current = int(Path(current_path).read_text().strip())
        except (OSError, ValueError):
            continue
        if text.isdigit() and int(text) < 1 << 60:
            resident.append(max(int(text) - current, 0))
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    address = None if soft == resource.RLIM_INFINITY else max(soft - _status_kb("VmSize:"), 0)
    return (min(resident) if resident else None), address


def _status_kb(key: str) -> int:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def check_fits_in_memory(largest_field_bytes: int, path: str) -> None:
    """Refuse an in-memory run that would run out of memory, pointing to --chunks."""
    resident, address = available_memory()
    for need, have in (
        (EAGER_FIELDS * largest_field_bytes, resident),
        (EAGER_FIELDS_ADDRESS_SPACE * largest_field_bytes, address),
    ):
        if have is not None and need > have:
            raise CommandError(
                f"{path}: an in-memory run needs about {need / 2**30:.1f} GiB and "
                f"{have / 2**30:.1f} GiB are available: use --chunks time=1 to process the "
                "file piece by piece"
            )
