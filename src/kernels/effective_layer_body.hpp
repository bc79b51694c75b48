// Effective inflow layer of one column (Thompson et al. 2007), free of the
// Python binding.
//
// The layer is the lowest contiguous run of levels whose own surface-based
// parcel, lifted on the levels from it upward, has CAPE >= 100 J/kg and
// CIN >= -250 J/kg, among the levels within 300 hPa of the lowest usable one.
// Levels are walked from the bottom and the walk ends at the first level
// above the run that fails; each lift ends as soon as its CIN alone decides
// the test. parcels_and_layer_column computes the three parcels and the layer
// of a column together, sharing their lifts.
#pragma once

#include <cstdint>

#include "kernels/missing.hpp"
#include "kernels/parcel_body.hpp"

namespace tarnwell {

// Result rows of effective_layer; `count` rows in all.
namespace effective_row {
enum : int64_t {
    bottom_height,  // m above the lowest usable level
    top_height,
    bottom_pressure,  // Pa
    top_pressure,
    count
};
}

namespace effective_const {
constexpr double kMinCape = 100.0;        // J/kg
constexpr double kMinCin = -250.0;        // J/kg
constexpr double kSearchDepth = 30000.0;  // Pa above the lowest usable level
}  // namespace effective_const

namespace effective_detail {

// Ends a lift once its CIN is below the bound. Until the LFC is found every
// area added to CIN is <= 0 and rounding is monotone, so the running CIN only
// falls, and after the LFC it stays as it is: the final CIN is lower still,
// or without an LFC CAPE is 0. Either way the level fails, whatever lies above.
struct CinDecides {
    bool operator()(const parcel_detail::Areas& a) const {
        return a.cin * parcel_const::kRd < effective_const::kMinCin;
    }
};

// Columns up to this many levels keep their environment on the stack.
constexpr int64_t kCachedLevels = 256;

// The environment of one column, each level's values worked out once, when
// the first parcel reaches it, for every parcel lifted after it: the same
// expressions as the ascent's own, so the same values. `from` is the level
// the current parcel starts from, its level 0.
struct ColumnEnvironment {
    const double *P, *T, *D;
    double *log_p_, *log_a_, *tv_;
    int64_t filled = 0, from = 0;

