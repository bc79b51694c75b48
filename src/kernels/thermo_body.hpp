// Thermodynamic fields of one block of elements, free of the Python binding.
#pragma once

#include <cmath>
#include <cstdint>

namespace tarnwell {

// Result rows of thermo, one field each; `count` rows in all.
namespace thermo_row {
enum : int64_t {
    mixing_ratio,  // w, kg/kg
    theta,         // K
    theta_v,       // K
    theta_e,       // K
    count
};
}

namespace thermo_const {
constexpr double kP0 = 100000.0;                // reference pressure of theta and theta-e, Pa
constexpr double kKappa = 0.28542059262205427;  // R_d / c_pd of Poisson's equation
constexpr double kEps = 0.6219569156569429;     // R_d / R_v
}  // namespace thermo_const

// Elements a block holds: enough to fill vector lanes between the library
// calls, small enough that its stages stay in L1.
constexpr int64_t kThermoBlock = 64;

// Load-time choice between clones needs the ELF loader's indirect functions
// on x86-64; elsewhere (ARM, macOS, Windows) the one portable build runs. Under
// ThreadSanitizer the loader would run the instrumented resolver of a program
// before the sanitizer's runtime exists, so that build takes the portable path
// too (both give the same bits).
#if defined(__x86_64__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(__SANITIZE_THREAD__)
#define TARNWELL_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TARNWELL_AVX2_CLONES
#endif

// Elements [0, m), m <= kThermoBlock, of t, p, td; field r of element k goes
// to out[r * stride + k]. Each element sees exactly the scalar sequence of
// operations below, each rounded on its own (Bolton 1980 for e_s, T_L and
// theta-e, with pressures in Pa), but the block is evaluated stage by stage:
// the arithmetic between library calls then runs over independent elements,
// so the compiler can vectorise it and the divisions overlap instead of
// stalling one long dependency chain per element. An AVX2 clone, chosen at
// load time where the CPU has it, divides four lanes at once; IEEE division
// rounds each lane alike and nothing is contracted into fused multiply-adds,
// so both clones give the same bits.
TARNWELL_AVX2_CLONES static void thermo_block(const double* __restrict__ T,
                                              const double* __restrict__ P,
                                              const double* __restrict__ D,
                                              double* __restrict__ out, int64_t stride, int64_t m) {
    using namespace thermo_const;
    double A[kThermoBlock], Dc[kThermoBlock], x1[kThermoBlock], q[kThermoBlock];
    double Pi[kThermoBlock], ex1[kThermoBlock], L[kThermoBlock], x2[kThermoBlock], y2[kThermoBlock];
    double* const W = out + thermo_row::mixing_ratio * stride;
    double* const Th = out + thermo_row::theta * stride;
    double* const Thv = out + thermo_row::theta_v * stride;
    double* const The = out + thermo_row::theta_e * stride;
    for (int64_t k = 0; k < m; ++k) {
        // A dew point above the temperature is supersaturation that the
        // formulas cannot represent: clamp to saturation. NaN stays NaN.
        const double d = D[k], t = T[k];
        const double dc = d < t ? d : (d != d ? d : t);
        Dc[k] = dc;
        A[k] = kP0 / P[k];
        const double tc = dc - 273.15;
        x1[k] = (tc * 17.67) / (tc + 243.5);
        q[k] = t / dc;
    }
    for (int64_t k = 0; k < m; ++k) Pi[k] = std::pow(A[k], kKappa);
    for (int64_t k = 0; k < m; ++k) ex1[k] = std::exp(x1[k]);
    for (int64_t k = 0; k < m; ++k) L[k] = std::log(q[k]);
    for (int64_t k = 0; k < m; ++k) {
        const double theta = Pi[k] * T[k];
        const double e = ex1[k] * 611.2;
        const double w = (e * kEps) / (P[k] - e);
        const double theta_v = ((w / kEps + 1.0) * theta) / (w + 1.0);
        const double r = w * 1000.0;
        const double TL = 1.0 / (L[k] / 800.0 + 1.0 / (Dc[k] - 56.0)) + 56.0;
        x2[k] = ((3.376 / TL - 0.00254) * r) * (r * 0.00081 + 1.0);
        // theta-e takes Bolton's own exponent 0.2854 (not kappa), moisture-corrected.
        y2[k] = (1.0 - r * 0.00028) * 0.2854;
        W[k] = w;
        Th[k] = theta;
        Thv[k] = theta_v;
    }
    for (int64_t k = 0; k < m; ++k) {
        const double E = std::exp(x2[k]);
        const double Q = std::pow(A[k], y2[k]);
        The[k] = E * (Q * T[k]);
    }
}

}  // namespace tarnwell
