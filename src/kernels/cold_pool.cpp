#include "cold_pool.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace tarnwell {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Missing data (NaN, ±inf) in either height or buoyancy removes the level.
inline bool usable(double z, double b) { return std::isfinite(z) && std::isfinite(b); }

// I = sqrt(2 * integral of -b dz). Positive buoyancy inside a fixed-depth
// layer can make the integral negative: there is no cold pool, so I = 0.
inline double intensity(double S) {
    double V = S + S;
    if (V < 0.0) V = 0.0;
    return std::sqrt(V);
}

// One column: levels z[0..L-1], b[0..L-1] in index order, never sorted. The
// layer starts at the first usable level at or above `bottom` (any level
// when `bottom` is not finite). Writes its three results, NaN when the column
// has none.
inline void cold_pool_column(const double* z, const double* b, int64_t L, double bottom,
                             double threshold, double top, double* out_i, double* out_depth,
                             double* out_open) {
    *out_i = kNaN;
    *out_depth = kNaN;
    *out_open = kNaN;

    const bool bounded = std::isfinite(bottom);
    int64_t s = 0;
    while (s < L && !(usable(z[s], b[s]) && (!bounded || z[s] >= bottom))) ++s;
    if (s == L) return;

    const double zs = z[s];
    double zp = zs;
    double bp = b[s];
    double sum = 0.0;

    if (std::isfinite(top)) {
        // Fixed depth: the layer's top lies `top` above the start level; the
        // buoyancy there is interpolated linearly in height.
        const double zt = zs + top;
        for (int64_t k = s + 1; k < L; ++k) {
            const double zk = z[k];
            const double bk = b[k];
            if (!usable(zk, bk)) continue;
            if (zk >= zt) {
                const double bt = ((bk - bp) * (zt - zp)) / (zk - zp) + bp;
                const double S = (((-bp) - bt) * 0.5) * (zt - zp) + sum;
                *out_i = intensity(S);
                *out_depth = top;
                *out_open = 0.0;
                return;
            }
            sum = sum + (((-bp) - bk) * 0.5) * (zk - zp);
            zp = zk;
            bp = bk;
        }
        return;  // the column ends below the requested top: no partial value
    }

    // Threshold mode: the layer is the air colder than `threshold` above the
    // start level; a NaN threshold is never reached.
    if (b[s] >= threshold) {
        *out_i = 0.0;
        *out_depth = 0.0;
        *out_open = 0.0;
        return;
    }
    for (int64_t k = s + 1; k < L; ++k) {
        const double zk = z[k];
        const double bk = b[k];
        if (!usable(zk, bk)) continue;
        if (bk >= threshold) {
            // Crossing height linear in buoyancy; the last partial trapezoid
            // runs from bp up to exactly the threshold.
            const double zc = ((zk - zp) * (threshold - bp)) / (bk - bp) + zp;
            const double S = (((-bp) - threshold) * 0.5) * (zc - zp) + sum;
            *out_i = intensity(S);
            *out_depth = zc - zs;
            *out_open = 0.0;
            return;
        }
        sum = sum + (((-bp) - bk) * 0.5) * (zk - zp);
        zp = zk;
        bp = bk;
    }
    // Still cold at the last usable level: the layer's top is not observed.
    *out_i = intensity(sum);
    *out_depth = zp - zs;
    *out_open = 1.0;
}

}  // namespace

result_array cold_pool(const farray& z, const farray& b, const farray& bottom, double threshold,
                       const farray& top, int32_t n_threads) {
    if (ndim(b) != 2 || ndim(z) != 2) throw std::invalid_argument("z and b must be 2-D");
    const int64_t n = extent(b, 0);
    const int64_t L = extent(b, 1);
    if (extent(z, 0) != n || extent(z, 1) != L) throw std::invalid_argument("shape mismatch");
    if (count(bottom) != n) throw std::invalid_argument("shape mismatch");
    if (count(top) != n) throw std::invalid_argument("shape mismatch");

    result_array out = make_result({3, n});
    const double* Z = rptr(z);
    const double* B = rptr(b);
    const double* BOT = rptr(bottom);
    const double* TOP = rptr(top);
    double* R = wptr(out);

    run_released(n, 64, n_threads, [=](int64_t i) {
        cold_pool_column(Z + i * L, B + i * L, L, BOT[i], threshold, TOP[i], R + i, R + n + i,
                         R + 2 * n + i);
    });
    return out;
}

}  // namespace tarnwell
