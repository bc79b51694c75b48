#include "thermo.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace tarnwell {
namespace {

constexpr double kP0 = 100000.0;
constexpr double kKappa = 0.28542059262205427;  // R_d / c_pd of Poisson's equation
constexpr double kEps = 0.6219569156569429;     // R_d / R_v

constexpr int64_t kBlock = 64;

// Load-time choice between clones needs the ELF loader's indirect functions
// on x86-64; elsewhere (ARM, macOS, Windows) the one portable build runs.
#if defined(__x86_64__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define TARNWELL_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TARNWELL_AVX2_CLONES
#endif

// Elements [first, first + m), m <= kBlock. Each element sees exactly the
// scalar sequence of operations below, each rounded on its own (Bolton 1980
// for e_s, T_L and theta-e, with pressures in Pa), but the block is evaluated
// stage by stage: the arithmetic between library calls then runs over
// independent elements, so the compiler can vectorise it and the divisions
// overlap instead of stalling one long dependency chain per element. An AVX2
// clone, chosen at load time where the CPU has it, divides four lanes at once;
// IEEE division rounds each lane alike and nothing is contracted into fused
// multiply-adds, so both clones give the same bits.
TARNWELL_AVX2_CLONES void thermo_block(
    const double* __restrict__ T, const double* __restrict__ P, const double* __restrict__ D,
    double* __restrict__ R, int64_t n, int64_t first, int64_t m) {
    double A[kBlock], Dc[kBlock], x1[kBlock], q[kBlock];
    double Pi[kBlock], ex1[kBlock], L[kBlock], x2[kBlock], y2[kBlock];
    T += first;
    P += first;
    D += first;
    R += first;
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
        R[k] = w;
        R[n + k] = theta;
        R[2 * n + k] = theta_v;
    }
    for (int64_t k = 0; k < m; ++k) {
        const double E = std::exp(x2[k]);
        const double Q = std::pow(A[k], y2[k]);
        R[3 * n + k] = E * (Q * T[k]);
    }
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

    // Work item: one element; grain 4096 elements.
    run_released_chunks(n, 4096, n_threads, [=](int64_t first, int64_t last) {
        for (int64_t b = first; b < last; b += kBlock)
            thermo_block(T, P, D, R, n, b, std::min(kBlock, last - b));
    });
    return out;
}

}  // namespace tarnwell
