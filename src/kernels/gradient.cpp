#include "kernels/gradient.hpp"

#include <stdexcept>

#include "kernels/gradient_body.hpp"

namespace tarnwell {

// Rows per chunk: a row is hundreds of points streamed from memory, so a
// few rows already outweigh the claim on the shared counter.
constexpr int64_t kGradientGrain = 8;

result_array gradient(const farray& f, const farray& x, const farray& y, int32_t n_threads) {
    if (ndim(f) != 3) throw std::invalid_argument("f must be 3-D (batch, y, x)");
    const int64_t b = extent(f, 0);
    const int64_t ny = extent(f, 1);
    const int64_t nx = extent(f, 2);
    if (count(x) != nx) throw std::invalid_argument("coordinate size");
    if (count(y) != ny) throw std::invalid_argument("coordinate size");

    result_array out = make_result({gradient_component::count, b, ny, nx});
    const GradientGrid grid{rptr(f), rptr(x), rptr(y), wptr(out), ny, nx, ny * nx, b * (ny * nx)};

    // Rows of zero points have nothing to compute; skipping them also keeps
    // B*NY, which an empty array does not bound, from being counted at all.
    const int64_t rows = nx > 0 ? b * ny : 0;
    run_released(rows, kGradientGrain, n_threads,
                 [&grid](int64_t m) { gradient_grid_row(grid, m); });
    return out;
}

}  // namespace tarnwell
