"""Bunkers right-mover storm motion: `tarnwell diagnose` against MetPy, and why they differ.

Both follow Bunkers et al. (2000): the 0-6 km mean wind, and 7.5 m/s to the
right of the shear from the 0-0.5 km mean wind to the 5.5-6 km mean wind. They
differ in how a layer's mean wind is weighted: `tarnwell diagnose` weights by
height (the trapezoidal integral of the wind over height, divided by the
depth), MetPy's ``bunkers_storm_motion`` by pressure (the integral over
pressure). This script computes, on soundings laid out as a 37-level
pressure-level archive (ERA5) writes them, from the lowest level up:

- the difference between the two storm motions;
- the same difference once our means are weighted by pressure with the same
  end points (what is left is interpolation detail);
- the difference of the end-point 0-6 km shear used before, for scale;
- the change of 0-3 km storm-relative helicity from the storm-motion choice.

    .venv-bench/bin/python bench/compare_bunkers.py [--columns 2000]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

PRESSURE_LEVELS_HPA = np.array(
    [1000, 975, 950, 925, 900, 875, 850, 825, 800, 775, 750, 700, 650, 600, 550, 500, 450, 400,
     350, 300, 250, 225, 200, 175, 150, 125, 100, 70, 50, 30, 20, 10, 7, 5, 3, 2, 1],
    dtype=np.float64,
)  # fmt: skip
RD, GRAVITY = 287.04749097718457, 9.80665


def soundings(n: int, seed: int = 0) -> tuple[np.ndarray, ...]:
    """Pressure (Pa), height (m), u and v (m/s) of n columns on the 37 ERA5 levels, bottom-up.

    Temperatures fall at 5.5-7.5 K/km to a tropopause near 11-13 km; heights come
    from the hypsometric equation; hodographs veer and strengthen with height by
    random amounts, with a random low-level jet and noise of 1-2 m/s.
    """
    rng = np.random.default_rng(seed)
    p = PRESSURE_LEVELS_HPA * 100.0
    t0 = rng.uniform(285.0, 305.0, n)[:, None]
    lapse = rng.uniform(5.5e-3, 7.5e-3, n)[:, None]
    z = np.zeros((n, p.size))
    t = np.empty_like(z)
    t[:, 0] = t0[:, 0]
    tropopause = rng.uniform(11e3, 13e3, n)
    for k in range(1, p.size):
        # Hypsometric step with the layer's mean temperature (one fixed-point pass).
        dz = RD * t[:, k - 1] / GRAVITY * np.log(p[k - 1] / p[k])
        z[:, k] = z[:, k - 1] + dz
        t[:, k] = np.where(z[:, k] < tropopause, t0[:, 0] - lapse[:, 0] * z[:, k], 215.0)
    km = z / 1000.0
    speed = rng.uniform(0.5, 4.0, n)[:, None] * km + rng.uniform(0.0, 8.0, n)[:, None]
    turn = np.deg2rad(rng.uniform(0.0, 30.0, n))[:, None] * np.minimum(km, 6.0)
    jet = rng.uniform(0.0, 12.0, n)[:, None] * np.exp(-(((km - 0.8) / 0.4) ** 2))
    u = speed * np.sin(turn) + jet + rng.normal(0.0, 1.5, z.shape)
    v = speed * np.cos(turn) - 0.5 * jet + rng.normal(0.0, 1.5, z.shape)
    return np.broadcast_to(p, z.shape).copy(), z, u, v


def ours(z: np.ndarray, u: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The storm motion as `tarnwell diagnose` computes it, layers from the lowest level."""
    from tarnwell.cli.wind_fields import WindLayers

    block = WindLayers(((0.0, 3000.0),), None, False, 1)
    out = block(z, u, v, z[:, 0].copy())
    return out[0], out[1]


