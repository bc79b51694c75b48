"""parcel: columns per second against MetPy's per-column loop, the numba port
of the same method and metrust's gridded CAPE; agreement with MetPy on
SHARPpy's SARS soundings and on synthetic stable, capped and unstable columns.

    python bench/bench_parcel.py            full run; writes docs/parcel.md
    python bench/bench_parcel.py --quick    small sizes, writes nothing

Runs in the benchmark venv (make .venv-bench/.built), which has the peers.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
# The synthetic soundings are the tests' own generator.
sys.path.insert(0, os.path.join(ROOT, "tests"))

import data  # noqa: E402
import numba_parcel  # noqa: E402
from parcel_ref import synthetic_soundings  # noqa: E402

import tarnwell  # noqa: E402
from tarnwell._native import parcel as _parcel  # noqa: E402

KINDS = {"surface_based": 0, "mixed_layer": 1, "most_unstable": 2}
LEVELS = 40


EXPLANATION = """## Where tarnwell and MetPy differ, and why

Both integrate the buoyancy of virtual temperatures by trapezoids in ln p
between the same LFC (the lowest) and EL (the highest), count no CAPE and no
CIN without an LFC, and integrate to the top when the parcel is still buoyant
there. The differences come from method, not tuning:

- **The parcel's mixing ratio in MetPy 1.6.** MetPy 1.6's `cape_cin` takes
  the parcel's mixing ratio above the LCL as the saturation mixing ratio at
  the *environment's* temperature, and below the LCL from the environment's
  dew point at each level (corrected upstream after 1.6, MetPy pull request
  3751). A buoyant parcel is warmer than its environment, so MetPy's parcel
  virtual temperature is too low by about 0.6 (w_s(T_parcel) - w_s(T_env)) T,
  a few tenths of a kelvin through the positive area. The decomposition table
  shows this is most of the difference in CAPE: MetPy's own parcel, with the
  parcel's own mixing ratio and tarnwell's areas, lands within about 1 % of
  tarnwell.
- **The pseudo-adiabat.** tarnwell follows Bolton's (1980) eq. 43 θe,
  conserved, with the LCL temperature of his eq. 15 and κ = 0.28542; MetPy
  integrates its moist lapse rate (constant latent heat, no heat capacity of
  vapour) from its iterative LCL with κ = 2/7. Their parcel temperatures
  differ by about a tenth of a kelvin in the middle troposphere and a few
  tenths near 200 hPa (the parcel-temperature table): the remaining ~1 % of
  CAPE, and tens of Pa at the LCL.
- **LFC and EL.** Where the buoyancy stays within a few tenths of a kelvin of
  zero over a deep layer, those tenths move the crossing by tens of hPa: the
  95th percentiles of the LFC and EL differences are such soundings, not
  a typical one.
- **Soundings that end inside the positive area.** Where the parcel is
  still buoyant at the last level (SARS soundings that stop near 270 hPa),
  tarnwell has no EL and integrates CAPE to the top, as MetPy's own
  `cape_cin` says it does; MetPy 1.6's `lfc` finds no LFC there and its CAPE
  is 0. These soundings are every large CAPE difference in the SARS table
  (the "CAPE 0 in one only" column and the 95th percentiles and maxima).
  MetPy raises on a few soundings (an empty array in its `lfc`); those are
  the "only one finite".
- **CIN** is a small difference of large temperatures below the LFC, so the
  same tenths give large relative differences; MetPy's parcel mixing ratio
  from the environment's dew point below the LCL adds to them.
- **Mixed-layer and most-unstable parcels.** MetPy's mixed parcel averages
  over the layer as tarnwell does but replaces the environment inside the
  layer; its most unstable parcel is chosen by its own θe (eq. 39, κ = 2/7),
  which can pick another level where two are nearly tied.
