"""Sample hodographs on the demo grid: terrain-following columns whose
low-level wind veers through a half circle (strongest in a low-level jet
region), with unidirectional westerly shear above 3 km, light noise and a few
missing values, generated deterministically."""

import numpy as np
from sample_data import NX, NY, NZ, heights


def hodograph_grid(seed=11):
    """Heights (m), u and v (m/s) of shape (NY*NX, NZ) and ground height (m)
    of shape (NY, NX)."""
    rng = np.random.default_rng(seed)
    y = np.linspace(-1.0, 1.0, NY)[:, None]
    x = np.linspace(-1.0, 1.0, NX)[None, :]
    ground = 600.0 * np.exp(-((x + 0.6) ** 2 + (y - 0.4) ** 2) / 0.08)  # a hill
    jet = 3.0 + 9.0 * np.exp(-((x - 0.3) ** 2 + (y + 0.1) ** 2) / 0.15)  # hodograph radius
    agl = heights()[None, None, :]
    z = ground[:, :, None] + agl
    t = np.clip(agl / 3000.0, 0.0, 1.0)
    radius = jet[:, :, None]
    above = np.maximum(agl - 3000.0, 0.0) / 3000.0
    u = radius * (1.0 - np.cos(np.pi * t)) + 12.0 * above + 0.4 * rng.standard_normal(z.shape)
    v = radius * np.sin(np.pi * t) + 0.4 * rng.standard_normal(z.shape)
    # Rejected radar/sonde levels and a few columns without a ground height.
    u[rng.random(z.shape) < 0.01] = np.nan
    ground = ground.copy()
    ground[rng.random(ground.shape) < 0.005] = np.nan
    n = NY * NX
    return z.reshape(n, NZ), u.reshape(n, NZ), v.reshape(n, NZ), ground
