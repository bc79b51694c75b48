#include "kernels/thermo.hpp"

#include <algorithm>
#include <stdexcept>

#include "kernels/thermo_body.hpp"

namespace tarnwell {

// Elements per chunk: the work per element is a few library calls, so a chunk
// must be long for the claim on the shared counter to stay negligible.
constexpr int64_t kThermoGrain = 4096;

result_array thermo(const farray& t, const farray& p, const farray& td, int32_t n_threads) {
    const int64_t n = count(t);
    if (count(p) != n) throw std::invalid_argument("size mismatch");
    if (count(td) != n) throw std::invalid_argument("size mismatch");

    result_array out = make_result({thermo_row::count, n});
    const double* T = rptr(t);
    const double* P = rptr(p);
    const double* D = rptr(td);
    double* R = wptr(out);

    // Work item: one element.
    run_released_chunks(n, kThermoGrain, n_threads, [=](int64_t first, int64_t last) {
        for (int64_t b = first; b < last; b += kThermoBlock)
            thermo_block(T + b, P + b, D + b, R + b, n, std::min(kThermoBlock, last - b));
    });
    return out;
}

}  // namespace tarnwell
