// Layer wind profile of one column, free of the Python binding.
#pragma once

#include <cstdint>

#include "kernels/missing.hpp"

namespace tarnwell {

// Result rows of profile; `count` rows in all.
namespace profile_row {
enum : int64_t {
    u_bottom,
    v_bottom,
    u_top,
    v_top,
    helicity,  // storm-relative, units of u*v
    u_mean,    // height-weighted over the layer
    v_mean,
    count
};
}

namespace profile_detail {

// A layer end this close outside the data (in units of z) still takes the
// end level's wind, so that round-off in ground + bottom does not lose it.
constexpr double kTol = 1e-6;

// A level takes part only when its height and both wind components are known.
inline bool usable_level(const double* z, const double* u, const double* v, int64_t k) {
    return finite(z[k]) && finite(u[k]) && finite(v[k]);
}

// Wind at height h by linear interpolation between the last usable level
// below h and the first usable level above it, scanning in index order.
// False when h lies outside the usable levels by more than the tolerance.
inline bool wind_at_height(const double* z, const double* u, const double* v, int64_t L, double h,
                           double& uh, double& vh) {
    int64_t m = -1;
    for (int64_t k = 0; k < L; ++k) {
        if (!usable_level(z, u, v, k)) continue;
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

}  // namespace profile_detail

// One column of L levels: writes out[r * stride] for every row r and nothing
// else.
inline void profile_column(const double* z, const double* u, const double* v, int64_t L,
                           double ground, double bottom, double top, double cu, double cv,
                           double* out, int64_t stride) {
    using namespace profile_detail;
    namespace row = profile_row;
    for (int64_t r = 0; r < row::count; ++r) out[r * stride] = kNaN;

    double base = ground;
    if (!finite(base)) {
        // Without a ground height the layer is measured from the lowest
        // reported level (the first usable one in index order).
        int64_t k = 0;
        while (k < L && !usable_level(z, u, v, k)) ++k;
        if (k == L) return;
        base = z[k];
    }
    const double zb = base + bottom;
    double ub, vb;
    if (!wind_at_height(z, u, v, L, zb, ub, vb)) return;
    const double zt = base + top;
    double ut, vt;
    if (!wind_at_height(z, u, v, L, zt, ut, vt)) return;
    out[row::u_bottom * stride] = ub;
    out[row::v_bottom * stride] = vb;
    out[row::u_top * stride] = ut;
    out[row::v_top * stride] = vt;

    // Polyline bottom point -> interior levels -> top point. Each helicity
    // term is twice the signed area swept by the storm-relative hodograph
    // between consecutive points; the means integrate by trapezoids in height.
    double zp = zb, up = ub, vp = vb;
    double H = 0.0, Su = 0.0, Sv = 0.0;
    for (int64_t k = 0; k < L; ++k) {
        if (!usable_level(z, u, v, k) || z[k] <= zb) continue;
        if (z[k] >= zt) break;
        const double dz = z[k] - zp;
        H = H + (((u[k] - cu) * (vp - cv)) - ((v[k] - cv) * (up - cu)));
        Su = Su + (((u[k] + up) * 0.5) * dz);
        Sv = Sv + (((v[k] + vp) * 0.5) * dz);
        zp = z[k];
        up = u[k];
        vp = v[k];
    }
    if (finite(cu) && finite(cv)) {
        out[row::helicity * stride] = (((vp - cv) * (ut - cu)) - ((up - cu) * (vt - cv))) + H;
    }
    if (zt > zb) {
        const double depth = zt - zb;
        out[row::u_mean * stride] = ((((up + ut) * 0.5) * (zt - zp)) + Su) / depth;
        out[row::v_mean * stride] = ((((vp + vt) * 0.5) * (zt - zp)) + Sv) / depth;
    } else {
        // An empty or inverted layer has no thickness to average over.
        out[row::u_mean * stride] = ub;
        out[row::v_mean * stride] = vb;
    }
}

}  // namespace tarnwell
