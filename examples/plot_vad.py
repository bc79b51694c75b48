"""
VAD wind profile from a radar volume
====================================

A wind profile from the radial velocities of a Doppler radar volume by
velocity-azimuth display: every ring of gates (one range of one sweep) is
fitted with :math:`v_r = a_0 + u\\cos\\phi\\sin\\alpha + v\\cos\\phi\\cos\\alpha`
by :func:`tarnwell.vad`, and each ring's wind is placed at the height of the
beam. The synthetic volume has a known wind profile, so the fit can be
checked against the truth.
"""

import matplotlib.pyplot as plt
import numpy as np

import tarnwell

# %%
# A synthetic volume
# ------------------
# Four sweeps (0.5° to 6°), 360 azimuths, gates every 1 km out to 60 km. The
# wind veers from a southerly low-level jet to westerlies aloft. Radial
# velocities carry 1.5 m/s of noise, and sectors without echo are missing
# (NaN), more of them far from the radar.

rng = np.random.default_rng(42)
elevation = np.deg2rad([0.5, 1.5, 3.0, 6.0])[:, None, None]  # (sweep, 1, 1)
gate_range = np.arange(2e3, 60e3, 1e3)[None, :, None]  # m, (1, range, 1)
azimuth = np.deg2rad(np.arange(0.0, 360.0, 1.0))  # (azimuth,) clockwise from north

effective_radius = 4.0 / 3.0 * 6371e3  # standard refraction
beam_height = gate_range * np.sin(elevation) + gate_range**2 / (2 * effective_radius)


def true_wind(h):
    """u, v (m/s) at height h (m): a 15 m/s southerly jet near 800 m, westerlies aloft."""
    u = 4.0 + 20.0 * (1.0 - np.exp(-h / 2500.0))
    v = 15.0 * (h / 800.0) * np.exp(1.0 - h / 800.0) + 2.0
    return u, v


u_true, v_true = true_wind(beam_height)
vr = (u_true * np.sin(azimuth) + v_true * np.cos(azimuth)) * np.cos(elevation)
vr = vr + rng.normal(0.0, 1.5, vr.shape)
no_echo = rng.random(vr.shape) < 0.1 + 0.5 * gate_range / 60e3
vr[no_echo] = np.nan

# %%
# One fit per ring
# ----------------
# ``vr`` is ``(sweep, range, azimuth)``; the azimuth axis is the ring's
# (the last axis, the default). The azimuths broadcast against every ring and
# ``cos_el`` against the ``(sweep, range)`` shape. Rings need 60 valid gates
# spread around the circle.

fit = tarnwell.vad(vr, azimuth, cos_el=np.cos(elevation[..., 0]), min_gates=60, min_spread=0.1)
height = beam_height[..., 0]
ok = np.isfinite(fit.u)
u_err = fit.u[ok] - true_wind(height[ok])[0]
print(
    f"{ok.sum()} of {ok.size} rings fitted; u error: mean {u_err.mean():+.2f} m/s, "
    f"rms {np.sqrt((u_err**2).mean()):.2f} m/s"
)

# %%
# The profile
# -----------
# The fitted components of every ring against beam height, the known profile
# as lines, wind barbs of the fit averaged in 500 m layers, and the rms
# residual of each ring's fit (the noise and whatever the uniform-wind model
# misses).

fig, (ax, bax, rax) = plt.subplots(
    1,
    3,
    figsize=(10, 5.5),
    sharey=True,
    layout="constrained",
    gridspec_kw={"width_ratios": [2.2, 0.8, 1]},
)
h_line = np.linspace(0.0, 6500.0, 200)
for comp, color, label in ((fit.u, "C0", "u"), (fit.v, "C3", "v")):
    for sweep, marker in enumerate("o^sD"):
        ax.plot(
            comp[sweep],
            height[sweep],
            marker,
            color=color,
            ms=3,
            alpha=0.6,
            label=f"{label}, {np.rad2deg(elevation[sweep, 0, 0]):.1f}°",
        )
ax.plot(true_wind(h_line)[0], h_line, "C0-", lw=2, label="u, known")
ax.plot(true_wind(h_line)[1], h_line, "C3-", lw=2, label="v, known")
ax.set(
    xlabel="wind component (m s$^{-1}$)",
    ylabel="beam height (m)",
    ylim=(0, 6500),
    title="VAD winds of every ring",
)
ax.legend(fontsize=7, ncols=2, loc="upper center")

layers = np.arange(0.0, 6500.0, 500.0)
index = np.digitize(height[ok], layers)
mean_u = np.array(
    [
        fit.u[ok][index == k].mean() if (index == k).any() else np.nan
        for k in range(1, len(layers) + 1)
    ]
)
mean_v = np.array(
    [
        fit.v[ok][index == k].mean() if (index == k).any() else np.nan
        for k in range(1, len(layers) + 1)
    ]
)
knots = 1.0 / 0.514444
bax.barbs(np.zeros_like(layers), layers + 250.0, mean_u * knots, mean_v * knots, length=6)
bax.set(xlim=(-1, 1), xticks=[], title="barbs (kt)")

rax.plot(fit.rms, height, "k.", ms=3)
rax.set(xlabel="rms residual (m s$^{-1}$)", title="fit residual", xlim=(0, 4))
plt.show()
