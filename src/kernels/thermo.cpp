#include "thermo.hpp"

#include <cmath>
#include <stdexcept>

namespace tarnwell {
namespace {

constexpr double kP0 = 100000.0;
constexpr double kKappa = 0.28542059262205427;  // R_d / c_pd of Poisson's equation
constexpr double kEps = 0.6219569156569429;     // R_d / R_v

// One element. Every operation is rounded on its own, in this order, so the
// result matches a scalar evaluation bit for bit; Bolton (1980) for e_s, T_L
// and theta-e, with pressures in Pa.
inline void thermo_element(double T, double P, double D, double* out, int64_t n) {
    // A dew point above the temperature is supersaturation that the
    // formulas cannot represent: clamp to saturation.
    const double Dc = std::isnan(D) ? D : (D < T ? D : T);
    const double A = kP0 / P;
    const double Pi = std::pow(A, kKappa);
    const double theta = Pi * T;
    const double Tc = Dc - 273.15;
    const double e = std::exp((Tc * 17.67) / (Tc + 243.5)) * 611.2;
    const double w = (e * kEps) / (P - e);
    const double theta_v = ((w / kEps + 1.0) * theta) / (w + 1.0);
    const double r = w * 1000.0;
    const double L = std::log(T / Dc);
    const double TL = 1.0 / (L / 800.0 + 1.0 / (Dc - 56.0)) + 56.0;
    const double E = std::exp(((3.376 / TL - 0.00254) * r) * (r * 0.00081 + 1.0));
    // theta-e uses Bolton's own exponent 0.2854 (not kappa), moisture-corrected.
    const double Q = std::pow(A, (1.0 - r * 0.00028) * 0.2854);
    const double theta_e = E * (Q * T);
    out[0] = w;
    out[n] = theta;
    out[2 * n] = theta_v;
    out[3 * n] = theta_e;
}

}  // namespace

result_array thermo(const farray& t, const farray& p, const farray& td, int32_t n_threads) {
    const int64_t n = count(t);
    if (count(p) != n) throw std::invalid_argument("size mismatch");
    if (count(td) != n) throw std::invalid_argument("size mismatch");

    result_array out = make_result({4, n});
    const double* T = rptr(t);
    const double* P = rptr(p);
    const double* D = rptr(td);
    double* R = wptr(out);

    run_released(n, 4096, n_threads, [=](int64_t i) {
        thermo_element(T[i], P[i], D[i], R + i, n);
    });
    return out;
}

}  // namespace tarnwell
