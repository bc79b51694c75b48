#include "gradient.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace tarnwell {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// NaN and both infinities are missing data.
inline bool usable(double v) { return std::isfinite(v); }

// Derivative at one point of a line from its value g0 at coordinate c0 and
// its neighbours (gm, cm) below and (gp, cp) above; `lo`/`up` say whether a
// neighbour exists and is usable. Centred over both intervals when both are
// there, one-sided when one is, NaN when none is or g0 itself is missing.
// The operands are chosen first so that exactly one subtraction of values,
// one of coordinates and one division are rounded, as in the scalar rule;
// choosing by selection instead of branching keeps the row loops flat.
inline double difference(double gm, double g0, double gp, double cm, double c0, double cp,
                         bool lo, bool up) {
    const double ga = up ? gp : g0;
    const double gb = lo ? gm : g0;
    const double ca = up ? cp : c0;
    const double cb = lo ? cm : c0;
    const double d = (ga - gb) / (ca - cb);
    return (usable(g0) && (lo || up)) ? d : kNaN;
}

struct Grid {
    const double* f;
    const double* x;
    const double* y;
    double* out;
    int64_t ny, nx, field, component;  // field = NY*NX, component = B*NY*NX
};

// Both components of one row. HasLo/HasUp: rows j-1 and j+1 exist. A missing
// row is stood in for by row j itself, never read as a neighbour.
template <bool HasLo, bool HasUp>
inline void gradient_row(const Grid& g, int64_t k, int64_t j) {
    const int64_t nx = g.nx;
    const double* row = g.f + k * g.field + j * nx;
    const double* below = HasLo ? row - nx : row;
    const double* above = HasUp ? row + nx : row;
    const double* x = g.x;
    const double yj = g.y[j];
    const double ym = HasLo ? g.y[j - 1] : yj;
    const double yp = HasUp ? g.y[j + 1] : yj;
    double* gx = g.out + k * g.field + j * nx;
    double* gy = gx + g.component;

    for (int64_t i = 0; i < nx; ++i) {
        gy[i] = difference(below[i], row[i], above[i], ym, yj, yp,
                           HasLo && usable(below[i]), HasUp && usable(above[i]));
    }

    if (nx == 1) {
        gx[0] = kNaN;
        return;
    }
    gx[0] = difference(row[0], row[0], row[1], x[0], x[0], x[1], false, usable(row[1]));
    for (int64_t i = 1; i < nx - 1; ++i) {
        gx[i] = difference(row[i - 1], row[i], row[i + 1], x[i - 1], x[i], x[i + 1],
                           usable(row[i - 1]), usable(row[i + 1]));
    }
    const int64_t e = nx - 1;
    gx[e] = difference(row[e - 1], row[e], row[e], x[e - 1], x[e], x[e], usable(row[e - 1]), false);
}

// Work item m: row m mod NY of field m div NY.
inline void gradient_item(const Grid& g, int64_t m) {
    const int64_t k = m / g.ny;
    const int64_t j = m % g.ny;
    const bool lo = j > 0;
    const bool up = j + 1 < g.ny;
    if (lo && up) gradient_row<true, true>(g, k, j);
    else if (lo) gradient_row<true, false>(g, k, j);
    else if (up) gradient_row<false, true>(g, k, j);
    else gradient_row<false, false>(g, k, j);
}

}  // namespace

result_array gradient(const farray& f, const farray& x, const farray& y, int32_t n_threads) {
    if (ndim(f) != 3) throw std::invalid_argument("f must be 3-D (batch, y, x)");
    const int64_t b = extent(f, 0);
    const int64_t ny = extent(f, 1);
    const int64_t nx = extent(f, 2);
    if (count(x) != nx) throw std::invalid_argument("coordinate size");
    if (count(y) != ny) throw std::invalid_argument("coordinate size");

    result_array out = make_result({2, b, ny, nx});
    const Grid grid{rptr(f), rptr(x), rptr(y), wptr(out), ny, nx, ny * nx, b * (ny * nx)};

    // Rows of zero points have nothing to compute; skipping them also keeps
    // B*NY, which an empty array does not bound, from being counted at all.
    const int64_t rows = nx > 0 ? b * ny : 0;
    run_released(rows, 8, n_threads, [&grid](int64_t m) { gradient_item(grid, m); });
    return out;
}

}  // namespace tarnwell
