#pragma once
#include "module/entry.hpp"

namespace tarnwell {
// Cold-pool intensity, layer depth and open-top flag for every column of
// (z, b); result (3, n). A finite `top` asks for a layer that deep, a
// non-finite one for the layer below the first buoyancy >= threshold.
result_array cold_pool(const farray& z, const farray& b, const farray& bottom, double threshold,
                       const farray& top, int32_t n_threads);
}  // namespace tarnwell
