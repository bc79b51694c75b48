#pragma once
#include "module/entry.hpp"

namespace tarnwell {
// Mixing ratio, theta, theta-v and theta-e for every element; result (4, N).
result_array thermo(const farray& t, const farray& p, const farray& td, int32_t n_threads);
}  // namespace tarnwell
