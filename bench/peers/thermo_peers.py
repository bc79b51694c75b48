"""thermo against the NumPy expression of its formulas, MetPy and metrust:
speed on synthetic fields, agreement on SHARPpy's SARS soundings."""

import warnings

import numpy as np

import _tarnwell as tw
import peers
from report import fmt_rate, fmt_sec
from timing import REPEATS, interleaved, per_call, scaling, scaling_lines, speedup_goal

KAPPA = 0.28542059262205427
EPS = 0.6219569156569429
SIZES = [4_000, 40_000, 400_000, 4_000_000]
PEER_N = 1_000_000


def metpy_fields(mpcalc, units, t, p, td):
    """The four fields as a MetPy user computes them: the mixing ratio of
    Bolton's vapour pressure at the (clamped) dew point, with thermo's ε."""
    P = p * units.Pa
    T = t * units.K
    TD = np.minimum(td, t) * units.K
    e = mpcalc.saturation_vapor_pressure(TD)
    w = mpcalc.mixing_ratio(e, P, molecular_weight_ratio=EPS)
    th = mpcalc.potential_temperature(P, T)
    thv = mpcalc.virtual_potential_temperature(P, T, w, molecular_weight_ratio=EPS)
    the = mpcalc.equivalent_potential_temperature(P, T, TD)
    return [q.to_base_units().magnitude if hasattr(q, "to_base_units") else q for q in (w, th, thv, the)]


def metrust_fields(mrcalc, p_hpa, t_c, td_c):
    """The same four fields from metrust, called with plain arrays in its
    native units (hPa, °C, g/kg) so that no unit layer is timed."""
    w = mrcalc.saturation_mixing_ratio(p_hpa, td_c)
    wm = np.asarray(getattr(w, "magnitude", w))
    th = mrcalc.potential_temperature(p_hpa, t_c)
    thv = mrcalc.virtual_potential_temperature(p_hpa, t_c, wm * 1000.0)
    the = mrcalc.equivalent_potential_temperature(p_hpa, t_c, td_c)
    return [np.asarray(getattr(q, "magnitude", q)) for q in (wm, th, thv, the)]


def run(rep):
    from bench_thermo import load_floor, numpy_thermo, sample

    # Speed against input size.
    rows = scaling(SIZES, lambda n: (sample(n), n), lambda a, nt: tw.thermo(*a, n_threads=nt))
    rep.scaling["thermo"] = rows
    tiny = per_call(lambda: tw.thermo(300.0, 100000.0, 290.0), 2000)

    # Against the peers on one size.
    n = PEER_N
    t, p, td = sample(n)
    dc = np.minimum(td, t)
    a = 100000.0 / p
    tc = dc - 273.15
    x1 = tc * 17.67 / (tc + 243.5)
    w = tw.thermo(t, p, td, n_threads=1)[0]
    r = w * 1000.0
    tl = 1.0 / (np.log(t / dc) / 800.0 + 1.0 / (dc - 56.0)) + 56.0
    x2 = (3.376 / tl - 0.00254) * r * (r * 0.00081 + 1.0)
    y2 = (1.0 - r * 0.00028) * 0.2854
    fargs = [np.ascontiguousarray(v) for v in (a, x1, t / dc, x2, y2)]
    loaded = load_floor()
    floor, floor_store = loaded if isinstance(loaded, tuple) else (loaded, None)
    ptrs = [v.ctypes.data for v in fargs]
    fns = {
        "tarnwell 1 thread": lambda: tw.thermo(t, p, td, n_threads=1),
        "tarnwell 2 threads": lambda: tw.thermo(t, p, td, n_threads=2),
        "NumPy expression": lambda: numpy_thermo(t, p, td),
        "library calls alone, 1 thread": lambda: floor(*ptrs, n),
    }
    if floor_store is not None:
        from bench_thermo import fresh_store
        fns["library calls + fresh (4, N) output, 1 thread"] = lambda: fresh_store(floor_store, ptrs, n)
    mp = peers.get("metpy")
    mr = peers.get("metrust")
    if mp is not None:
        from metpy.units import units
        fns["MetPy 1.6 (4 functions)"] = lambda: metpy_fields(mp, units, t, p, td)
    if mr is not None:
        p_hpa, t_c, td_c = p / 100.0, t - 273.15, dc - 273.15
        fns["metrust (4 functions, its threads)"] = lambda: metrust_fields(mr, p_hpa, t_c, td_c)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        times = interleaved(fns, repeats=REPEATS)

    lines = rep.section("thermo")
    lines += ["Elements per second against input size (median of interleaved runs):", ""]
    lines += scaling_lines(rows, "N", "element", "A one-element call", tiny)
    lines += [f"Against the peers, N = {n:,} (interleaved, median):", "",
              "| Implementation | Time | Elements/s | tarnwell 2 threads is faster by |", "|---|---|---|---|"]
    t2 = times["tarnwell 2 threads"]
    for k, v in times.items():
        lines.append(f"| {k} | {fmt_sec(v)} | {fmt_rate(n / v)} | {v / t2:.2f}x |")
    if mp is None:
        lines.append(f"| MetPy | {peers.missing_note('metpy')} | | |")
    if mr is None:
        lines.append(f"| metrust | {peers.missing_note('metrust')} | | |")
    lines.append("")
    lines.append("The library-calls row is the two `pow`, two `exp` and one `log` per element "
                 "on the arguments thermo passes them, and nothing else: the floor of any "
                 "correct scalar evaluation.")

    speedup_goal(rep, "thermo", rows, "elements")
    ratio_np = times["NumPy expression"] / t2
    rep.goal("thermo", "≥ 2x the NumPy expression", f"{ratio_np:.2f}x (2 threads)", ratio_np >= 2.0)
    per_thread = times["tarnwell 1 thread"] / times["library calls alone, 1 thread"]
    note = ""
    if floor_store is not None:
        note = (f"{times['tarnwell 1 thread'] / times['library calls + fresh (4, N) output, 1 thread']:.3f}x "
                "of the library calls writing a fresh (4, N) result")
    rep.goal("thermo", "≤ 1.15x per thread of its library calls alone", f"{per_thread:.3f}x", per_thread <= 1.15, note)
    rep.peer_ratios.append(("thermo vs NumPy expression", ratio_np))
    if mp is not None:
        rep.peer_ratios.append(("thermo vs MetPy", times["MetPy 1.6 (4 functions)"] / t2))
    if mr is not None:
        ratio_mr = times["metrust (4 functions, its threads)"] / t2
        rep.goal("thermo", "ahead of metrust", f"{ratio_mr:.2f}x (both on 2 threads)", ratio_mr > 1.0)
        rep.peer_ratios.append(("thermo vs metrust", ratio_mr))
    else:
        rep.goal("thermo", "ahead of metrust", peers.missing_note("metrust"), None)

    agreement(rep, lines, mp, mr)


