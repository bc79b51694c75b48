"""An independent scalar evaluation of the documented parcel ascent, and
synthetic soundings to run it on.

The reference builds the whole profile of nodes first (start, data levels,
LCL), then finds the LFC and EL by scanning it and integrates the areas
piece by piece; the moist temperature is found by bisection, not Newton's
method. It shares only the published formulas with the kernel.
"""

import math

import numpy as np

P0 = 100000.0
KAPPA = 0.28542059262205427
EPS = 0.6219569156569429
RD = 287.04749097718457
NAN = float("nan")


def vapour_pressure(td):
    tc = td - 273.15
    return 611.2 * math.exp(17.67 * tc / (tc + 243.5))


def mixing_ratio(e, p):
    return EPS * e / (p - e)


def virtual(t, w):
    return t * (1.0 + w / EPS) / (1.0 + w)


def lcl_temperature(t, td):
    return 1.0 / (1.0 / (td - 56.0) + math.log(t / td) / 800.0) + 56.0


def log_theta_e(t, p, w, tl):
    r = 1000.0 * w
    return (
        math.log(t)
        + 0.2854 * (1.0 - 0.00028 * r) * math.log(P0 / p)
        + (3.376 / tl - 0.00254) * r * (1.0 + 0.00081 * r)
    )


def saturated_log_theta_e(t, p):
    return log_theta_e(t, p, mixing_ratio(vapour_pressure(t), p), t)


def moist_temperature(target, p):
    """Bisection: ln theta-e of saturated air rises with temperature."""
    lo, hi = 150.0, 350.0
    while mixing_ratio(vapour_pressure(hi), p) < 0 or vapour_pressure(hi) >= p:
        hi -= 5.0
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if saturated_log_theta_e(mid, p) < target:
            lo = mid
        else:
            hi = mid
        if hi - lo < 1e-11:
            break
    return 0.5 * (lo + hi)


def has_vapour(td, t, p):
    """A dew point to use: present, and its vapour pressure below the pressure
    (at or above it no air holds that vapour: no mixing ratio)."""
    return math.isfinite(td) and vapour_pressure(min(td, t)) < p


def usable_levels(p, t, z):
    keep, last = [], math.inf
    for k in range(len(p)):
        ok = all(math.isfinite(v) for v in (p[k], t[k], z[k])) and 0 < p[k] < last
        if ok:
            keep.append(k)
            last = p[k]
    return keep


def start_of(kind, p, t, td, keep):
    k0 = keep[0]
    if kind == "surface_based":
        if not has_vapour(td[k0], t[k0], p[k0]):
            return None
        d = min(td[k0], t[k0])
        return k0, p[k0], t[k0], d, mixing_ratio(vapour_pressure(d), p[k0])
    if kind == "most_unstable":
        best = None
        for k in keep:
            if p[k] < p[k0] - 30000.0:
                break
            if not has_vapour(td[k], t[k], p[k]):
                continue
            d = min(td[k], t[k])
            w = mixing_ratio(vapour_pressure(d), p[k])
            v = log_theta_e(t[k], p[k], w, lcl_temperature(t[k], d))
            if best is None or v > best[0]:
                best = (v, (k, p[k], t[k], d, w))
        return None if best is None else best[1]
    # Mixed layer: pressure-weighted means of theta and w over the lowest 100 hPa.
    top = p[k0] - 10000.0
    pts = []
    for k in keep:
        if not has_vapour(td[k], t[k], p[k]):
            continue
        d = min(td[k], t[k])
        pts.append((p[k], t[k] * (P0 / p[k]) ** KAPPA, mixing_ratio(vapour_pressure(d), p[k])))
    if not pts or pts[0][0] != p[k0]:
        return None
    layer = [pts[0]]
    for q in pts[1:]:
        if q[0] <= top:
            a = layer[-1]
            f = math.log(a[0] / top) / math.log(a[0] / q[0])
            layer.append((top, a[1] + f * (q[1] - a[1]), a[2] + f * (q[2] - a[2])))
            break
        layer.append(q)
    if layer[-1][0] != top:
        return None
    ps = np.array([q[0] for q in layer])
    theta = -np.trapezoid([q[1] for q in layer], ps) / 10000.0
    w = -np.trapezoid([q[2] for q in layer], ps) / 10000.0
    t0 = theta / (P0 / p[k0]) ** KAPPA
    e = w * p[k0] / (w + EPS)
    a = math.log(e / 611.2)
    d = min(243.5 * a / (17.67 - a) + 273.15, t0)
    return k0, p[k0], t0, d, w


