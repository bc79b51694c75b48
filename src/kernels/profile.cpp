#include "kernels/profile.hpp"

#include <stdexcept>

#include "kernels/profile_body.hpp"

namespace tarnwell {

// Columns per chunk: a column is tens of levels scanned up to three times, so
// 64 of them outweigh the claim on the shared counter.
constexpr int64_t kProfileGrain = 64;

result_array profile(const farray& z, const farray& u, const farray& v, const farray& ground,
                     double bottom, double top, const farray& cu, const farray& cv,
                     int32_t n_threads) {
    if (ndim(u) != 2) throw std::invalid_argument("u must be 2-D");
    const int64_t n = extent(u, 0);
    const int64_t L = extent(u, 1);
    if (count(z) != n * L) throw std::invalid_argument("shape mismatch");
    if (count(v) != n * L) throw std::invalid_argument("shape mismatch");
    if (count(ground) != n) throw std::invalid_argument("shape mismatch");
    if (count(cu) != n) throw std::invalid_argument("shape mismatch");
    if (count(cv) != n) throw std::invalid_argument("shape mismatch");

    result_array out = make_result({profile_row::count, n});
    const double* Z = rptr(z);
    const double* U = rptr(u);
    const double* V = rptr(v);
    const double* G = rptr(ground);
    const double* CU = rptr(cu);
    const double* CV = rptr(cv);
    double* R = wptr(out);

    run_released(n, kProfileGrain, n_threads, [=](int64_t i) {
        const int64_t off = i * L;
        profile_column(Z + off, U + off, V + off, L, G[i], bottom, top, CU[i], CV[i], R + i, n);
    });
    return out;
}

}  // namespace tarnwell
