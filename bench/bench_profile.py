"""profile: columns per second, also for inputs that stay in cache, against
the per-column NumPy a user would write, MetPy's helicity and layer means
looped over columns and metrust's gridded helicity; agreement with MetPy on
SHARPpy's SARS soundings."""

from __future__ import annotations

import controls
import data
import numpy as np
from harness import TW1, TW2, Case, Goal, control, ours, quiet, rival, speedup_goal

import _tarnwell as tw

UNIT = "column"
LEVELS = 40
TOP = 3000.0
NUMPY = "NumPy per column, on a sample"
METPY = "MetPy loop: helicity + layer means, on a sample"


def sizes(ctx):
    return ctx.pick([400, 4_000, 40_000, 400_000], [40, 400, 4_000])


def make(n):
    z, u, v = data.synthetic_columns(n, LEVELS)
    return (z, u, v, np.ascontiguousarray(z[:, 0]), np.full(n, 5.0), np.full(n, 5.0)), n


def call(args, n_threads):
    z, u, v, ground, cu, cv = args
    return tw.profile(z, u, v, ground, 0.0, TOP, cu, cv, n_threads=n_threads)


def tiny():
    args, _ = make(1)
    return "A one-column call", lambda: call(args, 0)


def numpy_profile(z, u, v, ground, bottom, top, cu, cv):
    """Column by column: np.interp at both ends of the layer, summed helicity
    terms, trapezoid means."""
    n = u.shape[0]
    out = np.full((7, n), np.nan)
    for i in range(n):
        ok = np.isfinite(z[i]) & np.isfinite(u[i]) & np.isfinite(v[i])
        zi, ui, vi = z[i][ok], u[i][ok], v[i][ok]
        if zi.size == 0:
            continue
        base = ground[i] if np.isfinite(ground[i]) else zi[0]
        zb, zt = base + bottom, base + top
        if zb < zi[0] or zt > zi[-1]:
            continue
        inner = (zi > zb) & (zi < zt)
        zz = np.concatenate(([zb], zi[inner], [zt]))
        uu = np.concatenate(([np.interp(zb, zi, ui)], ui[inner], [np.interp(zt, zi, ui)]))
        vv = np.concatenate(([np.interp(zb, zi, vi)], vi[inner], [np.interp(zt, zi, vi)]))
        sru, srv = uu - cu[i], vv - cv[i]
        srh = np.sum(sru[1:] * srv[:-1] - sru[:-1] * srv[1:])
        depth = zt - zb
        out[:, i] = (
            uu[0],
            vv[0],
            uu[-1],
            vv[-1],
            srh,
            np.trapezoid(uu, zz) / depth,
            np.trapezoid(vv, zz) / depth,
        )
    return out


def metpy_column(z, u, v, bottom, top, cu, cv):
    """Helicity, end winds and height-weighted layer means of one column as a
    MetPy user writes them: MetPy's helicity, and MetPy's layer (interpolated
    ends, heights above the lowest level) integrated with the trapezoid rule."""
    import metpy.calc as mpcalc
    from metpy.units import units

    h, uu, vv = z * units.m, u * units("m/s"), v * units("m/s")
    depth = (top - bottom) * units.m
    _, _, srh = mpcalc.storm_relative_helicity(
        h,
        uu,
        vv,
        depth,
        bottom=bottom * units.m,
        storm_u=cu * units("m/s"),
        storm_v=cv * units("m/s"),
    )
    hl, ul, vl = mpcalc.get_layer_heights(h, depth, uu, vv, bottom=bottom * units.m, with_agl=True)
    hm, um, vm = hl.m_as("m"), ul.m_as("m/s"), vl.m_as("m/s")
    mu = np.trapezoid(um, hm) / (hm[-1] - hm[0])
    mv = np.trapezoid(vm, hm) / (hm[-1] - hm[0])
    return um[0], vm[0], um[-1], vm[-1], srh.m_as("m**2/s**2"), mu, mv


def cases(ctx):
    n = ctx.pick(100_000, 1_000)
    (z, u, v, ground, cu, cv), _ = make(n)
    args = (z, u, v, ground, 0.0, TOP, cu, cv)
    expected = tw.profile(*args)
    n_numpy = ctx.pick(2_000, 50)
    sub = tuple(a[:n_numpy] if isinstance(a, np.ndarray) else a for a in args)
    sampled = np.linspace(0, n - 1, ctx.pick(60, 3)).astype(int)

    def numpy_agrees(got):
        np.testing.assert_allclose(got, expected[:, :n_numpy], rtol=1e-9, atol=1e-9)

    def metpy_loop():
        with quiet():
            return [metpy_column(z[i] - z[i, 0], u[i], v[i], 0.0, TOP, 5.0, 5.0) for i in sampled]

    def metpy_agrees(got):
        np.testing.assert_allclose(np.array(got).T, expected[:, sampled], rtol=1e-9, atol=1e-9)

    variants = {
        TW1: ours(lambda: tw.profile(*args, n_threads=1), n),
        TW2: ours(lambda: tw.profile(*args, n_threads=2), n),
        NUMPY: rival(lambda: numpy_profile(*sub), n_numpy, check=numpy_agrees),
        METPY: rival(metpy_loop, len(sampled), "metpy", check=metpy_agrees),
        "read z, u, v once, 1 thread": control(controls.read_floor([z, u, v], 1), n),
    }
    side = int(np.sqrt(n))
    m = side * side
    # metrust wants (nz, ny, nx) grids of heights above ground.
    u3, v3, h3 = (
        np.ascontiguousarray(a[:m].T.reshape(LEVELS, side, side)) for a in (u, v, z - z[:, :1])
    )
    variants["metrust compute_srh (its threads)"] = rival(
        lambda: ctx.peers.get("metrust").compute_srh(u3, v3, h3, top_m=TOP), m, "metrust"
    )
    yield (
        "peers",
        Case(
            f"Against the peers, 0–3 km layer, {n:,} columns of {LEVELS} levels",
            UNIT,
            variants,
            notes=[
                f"NumPy runs on the first {n_numpy:,} columns, MetPy on {len(sampled)} columns "
                "spread over the grid; their times are per column. metrust's `compute_srh` "
                "computes one helicity per column with its own storm motion and no layer means or "
                "end winds; tarnwell's row is all seven quantities."
            ],
        ),
    )

    n_cached = ctx.pick(8_000, 200)
    small = tuple(a[:n_cached] if isinstance(a, np.ndarray) else a for a in args)
    yield (
        "cached",
        Case(
            f"Inputs that stay in cache, {n_cached:,} columns",
            UNIT,
            {
                TW1: ours(lambda: tw.profile(*small, n_threads=1), n_cached),
                TW2: ours(lambda: tw.profile(*small, n_threads=2), n_cached),
            },
        ),
    )


