#include "kernels/cold_pool.hpp"

#include <stdexcept>

#include "kernels/cold_pool_body.hpp"

namespace tarnwell {

// Columns per chunk: a column is tens of levels, so 64 of them outweigh the
// claim on the shared counter while still balancing a few thousand columns.
constexpr int64_t kColdPoolGrain = 64;

result_array cold_pool(const farray& z, const farray& b, const farray& bottom, double threshold,
                       const farray& top, int32_t n_threads) {
    if (ndim(b) != 2 || ndim(z) != 2) throw std::invalid_argument("z and b must be 2-D");
    const int64_t n = extent(b, 0);
    const int64_t L = extent(b, 1);
    if (extent(z, 0) != n || extent(z, 1) != L) throw std::invalid_argument("shape mismatch");
    if (count(bottom) != n) throw std::invalid_argument("shape mismatch");
    if (count(top) != n) throw std::invalid_argument("shape mismatch");

    result_array out = make_result({cold_pool_row::count, n});
    const double* Z = rptr(z);
    const double* B = rptr(b);
    const double* BOT = rptr(bottom);
    const double* TOP = rptr(top);
    double* R = wptr(out);

    run_released(n, kColdPoolGrain, n_threads, [=](int64_t i) {
        cold_pool_column(Z + i * L, B + i * L, L, BOT[i], threshold, TOP[i], R + i, n);
    });
    return out;
}

}  // namespace tarnwell
