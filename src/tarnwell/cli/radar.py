"""Velocity-azimuth-display wind profiles from radar volume scans.

A ring is one range gate of one sweep followed round all the sweep's rays:
the radial velocities at constant range and elevation, against azimuth.
Each ring's fit gives the horizontal wind at the beam's height there, so a
volume of several elevations yields a wind profile.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

import tarnwell
from tarnwell import units

from ._io import CommandError, _first_line

if TYPE_CHECKING:
    import xarray as xr

VELOCITY_STANDARD_NAME = "radial_velocity_of_scatterers_away_from_instrument"
VELOCITY_NAMES = ("VRADH", "VRAD", "VRADV", "VEL", "velocity", "corrected_velocity", "VR")
EARTH_RADIUS = 6371000.0  # m
EFFECTIVE_RADIUS_FACTOR = 4.0 / 3.0  # standard atmospheric refraction
DEFAULT_MIN_GATES = 30
DEFAULT_MIN_SPREAD = 0.2  # of the 0.25 that rays spread evenly round the circle reach


def open_volume(path: str) -> list[xr.Dataset]:
    """The sweeps of a radar volume (CfRadial1/2, ODIM_H5, NEXRAD Level II, ...), via xradar."""
    import os

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file or directory")
    import importlib

    try:
        xradar: Any = importlib.import_module("xradar")
    except ImportError:
        raise CommandError(
            "reading radar volumes needs the Python package 'xradar': pip install 'tarnwell[cli]'"
        ) from None
    try:
        tree = xradar.io.open_datatree(path)
    except Exception as err:  # each format's reader fails in its own way
        raise CommandError(f"{path}: cannot read as a radar volume ({_first_line(err)})") from None
    sweeps = [
        tree[name].to_dataset(inherit="all_coords")
        for name in sorted(tree.children, key=_sweep_order)
        if name.startswith("sweep")
    ]
    if not sweeps:
        raise CommandError(f"{path}: no sweeps in the radar volume")
    return sweeps


def _sweep_order(name: str) -> tuple[int, str]:
    digits = "".join(c for c in name if c.isdigit())
    return (int(digits) if digits else -1, name)


def find_velocity(sweep: xr.Dataset, name: str | None) -> xr.DataArray:
    if name is not None:
        if name not in sweep.data_vars:
            raise CommandError(f"--velocity {name}: the sweep has no variable {name!r}")
        return sweep[name]
    for var in sweep.data_vars.values():
        if var.attrs.get("standard_name") == VELOCITY_STANDARD_NAME:
            return var
    for candidate in VELOCITY_NAMES:
        if candidate in sweep.data_vars:
            return sweep[candidate]
    raise CommandError(
        "no radial velocity in the sweep (a variable with standard_name "
        f"{VELOCITY_STANDARD_NAME!r}); name it with --velocity NAME"
    )


def beam_height(range_m: np.ndarray, elevation_rad: np.ndarray) -> np.ndarray:
    """Height (m) of the beam centre above the antenna: 4/3 effective earth (Doviak, Zrnić)."""
    ae = EFFECTIVE_RADIUS_FACTOR * EARTH_RADIUS
    height: np.ndarray = (
        np.sqrt(range_m**2 + ae**2 + 2.0 * range_m * ae * np.sin(elevation_rad)) - ae
    )
    return height


def sweep_rings(sweep: xr.Dataset, velocity: str | None) -> dict[str, Any]:
    """One sweep as rings for ``tarnwell.vad``: vr and azimuth (range, ray), cos(elevation).

    The velocity is in m/s (converted from its ``units``), the azimuth in
    radians; the elevation is the median of the rays' elevations.
    """
    vr_da = find_velocity(sweep, velocity).transpose(..., "range")
    text = vr_da.attrs.get("units", "m s-1")
    try:
        scale, offset = units.conversion("vad", str(vr_da.name), str(text), "m s-1")
    except ValueError as err:
        raise CommandError(str(err)) from None
    ray_dim = vr_da.dims[0]
    vr = units.apply_linear(vr_da.values.astype(np.float64), scale, offset)
    az = np.deg2rad(np.asarray(sweep["azimuth"].values, dtype=np.float64))
    elevation = float(np.nanmedian(np.asarray(sweep["elevation"].values, dtype=np.float64)))
    range_m = np.asarray(sweep["range"].values, dtype=np.float64)
    return {
        "vr": np.ascontiguousarray(vr.T),  # (range, ray): one ring per row
        "az": np.ascontiguousarray(np.broadcast_to(az, (range_m.size, az.size))),
        "cos_el": np.cos(np.deg2rad(elevation)),
        "elevation": elevation,
        "range": range_m,
        "ray_dim": ray_dim,
        "name": str(vr_da.name),
    }


def vad_dataset(
    sweeps: list[xr.Dataset],
    *,
    velocity: str | None = None,
    min_gates: int = DEFAULT_MIN_GATES,
    min_spread: float = DEFAULT_MIN_SPREAD,
    n_threads: int = 1,
) -> xr.Dataset:
    """The VAD fit of every ring of every sweep as a (sweep, range) Dataset with CF attributes."""
    import xarray as xr

    rings = [sweep_rings(s, velocity) for s in sweeps]
    n_range = max(r["range"].size for r in rings)
    n_sweep = len(rings)

    def padded() -> np.ndarray:
        return np.full((n_sweep, n_range), np.nan)

    fields = {name: padded() for name in tarnwell.Vad._fields}
    range_m = padded()
    for i, ring in enumerate(rings):
        res = tarnwell.vad(
            ring["vr"],
            ring["az"],
            cos_el=ring["cos_el"],
            min_gates=min_gates,
            min_spread=min_spread,
            n_threads=n_threads,
        )
        m = ring["range"].size
        for name, values in zip(tarnwell.Vad._fields, res, strict=True):
            fields[name][i, :m] = values
        range_m[i, :m] = ring["range"]

    elevation = np.array([r["elevation"] for r in rings])
    height = beam_height(range_m, np.deg2rad(elevation)[:, None])
    u, v = fields["u"], fields["v"]
    speed = np.hypot(u, v)
    # Meteorological convention: the direction the wind blows from, clockwise from north.
    direction = np.mod(np.rad2deg(np.arctan2(-u, -v)), 360.0)

    def var(data: np.ndarray, units_: str, long_name: str, standard: str | None = None) -> Any:
        attrs = {"units": units_, "long_name": long_name}
        if standard:
            attrs["standard_name"] = standard
        return (("sweep", "range"), data, attrs)

    first = sweeps[0]
    coords: dict[str, Any] = {
        "sweep": ("sweep", np.arange(n_sweep, dtype=np.int32), {"long_name": "sweep index"}),
        "elevation": ("sweep", elevation, {"units": "degrees", "long_name": "sweep elevation"}),
        "range": (("sweep", "range"), range_m, {"units": "m", "long_name": "range to gate"}),
        "height": (
            ("sweep", "range"),
            height,
            {"units": "m", "long_name": "beam height above the radar (4/3 earth radius)"},
        ),
    }
    for name in ("latitude", "longitude", "altitude"):
        if name in first.coords or name in first.data_vars:
            coords[name] = ((), float(first[name].values), dict(first[name].attrs))
    ds = xr.Dataset(
        {
            "u": var(u, "m s-1", "eastward wind", "eastward_wind"),
            "v": var(v, "m s-1", "northward wind", "northward_wind"),
            "speed": var(speed, "m s-1", "wind speed", "wind_speed"),
            "direction": var(direction, "degree", "wind from direction", "wind_from_direction"),
            "a0": var(fields["a0"], "m s-1", "intercept of the first-order fit"),
            "rms": var(fields["rms"], "m s-1", "rms residual of the first-order fit"),
            "n": var(fields["n"], "1", "valid gates in the ring"),
            "a0_2": var(fields["a0_2"], "m s-1", "intercept of the second-order fit"),
            "s2": var(fields["s2"], "m s-1", "sin(2 azimuth) coefficient of the second-order fit"),
            "c2": var(fields["c2"], "m s-1", "cos(2 azimuth) coefficient of the second-order fit"),
        },
        coords=coords,
        attrs={
            "Conventions": "CF-1.8",
            "title": "tarnwell VAD wind profile",
            "source": f"tarnwell {tarnwell.__version__}",
            "tarnwell_product": "vad",
            "tarnwell_velocity": rings[0]["name"],
            "tarnwell_min_gates": min_gates,
            "tarnwell_min_spread": min_spread,
        },
    )
    if "altitude" in ds.coords:
        ds = ds.assign_coords(
            altitude_of_beam=(
                ("sweep", "range"),
                height + float(ds["altitude"]),
                {"units": "m", "long_name": "beam height above mean sea level"},
            )
        )
    return ds
