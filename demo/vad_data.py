"""Sample radar volume for the VAD demo: radial velocities that a Doppler
radar would see in a known, height-varying wind, with measurement noise,
a beam-blocked sector, random dropouts and rings that only see a partial
echo. Deterministic, so every run shows the same numbers."""

import numpy as np

EARTH_RADIUS_43 = 4.0 / 3.0 * 6371000.0  # effective earth radius for standard refraction
ELEVATIONS_DEG = (0.5, 1.5, 2.5, 4.0, 6.0, 9.0, 14.0, 19.5)
RANGES_M = np.arange(5000.0, 60001.0, 5000.0)
N_AZ = 360
STRETCHING = 2.0e-4  # du/dx - dv/dy (1/s)
SHEARING = 1.0e-4  # dv/dx + du/dy (1/s)
FALL_SPEED = -1.5  # m/s, precipitation falling toward the ground


def true_wind(z):
    """A veering profile with a low-level jet near 800 m (u east, v north, m/s)."""
    speed = 8.0 + 10.0 * np.exp(-(((z - 800.0) / 400.0) ** 2)) + 22.0 * np.tanh(z / 9000.0)
    direction_to = np.deg2rad(20.0 + 45.0 * np.tanh(z / 2000.0))  # clockwise from north
    return speed * np.sin(direction_to), speed * np.cos(direction_to)


def beam_height(r, el):
    """Height of the beam centre above the radar (4/3-earth model)."""
    return (
        np.sqrt(r**2 + EARTH_RADIUS_43**2 + 2.0 * r * EARTH_RADIUS_43 * np.sin(el))
        - EARTH_RADIUS_43
    )


def radar_volume(seed=7):
    """vr, az (rad) of shape (rings, N_AZ), cos(elevation) and height per ring."""
    rng = np.random.default_rng(seed)
    el = np.deg2rad(np.repeat(ELEVATIONS_DEG, RANGES_M.size))
    r = np.tile(RANGES_M, len(ELEVATIONS_DEG))
    z = beam_height(r, el)
    u, v = true_wind(z)
    az = np.deg2rad(np.arange(N_AZ) + 0.5)[None, :] + rng.normal(0.0, 0.002, (el.size, N_AZ))
    ce, se = np.cos(el)[:, None], np.sin(el)[:, None]
    rc = (r * np.cos(el))[:, None]
    # Horizontal wind projected on the beam: the mean wind gives the first
    # harmonic, a linear deformation field the second.
    horizontal = (
        u[:, None] * np.sin(az)
        + v[:, None] * np.cos(az)
        + 0.5 * rc * (-STRETCHING * np.cos(2.0 * az) + SHEARING * np.sin(2.0 * az))
    )
    vr = horizontal * ce + FALL_SPEED * se + rng.normal(0.0, 1.0, az.shape)
    # Missing gates: dropouts, a hill blocking the lowest two tilts to the
    # south-west, and far rings that only see a band of rain to the north-east.
    vr[rng.random(vr.shape) < 0.08] = np.nan
    blocked = (np.rad2deg(az) > 200.0) & (np.rad2deg(az) < 250.0) & (el[:, None] < np.deg2rad(2.0))
    vr[blocked] = np.nan
    in_rain = (np.rad2deg(az) > 10.0) & (np.rad2deg(az) < 120.0)
    partial = (r[:, None] >= 50000.0) & (el[:, None] < np.deg2rad(3.0)) & ~in_rain
    vr[partial] = np.nan
    return vr, az, np.cos(el), z, r
