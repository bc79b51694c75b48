"""Built-in sample data for the demo and the tests.

``model_dataset`` is a small synthetic supercell environment on a projected
grid: a curved, veering hodograph whose strength peaks in a warm-sector jet, a
meridional front, and a moving, low-level cold pool under a storm. ``radar_volume``
is a synthetic radar volume scan of a known horizontally uniform wind profile,
as a radar would see it: radial velocities with noise and gaps, on sweeps of
fixed elevation. Both are deterministic for a given seed.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import xarray as xr

GRAVITY = 9.80665  # m s-2, the standard acceleration of gravity (WMO)

# Lambert conformal projection of the sample grid, as CF grid-mapping attributes.
GRID_MAPPING = {
    "grid_mapping_name": "lambert_conformal_conic",
    "standard_parallel": [33.0, 45.0],
    "longitude_of_central_meridian": -97.5,
    "latitude_of_projection_origin": 38.5,
    "false_easting": 0.0,
    "false_northing": 0.0,
}


def level_heights(nz: int) -> np.ndarray:
    """Heights (m) of ``nz`` stretched model levels from 10 m to about 14 km."""
    k = np.arange(nz, dtype=float) / max(nz - 1, 1)
    return 10.0 + 4000.0 * k + 10000.0 * k**2


def hodograph(z: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Ground-relative wind (m/s) of the sample's supercell environment at heights ``z`` (m).

    A half circle veering clockwise over the lowest 3 km (the curved
    hodograph of a classic right-moving supercell environment), then straight
    westerly shear to 8 km, constant above.
    """
    zc = np.clip(z, 0.0, 3000.0)
    angle = np.pi * zc / 3000.0
    above = np.clip(z - 3000.0, 0.0, 5000.0)
    u = 10.0 * (1.0 - np.cos(angle)) + 3.0 * above / 1000.0
    v = 10.0 * np.sin(angle) - 3.0
    return u, v


def model_dataset(
    nt: int = 3,
    nz: int = 40,
    ny: int = 120,
    nx: int = 160,
    dx: float = 3000.0,
    seed: int = 0,
    first_time: int = 0,
) -> xr.Dataset:
    """A synthetic convective-storm environment with CF metadata.

    Dimensions (time, level, y, x) on a Lambert conformal grid of spacing
    ``dx`` metres; air temperature (K), pressure (Pa), dew point (K),
    geopotential height (m) and wind (m/s), each with its CF standard name.
    ``first_time`` starts the storm's evolution later (to build a long series
    one step at a time).
    """
    import xarray as xr

    rng = np.random.default_rng(seed)
    x = (np.arange(nx) - (nx - 1) / 2.0) * dx
    y = (np.arange(ny) - (ny - 1) / 2.0) * dx
    half_width = max(x[-1], dx)
    half_height = max(y[-1], dx)
    z_level = level_heights(nz)

    shape = (nt, nz, ny, nx)
    t_idx = np.arange(first_time, first_time + nt, dtype=float)[:, None, None, None]
    zz = z_level[None, :, None, None]
    yy = y[None, None, :, None]
    xx = x[None, None, None, :]

    # Geopotential height: level heights with long-wave undulation of the surfaces.
    z = zz + 15.0 * np.sin(2.0 * np.pi * xx / (2.0 * half_width)) * (1.0 + zz / 10000.0)
    z = np.broadcast_to(z, shape).copy()

    # The front advances southward with time; colder air to its north, 2.5 K in
    # the lowest kilometre. Cold-pool intensity is measured against the domain's
    # mean θv, so the post-frontal air, colder than that mean, counts as a broad,
    # shallow cold pool; a modest front over a quarter to a third of the domain keeps it
    # well below the storm's outflow (12 K), as a forecaster would see them.
    y_front = 0.5 * half_height - 0.1 * half_height * t_idx
    front_shape = y_front + 0.15 * half_height * np.sin(np.pi * xx / half_width)
    front = 0.5 * (1.0 + np.tanh((yy - front_shape) / (0.08 * half_height)))
    depth_weight = np.exp(-((z / 1000.0) ** 2))
    t_surface = 302.0 - (0.5e-5 * yy + 2.5 * front) * depth_weight
    # 7.5 K/km to the tropopause at 12 km: the steep lapse rates of a severe-storm
    # environment.
    lapse = np.where(z < 12000.0, 0.0075 * z, 0.0075 * 12000.0)
    t = t_surface - lapse

    # A cold pool under a storm moving east-north-east in the warm sector.
    x_storm = -0.2 * half_width + 0.12 * half_width * t_idx
    y_storm = -0.25 * half_height + 0.05 * half_height * t_idx
    radius = np.hypot(xx - x_storm, (yy - y_storm) * 1.3)
    cold_pool_radius = 0.18 * half_width * (1.0 + 0.25 * t_idx)
    cold_pool = np.exp(-((radius / cold_pool_radius) ** 2)) * np.exp(-((z / 1200.0) ** 2))
    t = t - 12.0 * cold_pool + 0.05 * rng.standard_normal(shape)

    # Pressure of a standard-atmosphere column, lowered slightly in the cold sector.
    p = 101325.0 * (1.0 - 0.0065 * np.minimum(z, 11000.0) / 288.15) ** 5.2559
    p = p * np.exp(-np.maximum(z - 11000.0, 0.0) / 6340.0) - 150.0 * front * depth_weight
    # Dew points near 21 °C under a 29–30 °C warm sector (surface-based CAPE some
    # 3,500–4,000 J/kg), drier air aloft and behind the front.
    depression = 8.0 + 0.002 * z + 3.0 * front + rng.exponential(0.2, shape)
    td = t - depression

    # Wind: the supercell hodograph, strongest in a warm-sector jet.
    jet = 0.4 + 0.9 * np.exp(
        -(((xx + 0.1 * half_width) / (0.6 * half_width)) ** 2)
        - ((yy + 0.3 * half_height) / (0.5 * half_height)) ** 2
    )
    u_env, v_env = hodograph(z)
    u = jet * u_env * (1.0 - 0.6 * front) + 4.0 * cold_pool * np.tanh(
        (xx - x_storm) / (0.5 * cold_pool_radius)
    )
    v = jet * v_env * (1.0 - 0.6 * front) + 6.0 * front * depth_weight

    def var(data: np.ndarray, standard_name: str, units: str, long_name: str) -> xr.Variable:
        attrs = {
            "standard_name": standard_name,
            "units": units,
            "long_name": long_name,
            "grid_mapping": "lambert_conformal",
        }
        return xr.Variable(("time", "level", "y", "x"), data, attrs)

    steps = np.arange(first_time, first_time + nt)
    times = np.datetime64("2026-05-20T21:00") + steps * np.timedelta64(30, "m")
    ds = xr.Dataset(
        {
            "T": var(t, "air_temperature", "K", "air temperature"),
            "P": var(p, "air_pressure", "Pa", "air pressure"),
            "TD": var(td, "dew_point_temperature", "K", "dew point"),
            "Z": var(z, "geopotential_height", "m", "geopotential height"),
            "U": var(u, "eastward_wind", "m s-1", "eastward wind"),
            "V": var(v, "northward_wind", "m s-1", "northward wind"),
            "lambert_conformal": xr.Variable((), np.int32(0), GRID_MAPPING),
        },
        coords={
            "time": ("time", times, {"standard_name": "time"}),
            "level": (
                "level",
                np.arange(1, nz + 1, dtype=np.int32),
                {"long_name": "model level number", "positive": "up", "axis": "Z"},
            ),
            "y": ("y", y, {"standard_name": "projection_y_coordinate", "units": "m"}),
            "x": ("x", x, {"standard_name": "projection_x_coordinate", "units": "m"}),
        },
        attrs={
            "Conventions": "CF-1.8",
            "title": "tarnwell sample: synthetic supercell environment",
            "source": "tarnwell._sample_data.model_dataset (synthetic)",
        },
    )
    return ds