"""


def loadavg():
    return " / ".join(f"{x:.2f}" for x in os.getloadavg())


def metpy_column(p, t, td, kind):
    """What a MetPy user computes for one column and one parcel: CAPE and
    CIN, and for the surface parcel also the LCL, LFC and EL."""
    import metpy.calc as mc
    from metpy.units import units

    P, T, D = p * units.Pa, t * units.K, td * units.K
    if kind == "surface_based":
        cape, cin = mc.surface_based_cape_cin(P, T, D)
        lcl_p, _ = mc.lcl(P[0], T[0], D[0])
        prof = mc.parcel_profile(P, T[0], D[0])
        lfc_p, _ = mc.lfc(P, T, D, prof, which="bottom")
        el_p, _ = mc.el(P, T, D, prof, which="top")
        extra = [lcl_p.m_as("Pa"), lfc_p.m_as("Pa"), el_p.m_as("Pa")]
    elif kind == "mixed_layer":
        cape, cin = mc.mixed_layer_cape_cin(P, T, D)
        extra = []
    else:
        cape, cin = mc.most_unstable_cape_cin(P, T, D)
        extra = []
    return [cape.m_as("J/kg"), cin.m_as("J/kg"), *extra]


def timed(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def speed(quick):
    n = 2_000 if quick else 40_000
    p, t, td, z = synthetic_soundings(n, LEVELS, seed=31)
    repeats = 2 if quick else 7
    rows = {}
    numba_parcel.parcel(p[:10], t[:10], td[:10], z[:10], 0, 1)  # compile outside the timing
    for name, kind in KINDS.items():
        want = _parcel.parcel(p, t, td, z, kind, 1)
        got = numba_parcel.parcel(p, t, td, z, kind, 2)
        same = (want.view(np.int64) == got.view(np.int64)) | (np.isnan(want) & np.isnan(got))
        variants = {
            "tarnwell, 1 thread": lambda kind=kind: _parcel.parcel(p, t, td, z, kind, 1),
            "tarnwell, 2 threads": lambda kind=kind: _parcel.parcel(p, t, td, z, kind, 2),
            "numba port, 1 thread": lambda kind=kind: numba_parcel.parcel(p, t, td, z, kind, 1),
            "numba port, 2 threads": lambda kind=kind: numba_parcel.parcel(p, t, td, z, kind, 2),
        }
        # Interleaved: a burst of load from the other helpers hits all alike.
        samples = {k: [] for k in variants}
        for _ in range(repeats):
            for k, fn in variants.items():
                samples[k].append(timed(fn, 1))
        rows[name] = {k: n / statistics.median(v) for k, v in samples.items()}
        rows[name]["numba bit-identical"] = bool(same.all())
        sample = np.linspace(0, n - 1, 4 if quick else 20).astype(int)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t0 = time.perf_counter()
            for i in sample:
                metpy_column(p[i], t[i], td[i], name)
            rows[name]["MetPy loop"] = len(sample) / (time.perf_counter() - t0)
    # metrust's gridded CAPE (its own threads): the surface parcel of the
    # same columns as (nz, ny, nx) grids, the lowest level as its surface.
    try:
        import metrust.calc as mr

        side = int(np.sqrt(n))
        m = side * side

        def grid(a):
            return np.ascontiguousarray(a[:m, 1:].T.reshape(LEVELS - 1, side, side))

        e = 611.2 * np.exp(17.67 * (td - 273.15) / (td - 29.65))
        q = 0.6219569156569429 * e / (p - e)
        h = z - z[:, :1]
        args = (grid(p), grid(t) - 273.15, grid(q), grid(h))
        sfc = [np.ascontiguousarray(a[:m, 0].reshape(side, side)) for a in (p, t, q)]
        mr.compute_cape_cin(*args, *sfc, parcel_type="surface")
        secs = statistics.median(
            timed(lambda: mr.compute_cape_cin(*args, *sfc, parcel_type="surface"), 1)
            for _ in range(repeats)
        )
        rows["surface_based"]["metrust compute_cape_cin (its threads)"] = m / secs
    except Exception as err:  # reported, not hidden
        rows["surface_based"]["metrust compute_cape_cin (its threads)"] = f"failed: {err}"
    return n, rows


def composite_speed(quick, repeats=None):
    """Seconds (medians of interleaved runs, 2 threads) of one most-unstable
    parcel call, the effective inflow layer, and the command's parcel and
    composite fields (its three parcels, the layer, effective helicity and bulk
    wind difference) on the same columns, levels last."""
    from tarnwell import composites
    from tarnwell.cli import parcel_fields as diagnose

    n = 2_000 if quick else 40_000
    repeats = repeats or (1 if quick else 7)
    p, t, td, z = synthetic_soundings(n, LEVELS, seed=31)
    rng = np.random.default_rng(32)
    h = z - z[:, :1]
    u = rng.uniform(0.0, 5.0, (n, 1)) + h * rng.uniform(2.0, 5.0, (n, 1)) / 1000.0
    v = 8.0 * np.sin(h / rng.uniform(1500.0, 4000.0, (n, 1)))
    ground = z[:, 0]
    motion = composites.bunkers_storm_motion(z, u, v, n_threads=2)

    def command_fields():
        rows = diagnose.ParcelFields(2)(p, t, td, z, ground)
        mu_el = rows[len(diagnose.PARCEL_FIELDS) * 2 + diagnose.PARCEL_FIELDS.index("el_height")]
        bottom, top = rows[-5], rows[-4]
        winds = diagnose.EffectiveWinds(False)
        winds(z, u, v, ground, bottom, top, mu_el, motion.u_right, motion.v_right)

    variants = {
        "most-unstable parcel": lambda: tarnwell.parcel(
            p, t, td, z, parcel="most_unstable", n_threads=2
        ),
        "effective inflow layer": lambda: composites.effective_inflow_layer(
            p, t, td, z, n_threads=2
        ),
        "command's parcel and composite fields": command_fields,
    }
    samples = {k: [] for k in variants}
    for _ in range(repeats):
        for k, fn in variants.items():
            samples[k].append(timed(fn, 1))
    return n, {k: statistics.median(v) for k, v in samples.items()}


def composite_lines(quick, repeats=None):
    """The figures of composite_speed as report lines, and the two ratios."""
    load = loadavg()
    n, secs = composite_speed(quick, repeats)
    unit = secs["most-unstable parcel"]
    lines = [
        f"Effective inflow layer and the command's parcel and composite fields against one "
        f"most-unstable parcel call ({n:,} synthetic columns of {LEVELS} levels, 2 threads, "
        f"medians of interleaved runs; load average {load} before, {loadavg()} after):",
        "",
        "| computation | seconds | parcel calls |",
        "|---|---|---|",
    ]
    lines += [f"| {k} | {v:.3f} | {v / unit:.2f} |" for k, v in secs.items()]
    ratios = {k: v / unit for k, v in secs.items() if k != "most-unstable parcel"}
    return lines + [""], ratios


def stats(ref, got, what, rel_floor=None):
    both = np.isfinite(ref) & np.isfinite(got)
    d = np.abs(got[both] - ref[both])
    line = {
        "quantity": what,
        "n": int(both.sum()),
        "median diff": float(np.median(got[both] - ref[both])) if d.size else np.nan,
        "median abs. diff": float(np.median(d)) if d.size else np.nan,
        "95th pct abs. diff": float(np.percentile(d, 95)) if d.size else np.nan,
        "max abs. diff": float(d.max()) if d.size else np.nan,
        "only one finite": int((np.isfinite(ref) != np.isfinite(got)).sum()),
    }
    if rel_floor is not None:
        big = both & (np.abs(ref) >= rel_floor)
        r = np.abs(got[big] - ref[big]) / np.abs(ref[big])
        line["median rel. diff"] = float(np.median(r)) if r.size else np.nan
        line["95th pct rel. diff"] = float(np.percentile(r, 95)) if r.size else np.nan
    return line


def sars_columns(limit):
    cols = []
    for s in data.sars_soundings():
        ok = np.isfinite(s["p"]) & np.isfinite(s["t"]) & np.isfinite(s["td"]) & np.isfinite(s["z"])
        p, t, td, z = s["p"][ok], s["t"][ok], s["td"][ok], s["z"][ok]
        # MetPy needs pressure strictly falling and at least a few levels.
        if p.size >= 10 and np.all(np.diff(p) < 0) and p[0] - p[-1] > 50000.0:
            cols.append((p, t, td, z))
    return cols[:limit]


def agreement(columns, label):
    L = max(c[0].size for c in columns)
    n = len(columns)
    P, T, D, Z = (np.full((n, L), np.nan) for _ in range(4))
    for i, (p, t, td, z) in enumerate(columns):
        P[i, : p.size], T[i, : p.size], D[i, : p.size], Z[i, : p.size] = p, t, td, z
    lines = []
    for name in KINDS:
        got = tarnwell.parcel(P, T, D, Z, parcel=name)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ref = []
            for p, t, td, _ in columns:
                try:
                    ref.append(metpy_column(p, t, td, name))
                except Exception:
                    ref.append([np.nan] * (5 if name == "surface_based" else 2))
        ref = np.array(ref, dtype=float).T
        lines.append(stats(ref[0], got.cape, f"{name} CAPE (J/kg)", rel_floor=100.0))
        lines.append(stats(ref[1], got.cin, f"{name} CIN (J/kg)", rel_floor=10.0))
        zero_ref, zero_got = ref[0] == 0, got.cape == 0
        lines[-2]["CAPE 0 in one only"] = int((zero_ref != zero_got).sum())
        if name == "surface_based":
            lines.append(stats(ref[2], got.lcl_pressure, "LCL pressure (Pa)"))
            lines.append(stats(ref[3], got.lfc_pressure, "LFC pressure (Pa)"))
            lines.append(stats(ref[4], got.el_pressure, "EL pressure (Pa)"))
    return label, n, lines


def parcel_temperatures(columns):
    """Surface parcel temperature, ours (the documented ascent, by the tests'
    scalar reference) minus MetPy's `parcel_profile`, at the levels nearest
    850, 500, 300 and 200 hPa: the share of the CAPE difference that the
    pseudo-adiabat and dry-adiabat formulations explain."""
    import math

    import metpy.calc as mc
    import parcel_ref as ref
    from metpy.units import units

    diffs = {85000.0: [], 50000.0: [], 30000.0: [], 20000.0: []}
    for p, t, td, _ in columns:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            prof = mc.parcel_profile(p * units.Pa, t[0] * units.K, td[0] * units.K).m_as("K")
        d0 = min(td[0], t[0])
        w = ref.mixing_ratio(ref.vapour_pressure(d0), p[0])
        tl = ref.lcl_temperature(t[0], d0)
        p_lcl = p[0] * (tl / t[0]) ** (1.0 / ref.KAPPA)
        target = ref.log_theta_e(t[0], p[0], w, tl)
        for level in diffs:
            k = int(np.argmin(np.abs(p - level)))
            if abs(p[k] - level) > 2500.0:
                continue
            if p[k] > p_lcl:
                ours = t[0] * math.exp(ref.KAPPA * math.log(p[k] / p[0]))
            else:
                ours = ref.moist_temperature(target, p[k])
            diffs[level].append(ours - prof[k])
    lines = []
    for level, d in diffs.items():
        d = np.array(d)
        lines.append(
            {
                "level": f"{level / 100:.0f} hPa",
                "n": d.size,
                "median (K)": float(np.median(d)),
                "5th pct (K)": float(np.percentile(d, 5)),
                "95th pct (K)": float(np.percentile(d, 95)),
            }
        )
    return lines


def cape_of_buoyancy(x, b, i_lcl):
    """CAPE (J/kg) by tarnwell's rules from buoyancy b (K) at nodes x = ln p
    (falling), the LCL at node i_lcl: the LFC is the LCL if buoyant there,
    else the first upward crossing above it; the EL the last downward
    crossing; the net area between them by trapezoids in ln p."""
    lfc = None
    if b[i_lcl] > 0:
        lfc = (i_lcl, 0.0)
    else:
        for i in range(i_lcl, len(b) - 1):
            if b[i] <= 0 < b[i + 1]:
                lfc = (i, b[i] / (b[i] - b[i + 1]))
                break
    if lfc is None:
        return 0.0
    end = (len(b) - 2, 1.0)
    if b[-1] <= 0:
        for i in range(len(b) - 2, lfc[0] - 1, -1):
            if b[i] > 0 >= b[i + 1]:
                end = (i, b[i] / (b[i] - b[i + 1]))
                break
    total = 0.0
    for i in range(lfc[0], end[0] + 1):
        f0 = lfc[1] if i == lfc[0] else 0.0
        f1 = end[1] if i == end[0] else 1.0
        b0 = b[i] + f0 * (b[i + 1] - b[i])
        b1 = b[i] + f1 * (b[i + 1] - b[i])
        total += 0.5 * (b0 + b1) * (f1 - f0) * (x[i] - x[i + 1])
    return max(total, 0.0) * 287.04749097718457


def cape_decomposition(columns):
    """Surface-based CAPE three ways: MetPy's `surface_based_cape_cin`; MetPy's
    own parcel (`parcel_profile_with_lcl`) with the parcel's mixing ratio
    (its start value below the LCL, saturation at the parcel's temperature
    above) and tarnwell's areas; and tarnwell."""
    import metpy.calc as mc
    from metpy.units import units

    eps = 0.6219569156569429
    a, b, c = [], [], []
    for p, t, td, z in columns:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            P, T, D = p * units.Pa, t * units.K, td * units.K
            a.append(mc.surface_based_cape_cin(P, T, D)[0].m_as("J/kg"))
            pp, tt, dd, prof = mc.parcel_profile_with_lcl(P, T, D)
            pp, tt, dd, prof = pp.m_as("Pa"), tt.m_as("K"), dd.m_as("K"), prof.m_as("K")
            p_lcl = mc.lcl(P[0], T[0], D[0])[0].m_as("Pa")
        i_lcl = int(np.argmin(np.abs(pp - p_lcl)))

        def ws(temp, pres):
            e = 611.2 * np.exp(17.67 * (temp - 273.15) / (temp - 29.65))
            return eps * e / (pres - e)

        w0 = ws(dd[0], pp[0])
        wp = np.where(np.arange(pp.size) < i_lcl, w0, ws(prof, pp))
        tvp = prof * (1 + wp / eps) / (1 + wp)
        we = ws(dd, pp)
        tve = tt * (1 + we / eps) / (1 + we)
        b.append(cape_of_buoyancy(np.log(pp), tvp - tve, i_lcl))
        c.append(float(tarnwell.parcel(p, t, td, z).cape))
    a, b, c = np.array(a), np.array(b), np.array(c)
    return [
        stats(a, b, "MetPy's parcel, its mixing ratio fixed, tarnwell's areas − MetPy", 100.0),
        stats(b, c, "tarnwell − MetPy's parcel with tarnwell's areas", 100.0),
        stats(a, c, "tarnwell − MetPy (total)", 100.0),
    ]


