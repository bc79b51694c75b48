"""`tarnwell diagnose` on a (time, level, y, x) model file on disk: where the time goes.

Writes a synthetic model file one time step at a time, then measures

- the command as a user runs it (``--chunks time=1``), wall time;
- reading every input once (the I/O floor of the job);
- in one process, time step by time step: reading, the kernels alone
  (``_tarnwell`` calls), the package's layout work around them (``tarnwell.*``
  minus the kernels), the other array arithmetic of the diagnostics
  (buoyancy, storm motion, gradient magnitudes, xarray), the parcels (three
  parcels and the effective inflow layer), the composites (the effective
  layer's helicity and bulk wind difference, stp and scp), and writing;
- the bytes each 3-D output field takes against the input's bytes per 3-D
  field, lossless and with ``--significant-digits`` 2, 3 and 4, and the largest
  error the rounding makes in each field.

Files written just before are read partly from the page cache, so a warm
read floor is optimistic. With ``--cold`` (root only: it drops the page cache
of the whole machine) the cache is dropped before the read floor, the command
and the in-process split, so that each reads its inputs from disk, as a user
opening yesterday's model output does; both floors are reported. Quote the
load average with the figures.

    python bench/bench_cli.py                      # the full (24, 50, 400, 400)
    python bench/bench_cli.py --shape 24,50,200,200
    sudo python bench/bench_cli.py --cold          # inputs read from disk
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import threading
import time
from collections import defaultdict
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
INPUTS = ("T", "P", "TD", "Z", "U", "V")


def write_model(path: Path, shape: tuple[int, int, int, int]) -> None:
    """The sample environment, extended to ``nt`` steps, written one step at a time.

    Stored as models store their output: float32, zlib level 1 with the byte
    shuffle, one time step per chunk.
    """
    import netCDF4

    from tarnwell import _sample_data

    nt, nz, ny, nx = shape
    dx = 3000.0 * 400.0 / nx  # the same domain at any resolution
    first = _sample_data.model_dataset(nt=1, nz=nz, ny=ny, nx=nx, dx=dx, seed=0)
    stored = {
        name: {
            "dtype": "float32",
            "zlib": True,
            "complevel": 1,
            "shuffle": True,
            "chunksizes": (1, nz, ny, nx),
        }
        for name in INPUTS
    }
    first.to_netcdf(path, unlimited_dims=["time"], encoding=stored)
    with netCDF4.Dataset(path, "a") as nc:
        for k in range(1, nt):
            step = _sample_data.model_dataset(
                nt=1, nz=nz, ny=ny, nx=nx, dx=dx, seed=k, first_time=k % 8
            )
            for name in INPUTS:
                nc.variables[name][k] = step[name].values[0]
            nc.variables["time"][k] = nc.variables["time"][0] + 30 * k * _minutes(nc)


def _minutes(nc: Any) -> float:
    units = nc.variables["time"].units
    per = {"minutes": 1.0, "hours": 1.0 / 60.0, "seconds": 60.0, "days": 1.0 / 1440.0}
    return per[units.split()[0]]


def drop_page_cache() -> None:
    """Write dirty pages out and drop the page cache (root only)."""
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def read_floor(path: Path) -> float:
    """Seconds to read every input variable once, one time step at a time."""
    import netCDF4

    start = time.perf_counter()
    with netCDF4.Dataset(path) as nc:
        nc.set_auto_mask(False)
        for name in INPUTS:
            var = nc.variables[name]
            for k in range(var.shape[0]):
                var[k]
    return time.perf_counter() - start


class Meter:
    """Accumulates the time spent inside wrapped functions, by label, each call's
    time less that of the wrapped calls it makes (so the labels add up)."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = defaultdict(float)
        self._calls = threading.local()

    def wrap(self, label: str, func: Callable[..., Any]) -> Callable[..., Any]:
        def timed(*args: Any, **kwargs: Any) -> Any:
            stack = self._calls.__dict__.setdefault("stack", [])
            stack.append(label)
            start = time.perf_counter()
            try:
                return func(*args, **kwargs)
            finally:
                spent = time.perf_counter() - start
                stack.pop()
                self.seconds[label] += spent
                if stack:
                    self.seconds[stack[-1]] -= spent

        return timed