def parcel_ref(p, t, td, z, kind):
    """(cape, cin, p_lcl, z_lcl, p_lfc, z_lfc, p_el, z_el) of one column."""
    out = [NAN] * 8
    keep = usable_levels(p, t, z)
    if len(keep) < 2:
        return out
    zg = z[keep[0]]
    s = start_of(kind, p, t, td, keep)
    if s is None:
        return out
    ks, ps, ts, ds, ws = s
    tl = lcl_temperature(ts, ds)
    p_lcl = ps if ds == ts else min(ps * (tl / ts) ** (1.0 / KAPPA), ps)
    out[2] = p_lcl
    target = log_theta_e(ts, ps, ws, tl)

    def env_tv(k):
        if not has_vapour(td[k], t[k], p[k]):
            return t[k]
        d = min(td[k], t[k])
        return virtual(t[k], mixing_ratio(vapour_pressure(d), p[k]))

    # Nodes: (ln p, height, environment Tv, index-or-None); the LCL is inserted.
    levels = [k for k in keep if k >= ks]
    nodes = []
    for k in levels:
        x = math.log(p[k])
        if nodes and nodes[-1][0] > math.log(p_lcl) >= x and not any(n[3] == "lcl" for n in nodes):
            xa, za, ea, _ = nodes[-1]
            f = (xa - math.log(p_lcl)) / (xa - x)
            nodes.append((math.log(p_lcl), za + f * (z[k] - za), ea + f * (env_tv(k) - ea), "lcl"))
        nodes.append((x, z[k], env_tv(k), k))
    saturated_from = None
    for i, n in enumerate(nodes):
        if n[3] == "lcl" or (i == 0 and p_lcl == ps):
            saturated_from = i
            out[3] = n[1] - zg
            break
    # Parcel virtual temperature at every node.
    buoy = []
    for i, (x, _, e, _) in enumerate(nodes):
        if saturated_from is not None and i == saturated_from == 0:
            tp, wp = ts, ws  # saturated at the start: the air of its level
        elif saturated_from is not None and i >= saturated_from:
            # Saturated from the LCL on, the LCL itself included: on the pseudo-adiabat.
            pn = p_lcl if i == saturated_from else p[nodes[i][3]]
            tp = moist_temperature(target, pn)
            wp = mixing_ratio(vapour_pressure(tp), pn)
        else:
            tp = ts * math.exp(KAPPA * (x - math.log(ps))) if i else ts
            wp = ws
        buoy.append(virtual(tp, wp) - e)

    def crossing(i):
        """Fraction of the way from node i to i+1 where B is zero."""
        return buoy[i] / (buoy[i] - buoy[i + 1])

    def at(i, f):
        xa, za = nodes[i][0], nodes[i][1]
        if f == 0.0:
            return xa, za
        xb, zb = nodes[i + 1][0], nodes[i + 1][1]
        return xa + f * (xb - xa), za + f * (zb - za)

    out[0] = out[1] = 0.0
    if saturated_from is None:
        return out
    lfc = None  # (segment index where it lies, fraction)
    if buoy[saturated_from] > 0:
        lfc = (saturated_from, 0.0)
    else:
        for i in range(saturated_from, len(nodes) - 1):
            if buoy[i] <= 0 < buoy[i + 1]:
                lfc = (i, crossing(i))
                break
    if lfc is None:
        return out
    el = None
    if buoy[-1] <= 0:
        for i in range(len(nodes) - 2, lfc[0] - 1, -1):
            if buoy[i] > 0 >= buoy[i + 1] and (i > lfc[0] or crossing(i) > lfc[1]):
                el = (i, crossing(i))
                break

    def area(i, f0, f1, negative_only):
        """Area of B over segment i from fraction f0 to f1 (f0 < f1)."""
        xa, xb = nodes[i][0], nodes[i + 1][0]
        b0 = buoy[i] + f0 * (buoy[i + 1] - buoy[i])
        b1 = buoy[i] + f1 * (buoy[i + 1] - buoy[i])
        width = (f1 - f0) * (xa - xb)
        if negative_only:
            if b0 > 0 and b1 > 0:
                return 0.0
            if (b0 > 0) != (b1 > 0):
                fz = buoy[i] / (buoy[i] - buoy[i + 1])
                if b0 > 0:
                    return 0.5 * b1 * (f1 - fz) * (xa - xb)
                return 0.5 * b0 * (fz - f0) * (xa - xb)
        return 0.5 * (b0 + b1) * width

    cin = 0.0
    for i in range(lfc[0]):
        cin += area(i, 0.0, 1.0, True)
    if lfc[1] > 0:
        cin += area(lfc[0], 0.0, lfc[1], True)
    end = el if el is not None else (len(nodes) - 2, 1.0)
    cape = 0.0
    for i in range(lfc[0], end[0] + 1):
        f0 = lfc[1] if i == lfc[0] else 0.0
        f1 = end[1] if i == end[0] else 1.0
        cape += area(i, f0, f1, False)
    out[0] = max(cape, 0.0) * RD
    out[1] = cin * RD
    x, zz = at(*lfc)
    out[4], out[5] = p_lcl if lfc == (saturated_from, 0.0) else math.exp(x), zz - zg
    if el is not None:
        x, zz = at(*el)
        out[6], out[7] = math.exp(x), zz - zg
    return out