def pressure_weighted(p, z, u, v, bottom, top):
    """Mean wind over [z0 + bottom, z0 + top] weighted by pressure, one column at a time:
    end winds linear in height, end pressures linear in ln p, trapezoids in p."""
    means = np.empty((2, z.shape[0]))
    for i in range(z.shape[0]):
        zb, zt = z[i, 0] + bottom, z[i, 0] + top
        inside = (z[i] > zb) & (z[i] < zt)
        zz = np.concatenate([[zb], z[i, inside], [zt]])
        pp = np.exp(np.interp(zz, z[i], np.log(p[i])))
        for c, w in enumerate((u, v)):
            ww = np.interp(zz, z[i], w[i])
            means[c, i] = np.trapezoid(ww, pp) / (pp[-1] - pp[0])
    return means


def right_mover(mean, low, high):
    su, sv = high[0] - low[0], high[1] - low[1]
    shear = np.hypot(su, sv)
    return mean[0] + 7.5 * sv / shear, mean[1] - 7.5 * su / shear


def metpy_motion(p, z, u, v) -> tuple[np.ndarray, np.ndarray]:
    from metpy.calc import bunkers_storm_motion
    from metpy.units import units

    motion = np.empty((2, z.shape[0]))
    for i in range(z.shape[0]):
        right, _, _ = bunkers_storm_motion(
            p[i] * units.Pa, u[i] * units("m/s"), v[i] * units("m/s"), z[i] * units.m
        )
        motion[:, i] = right.to("m/s").magnitude
    return motion[0], motion[1]


def helicity_0_3km(z, u, v, cu, cv) -> np.ndarray:
    import tarnwell

    return tarnwell.profile(z, u, v, ground=z[:, 0], bottom=0.0, top=3000.0, cu=cu, cv=cv).helicity


def summary(label: str, du: np.ndarray, dv: np.ndarray) -> None:
    d = np.hypot(du, dv)
    print(
        f"{label:62s} median {np.median(d):6.3f}  95% {np.percentile(d, 95):6.3f}  "
        f"max {d.max():6.3f} m/s"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--columns", type=int, default=2000)
    args = parser.parse_args()
    p, z, u, v = soundings(args.columns)
    load = open("/proc/loadavg").read().split()[:3]
    print(f"{args.columns} soundings on the 37 ERA5 pressure levels; load average {load}")
    start = time.perf_counter()
    mu, mv = metpy_motion(p, z, u, v)
    metpy_seconds = time.perf_counter() - start
    start = time.perf_counter()
    tu, tv = ours(z, u, v)
    ours_seconds = time.perf_counter() - start
    pw = right_mover(
        pressure_weighted(p, z, u, v, 0.0, 6000.0),
        pressure_weighted(p, z, u, v, 0.0, 500.0),
        pressure_weighted(p, z, u, v, 5500.0, 6000.0),
    )
    import tarnwell

    nan = np.full(z.shape[0], np.nan)
    deep = tarnwell.profile(z, u, v, ground=z[:, 0], bottom=0.0, top=6000.0, cu=nan, cv=nan)
    end_point = right_mover(
        (deep.u_mean, deep.v_mean), (deep.u_bottom, deep.v_bottom), (deep.u_top, deep.v_top)
    )
    print("difference of the right-mover storm motion:")
    summary("tarnwell (height-weighted) - MetPy (pressure-weighted)", tu - mu, tv - mv)
    summary("our layers weighted by pressure - MetPy", pw[0] - mu, pw[1] - mv)
    summary(
        "tarnwell - the end-point 0-6 km shear used before", tu - end_point[0], tv - end_point[1]
    )
    h_ours = helicity_0_3km(z, u, v, tu, tv)
    h_metpy = helicity_0_3km(z, u, v, mu, mv)
    dh = np.abs(h_ours - h_metpy)
    print(
        f"0-3 km helicity, our storm motion - MetPy's: median {np.median(dh):.2f}, "
        f"95% {np.percentile(dh, 95):.2f}, max {dh.max():.2f} m2/s2"
    )
    print(f"time: MetPy {metpy_seconds:.1f} s, tarnwell {ours_seconds * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
