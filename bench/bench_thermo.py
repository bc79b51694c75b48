"""thermo: elements per second against the NumPy expression of its formulas,
MetPy and metrust, and against the cost of its library calls alone;
agreement with MetPy and metrust on SHARPpy's SARS soundings."""

from __future__ import annotations

import controls
import data
import numpy as np
from harness import TW1, TW2, Case, Goal, control, ours, quiet, rival, speedup_goal

import _tarnwell as tw

UNIT = "element"
KAPPA = 0.28542059262205427
EPS = 0.6219569156569429


def sizes(ctx):
    return ctx.pick([4_000, 40_000, 400_000, 4_000_000], [100, 1_000, 10_000])


def make(n):
    return data.synthetic_air(n), n


def call(args, n_threads):
    return tw.thermo(*args, n_threads=n_threads)


def tiny():
    return "A one-element call", lambda: tw.thermo(300.0, 100000.0, 290.0)


def numpy_thermo(t, p, td):
    """The same formulas as a NumPy expression."""
    dc = np.minimum(td, t)
    a = 100000.0 / p
    theta = a**KAPPA * t
    tc = dc - 273.15
    e = np.exp(tc * 17.67 / (tc + 243.5)) * 611.2
    w = e * EPS / (p - e)
    theta_v = (w / EPS + 1.0) * theta / (w + 1.0)
    r = w * 1000.0
    tl = 1.0 / (np.log(t / dc) / 800.0 + 1.0 / (dc - 56.0)) + 56.0
    theta_e = np.exp((3.376 / tl - 0.00254) * r * (r * 0.00081 + 1.0)) * (
        a ** ((1.0 - r * 0.00028) * 0.2854) * t
    )
    return np.stack([w, theta, theta_v, theta_e])


def metpy_fields(t, p, td):
    """The four fields as a MetPy user computes them: the mixing ratio of
    Bolton's vapour pressure at the (clamped) dew point, with thermo's ε."""
    import metpy.calc as mpcalc
    from metpy.units import units

    P, T, TD = p * units.Pa, t * units.K, np.minimum(td, t) * units.K
    w = mpcalc.mixing_ratio(mpcalc.saturation_vapor_pressure(TD), P, molecular_weight_ratio=EPS)
    th = mpcalc.potential_temperature(P, T)
    thv = mpcalc.virtual_potential_temperature(P, T, w, molecular_weight_ratio=EPS)
    the = mpcalc.equivalent_potential_temperature(P, T, TD)
    return [q.to_base_units().magnitude for q in (w, th, thv, the)]


def metrust_fields(p_hpa, t_c, td_c):
    """The same four fields from metrust, called with plain arrays in its
    native units (hPa, °C, g/kg) so that no unit layer is timed."""
    import metrust.calc as mrcalc

    w = mrcalc.saturation_mixing_ratio(p_hpa, td_c)
    w = np.asarray(getattr(w, "magnitude", w))
    th = mrcalc.potential_temperature(p_hpa, t_c)
    thv = mrcalc.virtual_potential_temperature(p_hpa, t_c, w * 1000.0)
    the = mrcalc.equivalent_potential_temperature(p_hpa, t_c, td_c)
    return [np.asarray(getattr(q, "magnitude", q)) for q in (w, th, thv, the)]


def cases(ctx):
    n = ctx.pick(1_000_000, 2_000)
    t, p, td = data.synthetic_air(n)
    calls = controls.thermo_call_arguments(t, p, td, tw.thermo(t, p, td)[0])
    p_hpa, t_c, td_c = p / 100.0, t - 273.15, np.minimum(td, t) - 273.15
    ours_ = tw.thermo(t, p, td)

    def same_formulas(got):
        np.testing.assert_allclose(got, ours_, rtol=1e-12)

    yield (
        "peers",
        Case(
            f"Against the peers and the library calls, N = {n:,}",
            UNIT,
            {
                TW1: ours(lambda: tw.thermo(t, p, td, n_threads=1), n),
                TW2: ours(lambda: tw.thermo(t, p, td, n_threads=2), n),
                "NumPy expression": rival(lambda: numpy_thermo(t, p, td), n, check=same_formulas),
                "MetPy 1.6 (4 functions)": rival(lambda: metpy_fields(t, p, td), n, "metpy"),
                "metrust (4 functions, its threads)": rival(
                    lambda: metrust_fields(p_hpa, t_c, td_c), n, "metrust"
                ),
                "library calls alone, 1 thread": control(controls.libm_floor(calls), n),
                "library calls + fresh (4, N) output, 1 thread": control(
                    controls.libm_floor_store(calls), n
                ),
            },
            notes=[
                "The library-calls rows are the two `pow`, two `exp` and one `log` per element on "
                "the arguments thermo passes them, and nothing else: the floor of any correct "
                "scalar evaluation."
            ],
        ),
    )


