#pragma once
#include "module/entry.hpp"

namespace tarnwell {
// d/dx and d/dy of every field of f (batch, y, x) on the grid x, y, with
// one-sided differences next to missing values; result (2, B, NY, NX).
result_array gradient(const farray& f, const farray& x, const farray& y, int32_t n_threads);
}  // namespace tarnwell
