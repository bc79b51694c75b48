"""Built-in sample data: an idealised mid-latitude atmosphere on a small grid,
generated deterministically so every run shows the same numbers."""

import numpy as np

NZ, NY, NX = 40, 96, 128
G = 9.80665


def heights():
    """Level heights (m), stretched: dense near the ground."""
    k = np.arange(NZ, dtype=float)
    return 25.0 * k + 6.0 * k**2  # 0 m .. ~10 km


def grid_atmosphere(seed=42):
    """Temperature, pressure and dew point (K, Pa, K) on (NZ, NY, NX): a
    meridional temperature gradient with a frontal zone, moist low levels."""
    rng = np.random.default_rng(seed)
    z = heights()[:, None, None]
    y = np.linspace(-1.0, 1.0, NY)[None, :, None]
    x = np.linspace(-1.0, 1.0, NX)[None, None, :]
    front = -4.0 * np.tanh((y - 0.25 * np.sin(3.0 * x)) / 0.15)  # colder to the north
    t_sfc = 293.0 - 8.0 * y + front
    t = t_sfc - 0.0065 * z + 0.3 * rng.standard_normal((NZ, NY, NX))
    # Hydrostatic pressure of a layer with the mean lapse rate.
    p = 101325.0 * (1.0 - 0.0065 * z / 288.15) ** 5.2559 * np.ones((1, NY, NX))
    depression = (
        2.0 + 0.002 * z + 3.0 * (1.0 + np.tanh(-y / 0.3)) + rng.exponential(1.0, (NZ, NY, NX))
    )
    td = t - depression
    return t, p, td
