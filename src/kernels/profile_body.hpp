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
// x - x is +0 for a finite x and NaN for NaN or an infinity, so the sum of the
// three differences is zero exactly when all three values are finite. One
// comparison and no constants: the walk's sums stay in registers.
template <class Levels>
inline bool usable_level(Levels z, Levels u, Levels v, int64_t k) {
    return ((z[k] - z[k]) + (u[k] - u[k])) + (v[k] - v[k]) == 0.0;
}

// Wind at height h by linear interpolation between the last usable level
// below h and the first usable level above it, scanning in index order.
// False when h lies outside the usable levels by more than the tolerance.
template <class Levels>
inline bool wind_at_height(Levels z, Levels u, Levels v, int64_t L, double h, double& uh,
                           double& vh) {
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
//
// The layer is found and integrated in one scan for an ordinary layer (top
// above bottom): every usable level met before the bottom search stops lies
// below the bottom, so the top search and the interior walk can take up where
// the bottom search stopped, and both end at the first usable level at or
// above the top. The walk's sums are then formed before the top wind is known;
// they are the same sums, and are dropped if the top is not found. Any other
// layer (empty, inverted, or with a non-finite end) takes the three separate
// scans. `Levels` is `const double*` or anything else indexed the same way.
template <class Levels>
inline void profile_column(Levels z, Levels u, Levels v, int64_t L, double ground, double bottom,
                           double top, double cu, double cv, double* out, int64_t stride) {
    using namespace profile_detail;
    namespace row = profile_row;
    auto no_result = [&] {
        for (int64_t r = 0; r < row::count; ++r) out[r * stride] = kNaN;
    };

    double base = ground;
    int64_t first = 0;  // levels before it are unusable
    if (!finite(base)) {
        // Without a ground height the layer is measured from the lowest
        // reported level (the first usable one in index order).
        while (first < L && !usable_level(z, u, v, first)) ++first;
        if (first == L) return no_result();
        base = z[first];
    }
    const double zb = base + bottom;
    const double zt = base + top;
    double ub, vb, ut, vt;
    double zp, up, vp;
    double H = 0.0, Su = 0.0, Sv = 0.0;

    if (zt > zb) {
        // Bottom search: the wind at zb, and where the scan stopped.
        int64_t m = -1, k = first;
        bool found = false;
        for (; k < L; ++k) {
            if (!usable_level(z, u, v, k)) continue;
            if (z[k] == zb) {
                ub = u[k];
                vb = v[k];
                found = true;
                break;
            }
            if (z[k] > zb) {
                if (m >= 0) {
                    const double w = (zb - z[m]) / (z[k] - z[m]);
                    ub = (u[k] - u[m]) * w + u[m];
                    vb = (v[k] - v[m]) * w + v[m];
                } else {
                    if (z[k] - zb > kTol) return no_result();
                    ub = u[k];
                    vb = v[k];
                }
                found = true;
                break;
            }
            m = k;
        }
        if (!found) {
            if (!(m >= 0 && zb - z[m] <= kTol)) return no_result();
            ub = u[m];
            vb = v[m];
        }
        // Top search and interior walk from the same level on.
        zp = zb;
        up = ub;
        vp = vb;
        found = false;
        for (; k < L; ++k) {
            if (!usable_level(z, u, v, k)) continue;
            const double zk = z[k];
            if (zk >= zt) {
                if (zk == zt) {
                    ut = u[k];
                    vt = v[k];
                } else if (m >= 0) {
                    const double w = (zt - z[m]) / (zk - z[m]);
                    ut = (u[k] - u[m]) * w + u[m];
                    vt = (v[k] - v[m]) * w + v[m];
                } else {
                    if (zk - zt > kTol) return no_result();
                    ut = u[k];
                    vt = v[k];
                }
                found = true;
                break;
            }
            m = k;
            if (zk <= zb) continue;
            const double uk = u[k], vk = v[k];
            const double dz = zk - zp;
            H = H + (((uk - cu) * (vp - cv)) - ((vk - cv) * (up - cu)));
            Su = Su + (((uk + up) * 0.5) * dz);
            Sv = Sv + (((vk + vp) * 0.5) * dz);
            zp = zk;
            up = uk;
            vp = vk;
        }
        if (!found) {
            if (!(m >= 0 && zt - z[m] <= kTol)) return no_result();
            ut = u[m];
            vt = v[m];
        }
    } else {
        if (!wind_at_height(z, u, v, L, zb, ub, vb)) return no_result();
        if (!wind_at_height(z, u, v, L, zt, ut, vt)) return no_result();
        // Polyline bottom point -> interior levels -> top point. Each helicity
        // term is twice the signed area swept by the storm-relative hodograph
        // between consecutive points; the means integrate by trapezoids in
        // height.
        zp = zb;
        up = ub;
        vp = vb;
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
    }
    out[row::u_bottom * stride] = ub;
    out[row::v_bottom * stride] = vb;
    out[row::u_top * stride] = ut;
    out[row::v_top * stride] = vt;
    // The last helicity term runs from the last interior level to the top.
    out[row::helicity * stride] =
        finite(cu) && finite(cv) ? (((vp - cv) * (ut - cu)) - ((up - cu) * (vt - cv))) + H : kNaN;
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