GOALS = [
    speedup_goal("thermo"),
    Goal("thermo", "≥ 2x the NumPy expression", "peers", "NumPy expression", TW2, at_least=2.0),
    Goal(
        "thermo",
        "≤ 1.15x per thread of its library calls alone",
        "peers",
        TW1,
        "library calls alone, 1 thread",
        at_most=1.15,
    ),
    Goal(
        "thermo",
        "ahead of metrust",
        "peers",
        "metrust (4 functions, its threads)",
        TW2,
        at_least=1.0,
    ),
]


def agreement(ctx, rep, lines):
    mp, mr = ctx.peers.get("metpy"), ctx.peers.get("metrust")
    if ctx.peers.get("sharppy") is None:
        rep.note(f"thermo, sounding agreement: {ctx.peers.missing('sharppy')}")
        return
    snd = data.sars_soundings()
    t = np.concatenate([s["t"] for s in snd])
    p = np.concatenate([s["p"] for s in snd])
    td = np.concatenate([s["td"] for s in snd])
    ok = np.isfinite(t) & np.isfinite(p) & np.isfinite(td)
    t, p, td = t[ok], p[ok], td[ok]
    got = tw.thermo(t, p, td)
    lines += [
        f"Agreement data: {len(snd)} SARS soundings from SHARPpy, {t.size:,} levels "
        "with pressure, temperature and dew point."
    ]
    if mp is None:
        rep.note(f"thermo, MetPy agreement: {ctx.peers.missing('metpy')}")
    else:
        import metpy.constants as mpc

        with quiet():
            w, th, thv, the = metpy_fields(t, p, td)
        kappa_m = float(mpc.nounit.kappa)
        # MetPy's θ uses κ = Rd/cp = 2/7; moving it to thermo's exponent is a
        # factor (p0/p)^(κ - κ_MetPy) on θ and on θv alike.
        corr = (100000.0 / p) ** (KAPPA - kappa_m)
        rep.compare(
            "thermo",
            "mixing ratio vs MetPy `mixing_ratio(saturation_vapor_pressure(Td))`, ε of thermo",
            w,
            got[0],
            "same Bolton vapour pressure and ε; MetPy writes the exponent's denominator as "
            "T - 29.65 K, so only rounding differs",
        )
        rep.compare(
            "thermo",
            "θ vs MetPy `potential_temperature`, corrected to κ = 0.28542059262205427",
            th * corr,
            got[1],
            f"MetPy's κ is {kappa_m!r}; after the exponent correction only the rounding "
            "of pow and of the correction remain",
        )
        rep.compare(
            "thermo",
            "θv vs MetPy `virtual_potential_temperature`, ε of thermo, κ corrected",
            thv * corr,
            got[2],
            "same virtual-temperature factor; rounding only after the exponent correction",
        )
        rep.compare(
            "thermo",
            "θe vs MetPy `equivalent_potential_temperature` (K)",
            the,
            got[3],
            "different formula, not an error: MetPy 1.6 uses Bolton's eq. 39 (θ of "
            "dry-air pressure p - e with κ = 2/7 and exp(r(1 + 0.448r)(3036/T_L - 1.78))); "
            "thermo uses Bolton's eq. 43 with the exponent 0.2854(1 - 0.28e-3 r)",
        )
        d = np.abs(the - got[3])
        fin = np.isfinite(d)
        low = fin & (p >= 10000.0)
        worst = np.flatnonzero(fin)[np.argmax(d[fin])]
        lines.append(
            f"θe against MetPy: median |difference| {np.median(d[fin]):.3g} K, 99th percentile "
            f"{np.percentile(d[fin], 99):.3g} K, largest {d[worst]:.3g} K at "
            f"{p[worst] / 100:.0f} hPa (mixing ratio there {got[0][worst] * 1000:.3g} g/kg, from "
            "the dew points reported near the top of the soundings); at pressures of 100 hPa or "
            f"more the largest is {d[low].max():.3g} K. The two Bolton equations differ by "
            "design; Bolton quotes eq. 43 as the more accurate one."
        )
    if mr is None:
        rep.note(f"thermo, metrust agreement: {ctx.peers.missing('metrust')}")
    else:
        with quiet():
            mw, mth, _, mthe = metrust_fields(p / 100.0, t - 273.15, np.minimum(td, t) - 273.15)
        rep.compare(
            "thermo",
            "mixing ratio vs metrust `saturation_mixing_ratio` at the dew point",
            mw,
            got[0],
            "metrust follows MetPy 1.7: Ambaum's vapour pressure and MetPy's "
            "ε, not Bolton's formula",
        )
        rep.compare(
            "thermo",
            "θ vs metrust `potential_temperature` (K)",
            mth,
            got[1],
            "metrust uses κ = 2/7 like MetPy; the difference is the exponent, up to (p0/p)^0.0003",
        )
        rep.compare(
            "thermo",
            "θe vs metrust `equivalent_potential_temperature` (K)",
            mthe,
            got[3],
            "different vapour pressure and Bolton equation (as MetPy 1.7)",
        )
