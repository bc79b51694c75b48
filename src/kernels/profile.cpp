#include "profile.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace tarnwell {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A layer end this close outside the data (in units of z) still takes the
// end level's wind, so that round-off in ground + bottom does not lose it.
constexpr double kTol = 1e-6;

// A level takes part only when its height and both wind components are known.
inline bool usable(const double* z, const double* u, const double* v, int64_t k) {
    return std::isfinite(z[k]) && std::isfinite(u[k]) && std::isfinite(v[k]);
}

// Wind at height h by linear interpolation between the last usable level
// below h and the first usable level above it, scanning in index order.
// False when h lies outside the usable levels by more than the tolerance.
inline bool wind_at_height(const double* z, const double* u, const double* v, int64_t L,
                           double h, double& uh, double& vh) {
    int64_t m = -1;
    for (int64_t k = 0; k < L; ++k) {
        if (!usable(z, u, v, k)) continue;
        if (z[k] == h) {
            uh = u[k];
            vh = v[k];
            return true;
        }
        if (z[k] > h) {
            if (m >= 0) {
                const double w = (h - z[m]) / (z[k] - z[m]);
                uh = (u[k] - u[m]) * w + u[m];
                vh = (v[k] - v[m]) * w + v[m];
                return true;
            }
            if (z[k] - h > kTol) return false;
            uh = u[k];
            vh = v[k];
            return true;
        }
        m = k;  // below h, or h is NaN
    }
    // A NaN target fails this comparison too: never found.
    if (m >= 0 && h - z[m] <= kTol) {
        uh = u[m];
        vh = v[m];
        return true;
    }
    return false;
}

// One column: writes out[r * stride] for r = 0..6 and nothing else.
inline void profile_column(const double* z, const double* u, const double* v, int64_t L,
                           double ground, double bottom, double top, double cu, double cv,
                           double* out, int64_t stride) {
    for (int r = 0; r < 7; ++r) out[r * stride] = kNaN;

    double base = ground;
    if (!std::isfinite(base)) {
        // Without a ground height the layer is measured from the lowest
        // reported level (the first usable one in index order).
        int64_t k = 0;
        while (k < L && !usable(z, u, v, k)) ++k;
        if (k == L) return;
        base = z[k];
    }
    const double zb = base + bottom;
    double ub, vb;
    if (!wind_at_height(z, u, v, L, zb, ub, vb)) return;
    const double zt = base + top;
    double ut, vt;
    if (!wind_at_height(z, u, v, L, zt, ut, vt)) return;
    out[0] = ub;
    out[stride] = vb;
    out[2 * stride] = ut;
    out[3 * stride] = vt;

    // Polyline bottom point -> interior levels -> top point. Each helicity
    // term is twice the signed area swept by the storm-relative hodograph
    // between consecutive points; the means integrate by trapezoids in height.
    double zp = zb, up = ub, vp = vb;
    double H = 0.0, Su = 0.0, Sv = 0.0;
    for (int64_t k = 0; k < L; ++k) {
        if (!usable(z, u, v, k) || z[k] <= zb) continue;
        if (z[k] >= zt) break;
        const double dz = z[k] - zp;
        H = H + (((u[k] - cu) * (vp - cv)) - ((v[k] - cv) * (up - cu)));
        Su = Su + (((u[k] + up) * 0.5) * dz);
        Sv = Sv + (((v[k] + vp) * 0.5) * dz);
        zp = z[k];
        up = u[k];
        vp = v[k];
    }
    if (std::isfinite(cu) && std::isfinite(cv)) {
        out[4 * stride] = (((vp - cv) * (ut - cu)) - ((up - cu) * (vt - cv))) + H;
    }
    if (zt > zb) {
        const double depth = zt - zb;
        out[5 * stride] = ((((up + ut) * 0.5) * (zt - zp)) + Su) / depth;
        out[6 * stride] = ((((vp + vt) * 0.5) * (zt - zp)) + Sv) / depth;
    } else {
        // An empty or inverted layer has no thickness to average over.
        out[5 * stride] = ub;
        out[6 * stride] = vb;
    }
}

}  // namespace

result_array profile(const farray& z, const farray& u, const farray& v, const farray& ground,
                     double bottom, double top, const farray& cu, const farray& cv,
                     int32_t n_threads) {
    if (ndim(u) != 2) throw std::invalid_argument("u must be 2-D");
    const int64_t n = extent(u, 0);
    const int64_t L = extent(u, 1);
    if (count(z) != n * L) throw std::invalid_argument("shape mismatch");
    if (count(v) != n * L) throw std::invalid_argument("shape mismatch");
    if (count(ground) != n) throw std::invalid_argument("shape mismatch");
    if (count(cu) != n) throw std::invalid_argument("shape mismatch");
    if (count(cv) != n) throw std::invalid_argument("shape mismatch");

    result_array out = make_result({7, n});
    const double* Z = rptr(z);
    const double* U = rptr(u);
    const double* V = rptr(v);
    const double* G = rptr(ground);
    const double* CU = rptr(cu);
    const double* CV = rptr(cv);
    double* R = wptr(out);

    run_released(n, 64, n_threads, [=](int64_t i) {
        const int64_t off = i * L;
        profile_column(Z + off, U + off, V + off, L, G[i], bottom, top, CU[i], CV[i], R + i, n);
    });
    return out;
}

}  // namespace tarnwell
