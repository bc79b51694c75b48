"""`tarnwell diagnose` on a (time, level, y, x) model file on disk: where the time goes.

Writes a synthetic model file one time step at a time, then measures

- the command as a user runs it (``--chunks time=1``), wall time;
- reading every input once (the I/O floor of the job);
- in one process, time step by time step: reading, the kernels alone
  (``_tarnwell`` calls), the package's layout work around them (``tarnwell.*``
  minus the kernels), the other array arithmetic of the diagnostics
  (buoyancy, storm motion, gradient magnitudes, xarray), the parcel
  diagnostics (three parcels, the effective inflow layer, its helicity and
  bulk wind difference: their share of the diagnose time), and writing.

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
    """Accumulates the time spent inside wrapped functions, by label."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = defaultdict(float)

    def wrap(self, label: str, func: Callable[..., Any]) -> Callable[..., Any]:
        def timed(*args: Any, **kwargs: Any) -> Any:
            start = time.perf_counter()
            try:
                return func(*args, **kwargs)
            finally:
                self.seconds[label] += time.perf_counter() - start

        return timed


def split(path: Path, threads: int) -> dict[str, float]:
    """Read, kernels, layout, other arithmetic and write, time step by time step, in process."""
    import xarray as xr

    import _tarnwell
    import tarnwell
    from tarnwell._native import transpose as _transpose
    from tarnwell.cli import diagnose as _diagnose
    from tarnwell.cli import output as _output

    meter = Meter()
    names = ("thermo", "cold_pool", "profile", "gradient")
    originals = {n: (getattr(_tarnwell, n), getattr(tarnwell, n)) for n in names}
    for n, (raw, face) in originals.items():
        setattr(_tarnwell, n, meter.wrap("kernels", raw))
        setattr(tarnwell, n, meter.wrap("face", face))
    # Level-first cold_pool and profile run the kernels' column routines on the
    # grid as it lies: kernel work and the reading of the grid in one call,
    # counted with the kernels.
    on_grid = {n: getattr(_transpose, n) for n in ("cold_pool_level_first", "profile_level_first")}
    for n, f in on_grid.items():
        setattr(_transpose, n, meter.wrap("kernels", f))
    # The parcel diagnostics (three parcels, the effective inflow layer, its
    # helicity and bulk wind difference) run in two block functions of their own.
    parcel_blocks = {
        cls: cls.__call__ for cls in (_diagnose.ParcelFields, _diagnose.EffectiveWinds)
    }
    for cls, call in parcel_blocks.items():
        cls.__call__ = meter.wrap("parcel", call)  # type: ignore[method-assign]
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
            setattr(tarnwell, n, face)
        for n, f in on_grid.items():
            setattr(_transpose, n, f)
        for cls, call in parcel_blocks.items():
            cls.__call__ = call  # type: ignore[method-assign]
        scratch.unlink(missing_ok=True)
    totals["kernels"] = meter.seconds["kernels"]
    totals["layout"] = meter.seconds["face"] - meter.seconds["kernels"]
    totals["parcel"] = meter.seconds["parcel"]
    totals["other"] = totals["diagnose"] - meter.seconds["face"] - meter.seconds["parcel"]
    return dict(totals)


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
    model, out = work / "model.nc", work / "diag.nc"
    points = int(np.prod(shape))

    print(
        f"shape (time, level, y, x) = {shape}: {points:,} points per variable, "
        f"{points * 8 / 1e9:.2f} GB per float64 variable"
    )
    start = time.perf_counter()
    write_model(model, shape)  # type: ignore[arg-type]
    print(
        f"wrote {model} ({model.stat().st_size / 1e9:.2f} GB) "
        f"in {time.perf_counter() - start:.0f} s"
    )
    print(f"load average before: {open('/proc/loadavg').read().split()[:3]}")

    def cold() -> None:
        if args.cold:
            drop_page_cache()

    warm_floor = read_floor(model)
    cold()
    floor = read_floor(model)
    cold()
    wall = command(model, out, args.threads)
    out_gb = sum(f.stat().st_size for f in [out]) / 1e9
    cold()
    parts = split(model, args.threads)
    load = open("/proc/loadavg").read().split()[:3]

    in_gb = model.stat().st_size / 1e9
    in_fields, out_fields = _fields_3d(model), _fields_3d(out)
    print(f"\nreading the inputs once, cached: {warm_floor:6.1f} s ({in_gb / warm_floor:.2f} GB/s)")
    where = "from disk (page cache dropped)" if args.cold else "again (cache not dropped)"
    print(f"reading the inputs once, {where}: {floor:6.1f} s ({in_gb / floor:.2f} GB/s)")
    print(
        f"tarnwell diagnose --chunks time=1 --threads {args.threads}: {wall:6.1f} s wall, "
        f"{points / wall / 1e6:.2f} M points/s, output {out_gb:.2f} GB"
    )
    print(
        f"input {in_gb:.3f} GB ({in_fields:.1f} 3-D fields), output {out_gb:.3f} GB "
        f"({out_fields:.1f} 3-D fields): output/input {out_gb / in_gb:.2f}, "
        f"per 3-D field {(out_gb / out_fields) / (in_gb / in_fields):.2f} (goal <= 1.2)"
    )
    once = floor + parts["write"]
    print(
        f"read once + write once = {floor:.1f} + {parts['write']:.1f} = {once:.1f} s; "
        f"command / (read + write) = {wall / once:.2f} (goal <= 1.5)"
    )
    print("in process, step by step:")
    for key in ("read", "kernels", "layout", "parcel", "other", "write"):
        print(f"  {key:8s} {parts[key]:7.1f} s")
    print(
        f"parcel diagnostics: {parts['parcel']:.1f} s of diagnose's {parts['diagnose']:.1f} s "
        f"({parts['parcel'] / parts['diagnose']:.0%}); of diagnose + write "
        f"{parts['parcel'] / (parts['diagnose'] + parts['write']):.0%}"
    )
    compute = parts["kernels"] + parts["layout"]
    print(f"kernels + layout = {compute:.1f} s = {compute / floor:.2f} x the read floor")
    print(f"load average after: {load}")
    if not args.keep:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
