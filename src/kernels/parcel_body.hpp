// Parcel ascent of one column: CAPE, CIN, LCL, LFC and EL, free of the Python
// binding.
//
// The parcel rises dry-adiabatically (constant theta, constant mixing ratio)
// to its lifting condensation level, whose temperature is Bolton's (1980)
// eq. 15, and above it along the pseudo-adiabat of constant theta-e (Bolton's
// eq. 43, the theta-e of thermo), solved for temperature at every level by
// Newton's method. Buoyancy is the difference of virtual temperatures; areas
// are trapezoids in ln p, piecewise linear between the nodes (the data levels
// and the LCL), split where the buoyancy changes sign.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/missing.hpp"

namespace tarnwell {

// Result rows of parcel; `count` rows in all.
namespace parcel_row {
enum : int64_t {
    cape,          // J/kg
    cin,           // J/kg, <= 0
    lcl_pressure,  // Pa
    lcl_height,    // m above the lowest usable level
    lfc_pressure,
    lfc_height,
    el_pressure,
    el_height,
    count
};
}

// Which parcel rises.
namespace parcel_kind {
enum : int32_t {
    surface_based,  // the lowest usable level
    mixed_layer,    // mean theta and mixing ratio of the lowest kMixedDepth
    most_unstable,  // highest theta-e within the lowest kUnstableDepth
    count
};
}

namespace parcel_const {
constexpr double kP0 = 100000.0;                // reference pressure of theta and theta-e, Pa
constexpr double kKappa = 0.28542059262205427;  // R_d / c_pd, as thermo's theta
constexpr double kEps = 0.6219569156569429;     // R_d / R_v
constexpr double kRd = 287.04749097718457;      // gas constant of dry air, J/(kg K)
constexpr double kMixedDepth = 10000.0;         // Pa
constexpr double kUnstableDepth = 30000.0;      // Pa
// Newton stops once a step is below this; convergence is quadratic, so the
// temperature is then exact to far below it. A solve that falls back on
// bisection needs up to ~40 steps to narrow its bracket as far.
constexpr double kNewtonTol = 1e-6;  // K
constexpr int kNewtonMaxSteps = 100;
// The pole of Bolton's eq. 10, T_c = -243.5 C, and its logarithm.
constexpr double kPoleTemperature = 273.15 - 243.5;  // K
constexpr double kLogPoleTemperature = 3.3894621254437336;
// The moist ascent's first guess extrapolates the last two points of the
// ascent, each exact only to the solve's tolerance: two points closer than
// this in ln p (about 10 Pa near the ground) give no useful slope.
constexpr double kMinGuessSpan = 1e-4;
}  // namespace parcel_const

namespace parcel_detail {
using namespace parcel_const;

// Vapour pressure over water at dew point td (K), Pa: Bolton's eq. 10.
inline double vapour_pressure(double td) {
    const double tc = td - 273.15;
    return std::exp((tc * 17.67) / (tc + 243.5)) * 611.2;
}

inline double mixing_ratio(double e, double p) { return (e * kEps) / (p - e); }

// Mixing ratio of air at dew point td and pressure p; NaN where the vapour
// pressure reaches the pressure (a dew point at or above the boiling point),
// where no air holds that vapour and the formula's ratio is negative or
// infinite. Such a dew point counts as missing.
inline double mixing_ratio_at(double td, double p) {
    const double e = vapour_pressure(td);
    return e < p ? mixing_ratio(e, p) : kNaN;
}

// Dew point (K) of vapour pressure e, Pa: eq. 10 inverted.
inline double dew_point(double e) {
    const double a = std::log(e / 611.2);
    return (a * 243.5) / (17.67 - a) + 273.15;
}

inline double virtual_temperature(double t, double w) { return ((w / kEps + 1.0) * t) / (w + 1.0); }

// Temperature at the lifting condensation level, K: Bolton's eq. 15.
inline double lcl_temperature(double t, double td) {
    return 1.0 / (std::log(t / td) / 800.0 + 1.0 / (td - 56.0)) + 56.0;
}

// ln theta-e (Bolton's eq. 43) of air at t with mixing ratio w and LCL
// temperature tl; lnA = ln(P0 / p).
inline double log_theta_e(double t, double lnA, double w, double tl) {
    const double r = w * 1000.0;
    return std::log(t) + ((1.0 - r * 0.00028) * 0.2854) * lnA +
           ((3.376 / tl - 0.00254) * r) * (r * 0.00081 + 1.0);
}

// Temperature of saturated air at pressure p whose ln theta-e is `target`;
// also its saturation mixing ratio. For saturated air T_L = T, so
// ln theta-e = ln T + 0.2854 (1 - 0.00028 r) ln A + (3.376 / T - 0.00254) r
// (1 + 0.00081 r), r = 1000 w_s(T, p) in g/kg.
//
// Saturation is bounded on both sides: Bolton's eq. 10 has its pole at
// T_c = -243.5 C, where e_s falls to 0 and w_s with it, and at the boiling
// point e_s reaches p, where w_s and so theta-e are unbounded (above it the
// formula gives a negative w_s and a second, false root). Between the two,
// saturated theta-e rises monotonically with T, so the root is bracketed.
// Newton's method from `guess`, with the analytic derivative, converges
// quadratically from a guess near the pseudo-adiabat; every evaluation
// narrows the bracket, and a step that would leave it is replaced by
// bisection, so no guess can lead the solve to a false root. NaN when the
// root would lie below the pole (far above any atmosphere's data).
inline double moist_temperature(double target, double p, double lnA, double guess, double& ws) {
    // ln T_pole + 0.2854 ln A is saturated ln theta-e in the limit w_s -> 0.
    double lo = kPoleTemperature, hi = HUGE_VAL;
    if (!(kLogPoleTemperature + 0.2854 * lnA < target)) {
        ws = kNaN;
        return kNaN;
    }
    double t = guess > lo && guess < hi ? guess : kPoleTemperature + 250.0;
    for (int step = 0; step < kNewtonMaxSteps; ++step) {
        const double tc = t - 273.15;
        const double den = tc + 243.5;
        const double es = std::exp((tc * 17.67) / den) * 611.2;
        const double dry = p - es;
        if (!(dry > 0.0)) {  // at or above the boiling point, where e_s = p
            const double boiling = dew_point(p);
            hi = boiling < t ? boiling : t;
            t = (lo + hi) * 0.5;
            continue;
        }
        const double w = (es * kEps) / dry;
        const double r = w * 1000.0;
        const double a = 3.376 / t - 0.00254;
        const double g = std::log(t) + ((1.0 - r * 0.00028) * 0.2854) * lnA +
                         (a * r) * (r * 0.00081 + 1.0) - target;
        if (g > 0.0) {
            hi = t;
        } else if (g < 0.0) {
            lo = t;
        }
        // d e_s/dT = e_s 17.67 * 243.5 / (T_c + 243.5)^2; d r/d e_s = 1000 eps p / (p - e_s)^2.
        const double dr =
            (((es * (17.67 * 243.5)) / (den * den)) * ((kEps * p) * 1000.0)) / (dry * dry);
        const double dg = 1.0 / t - (0.2854 * 0.00028) * lnA * dr -
                          ((3.376 / (t * t)) * r) * (r * 0.00081 + 1.0) +
                          a * (r * 0.00162 + 1.0) * dr;
        const double delta = g / dg;
        const double next = t - delta;
        if (next > lo && next < hi) {
            t = next;
            if (!(std::fabs(delta) >= kNewtonTol)) break;
        } else {
            t = (lo + hi) * 0.5;
            if (!(hi - lo >= kNewtonTol)) break;
        }
    }
    const double es = vapour_pressure(t);
    ws = mixing_ratio(es, p);
    return t;
}

// The parcel's starting state.
struct Start {
    int64_t level;  // the data level it starts from (its environment)
    double p, t, w, td;
};

// Linear interpolation at fraction f of the way from a to b.
inline double lerp(double a, double b, double f) { return (b - a) * f + a; }

// Running areas of one ascent, fed node by node upward.
struct Areas {
    bool lfc = false, el = false;
    double cin = 0.0;   // negative area below the LFC (ln p units times K)
    double net = 0.0;   // net area above the LFC
    double cape = 0.0;  // net area from the LFC to the latest EL
    double lfc_x = 0.0, lfc_z = 0.0, el_x = 0.0, el_z = 0.0;

