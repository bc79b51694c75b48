"""
Cold-pool intensity under a thunderstorm outflow
================================================

A map of cold-pool intensity :math:`C = \\sqrt{2\\int -b\\,dz}` and depth,
the propagation-speed scale of the outflow, from a model grid's temperature,
pressure and dew point on height levels.

Buoyancy is taken against the horizontal mean of each level,
:math:`b = g\\,(\\theta_v - \\overline{\\theta_v}) / \\overline{\\theta_v}`, with
θv from :func:`tarnwell.thermo`; :func:`tarnwell.cold_pool` then integrates
the negatively buoyant layer from the ground up to where the air is no
longer colder than its surroundings.
"""

import matplotlib.pyplot as plt
import numpy as np

import tarnwell

# %%
# A synthetic model grid
# ----------------------
# Level-first ``(level, y, x)`` data on a 2 km grid, as most model output is
# laid out: a conditionally unstable environment with an evaporatively
# cooled pool of air, 6 K colder at its centre and about 1.5 km deep, spread
# over the south-west of the domain.

g = 9.80665
z = np.arange(0.0, 4000.0, 100.0)  # m, level heights
x = np.arange(0.0, 160e3, 2e3)  # m
y = np.arange(0.0, 120e3, 2e3)
Z, X, Y = z[:, None, None], x[None, None, :], y[None, :, None]

# Environment: 300 K at the ground, 6.5 K/km lapse rate, hydrostatic pressure.
t_env = 300.0 - 6.5e-3 * Z
p = 100000.0 * (t_env / 300.0) ** (g / (287.05 * 6.5e-3))

# The outflow: an ellipse of cold air whose depth and deficit taper outward.
r = np.hypot((X - 60e3) / 35e3, (Y - 50e3) / 25e3)
depth = 1500.0 * np.clip(1.0 - r**2, 0.0, None)
deficit = 6.0 * np.clip(1.0 - r**2, 0.0, None) * np.clip(1.0 - Z / np.maximum(depth, 1.0), 0, None)
t = t_env - deficit
td = t - 4.0 - 4.0 * (Z / 4000.0) + 2.0 * (deficit > 0)  # moister in the outflow

# %%
# Buoyancy from θv, then the cold pool of every column
# ----------------------------------------------------
# ``axis=0`` tells tarnwell the levels come first; the pressure per point
# broadcasts as it is and the results have the shape of the map, ``(y, x)``.

th = tarnwell.thermo(t, p, td)
theta_v_mean = th.theta_v.mean(axis=(1, 2), keepdims=True)
b = g * (th.theta_v - theta_v_mean) / theta_v_mean

cp = tarnwell.cold_pool(z[:, None, None], b, bottom=0.0, threshold=0.0, top=np.nan, axis=0)
print("result shape:", cp.intensity.shape)
print(f"strongest cold pool: {np.nanmax(cp.intensity):.1f} m/s, {np.nanmax(cp.depth):.0f} m deep")

# %%
# The map
# -------
# Intensity in colour, depth in contours. Away from the outflow the air is
# slightly warmer than the domain mean (the mean includes the cold pool), so
# those columns start above the threshold and have no cold pool: intensity 0.

fig, ax = plt.subplots(figsize=(8, 5.2), layout="constrained")
mesh = ax.pcolormesh(x / 1e3, y / 1e3, cp.intensity, cmap="Blues", shading="nearest")
fig.colorbar(mesh, ax=ax, label="cold-pool intensity C (m s$^{-1}$)")
cs = ax.contour(
    x / 1e3, y / 1e3, cp.depth, levels=[250, 500, 750, 1000, 1250], colors="k", linewidths=0.8
)
ax.clabel(cs, fmt="%d m", fontsize=8)
ax.set(
    xlabel="x (km)",
    ylabel="y (km)",
    aspect="equal",
    title="Cold-pool intensity (colours) and depth (contours)",
)
plt.show()
