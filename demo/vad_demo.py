"""Wind profile retrieved from a simulated radar volume by VAD fits."""

import numpy as np
from vad_data import SHEARING, STRETCHING, radar_volume, true_wind

import _tarnwell as tw


def run(timed):
    print("== vad: wind profile from a radar volume (velocity-azimuth display) ==")
    vr, az, cos_el, z, r = radar_volume()
    tw.vad(vr, az, cos_el, 3, 0.1)  # first touch of fresh result pages is not the kernel's cost
    res, sec = timed(tw.vad, vr, az, cos_el, 60, 0.1)
    u, v, a0, rms, n, a02, s2, c2 = res
    ut, vt = true_wind(z)
    ok = np.isfinite(u)
    print(
        f"{vr.shape[0]} rings x {vr.shape[1]} gates, {int(np.isnan(vr).sum()):,} gates missing "
        f"-> result {res.shape}; min_gates 60, min_spread 0.1"
    )
    few = n < 60
    print(
        f"  {ok.sum()} rings fitted; rejected: {few.sum()} with too few gates, "
        f"{(~ok & ~few).sum()} whose echo covers too little of the circle"
    )
    print("   height   range  gates      u fit  u true      v fit  v true    rms")
    order = np.argsort(z)
    shown = order[np.linspace(0, order.size - 1, 14).round().astype(int)]
    for i in shown:
        fit = (
            f"{u[i]:9.2f} {ut[i]:7.2f}  {v[i]:9.2f} {vt[i]:7.2f} {rms[i]:6.2f}"
            if ok[i]
            else "   rejected"
        )
        print(f"  {z[i]:6.0f} m {r[i] / 1000:5.0f} km {n[i]:5.0f}  {fit}")
    err = np.hypot(u[ok] - ut[ok], v[ok] - vt[ok])
    print(
        f"  vector wind error over fitted rings: median {np.median(err):.2f} m/s, "
        f"max {err.max():.2f} m/s"
    )
    # The second harmonic measures the deformation of the wind field:
    # c2 = -stretching * r cos^2(el) / 2, s2 = shearing * r cos^2(el) / 2.
    far = np.isfinite(c2) & (r * cos_el > 30000.0)
    scale = 0.5 * r[far] * cos_el[far] ** 2
    print(
        f"  deformation from the second harmonic ({far.sum()} rings beyond 30 km): "
        f"stretching {np.median(-c2[far] / scale) * 1e4:.2f}e-4 /s "
        f"(true {STRETCHING * 1e4:.2f}e-4), "
        f"shearing {np.median(s2[far] / scale) * 1e4:.2f}e-4 /s (true {SHEARING * 1e4:.2f}e-4)"
    )
    print(f"  {vr.shape[0] / sec:,.0f} rings/s with default threads ({sec * 1e3:.2f} ms)")
    return res
