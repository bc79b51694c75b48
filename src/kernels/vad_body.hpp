// Velocity-azimuth-display fits of one ring of gates, free of the Python binding.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/missing.hpp"

namespace tarnwell {

// Result rows of vad; `count` rows in all.
namespace vad_row {
enum : int64_t {
    u,      // first-order sine coefficient / cos(elevation): wind toward azimuth pi/2
    v,      // first-order cosine coefficient / cos(elevation): wind toward azimuth 0
    a0,     // intercept of the first-order fit
    rms,    // root-mean-square residual of the first-order fit
    gates,  // valid gates of the ring, always written
    a0_2,   // intercept of the second-order fit
    sin2,   // coefficient of sin 2az
    cos2,   // coefficient of cos 2az
    count
};
}

namespace vad_detail {

// Three coefficients need at least three gates, whatever the caller asks.
constexpr double kLeastGates = 3.0;
// Evenly spread gates reach 0.25 in the 2x2 and 0.0625 in the 4x4 coverage
// determinant, so this factor asks the same fraction of both.
constexpr double kSecondSpread = 0.25;

// A gate takes part only when both its values are finite: NaN, +inf and
// -inf all mark a missing or unusable measurement.
inline bool usable_gate(const double* y, const double* a, int64_t j) {
    return finite(y[j]) && finite(a[j]);
}

// Solves A x = b in place (x overwrites b) by Gaussian elimination with
// partial pivoting; returns det A, the signed product of the pivots in column
// order, or 0 at the first vanishing pivot (b is then left unsolved).
inline double solve4(double A[4][4], double b[4]) {
    double det = 1.0;
    for (int k = 0; k < 4; ++k) {
        int p = k;
        for (int j = k + 1; j < 4; ++j)
            if (std::fabs(A[j][k]) > std::fabs(A[p][k])) p = j;  // strict: ties keep the upper row
        if (A[p][k] == 0.0) return 0.0;
        if (p != k) {
            for (int c = 0; c < 4; ++c) {
                const double t = A[k][c];
                A[k][c] = A[p][c];
                A[p][c] = t;
            }
            const double t = b[k];
            b[k] = b[p];
            b[p] = t;
            det = -det;
        }
        det = det * A[k][k];
        for (int j = k + 1; j < 4; ++j) {
            const double f = A[j][k] / A[k][k];
            for (int c = k; c < 4; ++c) A[j][c] = A[j][c] - f * A[k][c];
            b[j] = b[j] - f * b[k];
        }
    }
    const double x3 = b[3] / A[3][3];
    const double x2 = (b[2] - A[2][3] * x3) / A[2][2];
    const double x1 = ((b[1] - A[1][2] * x2) - A[1][3] * x3) / A[1][1];
    const double x0 = (((b[0] - x1 * A[0][1]) - x2 * A[0][2]) - x3 * A[0][3]) / A[0][0];
    b[0] = x0;
    b[1] = x1;
    b[2] = x2;
    b[3] = x3;
    return det;
}

}  // namespace vad_detail

// One ring of m gates: radial velocities y, azimuths a (radians), cosine of
// elevation c. Writes out[r * stride] for every row r. Every sum runs over
// the valid gates in index order, one rounding per operation, each into its
// own accumulator. The harmonics are recomputed in each pass rather than
// stored, so a ring needs no memory beyond these scalars; but sums that do
// not depend on each other share a pass and so one evaluation of sin and cos
// (the library call dominates the cost): the centred first-order sums share
// theirs with the doubled-angle means, and the residuals with the normal
// equations. Interleaving independent accumulators changes none of them.
inline void vad_ring(const double* y, const double* a, int64_t m, double c, int64_t min_gates,
                     double min_spread, double* out, int64_t stride) {
    using namespace vad_detail;
    namespace row = vad_row;
    for (int64_t r = 0; r < row::count; ++r) out[r * stride] = kNaN;

    double n = 0.0, Ss = 0.0, Sc = 0.0, Sy = 0.0;
    for (int64_t j = 0; j < m; ++j) {
        if (!usable_gate(y, a, j)) continue;
        n = n + 1.0;
        Ss = Ss + std::sin(a[j]);
        Sc = Sc + std::cos(a[j]);
        Sy = Sy + y[j];
    }
    out[row::gates * stride] = n;
    if (static_cast<double>(min_gates) > n) return;
    if (kLeastGates > n) return;
    const double ms = Ss / n, mc = Sc / n, my = Sy / n;

    // Centred sums: the regression on anomalies decouples the intercept and
    // avoids the cancellation of raw second moments. The doubled-angle sums
    // need no mean, so they ride along (unused if the ring fails coverage).
    double Scs = 0.0, Sys = 0.0, Sss = 0.0, Scc = 0.0, Syc = 0.0;
    double S2s = 0.0, S2c = 0.0;
    for (int64_t j = 0; j < m; ++j) {
        if (!usable_gate(y, a, j)) continue;
        const double ds = std::sin(a[j]) - ms;
        const double dc = std::cos(a[j]) - mc;
        const double dy = y[j] - my;
        Scs = Scs + dc * ds;
        Sys = Sys + dy * ds;
        Sss = Sss + ds * ds;
        Scc = Scc + dc * dc;
        Syc = Syc + dy * dc;
        const double t = a[j] + a[j];
        S2s = S2s + std::sin(t);
        S2c = S2c + std::cos(t);
    }
    // Determinant of the (sin, cos) covariance: how well the azimuths cover
    // the circle. A NaN ratio fails the comparison and rejects the ring.
    const double D1 = (Scc * Sss) - (Scs * Scs);
    const double rho1 = D1 / (n * n);
    if (!(rho1 >= min_spread)) return;

    const double Bs = ((Sys * Scc) - (Syc * Scs)) / D1;
    const double Bc = ((Syc * Sss) - (Sys * Scs)) / D1;
    const double a0 = (my - Bs * ms) - Bc * mc;
    const double ms2 = S2s / n, mc2 = S2c / n;

    // Residuals of the first-order fit, and the normal equations of the
    // centred four-harmonic model. A[r][q] and A[q][r] add the same products
    // in the same order, so summing one triangle and mirroring it is exact.
    double SSR = 0.0;
    double A[4][4] = {};
    double b[4] = {};
    for (int64_t j = 0; j < m; ++j) {
        if (!usable_gate(y, a, j)) continue;
        const double s1 = std::sin(a[j]);
        const double c1 = std::cos(a[j]);
        const double res = ((y[j] - a0) - s1 * Bs) - c1 * Bc;
        SSR = SSR + res * res;
        const double t = a[j] + a[j];
        const double g[4] = {s1 - ms, c1 - mc, std::sin(t) - ms2, std::cos(t) - mc2};
        const double dy = y[j] - my;
        for (int r = 0; r < 4; ++r) {
            for (int q = r; q < 4; ++q) A[r][q] = A[r][q] + g[r] * g[q];
            b[r] = b[r] + g[r] * dy;
        }
    }
    // Radial velocity is the horizontal wind projected on the beam, scaled by
    // cos(elevation): dividing it out recovers u and v.
    out[row::u * stride] = Bs / c;
    out[row::v * stride] = Bc / c;
    out[row::a0 * stride] = a0;
    out[row::rms * stride] = std::sqrt(SSR / n);

    for (int r = 1; r < 4; ++r)
        for (int q = 0; q < r; ++q) A[r][q] = A[q][r];

    const double det = solve4(A, b);
    if (det == 0.0) return;
    const double rho2 = det / (((n * n) * n) * n);
    if (!(rho2 >= min_spread * kSecondSpread)) return;
    out[row::a0_2 * stride] = (((my - b[0] * ms) - b[1] * mc) - b[2] * ms2) - b[3] * mc2;
    out[row::sin2 * stride] = b[2];
    out[row::cos2 * stride] = b[3];
}

}  // namespace tarnwell