# The radar sample: a known, horizontally uniform wind profile.
RADAR_ELEVATIONS_DEG = (0.5, 1.5, 2.5, 4.0, 6.0, 9.0, 14.0)
RADAR_ALTITUDE = 350.0  # m above sea level
# Nyquist velocity of the sample radar: high enough that its winds never fold.
RADAR_NYQUIST = 27.0  # m/s
EARTH_RADIUS = 6371000.0  # m
EFFECTIVE_RADIUS_FACTOR = 4.0 / 3.0  # standard refraction


def radar_wind(height: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The sample radar's true wind (m/s) at height ``height`` (m above the radar)."""
    u = 4.0 + 12.0 * np.tanh(height / 2500.0)
    v = 8.0 * np.exp(-(((height - 1500.0) / 1500.0) ** 2)) - 2.0
    return u, v


def beam_height(rng_m: np.ndarray, elevation_rad: np.ndarray) -> np.ndarray:
    """Height (m) of the beam centre above the radar, 4/3 effective-earth model."""
    ae = EFFECTIVE_RADIUS_FACTOR * EARTH_RADIUS
    height: np.ndarray = np.sqrt(rng_m**2 + ae**2 + 2.0 * rng_m * ae * np.sin(elevation_rad)) - ae
    return height


def radar_sweeps(
    n_azimuth: int = 360,
    n_range: int = 160,
    gate_spacing: float = 250.0,
    noise: float = 1.0,
    seed: int = 1,
    wind: Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]] = radar_wind,
    elevations: tuple[float, ...] = RADAR_ELEVATIONS_DEG,
    nyquist: float | None = RADAR_NYQUIST,
    missing: float = 0.1,
    echo_top: float | None = None,
) -> list[xr.Dataset]:
    """Sweeps of radial velocity (``VRADH``, m/s) of a volume scan, one Dataset each.

    Each ray's azimuth is jittered a little as on a real antenna; a fraction
    ``missing`` of the gates hold no echo (NaN). With a ``nyquist`` velocity
    the radial velocities are folded into [-nyquist, nyquist) as the radar
    measures them, and each sweep carries it as ``nyquist_velocity`` (per ray,
    as CfRadial stores it). Above ``echo_top`` (m above the radar) no gate
    holds an echo, as above the weather of a real volume.
    """
    import xarray as xr

    rng = np.random.default_rng(seed)
    rng_m = (np.arange(n_range) + 0.5) * gate_spacing
    sweeps = []
    start = np.datetime64("2026-05-20T21:00:00", "ns")
    for i, elev_deg in enumerate(elevations):
        az_deg = (np.arange(n_azimuth) + 0.5) * (360.0 / n_azimuth)
        az_deg = np.mod(az_deg + rng.normal(0.0, 0.05, n_azimuth), 360.0)
        el_deg = np.full(n_azimuth, elev_deg) + rng.normal(0.0, 0.02, n_azimuth)
        az = np.deg2rad(az_deg)[:, None]
        el = np.deg2rad(el_deg)[:, None]
        h = beam_height(rng_m[None, :], el)
        u, v = wind(h)
        vr = (u * np.sin(az) + v * np.cos(az)) * np.cos(el)
        vr = vr + noise * rng.standard_normal(vr.shape)
        vr[rng.random(vr.shape) < missing] = np.nan
        if echo_top is not None:
            vr[np.broadcast_to(h > echo_top, vr.shape)] = np.nan
        if nyquist is not None:
            vr = vr - 2.0 * nyquist * np.floor((vr + nyquist) / (2.0 * nyquist))
        # 40 ms per ray; each sweep starts after the previous one has ended
        # (writers order the rays of a volume by time).
        sweep_ns = max(20_000_000_000, n_azimuth * 40_000_000 + 1_000_000_000)
        time = start + (i * sweep_ns + np.arange(n_azimuth) * 40_000_000).astype("timedelta64[ns]")
        sweeps.append(
            xr.Dataset(
                {
                    "VRADH": (
                        ("azimuth", "range"),
                        vr.astype(np.float32),
                        {
                            "standard_name": "radial_velocity_of_scatterers_away_from_instrument",
                            "long_name": "Radial velocity of scatterers away from instrument H",
                            "units": "m s-1",
                        },
                    ),
                    "sweep_mode": ((), "azimuth_surveillance"),
                    "sweep_number": ((), np.int32(i)),
                    "prt_mode": ((), "fixed"),
                    "follow_mode": ((), "none"),
                    "sweep_fixed_angle": ((), float(elev_deg)),
                    **(
                        {}
                        if nyquist is None
                        else {
                            "nyquist_velocity": (
                                ("azimuth",),
                                np.full(n_azimuth, nyquist, np.float32),
                                {"units": "m/s", "meta_group": "instrument_parameters"},
                            )
                        }
                    ),
                },
                coords={
                    "azimuth": ("azimuth", az_deg, {"units": "degrees"}),
                    "elevation": ("azimuth", el_deg, {"units": "degrees"}),
                    "time": ("azimuth", time),
                    "range": ("range", rng_m, {"units": "meters"}),
                    "latitude": RADAR_LATITUDE,
                    "longitude": RADAR_LONGITUDE,
                    "altitude": RADAR_ALTITUDE,
                },
            )
        )
    return sweeps


