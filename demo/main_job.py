"""The main job, as a user runs it: model and radar files in, diagnostics and pictures out.

Writes a synthetic supercell environment (netCDF, CF metadata, projected grid)
and a synthetic radar volume scan of a known wind profile (CfRadial1), runs
`tarnwell diagnose`, `tarnwell vad` and `tarnwell plot` on them as commands,
and prints what came out.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import xarray as xr

from tarnwell import _sample_data

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "demo"


def tarnwell_command() -> list[str]:
    """The installed console script beside this Python, else ``python -m tarnwell``."""
    script = Path(sys.executable).parent / "tarnwell"
    return [str(script)] if script.exists() else [sys.executable, "-m", "tarnwell"]


def run(*args: str) -> str:
    shown = " ".join(
        [
            "tarnwell",
            *(str(Path(a).relative_to(ROOT)) if a.startswith(str(ROOT)) else a for a in args),
        ]
    )
    print(f"$ {shown}")
    done = subprocess.run([*tarnwell_command(), *args], capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"command failed ({done.returncode}):\n{done.stderr}")
    for line in done.stdout.splitlines():
        print(f"  {line}")
    return done.stdout


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    model, radar = OUT / "model.nc", OUT / "radar.nc"
    diagnostics, vad, sheet = OUT / "diagnostics.nc", OUT / "vad.nc", OUT / "sheet.png"

    print("Writing the sample data (synthetic supercell environment, radar volume scan) ...")
    start = time.perf_counter()
    ds = _sample_data.model_dataset()
    ds.to_netcdf(model)
    _sample_data.write_radar_volume(str(radar))
    dims = ", ".join(f"{k}={v}" for k, v in ds.sizes.items())
    print(
        f"  {model.name}: {dims}; {radar.name}: {len(_sample_data.RADAR_ELEVATIONS_DEG)} "
        f"sweeps ({time.perf_counter() - start:.1f} s)\n"
    )

    run("diagnose", str(model), "-o", str(diagnostics), "--chunks", "time=1", "--overwrite")
    run("vad", str(radar), "-o", str(vad), "--overwrite")
    run("plot", str(diagnostics), str(vad), "-o", str(sheet), "--overwrite")
    print()
    summarise(diagnostics, vad)
    print("\nFiles:")
    for path in (model, radar, diagnostics, vad, sheet):
        size = (
            sum(p.stat().st_size for p in path.rglob("*")) if path.is_dir() else path.stat().st_size
        )
        print(f"  {path.relative_to(ROOT)}  ({size / 1e6:.1f} MB)")
    if shutil.which("xdg-open") is None:
        print(f"\nThe figure sheet is {sheet.relative_to(ROOT)}.")


def _where(da: xr.DataArray) -> tuple[dict[str, object], float]:
    values = np.nan_to_num(da.values, nan=-np.inf)
    index = np.unravel_index(int(np.argmax(values)), values.shape)
    at = {str(dim): da[dim].values[i] for dim, i in zip(da.dims, index, strict=True)}
    return at, float(da.values[index])


def summarise(diagnostics: Path, vad: Path) -> None:
    with xr.open_dataset(diagnostics) as d:
        at, strongest = _where(d["intensity"])
        sel = {k: v for k, v in at.items()}
        depth = float(d["depth"].sel(sel))
        when = np.datetime_as_string(at["time"], unit="m")
        print(
            f"Strongest cold pool: {strongest:.1f} m/s, {depth / 1000:.1f} km deep, at "
            f"x = {at['x'] / 1000:.0f} km, y = {at['y'] / 1000:.0f} km, {when}"
        )
        at, largest = _where(d["helicity_0_3km"])
        storm = (float(d["u_storm"].sel(at)), float(d["v_storm"].sel(at)))
        print(
            f"Largest 0-3 km helicity: {largest:.0f} m2/s2 at x = {at['x'] / 1000:.0f} km, "
            f"y = {at['y'] / 1000:.0f} km (Bunkers storm motion {storm[0]:.1f}, "
            f"{storm[1]:.1f} m/s)"
        )
        front = float(d["grad_theta"].isel(level=0).max()) * 1.0e5
        print(f"Largest |grad theta| on the lowest level: {front:.1f} K per 100 km")

    with xr.open_dataset(vad) as v:
        height = v["height"].values.ravel()
        u, vv = v["u"].values.ravel(), v["v"].values.ravel()
        fitted = np.isfinite(u)
        print(
            f"\nVAD profile: {int(fitted.sum())} of {u.size} rings fitted; medians in 500 m "
            "layers against the wind the volume was made from:"
        )
        print(f"  {'height (km)':>12} {'u':>6} {'u true':>7} {'v':>6} {'v true':>7}  rings")
        for bottom in np.arange(0.0, 6000.0, 1000.0):
            sel = fitted & (height >= bottom) & (height < bottom + 500.0)
            if not sel.any():
                continue
            ut, vt = _sample_data.radar_wind(height[sel])
            print(
                f"  {bottom / 1000:5.1f}-{(bottom + 500) / 1000:<4.1f}  "
                f"{np.median(u[sel]):6.2f} {np.median(ut):7.2f} "
                f"{np.median(vv[sel]):6.2f} {np.median(vt):7.2f}  {int(sel.sum()):5d}"
            )
        ut, vt = _sample_data.radar_wind(height[fitted])
        err = np.hypot(u[fitted] - ut, vv[fitted] - vt)
        print(
            f"  vector error of single rings: median {np.median(err):.2f} m/s, "
            f"95th percentile {np.percentile(err, 95):.2f} m/s (radial noise 1 m/s)"
        )


if __name__ == "__main__":
    main()