def fmt(v):
    if isinstance(v, float):
        if np.isnan(v):
            return "–"
        return f"{v:.3g}" if abs(v) < 1000 else f"{v:,.0f}"
    return str(v)


def table(lines):
    keys = []
    for line in lines:
        keys += [k for k in line if k not in keys]
    out = ["| " + " | ".join(keys) + " |", "|" + "---|" * len(keys)]
    for line in lines:
        out.append("| " + " | ".join(fmt(line.get(k, "")) for k in keys) + " |")
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    quick = args.quick
    out = ["# Parcel diagnostics: speed and agreement with MetPy", ""]
    out += [f"Load average at the start: {loadavg()}.", ""]
    n, rows = speed(quick)
    out += [
        f"## Columns per second ({n:,} synthetic columns of {LEVELS} levels)",
        "",
        "Medians of interleaved runs; MetPy on 20 columns spread over the set, its time per "
        "column (for the surface parcel: `surface_based_cape_cin`, `lcl`, `parcel_profile`, "
        "`lfc`, `el`; for the others their `*_cape_cin`). metrust's `compute_cape_cin` "
        "computes the surface parcel's CAPE, CIN, LCL and LFC heights of a grid.",
        "",
    ]
    for name, r in rows.items():
        tw2 = r["tarnwell, 2 threads"]
        out += [f"**{name}**", "", "| implementation | columns/s | tarnwell 2 threads is |"]
        out += ["|---|---|---|"]
        for k, v in r.items():
            if isinstance(v, bool):
                continue
            if isinstance(v, str):
                out.append(f"| {k} | {v} | |")
            else:
                out.append(f"| {k} | {v:,.0f} | {tw2 / v:,.2f}x |")
        out += ["", f"numba port bit-identical to the kernel: {r['numba bit-identical']}.", ""]
    out += [f"Load average after the speed runs: {loadavg()}.", ""]
    out += ["## The effective inflow layer and the command's composites", ""]
    out += composite_lines(quick)[0]
    sets = [
        (sars_columns(60 if quick else 1000), "SHARPpy's SARS soundings (observed)"),
    ]
    p, t, td, z = synthetic_soundings(40 if quick else 1000, LEVELS, seed=41)
    sets.append(
        ([(p[i], t[i], td[i], z[i]) for i in range(len(p))], "synthetic stable/capped/unstable")
    )
    out += [
        "## Parcel temperature, tarnwell minus MetPy `parcel_profile` (surface parcels of the "
        "SARS soundings)",
        "",
    ]
    out += table(parcel_temperatures(sets[0][0][: 20 if quick else 400]))
    out += [
        "",
        "## Surface-based CAPE (J/kg) decomposed: MetPy's mixing-ratio convention against "
        "the pseudo-adiabat (SARS soundings)",
        "",
    ]
    out += table(cape_decomposition(sets[0][0][: 20 if quick else 400]))
    out += [""]
    for cols, label in sets:
        label, n_cols, lines = agreement(cols, label)
        out += [f"## Agreement with MetPy 1.6: {label}, {n_cols} columns", ""]
        out += [
            "Differences tarnwell minus MetPy over the columns where both are finite; "
            "relative differences over |MetPy| ≥ 100 J/kg for CAPE, ≥ 10 J/kg for CIN.",
            "",
        ]
        out += table(lines)
        out += [""]
    out += [EXPLANATION, f"Load average at the end: {loadavg()}.", ""]
    text = "\n".join(out)
    print(text)
    if not quick:
        with open(os.path.join(ROOT, "docs", "parcel.md"), "w") as fh:
            fh.write(text)


if __name__ == "__main__":
    main()
