"""profile against MetPy's storm-relative helicity and layer means looped
over columns, and metrust's gridded helicity; agreement on SARS soundings."""

import time
import warnings

import numpy as np

import _tarnwell as tw
import data
import peers
from report import fmt_rate, fmt_sec
from timing import REPEATS, interleaved, per_call, scaling, scaling_lines, speedup_goal

LEVELS = 40
SIZES = [400, 4_000, 40_000, 400_000]
PEER_N = 100_000
METPY_SAMPLE = 60


def metpy_column(mpcalc, units, z, u, v, bottom, top, cu, cv):
    """Helicity and height-weighted layer means of one column as a MetPy user
    writes them: MetPy's helicity, and MetPy's layer (interpolated ends, AGL
    heights) integrated with the trapezoid rule."""
    h = z * units.m
    uu = u * units("m/s")
    vv = v * units("m/s")
    depth = (top - bottom) * units.m
    _, _, srh = mpcalc.storm_relative_helicity(h, uu, vv, depth, bottom=bottom * units.m,
                                               storm_u=cu * units("m/s"), storm_v=cv * units("m/s"))
    hl, ul, vl = mpcalc.get_layer_heights(h, depth, uu, vv, bottom=bottom * units.m, with_agl=True)
    hm = hl.m_as("m")
    um, vm = ul.m_as("m/s"), vl.m_as("m/s")
    mu = np.trapezoid(um, hm) / (hm[-1] - hm[0])
    mv = np.trapezoid(vm, hm) / (hm[-1] - hm[0])
    return srh.m_as("m**2/s**2"), um[0], vm[0], um[-1], vm[-1], mu, mv


def run(rep):
    lines = rep.section("profile")
    if not hasattr(tw, "profile"):
        lines.append("`profile` is not in this build of the module: nothing measured.")
        rep.goal("profile", "≥ 1000x the MetPy loop", "kernel not built", None)
        return

    def make(n):
        z, u, v = data.synthetic_columns(n, LEVELS)
        return (z, u, v, np.ascontiguousarray(z[:, 0]), np.full(n, 5.0)), n

    def call(a, nt):
        z, u, v, ground, c = a
        return tw.profile(z, u, v, ground, 0.0, 3000.0, c, c, n_threads=nt)

    rows = scaling(SIZES, make, call)
    rep.scaling["profile"] = rows
    z1, u1, v1 = data.synthetic_columns(1, LEVELS)
    g1, c1 = z1[:, 0].copy(), np.full(1, 5.0)
    tiny = per_call(lambda: tw.profile(z1, u1, v1, g1, 0.0, 3000.0, c1, c1), 2000)

    lines += [f"Columns of {LEVELS} levels, layer 0–3 km above the lowest level; columns per second:", ""]
    lines += scaling_lines(rows, "columns", "column", "A one-column call", tiny)
    speedup_goal(rep, "profile", rows, "columns")

    # Against the peers on one grid of columns.
    n = PEER_N
    z, u, v = data.synthetic_columns(n, LEVELS)
    ground = np.ascontiguousarray(z[:, 0])
    cu = np.full(n, 5.0)
    cv = np.full(n, 5.0)
    fns = {"tarnwell 1 thread": lambda: tw.profile(z, u, v, ground, 0.0, 3000.0, cu, cv, n_threads=1),
           "tarnwell 2 threads": lambda: tw.profile(z, u, v, ground, 0.0, 3000.0, cu, cv, n_threads=2)}
    mr = peers.get("metrust")
    if mr is not None:
        side = int(np.sqrt(n))
        m = side * side
        # metrust wants (nz, ny, nx) grids of heights above ground.
        u3 = np.ascontiguousarray(u[:m].T.reshape(LEVELS, side, side))
        v3 = np.ascontiguousarray(v[:m].T.reshape(LEVELS, side, side))
        h3 = np.ascontiguousarray((z[:m] - z[:m, :1]).T.reshape(LEVELS, side, side))
        fns["metrust compute_srh (0-3 km, its threads)"] = lambda: mr.compute_srh(u3, v3, h3, top_m=3000.0)
    times = interleaved(fns, repeats=REPEATS)
    if mr is not None:
        times["metrust compute_srh (0-3 km, its threads)"] *= n / m  # per-column cost on n columns
    lines += [f"Against the peers, {n:,} columns (interleaved, median):", "",
              "| Implementation | Time for the grid | Columns/s | tarnwell 2 threads is faster by |", "|---|---|---|---|"]
    t2 = times["tarnwell 2 threads"]
    for k, v_ in times.items():
        lines.append(f"| {k} | {fmt_sec(v_)} | {fmt_rate(n / v_)} | {v_ / t2:.3g}x |")
    mp = peers.get("metpy")
    if mp is not None:
        from metpy.units import units
        idx = np.linspace(0, n - 1, METPY_SAMPLE).astype(int)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            metpy_column(mp, units, z[0], u[0], v[0], 0.0, 3000.0, 5.0, 5.0)
            t0 = time.perf_counter()
            for i in idx:
                metpy_column(mp, units, z[i] - z[i, 0], u[i], v[i], 0.0, 3000.0, 5.0, 5.0)
            per_col = (time.perf_counter() - t0) / len(idx)
        ratio = per_col * n / t2
        lines.append(f"| MetPy loop (helicity + layer means), {len(idx)} sampled columns | {fmt_sec(per_col)} per column, "
                     f"{fmt_sec(per_col * n)} for the grid | {fmt_rate(1.0 / per_col)} | {ratio:.3g}x |")
        rep.goal("profile", "≥ 1000x the MetPy loop", f"{ratio:.3g}x per column (2 threads)", ratio >= 1000.0)
        rep.peer_ratios.append(("profile vs MetPy loop", ratio))
    else:
        lines.append(f"| MetPy | {peers.missing_note('metpy')} | | |")
        rep.goal("profile", "≥ 1000x the MetPy loop", peers.missing_note("metpy"), None)
    if mr is not None:
        rep.peer_ratios.append(("profile vs metrust compute_srh", times["metrust compute_srh (0-3 km, its threads)"] / t2))
        lines += ["", "metrust's `compute_srh` computes one helicity per column with its own storm motion and no "
                  "layer means or end winds; tarnwell's row is all seven quantities."]
    else:
        lines.append(f"| metrust | {peers.missing_note('metrust')} | | |")
    agreement(rep, lines, mp)


