"""Storm-relative helicity and bulk shear over a grid of hodographs."""

import numpy as np
from profile_data import hodograph_grid
from sample_data import NX, NY

import _tarnwell as tw

DEVIATION = 7.5  # m/s, Bunkers' right-mover deviation from the mean wind


def pct(a, qs=(5, 50, 95)):
    a = a[np.isfinite(a)]
    return "  ".join(f"p{q} {np.percentile(a, q):7.1f}" for q in qs)


def run(timed):
    print("== profile: storm-relative helicity and shear of a grid of hodographs ==")
    z, u, v = [0.0, 1000.0, 2000.0, 3000.0], [[0.0, 0.0, 10.0, 10.0]], [0.0, 10.0, 10.0, 0.0]
    r = tw.profile(z, u, v, [0.0], 0.0, 3000.0, [5.0], [5.0])[:, 0]
    print(
        "worked example  veering hodograph (0,0) (0,10) (10,10) (10,0) m/s at 0..3 km, storm (5,5):"
    )
    print(f"  0-3 km SRH = {r[4]:.1f} m2/s2, mean wind = ({r[5]:.3f}, {r[6]:.3f}) m/s")

    z, u, v, ground = hodograph_grid()
    n = z.shape[0]
    zero = np.zeros(n)
    # Storm motion: a simplified Bunkers right mover from the 0-6 km mean wind
    # and shear, itself taken from the same kernel.
    deep, sec6 = timed(tw.profile, z, u, v, ground, 0.0, 6000.0, zero, zero)
    su, sv = deep[2] - deep[0], deep[3] - deep[1]
    s6 = np.hypot(su, sv)
    cu = deep[5] + DEVIATION * sv / s6
    cv = deep[6] - DEVIATION * su / s6
    tw.profile(z, u, v, ground, 0.0, 1000.0, cu, cv)  # first touch of fresh result pages
    l1, sec1 = timed(tw.profile, z, u, v, ground, 0.0, 1000.0, cu, cv)
    l3, sec3 = timed(tw.profile, z, u, v, ground, 0.0, 3000.0, cu, cv)
    s1 = np.hypot(l1[2] - l1[0], l1[3] - l1[1])
    s3 = np.hypot(l3[2] - l3[0], l3[3] - l3[1])
    print(
        f"grid {NY} x {NX} = {n:,} columns of {z.shape[1]} levels, terrain-following, "
        f"{int(np.isnan(u).sum())} missing winds, "
        f"{int(np.isnan(ground).sum())} columns without ground height"
    )
    print(
        f"  columns with a result: 0-1 km {int(np.isfinite(l1[4]).sum()):,}, "
        f"0-3 km {int(np.isfinite(l3[4]).sum()):,}; "
        f"{int((np.isnan(u[:, 0]) & np.isfinite(ground.ravel())).sum())} "
        "columns lack a surface wind, "
        f"so their layers have no bottom"
    )
    print(f"  0-1 km SRH   (m2/s2)  {pct(l1[4])}")
    print(f"  0-3 km SRH   (m2/s2)  {pct(l3[4])}")
    print(f"  0-1 km shear (m/s)    {pct(s1)}")
    print(f"  0-3 km shear (m/s)    {pct(s3)}")
    print(f"  0-6 km shear (m/s)    {pct(s6)}")
    srh1 = l1[4].reshape(NY, NX)
    j, i = np.unravel_index(np.nanargmax(srh1), srh1.shape)
    print(
        f"  strongest 0-1 km SRH {srh1[j, i]:.0f} m2/s2 at grid (y={j}, x={i}); "
        f"0-3 km {l3[4].reshape(NY, NX)[j, i]:.0f} m2/s2"
    )
    sig = (l1[4] > 150.0) & (s6 > 20.0)
    print(
        f"  supercell-favourable (0-1 km SRH > 150 m2/s2, 0-6 km shear > 20 m/s): "
        f"{int(sig.sum()):,} columns ({100.0 * sig.mean():.1f} %)"
    )
    per_s = n / np.median([sec1, sec3, sec6])
    print(f"  {per_s / 1e6:.2f} M columns/s with default threads ({sec1 * 1e3:.2f} ms per layer)")
    return l1, l3
