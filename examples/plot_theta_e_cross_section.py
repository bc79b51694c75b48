"""
θe cross-section through a cold front
=====================================

A vertical cross-section of equivalent potential temperature θe across a
cold front, with potential temperature θ in contours: the moist, warm-sector
air (high θe) at low levels, the dry cold air behind the front, and the
frontal zone sloping back over it.

:func:`tarnwell.thermo` returns the mixing ratio, θ, θv and θe of every point
from temperature, pressure and dew point. θe follows Bolton (1980, eq. 43).
"""

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.ticker import NullFormatter

import tarnwell

# %%
# A synthetic section on pressure levels
# --------------------------------------
# ``(level, x)`` on 33 pressure levels from 1000 to 200 hPa. The front's
# surface position is at x = 400 km and it slopes back 1 km in height per
# 100 km; behind it the air is 10 K colder and much drier.

p = np.linspace(100000.0, 20000.0, 33)[:, None]  # Pa, one pressure per level
x = np.linspace(0.0, 1000e3, 201)[None, :]  # m
height = 7000.0 * np.log(100000.0 / p)  # m, a scale-height estimate
front_x = 400e3 - 100.0 * height  # the frontal surface slopes back with height
cold = 0.5 * (1.0 - np.tanh((x - front_x) / 40e3))  # 1 behind the front, 0 ahead

t_warm = 300.0 - 6.5e-3 * np.minimum(height, 11000.0)
t = t_warm - 10.0 * cold * np.exp(-height / 4000.0)  # K
dewpoint_depression = 2.0 + 3.0 * height / 1000.0 + 15.0 * cold
td = t - np.minimum(dewpoint_depression, 40.0)  # K

# %%
# θ and θe of every point
# -----------------------
# The pressure per level broadcasts against the section.

th = tarnwell.thermo(t, p, td)
print(
    f"θe from {th.theta_e.min():.1f} K to {th.theta_e.max():.1f} K; "
    f"mixing ratio up to {1000 * th.mixing_ratio.max():.1f} g/kg"
)

# %%
# The section
# -----------

fig, ax = plt.subplots(figsize=(9, 5), layout="constrained")
filled = ax.contourf(
    x[0] / 1e3,
    p[:, 0] / 100,
    th.theta_e,
    levels=np.arange(300, 364, 3),
    cmap="turbo",
    extend="both",
)
fig.colorbar(filled, ax=ax, label="equivalent potential temperature θe (K)")
lines = ax.contour(
    x[0] / 1e3, p[:, 0] / 100, th.theta, levels=np.arange(270, 400, 5), colors="k", linewidths=0.7
)
ax.clabel(lines, fmt="%d K", fontsize=8)
ax.set_yscale("log")
ax.set_yticks([1000, 850, 700, 500, 400, 300, 200], labels=[1000, 850, 700, 500, 400, 300, 200])
ax.yaxis.set_minor_formatter(NullFormatter())
ax.set(
    ylim=(1000, 200),
    xlabel="distance across the front (km)",
    ylabel="pressure (hPa)",
    title="θe (colours) and θ (contours, K) across a cold front",
)
plt.show()
