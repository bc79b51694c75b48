"""Cold-pool diagnostics of a thunderstorm outflow."""

import numpy as np
from cold_pool_data import DX, outflow

import _tarnwell as tw

THRESHOLD = -0.01  # m s^-2, about -0.3 K of potential temperature
SHADES = " .:-=+*#%@"


def ascii_map(field, vmax, rows=24, cols=64):
    ny, nx = field.shape
    sub = field[:: max(ny // rows, 1), :: max(nx // cols, 1)]
    lines = []
    for row in sub[::-1]:  # north up
        chars = []
        for v in row:
            if np.isnan(v):
                chars.append("?")
            else:
                chars.append(SHADES[min(int(v / vmax * (len(SHADES) - 1) + 0.5), len(SHADES) - 1)])
        lines.append("    |" + "".join(chars) + "|")
    return "\n".join(lines)


def run(timed):
    print("== cold_pool: intensity, depth and open top of an outflow ==")
    z, b, terrain, (ny, nx) = outflow()
    n, nz = z.shape
    top = np.full(n, np.nan)  # threshold mode everywhere
    tw.cold_pool(z, b, terrain, THRESHOLD, top)  # first touch of the result pages
    r, sec = timed(tw.cold_pool, z, b, terrain, THRESHOLD, top)
    intensity, depth, open_top = (q.reshape(ny, nx) for q in r)

    cold = intensity > 0.0
    j, i = np.unravel_index(np.nanargmax(intensity), intensity.shape)
    print(f"{n:,} columns of {nz} levels, layer below b = {THRESHOLD} m/s^2 above the terrain:")
    print(
        f"  strongest intensity {intensity[j, i]:.1f} m/s at x = {i * DX / 1e3:.0f} km, "
        f"y = {j * DX / 1e3:.0f} km (depth {depth[j, i]:.0f} m)"
    )
    print(
        f"  cold pool in {cold.mean():.1%} of columns, "
        f"mean depth there {depth[cold].mean():.0f} m, "
        f"mean intensity {intensity[cold].mean():.1f} m/s"
    )
    print(
        f"  open top (profile ends inside the cold air): {np.mean(open_top == 1.0):.1%} of columns"
    )
    print(f"  no usable level: {np.isnan(intensity).sum()} columns")
    print(f"  intensity map (0 .. {np.nanmax(intensity):.0f} m/s, '{SHADES[1:]}', north up):")
    print(ascii_map(intensity, np.nanmax(intensity)))

    fixed, _ = timed(tw.cold_pool, z, b, terrain, THRESHOLD, np.full(n, 500.0))
    fi = fixed[0].reshape(ny, nx)
    print(
        f"  fixed 500 m layer: strongest {np.nanmax(fi):.1f} m/s, "
        f"{np.isnan(fi).mean():.1%} columns too short for it"
    )
    print(f"  {n / sec / 1e6:.2f} M columns/s with default threads ({sec * 1e3:.2f} ms)")
    return r
