// Missing data, as every kernel marks and recognises it.
#pragma once

#include <cmath>
#include <limits>

namespace tarnwell {

// Written wherever a result is undefined: the quiet NaN 0x7FF8000000000000.
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// NaN and both infinities mark a missing or unusable input value.
inline bool finite(double v) { return std::isfinite(v); }

}  // namespace tarnwell
