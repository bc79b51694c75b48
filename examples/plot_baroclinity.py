"""
Baroclinity along a front, around missing data
==============================================

A map of the magnitude of the horizontal gradient of potential temperature,
:math:`|\\nabla\\theta|`, the usual measure of baroclinity, which picks out
fronts and outflow boundaries. The field has a hole where the lowest model
level lies below a mountain's surface, as data on pressure levels do.

:func:`tarnwell.gradient` takes centred differences and falls back to the
one-sided difference next to a missing value, so the gradient stays defined
right up to the hole; ``numpy.gradient`` would spread each missing value to
its neighbours.
"""

import matplotlib.pyplot as plt
import numpy as np

import tarnwell

# %%
# Potential temperature on a projected grid
# -----------------------------------------
# θ at 850 hPa on a 5 km grid (projected x, y in metres): a cold front
# bending around a low, a weaker warm front ahead of it, and no data over a
# mountain that the cold front is crossing in the north.

x = np.arange(0.0, 800e3, 5e3)  # m
y = np.arange(0.0, 600e3, 5e3)
X, Y = np.meshgrid(x, y)
front = 350e3 + 1.5e-6 * (Y - 300e3) ** 2  # x position of the cold front at each y
theta = 290.0 + 8.0 * np.tanh((X - front) / 40e3)  # warm to the east of the front
theta += 3.0 * np.tanh((Y - 200e3) / 80e3) * 0.5 * (1.0 + np.tanh((X - front) / 40e3))
theta -= 2e-5 * Y  # colder to the north
mountain = np.hypot((X - 360e3) / 50e3, (Y - 470e3) / 35e3) < 1.0
theta[mountain] = np.nan

# %%
# The gradient, per 100 km
# ------------------------
# A single 2-D field; ``x`` and ``y`` are the coordinates of its last and
# second-to-last axes.

grad = tarnwell.gradient(theta, x=x, y=y)
baroclinity = np.hypot(grad.dfdx, grad.dfdy) * 100e3  # K per 100 km

numpy_dy, numpy_dx = np.gradient(theta, y, x)
lost = np.isnan(np.hypot(numpy_dx, numpy_dy)) & ~mountain
print(
    f"points next to the hole with no gradient: numpy.gradient {lost.sum()}, "
    f"tarnwell {(np.isnan(baroclinity) & ~mountain).sum()}"
)

# %%
# The map
# -------

fig, ax = plt.subplots(figsize=(8.5, 5.6), layout="constrained")
mesh = ax.pcolormesh(
    x / 1e3, y / 1e3, baroclinity, cmap="magma_r", vmin=0, vmax=25, shading="nearest"
)
fig.colorbar(mesh, ax=ax, label=r"$|\nabla\theta|$ (K per 100 km)", extend="max")
cs = ax.contour(x / 1e3, y / 1e3, theta, levels=np.arange(280, 302, 2), colors="k", linewidths=0.6)
ax.clabel(cs, fmt="%d K", fontsize=7)
ax.contourf(x / 1e3, y / 1e3, mountain, levels=[0.5, 1.5], colors="none", hatches=["///"])
ax.set(
    xlabel="x (km)",
    ylabel="y (km)",
    aspect="equal",
    title="Baroclinity at 850 hPa; θ contours; hatched: below ground",
)
plt.show()