    void fill_to(int64_t k) {
        const parcel_detail::LevelEnvironment<const double*> fresh{P, T, D};
        for (; filled <= k; ++filled) {
            log_p_[filled] = fresh.log_p(filled);
            log_a_[filled] = fresh.log_a(filled);
            tv_[filled] = fresh.tv(filled);
        }
    }
    double log_p(int64_t k) {
        fill_to(from + k);
        return log_p_[from + k];
    }
    double log_a(int64_t k) {
        fill_to(from + k);
        return log_a_[from + k];
    }
    double tv(int64_t k) {
        fill_to(from + k);
        return tv_[from + k];
    }
};

// Whether the parcel of level k, lifted on levels k .. L-1, passes both tests.
template <class Environment>
inline bool level_qualifies(const double* P, const double* T, const double* D, const double* Z,
                            int64_t L, int64_t k, Environment& env) {
    double r[parcel_row::count];
    parcel_ascent(P + k, T + k, D + k, Z + k, L - k, parcel_kind::surface_based, r, 1, CinDecides{},
                  env);
    // A lift that stopped early left CAPE NaN, which fails like any NaN.
    return r[parcel_row::cape] >= effective_const::kMinCape &&
           r[parcel_row::cin] >= effective_const::kMinCin;
}

// The walk up one column; `lifts(k)` tells whether level k's parcel passes.
template <class Lift>
inline void effective_layer_walk(const double* P, const double* T, const double* D, const double* Z,
                                 int64_t L, double* out, int64_t stride, const Lift& lifts) {
    using namespace effective_const;
    namespace row = effective_row;
    for (int64_t r = 0; r < row::count; ++r) out[r * stride] = kNaN;
    int64_t first = 0;
    while (first < L &&
           !(P[first] > 0.0 && finite(P[first]) && finite(T[first]) && finite(Z[first])))
        ++first;
    if (first == L) return;
    const double p_floor = P[first] - kSearchDepth;
    int64_t bottom = -1, top = -1;
    for (int64_t k = first; k < L; ++k) {
        const bool takes_part =
            finite(P[k]) && finite(T[k]) && finite(D[k]) && finite(Z[k]) && P[k] >= p_floor;
        if (takes_part && lifts(k)) {
            if (bottom < 0) bottom = k;
            top = k;
        } else if (bottom >= 0) {
            break;
        }
    }
    if (bottom < 0) return;
    out[row::bottom_height * stride] = Z[bottom] - Z[first];
    out[row::top_height * stride] = Z[top] - Z[first];
    out[row::bottom_pressure * stride] = P[bottom];
    out[row::top_pressure * stride] = P[top];
}

}  // namespace effective_detail

// One column of L levels from the ground up (pointers to its first level):
// writes out[r * stride] for every row r and nothing else; NaN in every row
// where no level qualifies.
//
// The search depth is measured from the lowest level whose pressure (> 0),
// temperature and height are finite, the parcel's ground; a level takes part
// when its pressure, temperature, dew point and height are finite and its
// pressure is within the depth. Any level that does not qualify ends a run,
// a missing one included.
inline void effective_layer_column(const double* P, const double* T, const double* D,
                                   const double* Z, int64_t L, double* out, int64_t stride) {
    using namespace effective_detail;
    if (L <= kCachedLevels) {
        double log_p[kCachedLevels], log_a[kCachedLevels], tv[kCachedLevels];
        ColumnEnvironment env{P, T, D, log_p, log_a, tv};
        effective_layer_walk(P, T, D, Z, L, out, stride, [&](int64_t k) {
            env.from = k;
            return level_qualifies(P, T, D, Z, L, k, env);
        });
        return;
    }
    effective_layer_walk(P, T, D, Z, L, out, stride, [&](int64_t k) {
        parcel_detail::LevelEnvironment<const double*> env{P + k, T + k, D + k};
        return level_qualifies(P, T, D, Z, L, k, env);
    });
}

// Which of a column's computations parcels_and_layer_column runs: bits.
namespace lift_part {
enum : int32_t {
    surface_based = 1 << parcel_kind::surface_based,
    mixed_layer = 1 << parcel_kind::mixed_layer,
    most_unstable = 1 << parcel_kind::most_unstable,
    effective_layer = 1 << parcel_kind::count,
    all = (1 << (parcel_kind::count + 1)) - 1
};
}

// Result rows of parcels_and_layer_column: the parcel rows of each kind in
// turn, in kind order, then the effective layer's.
namespace lifts_row {
enum : int64_t {
    layer = parcel_kind::count * parcel_row::count,
    count = layer + effective_row::count
};
}

namespace effective_detail {

inline bool same_start(const parcel_detail::Start& a, const parcel_detail::Start& b) {
    return a.level == b.level && a.p == b.p && a.t == b.t && a.w == b.w && a.td == b.td;
}

// The layer's test on the full ascent of a parcel: the same answer as the
// lift that CinDecides stops, which only stops where this fails too.
inline bool passes(const double* rows, int64_t stride) {
    return rows[parcel_row::cape * stride] >= effective_const::kMinCape &&
           rows[parcel_row::cin * stride] >= effective_const::kMinCin;
}

}  // namespace effective_detail

// The parts of one column named by `parts` (lift_part bits), each with the
// bits parcel_column and effective_layer_column give it; the rows of the
// parts not named are NaN. Writes out[r * stride] for every lifts_row r.
//
// One column, four computations that share their work: the environment of
// every level is worked out once for all of them; the most-unstable parcel
// that starts as the surface-based one does (its level, often the lowest,
// and so its air) is that parcel; and of the layer's lifts, the one from the
// lowest level is the surface-based parcel's and the one from the
// most-unstable parcel's level is that parcel's, started the same way and
// lifted on the same levels, so their full ascents answer the layer's test.
inline void parcels_and_layer_column(const double* P, const double* T, const double* D,
                                     const double* Z, int64_t L, int32_t parts, double* out,
                                     int64_t stride) {
    using namespace effective_detail;
    namespace part = lift_part;
    constexpr int64_t kRows = parcel_row::count;
    for (int64_t r = 0; r < lifts_row::count; ++r) out[r * stride] = kNaN;
    double* layer = out + lifts_row::layer * stride;
    if (L > kCachedLevels) {
        for (int32_t kind = 0; kind < parcel_kind::count; ++kind)
            if (parts & (1 << kind))
                parcel_column(P, T, D, Z, L, kind, out + kind * kRows * stride, stride);
        if (parts & part::effective_layer) effective_layer_column(P, T, D, Z, L, layer, stride);
        return;
    }
    double log_p[kCachedLevels], log_a[kCachedLevels], tv[kCachedLevels];
    ColumnEnvironment env{P, T, D, log_p, log_a, tv};
    parcel_detail::Start starts[parcel_kind::count];
    bool lifted[parcel_kind::count] = {};
    constexpr int32_t sb = parcel_kind::surface_based, mu = parcel_kind::most_unstable;
    for (int32_t kind = 0; kind < parcel_kind::count; ++kind) {
        if (!(parts & (1 << kind))) continue;
        double z_sfc;
        if (!parcel_detail::parcel_start(P, T, D, Z, L, kind, starts[kind], z_sfc)) continue;
        lifted[kind] = true;
        double* rows = out + kind * kRows * stride;
        if (kind == mu && lifted[sb] && same_start(starts[mu], starts[sb])) {
            for (int64_t r = 0; r < kRows; ++r) rows[r * stride] = out[(sb * kRows + r) * stride];
            continue;
        }
        env.from = 0;
        parcel_detail::parcel_lift(P, T, Z, L, starts[kind], z_sfc, rows, stride, FullAscent{},
                                   env);
    }
    if (!(parts & part::effective_layer)) return;
    effective_layer_walk(P, T, D, Z, L, layer, stride, [&](int64_t k) {
        for (const int32_t kind : {sb, mu})
            if (lifted[kind] && starts[kind].level == k)
                return passes(out + kind * kRows * stride, stride);
        env.from = k;
        return level_qualifies(P, T, D, Z, L, k, env);
    });
}

}  // namespace tarnwell
