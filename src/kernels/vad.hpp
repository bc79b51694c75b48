#pragma once
#include "module/entry.hpp"

namespace tarnwell {
// Velocity-azimuth-display fits (first, then first and second harmonics) of
// every ring of radar gates; result (8, R).
result_array vad(const farray& vr, const farray& az, const farray& cos_el, int64_t min_gates,
                 double min_spread, int32_t n_threads);
}  // namespace tarnwell