def split(path: Path, threads: int) -> dict[str, float]:
    """Read, kernels, layout, parcels, composites, other arithmetic and write, step by step."""
    import xarray as xr

    import _tarnwell
    import tarnwell
    from tarnwell import _core, composites
    from tarnwell.cli import diagnose as _diagnose
    from tarnwell.cli import output as _output
    from tarnwell.cli import parcel_fields as _parcel_fields

    meter = Meter()
    names = ("thermo", "cold_pool", "profile", "gradient")
    # The public functions where the command's blocks look them up.
    homes = {n: tarnwell.kernels for n in names} | {"gradient": tarnwell.horizontal}
    originals = {n: (getattr(_tarnwell, n), getattr(homes[n], n)) for n in names}
    for n, (raw, face) in originals.items():
        setattr(_tarnwell, n, meter.wrap("kernels", raw))
        setattr(homes[n], n, meter.wrap("face", face))
    # Level-first cold_pool and profile run the kernels' column routines on the
    # grid as it lies: kernel work and the reading of the grid in one call,
    # counted with the kernels.
    on_grid = {n: getattr(_core, n) for n in ("cold_pool_level_first", "profile_level_first")}
    for n, f in on_grid.items():
        setattr(_core, n, meter.wrap("kernels", f))
    # The parcels (three, and the effective inflow layer found from their
    # columns) run in a block function of their own; the composites are the
    # effective layer's winds, another block function, and stp and scp.
    parcel_blocks = {
        _parcel_fields.ParcelFields: "parcel",
        _parcel_fields.EffectiveWinds: "composites",
    }
    block_calls = {cls: cls.__call__ for cls in parcel_blocks}
    for cls, label in parcel_blocks.items():
        cls.__call__ = meter.wrap(label, block_calls[cls])  # type: ignore[method-assign]
    composite_names = ("significant_tornado_parameter", "supercell_composite_parameter")
    composite_calls = {n: getattr(composites, n) for n in composite_names}
    for n, f in composite_calls.items():
        setattr(composites, n, meter.wrap("composites", f))
    scratch = path.with_name("split_step.nc")
    totals: dict[str, float] = defaultdict(float)
    try:
        with xr.open_dataset(path) as ds:
            for k in range(ds.sizes["time"]):
                t0 = time.perf_counter()
                step = ds.isel(time=[k]).load()
                t1 = time.perf_counter()
                result = _diagnose.diagnose(step, {}, _diagnose.Options(n_threads=threads))
                t2 = time.perf_counter()
                _output.for_path(result, str(scratch)).to_netcdf(scratch)
                t3 = time.perf_counter()
                totals["read"] += t1 - t0
                totals["diagnose"] += t2 - t1
                totals["write"] += t3 - t2
    finally:
        for n, (raw, face) in originals.items():
            setattr(_tarnwell, n, raw)
            setattr(homes[n], n, face)
        for n, f in on_grid.items():
            setattr(_core, n, f)
        for cls, call in block_calls.items():
            cls.__call__ = call  # type: ignore[method-assign]
        for n, f in composite_calls.items():
            setattr(composites, n, f)
        scratch.unlink(missing_ok=True)
    totals["kernels"] = meter.seconds["kernels"]
    totals["layout"] = meter.seconds["face"]  # the public functions less their kernels
    totals["parcel"] = meter.seconds["parcel"]
    totals["composites"] = meter.seconds["composites"]
    totals["other"] = totals["diagnose"] - sum(meter.seconds.values())
    return dict(totals)


def stored_bytes(path: Path) -> dict[str, int]:
    """Bytes each variable of a netCDF-4 file takes on disk (its compressed chunks)."""
    import h5py

    with h5py.File(path, "r") as f:
        return {n: v.id.get_storage_size() for n, v in f.items() if isinstance(v, h5py.Dataset)}


def rounded_copy(lossless: Path, out: Path, digits: int) -> None:
    """The command's output at ``digits`` significant digits, written by the command's
    writer from its lossless output: the rounding acts on the stored values, so
    this is the file ``--significant-digits`` writes, without computing it again."""
    import xarray as xr

    from tarnwell.cli import output as _output

    with xr.open_dataset(lossless) as ds:
        marked = _output.with_significant_digits(ds.load(), digits, str(out))
    _output.for_path(marked, str(out)).to_netcdf(out)