RADAR_LATITUDE = 36.0
RADAR_LONGITUDE = -97.0


def write_radar_volume(path: str, **kwargs: object) -> None:
    """Write the sample volume scan to ``path`` as a CfRadial1 file (with xradar)."""
    import importlib

    import xarray as xr

    xradar: Any = importlib.import_module("xradar")
    sweeps = radar_sweeps(**kwargs)  # type: ignore[arg-type]
    root = xr.Dataset(
        {
            "volume_number": ((), np.int32(0)),
            "platform_type": ((), "fixed"),
            "instrument_type": ((), "radar"),
            "time_coverage_start": ((), "2026-05-20T21:00:00Z"),
            "time_coverage_end": ((), "2026-05-20T21:03:00Z"),
            "sweep_group_name": ("sweep", [f"sweep_{i}" for i in range(len(sweeps))]),
            "sweep_fixed_angle": ("sweep", [float(sw["sweep_fixed_angle"]) for sw in sweeps]),
        },
        coords={
            "latitude": RADAR_LATITUDE,
            "longitude": RADAR_LONGITUDE,
            "altitude": RADAR_ALTITUDE,
        },
        attrs={
            "Conventions": "Cf/Radial",
            "instrument_name": "TARN",
            "title": "tarnwell sample: synthetic volume scan of a known wind profile",
            "source": "tarnwell._sample_data.write_radar_volume (synthetic)",
        },
    )
    tree = xr.DataTree.from_dict({"/": root, **{f"/sweep_{i}": sw for i, sw in enumerate(sweeps)}})
    xradar.io.to_cfradial1(tree, str(path), calibs=False)