def agreement(rep, lines, mp, mr):
    import data
    try:
        snd = data.sars_soundings()
    except Exception as exc:
        lines += ["", f"Sounding agreement not run: SARS soundings unavailable ({exc})."]
        return
    t = np.concatenate([s["t"] for s in snd])
    p = np.concatenate([s["p"] for s in snd])
    td = np.concatenate([s["td"] for s in snd])
    ok = np.isfinite(t) & np.isfinite(p) & np.isfinite(td)
    t, p, td = t[ok], p[ok], td[ok]
    ours = tw.thermo(t, p, td)
    lines += ["", f"Agreement data: {len(snd)} SARS soundings from SHARPpy, {t.size:,} levels "
              "with pressure, temperature and dew point."]
    if mp is None:
        lines.append(f"MetPy comparison {peers.missing_note('metpy')}.")
    else:
        from metpy.units import units
        import metpy.constants as mpc
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            w, th, thv, the = metpy_fields(mp, units, t, p, td)
        kappa_m = float(mpc.nounit.kappa)
        # MetPy's θ uses κ = Rd/cp = 2/7; moving it to thermo's exponent is a
        # factor (p0/p)^(κ - κ_MetPy) on θ and on θv alike.
        corr = (100000.0 / p) ** (KAPPA - kappa_m)
        rep.compare("thermo", "mixing ratio vs MetPy `mixing_ratio(saturation_vapor_pressure(Td))`, ε of thermo", w, ours[0],
                    "same Bolton vapour pressure and ε; MetPy writes the exponent's denominator as T - 29.65 K, so only rounding differs")
        rep.compare("thermo", "θ vs MetPy `potential_temperature`, corrected to κ = 0.28542059262205427", th * corr, ours[1],
                    f"MetPy's κ is {kappa_m!r}; after the exponent correction only the rounding of pow and of the correction remain")
        rep.compare("thermo", "θv vs MetPy `virtual_potential_temperature`, ε of thermo, κ corrected", thv * corr, ours[2],
                    "same virtual-temperature factor; rounding only after the exponent correction")
        rep.compare("thermo", "θe vs MetPy `equivalent_potential_temperature` (K)", the, ours[3],
                    "different formula, not an error: MetPy 1.6 uses Bolton's eq. 39 (θ of dry-air pressure p - e with κ = 2/7 and "
                    "exp(r(1 + 0.448r)(3036/T_L - 1.78))); thermo uses Bolton's eq. 43 with the exponent 0.2854(1 - 0.28e-3 r)")
        d = np.abs(the - ours[3])
        fin = np.isfinite(d)
        low = fin & (p >= 10000.0)
        worst = np.flatnonzero(fin)[np.argmax(d[fin])]
        lines.append(f"θe against MetPy: median |difference| {np.median(d[fin]):.3g} K, 99th percentile "
                     f"{np.percentile(d[fin], 99):.3g} K, largest {d[worst]:.3g} K at {p[worst] / 100:.0f} hPa "
                     f"(mixing ratio there {ours[0][worst] * 1000:.3g} g/kg, from the dew points reported near "
                     f"the top of the soundings); at pressures of 100 hPa or more the largest is {d[low].max():.3g} K. "
                     "The two Bolton equations differ by design; Bolton quotes eq. 43 as the more accurate one.")
    if mr is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            mw, mth, mthv, mthe = metrust_fields(mr, p / 100.0, t - 273.15, np.minimum(td, t) - 273.15)
        rep.compare("thermo", "mixing ratio vs metrust `saturation_mixing_ratio` at the dew point", mw, ours[0],
                    "metrust follows MetPy 1.7: Ambaum's vapour pressure and MetPy's ε, not Bolton's formula")
        rep.compare("thermo", "θ vs metrust `potential_temperature` (K)", mth, ours[1],
                    "metrust uses κ = 2/7 like MetPy; the difference is the exponent, up to (p0/p)^0.0003")
        rep.compare("thermo", "θe vs metrust `equivalent_potential_temperature` (K)", mthe, ours[3],
                    "different vapour pressure and Bolton equation (as MetPy 1.7)")