GOALS = [
    speedup_goal("profile"),
    Goal("profile", "≥ 1000x the MetPy loop", "peers", METPY, TW2, at_least=1000.0),
    Goal("profile", "≥ 100x NumPy per column", "peers", NUMPY, TW2, at_least=100.0),
]


def agreement(ctx, rep, lines):
    if ctx.peers.get("metpy") is None or ctx.peers.get("sharppy") is None:
        key = "metpy" if ctx.peers.get("metpy") is None else "sharppy"
        rep.note(f"profile, sounding agreement: {ctx.peers.missing(key)}")
        return
    cols = []
    for s in data.sars_soundings():
        ok = np.isfinite(s["z"]) & np.isfinite(s["u"]) & np.isfinite(s["v"])
        z, u, v = s["z"][ok], s["u"][ok], s["v"][ok]
        # MetPy sorts and measures above the lowest level; take soundings it
        # reads the same way: heights strictly increasing, at least 6 km deep.
        if z.size >= 4 and np.all(np.diff(z) > 0) and z[-1] - z[0] > 6000.0:
            cols.append((s["name"], z, u, v))
    L = max(c[1].size for c in cols)
    n = len(cols)
    Z, U, V = (np.full((n, L), np.nan) for _ in range(3))
    for i, (_, z, u, v) in enumerate(cols):
        Z[i, : z.size], U[i, : z.size], V[i, : z.size] = z, u, v
    ground = Z[:, 0].copy()
    # A storm motion both sides share: the 0–6 km mean wind, by the kernel.
    mean6 = tw.profile(Z, U, V, ground, 0.0, 6000.0, np.zeros(n), np.zeros(n))
    cu, cv = mean6[5].copy(), mean6[6].copy()
    lines += [
        "",
        f"Agreement data: {n} SARS soundings (strictly increasing heights, deeper than "
        "6 km), padded with NaN levels to one grid; ground is the lowest level, as MetPy "
        "measures heights above it; storm motion is the 0–6 km mean wind.",
        "",
    ]
    for top in (1000.0, 3000.0):
        got = tw.profile(Z, U, V, ground, 0.0, top, cu, cv)
        with quiet():
            ref = np.array(
                [
                    metpy_column(z, u, v, 0.0, top, cu[i], cv[i])
                    for i, (_, z, u, v) in enumerate(cols)
                ]
            ).T
        km = f"0–{top / 1000:.0f} km"
        # MetPy counts a level within its closeness tolerance (rtol 1e-5)
        # above the top as inside the layer, and appends the interpolated top
        # as well, so it integrates a sliver past the top; those soundings
        # are compared apart.
        sliver = np.array(
            [np.any((z - z[0] > top) & np.isclose(z - z[0], top, rtol=1e-5)) for _, z, _, _ in cols]
        )
        names = ", ".join(cols[i][0] for i in np.flatnonzero(sliver)) or "none"
        keep = ~sliver
        rep.compare(
            "profile",
            f"{km} helicity vs MetPy `storm_relative_helicity` (m²/s²)",
            ref[4],
            got[4],
            "same discrete sum over the same interpolated layer; rounding only",
            mask=keep,
        )
        rep.compare(
            "profile",
            f"{km} end winds vs MetPy `get_layer_heights` interpolation (m/s)",
            ref[:4],
            got[:4],
            "linear interpolation in height, operations ordered differently; rounding only",
            mask=np.broadcast_to(keep, (4, n)),
        )
        rep.compare(
            "profile",
            f"{km} height-weighted mean u, v vs trapezoid of MetPy's layer (m/s)",
            ref[5:],
            got[5:],
            "trapezoid rule over the same points; rounding only",
            mask=np.broadcast_to(keep, (2, n)),
        )
        if sliver.any():
            rep.compare(
                "profile",
                f"{km} helicity, soundings with a level just above the top",
                ref[4],
                got[4],
                f"{names}: a level less than 1e-5 relative above the top, "
                "which MetPy's closeness test puts inside the layer next to the "
                "interpolated top; tarnwell ends the layer at the top",
                mask=sliver,
            )
