"""Baroclinity of a frontal zone: the horizontal gradient of potential
temperature on every level of the sample grid, computed as one batch."""

import numpy as np
from gradient_data import below_ground, front_axis, grid_coordinates
from sample_data import grid_atmosphere, heights

import _tarnwell as tw

G = 9.80665
F0 = 1.0e-4  # Coriolis parameter near 45 degrees latitude (1/s)


def layer_mean(a, levels):
    """Mean over the chosen levels of (components, levels, y, x), skipping
    missing values; NaN where a column has none."""
    sub = a[:, levels]
    ok = np.isfinite(sub)
    total = np.where(ok, sub, 0.0).sum(axis=1)
    n = ok.sum(axis=1)
    return np.divide(total, n, out=np.full_like(total, np.nan), where=n > 0)


def run(timed):
    print("== gradient: baroclinity of a frontal zone ==")
    r = tw.gradient([[[0.0, 1.0, 4.0, 9.0]]], [0.0, 1.0, 2.0, 3.0], [0.0])
    print(f"worked example  f = [0, 1, 4, 9] on x = [0, 1, 2, 3]: df/dx = {r[0, 0, 0].tolist()}")

    t, p, td = grid_atmosphere()
    theta = tw.thermo(t, p, td)[1].reshape(t.shape)
    x, y = grid_coordinates()
    hidden = below_ground(x, y)
    theta[hidden] = np.nan
    tw.gradient(theta, x, y)  # first touch of fresh result pages is not the kernel's cost
    g, sec = timed(tw.gradient, theta, x, y)
    print(
        f"theta on (levels, y, x) = {theta.shape}: dx = {(x[1] - x[0]) / 1e3:.1f} km, "
        f"dy = {np.diff(y).min() / 1e3:.1f} .. {np.diff(y).max() / 1e3:.1f} km "
        "(finest at the front)"
    )

    border = np.zeros_like(hidden)
    border[:, :, 1:] |= hidden[:, :, :-1]
    border[:, :, :-1] |= hidden[:, :, 1:]
    border[:, 1:, :] |= hidden[:, :-1, :]
    border[:, :-1, :] |= hidden[:, 1:, :]
    border &= ~hidden
    lost = np.isnan(g[0]) & ~hidden
    print(
        f"  a mountain hides {int(hidden.sum())} points; the {int(border.sum())} around it use "
        f"one-sided differences ({int(lost.sum())} above ground left without a gradient)"
    )

    # The 0-1 km layer mean of the gradient vector: the mean of the gradient
    # is the gradient of the mean, and it averages out small-scale noise.
    low = heights() <= 1000.0
    lay = layer_mean(g, low)
    mag = np.hypot(lay[0], lay[1]) * 1e5  # K per 100 km
    th_low = layer_mean(theta[None], low)[0]
    dist = np.abs(y[:, None] - front_axis(x)[None, :]) / 1e3  # km from the front's axis
    print(
        f"  0-{heights()[low][-1]:.0f} m layer (lowest {int(low.sum())} levels): |grad theta| by "
        "distance from the front's axis,"
    )
    print("  with the thermal-wind shear g |grad theta| / (f theta) it implies")
    for lo_km, hi_km in ((0, 50), (50, 100), (100, 200), (200, 400), (400, 2000)):
        sel = (dist >= lo_km) & (dist < hi_km) & np.isfinite(mag)
        m = mag[sel].mean()
        shear = G * m * 1e-5 / (F0 * th_low[sel].mean()) * 1e3  # m/s per km
        print(
            f"    {lo_km:4d}-{hi_km:<4d} km  {m:5.2f} K/100 km   {shear:5.1f} m/s per km"
            f"   ({int(sel.sum())} points)"
        )
    across = y[:, None] - front_axis(x)[None, :]
    print(
        "  layer theta 300 km north of the axis and beyond: "
        f"{np.nanmean(th_low[across > 300e3]):.1f} K, "
        f"300 km south and beyond: {np.nanmean(th_low[across < -300e3]):.1f} K; "
        f"strongest layer gradient {np.nanmax(mag[dist < 50]):.1f} K/100 km"
    )
    print(f"  {theta.size / sec / 1e6:.1f} M points/s with default threads ({sec * 1e3:.2f} ms)")
    return g
