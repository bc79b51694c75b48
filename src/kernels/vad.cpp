#include "kernels/vad.hpp"

#include <stdexcept>

#include "kernels/vad_body.hpp"

namespace tarnwell {

// Rings per chunk: a ring is hundreds of gates and five passes of library
// calls, so 64 of them outweigh the claim on the shared counter.
constexpr int64_t kVadGrain = 64;

result_array vad(const farray& vr, const farray& az, const farray& cos_el, int64_t min_gates,
                 double min_spread, int32_t n_threads) {
    if (ndim(vr) != 2) throw std::invalid_argument("vr, az must be 2-D");
    if (ndim(az) != 2) throw std::invalid_argument("vr, az must be 2-D");
    const int64_t n = extent(vr, 0);
    const int64_t M = extent(vr, 1);
    if (extent(az, 0) != n) throw std::invalid_argument("shape mismatch");
    if (extent(az, 1) != M) throw std::invalid_argument("shape mismatch");
    if (count(cos_el) != n) throw std::invalid_argument("shape mismatch");

    result_array out = make_result({vad_row::count, n});
    const double* Y = rptr(vr);
    const double* Az = rptr(az);
    const double* C = rptr(cos_el);
    double* R = wptr(out);

    run_released(n, kVadGrain, n_threads, [=](int64_t i) {
        vad_ring(Y + i * M, Az + i * M, M, C[i], min_gates, min_spread, R + i, n);
    });
    return out;
}

}  // namespace tarnwell
