"""Sample data for the cold-pool demo: a thunderstorm outflow spreading over
gently sloping terrain, generated deterministically."""

import numpy as np
from sample_data import NX, NY, G, heights

THETA0 = 300.0  # K, reference potential temperature of the environment
DX = 2000.0  # m, grid spacing


def outflow(seed=7):
    """Heights (m above sea level) and buoyancy (m s^-2) as (NY*NX, NZ)
    columns, and the terrain height (NY, NX) where each column starts.

    The cold pool is deepest and coldest under the storm and thins towards a
    gust front; a warm, stable layer caps it. Observations are patchy: a few
    isolated missing values everywhere, and in the east the profiles stop at
    about 600 m, so deep parts of the pool there have no observed top."""
    rng = np.random.default_rng(seed)
    y = (np.arange(NY) - NY / 2) * DX
    x = (np.arange(NX) - NX / 3) * DX
    X, Y = np.meshgrid(x, y)
    terrain = 150.0 + 0.004 * (X - X.min()) + 40.0 * np.sin(Y / 30e3)
    # Outflow elongated along the storm motion (east), with a lumpy gust front.
    ang = np.arctan2(Y, X)
    r = np.hypot(X / 1.6, Y) / (60e3 * (1.0 + 0.12 * np.sin(5.0 * ang)))
    inside = np.clip(1.0 - r**2, 0.0, None)
    depth = 1800.0 * inside**0.5  # m
    deficit = 9.0 * inside**0.7  # K at the ground

    z = terrain[..., None] + heights()[None, None, :]
    agl = z - terrain[..., None]
    h = np.maximum(depth, 1.0)[..., None]
    shape = np.where(agl < h, 1.0 - (agl / h) ** 1.5, 0.0)
    lid = 0.6 * np.exp(-np.abs(agl - h) / 300.0)
    theta_p = -deficit[..., None] * shape + lid + 0.08 * rng.standard_normal(z.shape)
    b = G * theta_p / THETA0

    b[rng.random(b.shape) < 0.01] = np.nan
    east = X > x[int(0.55 * NX)]
    b[east[..., None] & (agl > 600.0)] = np.nan
    n = NY * NX
    return z.reshape(n, -1), b.reshape(n, -1), terrain, (NY, NX)