def agreement(rep, lines, mp):
    if mp is None:
        lines.append(f"\nSounding agreement {peers.missing_note('metpy')}.")
        return
    try:
        snd = data.sars_soundings()
    except Exception as exc:
        lines.append(f"\nSounding agreement not run: SARS soundings unavailable ({exc}).")
        return
    from metpy.units import units
    cols = []
    for s in snd:
        ok = np.isfinite(s["z"]) & np.isfinite(s["u"]) & np.isfinite(s["v"])
        z, u, v = s["z"][ok], s["u"][ok], s["v"][ok]
        # MetPy sorts and measures above the lowest level; take soundings it
        # reads the same way: heights strictly increasing, at least 6 km deep.
        if z.size >= 4 and np.all(np.diff(z) > 0) and z[-1] - z[0] > 6000.0:
            cols.append((s["name"], z, u, v))
    L = max(c[1].size for c in cols)
    n = len(cols)
    Z = np.full((n, L), np.nan)
    U = np.full((n, L), np.nan)
    V = np.full((n, L), np.nan)
    for i, (_, z, u, v) in enumerate(cols):
        Z[i, :z.size], U[i, :z.size], V[i, :z.size] = z, u, v
    ground = Z[:, 0].copy()
    # A storm motion both sides share: the 0–6 km mean wind, by the kernel.
    mean6 = tw.profile(Z, U, V, ground, 0.0, 6000.0, np.zeros(n), np.zeros(n))
    cu, cv = mean6[5].copy(), mean6[6].copy()
    lines += ["", f"Agreement data: {n} SARS soundings (strictly increasing heights, deeper than 6 km), "
              "padded with NaN levels to one grid; ground is the lowest level, as MetPy measures heights above it; "
              "storm motion is the 0–6 km mean wind.", ""]
    for top in (1000.0, 3000.0):
        ours = tw.profile(Z, U, V, ground, 0.0, top, cu, cv)
        ref = np.full((7, n), np.nan)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for i, (_, z, u, v) in enumerate(cols):
                srh, ub, vb, ut, vt, mu, mv = metpy_column(mp, units, z, u, v, 0.0, top, cu[i], cv[i])
                ref[:, i] = (ub, vb, ut, vt, srh, mu, mv)
        km = f"0–{top / 1000:.0f} km"
        # MetPy counts a level within its closeness tolerance (rtol 1e-5)
        # above the top as inside the layer, and appends the interpolated top
        # as well, so it integrates a sliver past the top; those soundings
        # are compared apart.
        sliver = np.array([np.any((z - z[0] > top) & np.isclose(z - z[0], top, rtol=1e-5)) for _, z, _, _ in cols])
        names = ", ".join(cols[i][0] for i in np.flatnonzero(sliver)) or "none"
        keep = ~sliver
        rep.compare("profile", f"{km} helicity vs MetPy `storm_relative_helicity` (m²/s²)", ref[4], ours[4],
                    "same discrete sum over the same interpolated layer; rounding only", mask=keep)
        rep.compare("profile", f"{km} end winds vs MetPy `get_layer_heights` interpolation (m/s)", ref[:4], ours[:4],
                    "linear interpolation in height, operations ordered differently; rounding only",
                    mask=np.broadcast_to(keep, (4, n)))
        rep.compare("profile", f"{km} height-weighted mean u, v vs trapezoid of MetPy's layer (m/s)", ref[5:], ours[5:],
                    "trapezoid rule over the same points; rounding only", mask=np.broadcast_to(keep, (2, n)))
        if sliver.any():
            rep.compare("profile", f"{km} helicity, soundings with a level just above the top", ref[4], ours[4],
                        f"{names}: a level less than 1e-5 relative above the top, which MetPy's closeness "
                        "test puts inside the layer next to the interpolated top; tarnwell ends the layer at the top",
                        mask=sliver)
