// Cold-pool diagnostics of one column, free of the Python binding.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/missing.hpp"

namespace tarnwell {

// Result rows of cold_pool; `count` rows in all.
namespace cold_pool_row {
enum : int64_t {
    intensity,  // sqrt(2 * integral of -b dz) over the cold layer
    depth,      // layer depth
    open_top,   // 1 when the column ends still cold, else 0
    count
};
}

namespace cold_pool_detail {

// Missing data in either height or buoyancy removes the level.
inline bool usable_level(double z, double b) { return finite(z) && finite(b); }

// I = sqrt(2 * integral of -b dz). Positive buoyancy inside a fixed-depth
// layer can make the integral negative: there is no cold pool, so I = 0.
inline double intensity_of(double S) {
    double V = S + S;
    if (V < 0.0) V = 0.0;
    return std::sqrt(V);
}

}  // namespace cold_pool_detail

// One column: levels z[0..L-1], b[0..L-1] in index order, never sorted. The
// layer starts at the first usable level at or above `bottom` (any level
// when `bottom` is not finite). Writes out[r * stride] for every row r, NaN
// in all of them when the column has no result. `Levels` is `const double*`
// or anything else indexed the same way (levels a fixed stride apart).
template <class Levels>
inline void cold_pool_column(Levels z, Levels b, int64_t L, double bottom, double threshold,
                             double top, double* out, int64_t stride) {
    using namespace cold_pool_detail;
    namespace row = cold_pool_row;
    for (int64_t r = 0; r < row::count; ++r) out[r * stride] = kNaN;

    const bool bounded = finite(bottom);
    int64_t s = 0;
    while (s < L && !(usable_level(z[s], b[s]) && (!bounded || z[s] >= bottom))) ++s;
    if (s == L) return;

    const double zs = z[s];
    double zp = zs;
    double bp = b[s];
    double sum = 0.0;

    if (finite(top)) {
        // Fixed depth: the layer's top lies `top` above the start level; the
        // buoyancy there is interpolated linearly in height.
        const double zt = zs + top;
        for (int64_t k = s + 1; k < L; ++k) {
            const double zk = z[k];
            const double bk = b[k];
            if (!usable_level(zk, bk)) continue;
            if (zk >= zt) {
                const double bt = ((bk - bp) * (zt - zp)) / (zk - zp) + bp;
                const double S = (((-bp) - bt) * 0.5) * (zt - zp) + sum;
                out[row::intensity * stride] = intensity_of(S);
                out[row::depth * stride] = top;
                out[row::open_top * stride] = 0.0;
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
        out[row::intensity * stride] = 0.0;
        out[row::depth * stride] = 0.0;
        out[row::open_top * stride] = 0.0;
        return;
    }
    for (int64_t k = s + 1; k < L; ++k) {
        const double zk = z[k];
        const double bk = b[k];
        if (!usable_level(zk, bk)) continue;
        if (bk >= threshold) {
            // Crossing height linear in buoyancy; the last partial trapezoid
            // runs from bp up to exactly the threshold.
            const double zc = ((zk - zp) * (threshold - bp)) / (bk - bp) + zp;
            const double S = (((-bp) - threshold) * 0.5) * (zc - zp) + sum;
            out[row::intensity * stride] = intensity_of(S);
            out[row::depth * stride] = zc - zs;
            out[row::open_top * stride] = 0.0;
            return;
        }
        sum = sum + (((-bp) - bk) * 0.5) * (zk - zp);
        zp = zk;
        bp = bk;
    }
    // Still cold at the last usable level: the layer's top is not observed.
    out[row::intensity * stride] = intensity_of(sum);
    out[row::depth * stride] = zp - zs;
    out[row::open_top * stride] = 1.0;
}

}  // namespace tarnwell