    void mark_lfc(double x, double z) {
        lfc = true;
        lfc_x = x;
        lfc_z = z;
    }

    // Segment from node a to node b above it (xa > xb in ln p). The LFC can
    // only start above the LCL (`saturated`).
    void segment(double xa, double ba, double za, double xb, double bb, double zb, bool saturated) {
        const double dx = xa - xb;
        if (!lfc) {
            if (ba <= 0.0 && bb > 0.0) {
                const double f = ba / (ba - bb);
                const double xc = xa - dx * f;
                cin = cin + (ba * 0.5) * (xa - xc);
                if (saturated) {
                    mark_lfc(xc, lerp(za, zb, f));
                    net = net + (bb * 0.5) * (xc - xb);
                }
            } else if (ba > 0.0 && bb <= 0.0) {
                const double f = ba / (ba - bb);
                const double xc = xa - dx * f;
                cin = cin + (bb * 0.5) * (xc - xb);
            } else if (ba <= 0.0) {
                cin = cin + ((ba + bb) * 0.5) * dx;
            }
            return;
        }
        // Above the LFC the area is net: negative pockets below the EL count
        // against the positive ones. The trapezoid of a linear piece equals
        // the sum of its parts split at the zero.
        if (ba > 0.0 && bb <= 0.0) {
            const double f = ba / (ba - bb);
            const double xc = xa - dx * f;
            net = net + (ba * 0.5) * (xa - xc);
            cape = net;
            el = true;
            el_x = xc;
            el_z = lerp(za, zb, f);
            net = net + (bb * 0.5) * (xc - xb);
        } else {
            net = net + ((ba + bb) * 0.5) * dx;
        }
    }
};

// Virtual temperature of the environment at t with dew point d and pressure
// p: a missing dew point (or one no air holds) counts as dry air.
inline double environment_tv(double t, double d, double p) {
    const double w = finite(d) ? mixing_ratio_at(d < t ? d : t, p) : kNaN;
    return finite(w) ? virtual_temperature(t, w) : t;
}

// What the ascent reads of its environment at level k, worked out on the spot.
template <class Levels>
struct LevelEnvironment {
    Levels P, T, D;
    double log_p(int64_t k) const { return std::log(P[k]); }
    double log_a(int64_t k) const { return std::log(kP0 / P[k]); }  // ln(P0 / p)
    double tv(int64_t k) const { return environment_tv(T[k], D[k], P[k]); }
};

// Whether level k is usable: its pressure (> 0), temperature and height
// finite and its pressure below p_last, that of the last usable level.
template <class Levels>
inline bool usable_level(Levels P, Levels T, Levels Z, int64_t k, double p_last) {
    const double p = P[k];
    return p > 0.0 && p < p_last && finite(p) && finite(T[k]) && finite(Z[k]);
}

// The starting state of parcel `kind` in a column of L levels (as
// parcel_ascent reads one) and the height of its lowest usable level; false
// where the column has no such parcel.
template <class Levels>
inline bool parcel_start(Levels P, Levels T, Levels D, Levels Z, int64_t L, int32_t kind, Start& s,
                         double& z_sfc) {
    auto usable = [&](int64_t k, double p_last) { return usable_level(P, T, Z, k, p_last); };
    constexpr double kNoLevel = HUGE_VAL;

    int64_t k0 = 0;
    while (k0 < L && !usable(k0, kNoLevel)) ++k0;
    if (k0 == L) return false;
    const double p_sfc = P[k0];
    z_sfc = Z[k0];
    // One level has no ascent to speak of.
    int64_t k1 = k0 + 1;
    while (k1 < L && !usable(k1, p_sfc)) ++k1;
    if (k1 == L) return false;

    s = {k0, p_sfc, T[k0], 0.0, D[k0]};
    if (kind == parcel_kind::most_unstable) {
        const double p_min = p_sfc - kUnstableDepth;
        double best = -HUGE_VAL, p_last = kNoLevel;
        s.level = -1;
        for (int64_t k = k0; k < L; ++k) {
            if (!usable(k, p_last)) continue;
            p_last = P[k];
            if (p_last < p_min) break;
            const double t = T[k], d = D[k];
            if (!finite(d)) continue;
            const double td = d < t ? d : t;
            const double w = mixing_ratio_at(td, p_last);
            if (!finite(w)) continue;
            const double lte = log_theta_e(t, std::log(kP0 / p_last), w, lcl_temperature(t, td));
            if (lte > best) {
                best = lte;
                s = {k, p_last, t, w, td};
            }
        }
        if (s.level < 0) return false;
    } else if (kind == parcel_kind::mixed_layer) {
        // Means over pressure by trapezoids between the levels with a dew
        // point, the top closed by interpolation linear in ln p.
        const double p_top = p_sfc - kMixedDepth;
        double p_last = kNoLevel, pa = 0.0, tha = 0.0, wa = 0.0, sum_th = 0.0, sum_w = 0.0;
        bool have = false, closed = false;
        for (int64_t k = k0; k < L && !closed; ++k) {
            if (!usable(k, p_last)) continue;
            p_last = P[k];
            if (!finite(D[k])) continue;
            const double t = T[k], td = D[k] < t ? D[k] : t;
            double pk = p_last;
            double th = std::pow(kP0 / pk, kKappa) * t;
            double w = mixing_ratio_at(td, pk);
            if (!finite(w)) continue;
            if (have && pk <= p_top) {
                const double f = std::log(pa / p_top) / std::log(pa / pk);
                th = lerp(tha, th, f);
                w = lerp(wa, w, f);
                pk = p_top;
                closed = true;
            }
            if (have) {
                sum_th = sum_th + ((tha + th) * 0.5) * (pa - pk);
                sum_w = sum_w + ((wa + w) * 0.5) * (pa - pk);
            } else if (pk != p_sfc) {
                return false;  // no dew point at the ground
            }
            have = true;
            pa = pk;
            tha = th;
            wa = w;
        }
        if (!closed) return false;
        const double theta = sum_th / kMixedDepth;
        s.w = sum_w / kMixedDepth;
        s.t = theta / std::pow(kP0 / p_sfc, kKappa);
        const double td = dew_point((s.w * p_sfc) / (s.w + kEps));
        s.td = td < s.t ? td : s.t;
    } else {
        if (!finite(s.td)) return false;
        if (s.td > s.t) s.td = s.t;
        s.w = mixing_ratio_at(s.td, s.p);
        if (!finite(s.w)) return false;
    }
    return true;
}

// The ascent of the parcel that starts as `s` (from parcel_start) in a column
// whose lowest usable level lies at z_sfc, `stop` and `env` as for
// parcel_ascent. Writes only the rows it has a value for: `out` must hold NaN
// in every row beforehand.
template <class Levels, class Stop, class Environment>
inline void parcel_lift(Levels P, Levels T, Levels Z, int64_t L, const Start& s, double z_sfc,
                        double* out, int64_t stride, const Stop& stop, Environment& env) {
    namespace row = parcel_row;
    auto usable = [&](int64_t k, double p_last) { return usable_level(P, T, Z, k, p_last); };

    // The lifting condensation level; a saturated start is its own LCL.
    const double tl = lcl_temperature(s.t, s.td);
    double p_lcl = std::pow(tl / s.t, 1.0 / kKappa) * s.p;
    if (!(p_lcl < s.p) || s.td == s.t) p_lcl = s.p;
    out[row::lcl_pressure * stride] = p_lcl;
    const double x_lcl = std::log(p_lcl);
    const double lte_parcel = log_theta_e(s.t, std::log(kP0 / s.p), s.w, tl);
    // From its LCL on, the parcel is on the pseudo-adiabat: its temperature
    // there is the inverted theta-e, not T_L. Eqs. 15 and 43 are separate fits
    // and differ by a few hundredths of a kelvin at the LCL; taking T_L would
    // put that step into the buoyancy just above the LCL, where it decides
    // the sign of a marginal buoyancy (and so the LFC) by whether a level
    // happens to lie a pascal above the LCL or not. A parcel saturated at
    // its start is the air of its level, on its own pseudo-adiabat.
    double w_lcl = s.w, t_lcl = s.t;
    if (p_lcl != s.p) {
        t_lcl = moist_temperature(lte_parcel, p_lcl, std::log(kP0 / p_lcl), tl, w_lcl);
        if (!finite(t_lcl)) {
            t_lcl = tl;
            w_lcl = s.w;
        }
    }
    const double tv_parcel_lcl = virtual_temperature(t_lcl, w_lcl);

    const double x_s = std::log(s.p);
    double x_prev = x_s, z_prev = Z[s.level], tv_env_prev = env.tv(s.level);
    bool saturated = p_lcl == s.p;
    double b_prev = (saturated ? tv_parcel_lcl : virtual_temperature(s.t, s.w)) - tv_env_prev;
    Areas a;
    if (saturated) {
        out[row::lcl_height * stride] = z_prev - z_sfc;
        if (b_prev > 0.0) a.mark_lfc(x_prev, z_prev);
    }
    // The last two points of the moist ascent (ln p, T), from the LCL on:
    // Newton starts from the straight line through them, which lies within
    // a few hundredths of a kelvin of the pseudo-adiabat one level up.
    double x_m1 = x_lcl, t_m1 = t_lcl, x_m2 = x_lcl, t_m2 = t_lcl;
    double p_last = s.p;
    for (int64_t k = s.level + 1; k < L; ++k) {
        if (!usable(k, p_last)) continue;
        const double pk = P[k];
        p_last = pk;
        const double xk = env.log_p(k);
        const double zk = Z[k];
        const double tv_env = env.tv(k);
        if (!saturated && pk <= p_lcl) {
            // The LCL between the previous node and this level: a node of its own.
            const double f = (x_prev - x_lcl) / (x_prev - xk);
            const double z_lcl = lerp(z_prev, zk, f);
            const double tv_env_lcl = lerp(tv_env_prev, tv_env, f);
            const double b_lcl = tv_parcel_lcl - tv_env_lcl;
            a.segment(x_prev, b_prev, z_prev, x_lcl, b_lcl, z_lcl, false);
            out[row::lcl_height * stride] = z_lcl - z_sfc;
            if (!a.lfc && b_lcl > 0.0) a.mark_lfc(x_lcl, z_lcl);
            saturated = true;
            x_prev = x_lcl;
            z_prev = z_lcl;
            b_prev = b_lcl;
        }
        double tp, wp;
        if (saturated) {
            const double guess = x_m2 - x_m1 >= kMinGuessSpan
                                     ? ((t_m1 - t_m2) / (x_m2 - x_m1)) * (x_m1 - xk) + t_m1
                                     : t_m1;
            tp = moist_temperature(lte_parcel, pk, env.log_a(k), guess, wp);
            if (!finite(tp)) break;
            x_m2 = x_m1;
            t_m2 = t_m1;
            x_m1 = xk;
            t_m1 = tp;
        } else {
            tp = std::exp((xk - x_s) * kKappa) * s.t;  // Poisson's equation
            wp = s.w;
        }
        const double bk = virtual_temperature(tp, wp) - tv_env;
        a.segment(x_prev, b_prev, z_prev, xk, bk, zk, saturated);
        if (stop(a)) return;
        x_prev = xk;
        z_prev = zk;
        b_prev = bk;
        tv_env_prev = tv_env;
    }

    // No LFC: no CAPE, and (as is usual) no CIN either.
    out[row::cape * stride] = 0.0;
    out[row::cin * stride] = 0.0;
    if (!a.lfc) return;
    out[row::cin * stride] = a.cin * kRd;
    // At the LCL itself, its pressure as computed, not through ln and back.
    out[row::lfc_pressure * stride] = a.lfc_x == x_lcl ? p_lcl : std::exp(a.lfc_x);
    out[row::lfc_height * stride] = a.lfc_z - z_sfc;
    double cape = a.net;  // still buoyant at the top: integrated to the top, no EL
    if (b_prev <= 0.0 && a.el) {
        cape = a.cape;
        out[row::el_pressure * stride] = std::exp(a.el_x);
        out[row::el_height * stride] = a.el_z - z_sfc;
    }
    out[row::cape * stride] = cape > 0.0 ? cape * kRd : 0.0;
}

}  // namespace parcel_detail

// Lets the ascent run to the top of the data.
struct FullAscent {
    constexpr bool operator()(const parcel_detail::Areas&) const { return false; }
};

// One column of L levels, in index order from the ground up. A level is
// usable when its pressure (> 0), temperature and height are finite and its
// pressure is below that of the last usable level; a missing dew point makes
// the environment dry there. Writes out[r * stride] for every row r and
// nothing else. `Levels` is `const double*` or anything else indexed so.
//
// `stop` sees the running areas after every level of the ascent; once it
// returns true the ascent ends there, leaving CAPE and CIN NaN: a caller that
// only needs to know whether a test on them passes can stop as soon as the
// areas so far decide it.
//
// `env` gives the environment's ln p, ln(P0 / p) and virtual temperature at a
// level, as parcel_detail::LevelEnvironment computes them: a caller lifting
// many parcels through one column can work them out once.
template <class Levels, class Stop, class Environment>
inline void parcel_ascent(Levels P, Levels T, Levels D, Levels Z, int64_t L, int32_t kind,
                          double* out, int64_t stride, const Stop& stop, Environment& env) {
    for (int64_t r = 0; r < parcel_row::count; ++r) out[r * stride] = kNaN;
    parcel_detail::Start s;
    double z_sfc;
    if (!parcel_detail::parcel_start(P, T, D, Z, L, kind, s, z_sfc)) return;
    parcel_detail::parcel_lift(P, T, Z, L, s, z_sfc, out, stride, stop, env);
}

// The whole ascent of one column, its environment worked out as it goes.
template <class Levels>
inline void parcel_column(Levels P, Levels T, Levels D, Levels Z, int64_t L, int32_t kind,
                          double* out, int64_t stride) {
    parcel_detail::LevelEnvironment<Levels> env{P, T, D};
    parcel_ascent(P, T, D, Z, L, kind, out, stride, FullAscent{}, env);
}

}  // namespace tarnwell
