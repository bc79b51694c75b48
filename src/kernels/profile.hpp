#pragma once
#include "module/entry.hpp"

namespace tarnwell {
// Winds at the bottom and top of a layer above ground, its storm-relative
// helicity and its height-weighted mean wind, for every column; result (7, n).
result_array profile(const farray& z, const farray& u, const farray& v, const farray& ground,
                     double bottom, double top, const farray& cu, const farray& cv,
                     int32_t n_threads);
}  // namespace tarnwell
