"""Moist thermodynamics of a gridded atmosphere."""

import numpy as np
from sample_data import grid_atmosphere

import _tarnwell as tw


def run(timed):
    print("== thermo: moist thermodynamic fields of a model grid ==")
    w, theta, theta_v, theta_e = tw.thermo(300.0, 100000.0, 290.0)[:, 0]
    print("worked example  T = 300 K, p = 1000 hPa, Td = 290 K:")
    print(
        f"  w = {w * 1000:.4f} g/kg, theta = {theta:.4f} K, theta_v = {theta_v:.4f} K, "
        f"theta_e = {theta_e:.3f} K"
    )
    t, p, td = grid_atmosphere()
    tw.thermo(t, p, td)  # first touch of fresh result pages is not the kernel's cost
    r, sec = timed(tw.thermo, t, p, td)
    fields = r.reshape((4,) + t.shape)
    print(f"grid (levels, y, x) = {t.shape}, {t.size:,} points -> result {r.shape}")
    for name, f, scale, unit in (
        ("mixing ratio", fields[0], 1000.0, "g/kg"),
        ("theta", fields[1], 1.0, "K"),
        ("theta_v", fields[2], 1.0, "K"),
        ("theta_e", fields[3], 1.0, "K"),
    ):
        print(f"  {name:<13s} {np.min(f) * scale:9.3f} .. {np.max(f) * scale:9.3f} {unit}")
    sfc = fields[3, 0]
    print(
        f"  surface theta_e: warm sector {sfc[:16].mean():.1f} K, "
        f"cold sector {sfc[-16:].mean():.1f} K"
    )
    print(f"  {t.size / sec / 1e6:.1f} M points/s with default threads ({sec * 1e3:.2f} ms)")
    return fields