def rounding_errors(lossless: Path, rounded: Path) -> dict[str, tuple[float, float]]:
    """Largest absolute and relative change of each rounded field.

    The relative change is bounded over normal numbers only: a subnormal value
    (below 1.2e-38 in float32, such as a wind that is zero but for its last
    bits) has fewer significant bits than it keeps, and changes by less than
    the smallest normal number times 2**-bits instead.
    """
    import xarray as xr

    errors = {}
    with xr.open_dataset(lossless) as a, xr.open_dataset(rounded) as b:
        for name in a.data_vars:
            if "_QuantizeBitRoundNumberOfSignificantBits" not in b[name].attrs:
                continue
            normal = np.finfo(a[name].dtype).smallest_normal
            x = a[name].values.astype(np.float64)
            change = np.abs(b[name].values.astype(np.float64) - x)
            usable = np.isfinite(x) & (np.abs(x) >= normal)
            if usable.any():
                relative = float((change[usable] / np.abs(x[usable])).max())
                errors[name] = (float(np.nanmax(change)), relative)
    return errors


def output_sizes(model: Path, out: Path, digits: tuple[int, ...]) -> dict[str, Any]:
    """Bytes per 3-D output field against the input's bytes per 3-D field, lossless
    and at each of ``digits``, and the errors of the rounding."""
    import xarray as xr

    inputs = stored_bytes(model)
    per_input = sum(inputs[n] for n in INPUTS) / len(INPUTS)
    with xr.open_dataset(out) as ds:
        fields_3d = [str(n) for n, v in ds.data_vars.items() if v.ndim == 4]
        fields = [str(n) for n, v in ds.data_vars.items() if v.dtype.kind == "f"]
    sizes: dict[str, dict[str, float]] = {}
    errors: dict[int, dict[str, tuple[float, float]]] = {}
    files = {"lossless": out}
    for n in digits:
        files[f"N={n}"] = out.with_name(f"{out.stem}_{n}digits.nc")
        rounded_copy(out, files[f"N={n}"], n)
        errors[n] = rounding_errors(out, files[f"N={n}"])
    for label, path in files.items():
        stored = stored_bytes(path)
        sizes[label] = {f: stored[f] / per_input for f in fields_3d}
        # Every floating field, 2-D ones included, in 3-D fields' worth of values.
        data = sum(stored[n] for n in fields)
        sizes[label]["all fields, per 3-D field of data"] = data / _fields_3d(path) / per_input
        if path != out:
            path.unlink()
    return {"per_input": per_input, "sizes": sizes, "errors": errors, "fields_3d": fields_3d}


def _fields_3d(path: Path) -> float:
    """Floating-point data of a file, counted in (time, level, y, x) fields."""
    import xarray as xr

    with xr.open_dataset(path) as ds:
        full = max(v.size for v in ds.data_vars.values())
        return sum(v.size for v in ds.data_vars.values() if v.dtype.kind == "f") / full


def command(path: Path, out: Path, threads: int) -> float:
    script = Path(sys.executable).parent / "tarnwell"
    cmd = [str(script)] if script.exists() else [sys.executable, "-m", "tarnwell"]
    start = time.perf_counter()
    subprocess.run(
        [
            *cmd,
            "diagnose",
            str(path),
            "-o",
            str(out),
            "--chunks",
            "time=1",
            "--threads",
            str(threads),
            "--overwrite",
            "-q",
        ],
        check=True,
    )
    return time.perf_counter() - start


def loadavg() -> str:
    return " / ".join(f"{x:.2f}" for x in os.getloadavg())


def measure(
    work: Path,
    shape: tuple[int, int, int, int],
    threads: int,
    cold: bool = False,
    digits: tuple[int, ...] = (2, 3, 4),
) -> dict[str, Any]:
    """Every figure of the benchmark, on a model file of ``shape`` written in ``work``."""
    model, out = work / "model.nc", work / "diag.nc"
    start = time.perf_counter()
    write_model(model, shape)
    m: dict[str, Any] = {"shape": shape, "threads": threads, "cold": cold}
    m["model_seconds"] = time.perf_counter() - start
    m["load_before"] = loadavg()

    def drop() -> None:
        if cold:
            drop_page_cache()

    m["warm_floor"] = read_floor(model)
    drop()
    m["floor"] = read_floor(model)
    drop()
    m["wall"] = command(model, out, threads)
    drop()
    m["parts"] = split(model, threads)
    m["load_after"] = loadavg()
    m["in_bytes"], m["out_bytes"] = model.stat().st_size, out.stat().st_size
    m["in_fields"], m["out_fields"] = _fields_3d(model), _fields_3d(out)
    m.update(output_sizes(model, out, digits))
    m["within"] = m["wall"] / (m["floor"] + m["parts"]["write"])
    m["digits_meeting"] = [
        n
        for n in digits
        if max(v for k, v in m["sizes"][f"N={n}"].items() if k in m["fields_3d"]) <= SIZE_GOAL
    ]
    return m


