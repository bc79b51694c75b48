"""Overhead of the `tarnwell` package over the raw `_tarnwell` kernels.

On a (time, level, y, x) = (8, 40, 256, 256) grid (10^7 points per field,
168 MB) each case times the face and the raw kernel on the same data,
interleaved, and reports medians and the ratio face / raw:

- level-last NumPy input: the kernel's own layout, so the face only checks,
  broadcasts per-column arguments and reshapes (goal: <= 1.2x);
- level-first NumPy input: the face also lays the columns out (goal: <= 2x);
- xarray DataArrays, level-first, with units attributes in SI;
- dask arrays in 2 chunks along time on the threaded scheduler.

The raw kernel is always timed on level-last data laid out beforehand: what a
user who did the transposition once would pay per call. Usage:

    python bench/bench_face.py [--reps 5] [--threads 2] [--small]
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable

import numpy as np

import _tarnwell as tw
import tarnwell


def loadavg() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def interleaved(
    cases: dict[str, Callable[[], object]], reps: int
) -> dict[str, tuple[float, float]]:
    """Median and fastest seconds of each case, the cases run in turn `reps` times
    after a warm-up."""
    times: dict[str, list[float]] = {k: [] for k in cases}
    for fn in cases.values():
        fn()
    order = list(cases.items())
    for rep in range(reps):
        # alternate the order so that no case always follows the same one
        for name, fn in order if rep % 2 == 0 else order[::-1]:
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {k: (statistics.median(v), min(v)) for k, v in times.items()}


def report(title: str, medians: dict[str, tuple[float, float]], raw: str = "raw") -> None:
    print(f"\n{title}  (load average {loadavg()})")
    print(f"  {'':<28} {'median':>9}  {'ratio':>6}   {'fastest':>9}  {'ratio':>6}")
    base, base_min = medians[raw]
    for name, (t, t_min) in medians.items():
        print(
            f"  {name:<28} {t * 1e3:6.1f} ms  {t / base:5.2f}x   {t_min * 1e3:6.1f} ms  "
            f"{t_min / base_min:5.2f}x"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--small", action="store_true", help="a (2, 40, 128, 128) grid")
    args = parser.parse_args()
    nt = args.threads
    shape = (2, 40, 128, 128) if args.small else (8, 40, 256, 256)
    ntime, nlev, ny, nx = shape
    rng = np.random.default_rng(0)
    print(f"grid {shape}, {args.reps} interleaved repetitions, {nt} threads")
    print(f"load average at start {loadavg()} (shared 2-core machine: figures are noisy)")

    # Level-first fields and their level-last copies.
    z_levels = np.cumsum(rng.uniform(50.0, 400.0, nlev))
    b_first = rng.normal(-0.01, 0.02, shape)
    u_first = rng.normal(0.0, 10.0, shape)
    v_first = rng.normal(0.0, 10.0, shape)
    z_first = np.ascontiguousarray(np.broadcast_to(z_levels[:, None, None], shape))
    last = {
        k: np.ascontiguousarray(np.moveaxis(a, 1, -1))
        for k, a in {"z": z_first, "b": b_first, "u": u_first, "v": v_first}.items()
    }
    n = ntime * ny * nx
    rows = {k: a.reshape(n, nlev) for k, a in last.items()}
    nan_top = np.full(n, np.nan)
    zeros = np.zeros(n)

    # cold_pool (threshold mode)
    cp = dict(bottom=0.0, threshold=-0.005, top=np.nan, n_threads=nt)
    medians = interleaved(
        {
            "raw": lambda: tw.cold_pool(rows["z"], rows["b"], zeros, -0.005, nan_top, nt),
            "face level-last": lambda: tarnwell.cold_pool(last["z"], last["b"], **cp),
            "face level-first": lambda: tarnwell.cold_pool(z_first, b_first, axis=1, **cp),
            "face level-first, z per lev": lambda: tarnwell.cold_pool(
                z_levels[:, None, None], b_first, axis=1, **cp
            ),
        },
        args.reps,
    )
    report("cold_pool", medians)

    # profile (0-3 km helicity). The lowest level is 50-400 m up: the layer is
    # measured from it (no ground height), else no column would have a wind
    # at its bottom and every call would end at the first level.
    pk = dict(ground=np.nan, bottom=0.0, top=3000.0, cu=5.0, cv=5.0, n_threads=nt)
    medians = interleaved(
        {
            "raw": lambda: tw.profile(
                rows["z"], rows["u"], rows["v"], nan_top, 0.0, 3000.0, zeros + 5, zeros + 5, nt
            ),
            "face level-last": lambda: tarnwell.profile(last["z"], last["u"], last["v"], **pk),
            "face level-first": lambda: tarnwell.profile(z_first, u_first, v_first, axis=1, **pk),
            "face level-first, z per lev": lambda: tarnwell.profile(
                z_levels[:, None, None], u_first, v_first, axis=1, **pk
            ),
        },
        args.reps,
    )
    report("profile", medians)

    # thermo: elementwise, no layout; the face broadcasts a pressure per level.
    # Two time steps: its libm calls make it slow, and the overhead is per element.
    shape = (2, *shape[1:])
    t = rng.uniform(220.0, 305.0, shape)
    td = t - rng.uniform(0.0, 20.0, shape)
    p_levels = np.linspace(100000.0, 20000.0, nlev)[:, None, None]
    p_full = np.ascontiguousarray(np.broadcast_to(p_levels, shape))
    medians = interleaved(
        {
            "raw": lambda: tw.thermo(t, p_full, td, nt),
            "face": lambda: tarnwell.thermo(t, p_full, td, n_threads=nt),
            "face, p per level": lambda: tarnwell.thermo(t, p_levels, td, n_threads=nt),
        },
        args.reps,
    )
    report("thermo", medians)

    # gradient on the (y, x) axes, batched over time and level
    x = np.arange(nx) * 3000.0
    y = np.arange(ny) * 3000.0
    shape = (ntime, *shape[1:])
    t = rng.uniform(220.0, 305.0, shape)
    flat = t.reshape(-1, ny, nx)
    medians = interleaved(
        {
            "raw": lambda: tw.gradient(flat, x, y, nt),
            "face": lambda: tarnwell.gradient(t, x, y, n_threads=nt),
        },
        args.reps,
    )
    report("gradient", medians)

    # vad: rings of 360 gates, gate axis first (azimuth, range) and last
    az = np.radians(np.arange(360.0))
    vr_first = rng.normal(0.0, 10.0, (360, 4000))
    vr_last = np.ascontiguousarray(vr_first.T)
    az_rows = np.ascontiguousarray(np.broadcast_to(az, vr_last.shape))
    vk = dict(cos_el=0.99, min_gates=30, min_spread=0.1, n_threads=nt)
    medians = interleaved(
        {
            "raw": lambda: tw.vad(vr_last, az_rows, np.full(4000, 0.99), 30, 0.1, nt),
            "face gates last": lambda: tarnwell.vad(vr_last, az, **vk),
            "face gates first": lambda: tarnwell.vad(vr_first, az[:, None], axis=0, **vk),
        },
        args.reps,
    )
    report("vad (4000 rings of 360 gates)", medians)

    try:
        import dask
        import dask.array as da
        import xarray as xr
    except ImportError:
        print("\nxarray/dask not installed: those cases skipped")
        return
    dims = ("time", "level", "y", "x")
    level = xr.DataArray(np.arange(nlev), dims="level", attrs={"axis": "Z"})
    z_da = xr.DataArray(z_first, dims=dims, coords={"level": level}, attrs={"units": "m"})
    b_da = xr.DataArray(b_first, dims=dims, coords={"level": level}, attrs={"units": "m s-2"})
    # DataArray.copy keeps the memory order: level-last data laid out for real
    z_dl = z_da.transpose("time", "y", "x", "level")
    z_dl = z_dl.copy(data=np.ascontiguousarray(z_dl.values))
    b_dl = b_da.transpose("time", "y", "x", "level")
    b_dl = b_dl.copy(data=np.ascontiguousarray(b_dl.values))
    z_xd, b_xd = z_da.chunk(time=ntime // 2), b_da.chunk(time=ntime // 2)
    z_dask = da.from_array(z_first, chunks=(ntime // 2, nlev, ny, nx))
    b_dask = da.from_array(b_first, chunks=(ntime // 2, nlev, ny, nx))
    cpx = dict(bottom=0.0, threshold=-0.005, top=np.nan)
    with dask.config.set(scheduler="threads"):
        medians = interleaved(
            {
                "raw": lambda: tw.cold_pool(rows["z"], rows["b"], zeros, -0.005, nan_top, nt),
                "xarray level-last": lambda: tarnwell.cold_pool(z_dl, b_dl, n_threads=nt, **cpx),
                "xarray level-first": lambda: tarnwell.cold_pool(z_da, b_da, n_threads=nt, **cpx),
                "dask 2 chunks, level-first": lambda: dask.compute(
                    *tarnwell.cold_pool(z_dask, b_dask, axis=1, **cpx)
                ),
                "xarray+dask 2 chunks": lambda: dask.compute(
                    *tarnwell.cold_pool(z_xd, b_xd, **cpx)
                ),
            },
            args.reps,
        )
    report("cold_pool on xarray and dask (dask: 1 kernel thread per task, 2 tasks)", medians)
    print(f"\nload average at end {loadavg()}")


if __name__ == "__main__":
    main()
