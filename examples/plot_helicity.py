"""
Storm-relative helicity with hodographs
=======================================

A map of 0–3 km storm-relative helicity for a right-moving supercell,
with the hodographs of a few marked columns, from winds on a model grid.

:func:`tarnwell.profile` gives, for every column and any height layer, the
winds at the layer's ends, the helicity for a given storm motion and the mean
wind. Here it runs twice: over 0–6 km to estimate the storm motion of every
column (the Bunkers right-mover, 7.5 m/s to the right of the 0–6 km shear
vector from the 0–6 km mean wind), then over 0–3 km with that motion.
"""

import matplotlib.pyplot as plt
import numpy as np

import tarnwell

# %%
# A synthetic wind field
# ----------------------
# Terrain-following levels on ``(y, x, level)`` with the vertical axis last
# (tarnwell's default), heights above sea level as a model writes them. The
# low-level jet, and with it the curvature of the hodograph, strengthens
# toward the south-east; terrain rises to 600 m in the north-west.

x = np.linspace(0.0, 300e3, 61)  # m
y = np.linspace(0.0, 200e3, 41)
X, Y = np.meshgrid(x, y)
ground = 600.0 * np.exp(-(((X - 40e3) / 80e3) ** 2 + ((Y - 170e3) / 60e3) ** 2))
h = np.arange(0.0, 10000.0, 250.0)  # m above ground of each level
z = ground[..., None] + h  # m above sea level, (y, x, level)

jet = (5.0 + 15.0 * (X / x[-1]) * (1.0 - Y / y[-1]))[..., None]  # m/s, low-level jet
u = (20.0 + 8.0 * X / x[-1])[..., None] * (1.0 - np.exp(-h / 3000.0)) + 2.0
v = jet * (h / 800.0) * np.exp(1.0 - h / 800.0) + 3.0 * np.exp(-h / 5000.0)

# %%
# Storm motion, then helicity
# ---------------------------
# ``ground`` is per column; ``bottom`` and ``top`` are heights above it. The
# 0–6 km run gives the mean wind and the shear (top minus bottom wind).

deep = tarnwell.profile(z, u, v, ground=ground, bottom=0.0, top=6000.0, cu=0.0, cv=0.0)
shear_u, shear_v = deep.u_top - deep.u_bottom, deep.v_top - deep.v_bottom
shear = np.hypot(shear_u, shear_v)
cu = deep.u_mean + 7.5 * shear_v / shear  # 7.5 m/s to the right of the shear
cv = deep.v_mean - 7.5 * shear_u / shear

srh = tarnwell.profile(z, u, v, ground=ground, bottom=0.0, top=3000.0, cu=cu, cv=cv)
print(f"0-3 km helicity: {np.nanmin(srh.helicity):.0f} to {np.nanmax(srh.helicity):.0f} m2/s2")

# %%
# The map and the hodographs
# --------------------------
# Each hodograph is the wind of its column from the ground to 6 km, coloured
# by height, with the storm motion as a cross: helicity is twice the area
# swept by the storm-relative wind between 0 and 3 km.

points = {"A": (60, 150), "B": (150, 100), "C": (250, 40)}  # km

fig = plt.figure(figsize=(10, 6.6), layout="constrained")
grid = fig.add_gridspec(3, 2, width_ratios=[1.7, 1])
ax = fig.add_subplot(grid[:, 0])
mesh = ax.pcolormesh(x / 1e3, y / 1e3, srh.helicity, cmap="YlOrRd", shading="nearest")
fig.colorbar(
    mesh,
    ax=ax,
    orientation="horizontal",
    shrink=0.8,
    label="0–3 km storm-relative helicity (m$^2$ s$^{-2}$)",
)
ax.contour(x / 1e3, y / 1e3, ground, levels=[200, 400], colors="0.4", linewidths=0.7)
for name, (px, py) in points.items():
    ax.plot(px, py, "k^", ms=8)
    ax.annotate(name, (px, py), xytext=(5, 5), textcoords="offset points", weight="bold")
ax.set(
    xlabel="x (km)",
    ylabel="y (km)",
    aspect="equal",
    title="Helicity for the Bunkers right-mover; terrain in grey contours",
)

for row, (name, (px, py)) in enumerate(points.items()):
    j, i = np.abs(y / 1e3 - py).argmin(), np.abs(x / 1e3 - px).argmin()
    low = h <= 6000
    hax = fig.add_subplot(grid[row, 1])
    hax.axhline(0, color="0.8", lw=0.8)
    hax.axvline(0, color="0.8", lw=0.8)
    hax.plot(u[j, i, low], v[j, i, low], color="0.5", lw=1)
    sc = hax.scatter(
        u[j, i, low], v[j, i, low], c=h[low], s=10, cmap="viridis", vmin=0, vmax=6000, zorder=3
    )
    hax.plot(cu[j, i], cv[j, i], "rx", ms=8, mew=2)
    hax.set(xlim=(-5, 30), ylim=(-5, 25), aspect="equal", ylabel="v (m s$^{-1}$)")
    hax.set_title(f"{name}: {srh.helicity[j, i]:.0f} m$^2$ s$^{{-2}}$", fontsize=10)
    if row == 2:
        hax.set_xlabel("u (m s$^{-1}$)")
fig.colorbar(sc, ax=fig.axes[-3:], label="height above ground (m)", shrink=0.8)
plt.show()