SIZE_GOAL = 1.2  # bytes of each 3-D output field, in the input's bytes per 3-D field
SPLIT = ("read", "kernels", "parcel", "composites", "layout", "other", "write")


def report_lines(m: dict[str, Any]) -> list[str]:
    """The figures of :func:`measure` as markdown."""
    parts, points = m["parts"], int(np.prod(m["shape"]))
    once = m["floor"] + parts["write"]
    where = "from disk (page cache dropped)" if m["cold"] else "again, from the page cache"
    lines = [
        f"`tarnwell diagnose --chunks time=1 --threads {m['threads']}` on the model file of "
        f"`bench/bench_cli.py`, (time, level, y, x) = {m['shape']} ({points:,} points per "
        f"variable; float32, zlib 1 with the shuffle, one step per chunk; "
        f"{m['in_bytes'] / 1e6:.1f} MB for six 3-D inputs), every field written to netCDF. "
        f"Load average {m['load_before']} before, {m['load_after']} after.",
        "",
        f"- The command: {m['wall']:.1f} s wall ({points / m['wall'] / 1e6:.2f} M points/s), "
        f"output {m['out_bytes'] / 1e6:.1f} MB.",
        f"- One read of the inputs {where}: {m['floor']:.1f} s (first read "
        f"{m['warm_floor']:.1f} s); one write of the output (in process, step by step): "
        f"{parts['write']:.1f} s; together {once:.1f} s.",
        f"- Command / (read + write) = **{m['within']:.2f}** (goal: at most 1.5).",
        "",
        "The same job in process, step by step (the parcels: three parcels and the effective "
        "inflow layer; the composites: the effective layer's helicity and bulk wind "
        "difference, stp and scp; layout: the package's work around the other kernels; "
        "other: the remaining array arithmetic and xarray):",
        "",
        "| part | seconds | share of the whole |",
        "|---|---|---|",
    ]
    whole = sum(parts[k] for k in SPLIT)
    lines += [f"| {k} | {parts[k]:.1f} | {parts[k] / whole:.0%} |" for k in SPLIT]
    labels = list(m["sizes"])
    lines += [
        "",
        f"Bytes of each 3-D output field against the input's mean bytes per 3-D field "
        f"({m['per_input'] / 1e6:.2f} MB), lossless and with `--significant-digits N` (goal: at "
        f"most {SIZE_GOAL:g} with N digits; met for N = "
        f"{', '.join(map(str, m['digits_meeting'])) or 'none measured'}):",
        "",
        "| field | " + " | ".join(labels) + " |",
        "|---|" + "---|" * len(labels),
    ]
    rows = [*m["fields_3d"], "all fields, per 3-D field of data"]
    for f in rows:
        lines.append(f"| {f} | " + " | ".join(f"{m['sizes'][k][f]:.2f}" for k in labels) + " |")
    digits = list(m["errors"])
    lines += [
        "",
        "Largest change the rounding makes in each field (absolute, in the field's units, "
        "and relative to the value, over its values from the smallest normal number up):",
        "",
        "| field | " + " | ".join(f"N={n} abs | N={n} rel" for n in digits) + " |",
        "|---|" + "---|---|" * len(digits),
    ]
    for f in m["errors"][digits[0]]:
        cells = [f"{m['errors'][n][f][0]:.3g} | {m['errors'][n][f][1]:.2g}" for n in digits]
        lines.append(f"| {f} | " + " | ".join(cells) + " |")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", default="24,50,400,400", help="time,level,y,x")
    parser.add_argument("--dir", default=str(ROOT / "build" / "bench_cli"))
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--keep", action="store_true", help="keep the files")
    parser.add_argument(
        "--cold", action="store_true", help="drop the page cache before each read (root)"
    )
    args = parser.parse_args()
    shape = tuple(int(s) for s in args.shape.split(","))
    assert len(shape) == 4, "--shape needs four sizes"
    work = Path(args.dir)
    work.mkdir(parents=True, exist_ok=True)
    try:
        m = measure(work, shape, args.threads, args.cold)  # type: ignore[arg-type]
    finally:
        if not args.keep:
            shutil.rmtree(work)
    print("\n".join(report_lines(m)))


if __name__ == "__main__":
    main()