def synthetic_soundings(n, levels=40, seed=0, kinds=("stable", "capped", "unstable")):
    """n soundings (p Pa, t K, td K, z m), each (n, levels), from the ground to
    about 16 km: a well-mixed boundary layer, a capping inversion on some, a
    tropospheric lapse rate of 4-9 K/km, an isothermal stratosphere; heights
    and pressures hydrostatically consistent."""
    rng = np.random.default_rng(seed)
    z = np.linspace(0.0, 1.0, levels) ** 1.4 * 16000.0
    z = np.broadcast_to(z, (n, levels)) + rng.uniform(0.0, 400.0, (n, 1))
    kind = rng.choice(len(kinds), n)
    zs = z[:, :1]
    h = z - zs
    t0 = rng.uniform(283.0, 304.0, (n, 1))
    pbl = rng.uniform(500.0, 2000.0, (n, 1))
    lapse = (
        np.where(
            np.array(kinds)[kind][:, None] == "stable",
            rng.uniform(3.5, 5.5, (n, 1)),
            rng.uniform(6.0, 8.0, (n, 1)),
        )
        / 1000.0
    )
    cap = np.where(np.array(kinds)[kind][:, None] == "capped", rng.uniform(1.0, 6.0, (n, 1)), 0.0)
    t = t0 - 0.0098 * np.minimum(h, pbl) - lapse * np.maximum(h - pbl, 0.0)
    t += cap * np.clip((h - pbl) / 300.0, 0.0, 1.0)
    # A nocturnal surface inversion on a third of them: elevated parcels.
    night = np.where(rng.random((n, 1)) < 0.3, rng.uniform(2.0, 10.0, (n, 1)), 0.0)
    t -= night * np.clip(1.0 - h / 600.0, 0.0, 1.0)
    trop = rng.uniform(195.0, 215.0, (n, 1))
    t = np.maximum(t, trop)
    dep0 = np.where(
        np.array(kinds)[kind][:, None] == "unstable",
        rng.uniform(0.5, 6.0, (n, 1)),
        rng.uniform(2.0, 20.0, (n, 1)),
    )
    td = t - dep0 - h * rng.uniform(1.0, 4.0, (n, 1)) / 1000.0
    td = np.minimum(td + night * np.clip(1.0 - h / 600.0, 0.0, 1.0) * 0.5, t)
    td -= rng.uniform(0.0, 0.5, td.shape)
    # Hypsometric pressures from virtual temperature layer means.
    p = np.empty_like(t)
    p[:, 0] = rng.uniform(95000.0, 102000.0, n) * np.exp(-zs[:, 0] / 8000.0)
    for k in range(1, levels):
        tv = 0.5 * (t[:, k] + t[:, k - 1]) * 1.004
        p[:, k] = p[:, k - 1] * np.exp(-9.80665 * (z[:, k] - z[:, k - 1]) / (RD * tv))
    return p, np.ascontiguousarray(t), np.ascontiguousarray(td), np.ascontiguousarray(z)
