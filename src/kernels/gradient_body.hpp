// Horizontal gradient of one grid row, free of the Python binding.
#pragma once

#include <cstdint>

#include "kernels/missing.hpp"
#include "kernels/simd.hpp"

namespace tarnwell {

// Result components of gradient (each a whole (B, NY, NX) block); `count` in all.
namespace gradient_component {
enum : int64_t {
    d_dx,  // along the last axis, with respect to x
    d_dy,  // along the middle axis, with respect to y
    count
};
}

// The batch of fields f (B, NY, NX) on the grid x (NX), y (NY), and where its
// derivatives go: component r of the whole batch starts at out + r * stride.
struct GradientGrid {
    const double* f;
    const double* x;
    const double* y;
    double* out;
    int64_t ny, nx, field, stride;  // field = NY*NX, stride = B*NY*NX
};

namespace gradient_detail {

// Derivative at one point of a line from its value g0 at coordinate c0 and
// its neighbours (gm, cm) below and (gp, cp) above; `lo`/`up` say whether a
// neighbour exists and is usable. Centred over both intervals when both are
// there, one-sided when one is, NaN when none is or g0 itself is missing.
// The operands are chosen first, so exactly one subtraction of values, one of
// coordinates and one division are rounded, as the scalar rule writes them.
template <class V, class M>
inline V difference(V gm, V g0, V gp, V cm, V c0, V cp, M lo, M up) {
    const V ga = select(up, gp, g0);
    const V gb = select(lo, gm, g0);
    const V ca = select(up, cp, c0);
    const V cb = select(lo, cm, c0);
    const V d = (ga - gb) / (ca - cb);
    return select(finite(g0) & (lo | up), d, splat_as<V>(kNaN));
}

// One row (field k, row j) and its neighbours. HasLo/HasUp: rows j-1 and j+1
// exist; a missing row is stood in for by row j and never counts.
template <bool HasLo, bool HasUp>
struct Row {
    const double *row, *below, *above, *x;
    double ym, yj, yp;
    double *gx, *gy;

    Row(const GradientGrid& g, int64_t k, int64_t j)
        : row(g.f + k * g.field + j * g.nx),
          below(HasLo ? row - g.nx : row),
          above(HasUp ? row + g.nx : row),
          x(g.x),
          ym(HasLo ? g.y[j - 1] : g.y[j]),
          yj(g.y[j]),
          yp(HasUp ? g.y[j + 1] : g.y[j]),
          gx(g.out + gradient_component::d_dx * g.stride + k * g.field + j * g.nx),
          gy(g.out + gradient_component::d_dy * g.stride + k * g.field + j * g.nx) {}

    // d/dy at columns i.. (one lane per column), by the full rule.
    template <class V>
    void dy(int64_t i) const {
        using M = decltype(finite(V{}));
        const V b = load_as<V>(below + i), c = load_as<V>(row + i), a = load_as<V>(above + i);
        store(gy + i, difference(b, c, a, splat_as<V>(ym), splat_as<V>(yj), splat_as<V>(yp),
                                 HasLo ? finite(b) : M{}, HasUp ? finite(a) : M{}));
    }

    // d/dx at interior columns i.. (both neighbours exist), by the full rule.
    template <class V>
    void dx(int64_t i) const {
        const V l = load_as<V>(row + i - 1), c = load_as<V>(row + i), u = load_as<V>(row + i + 1);
        store(gx + i, difference(l, c, u, load_as<V>(x + i - 1), load_as<V>(x + i),
                                 load_as<V>(x + i + 1), finite(l), finite(u)));
    }

    // The five values both components read at columns i, i+1.
    struct Around {
        v2d l, c, u, b, a;  // left, centre, right along the row; below, above
        // Finite only if every value is (an overflow merely costs the fast path).
        v2d sum() const { return (((l + c) + u) + b) + a; }
    };
    Around around(int64_t i) const {
        return {load(row + i - 1), load(row + i), load(row + i + 1), load(below + i),
                load(above + i)};
    }

    // Both components at columns i, i+1 when all five values are usable: one
    // centred quotient along x, and along y the centred one, or at a first or
    // last row the one-sided one; dy_common is that quotient's denominator.
    void all_finite(int64_t i, const Around& n, v2d dy_common) const {
        store(gx + i, (n.u - n.l) / (load(x + i + 1) - load(x + i - 1)));
        const v2d num = HasLo && HasUp ? n.a - n.b : HasUp ? n.a - n.c : n.c - n.b;
        store(gy + i, HasLo || HasUp ? num / dy_common : splat(kNaN));
    }

    void run(int64_t nx) const {
        for (int64_t i : {int64_t{0}, nx - 1}) dy<double>(i);
        if (nx == 1) {
            gx[0] = kNaN;
            return;
        }
        const int64_t e = nx - 1;
        gx[0] = difference(row[0], row[0], row[1], x[0], x[0], x[1], false, finite(row[1]));
        gx[e] =
            difference(row[e - 1], row[e], row[e], x[e - 1], x[e], x[e], finite(row[e - 1]), false);

        // Inside the row nearly every point has all its neighbours: one test
        // per four points finds them, and only the four points around a
        // missing value take the full rule.
        const v2d dy_common = splat(HasLo && HasUp ? yp - ym : HasUp ? yp - yj : yj - ym);
        int64_t i = 1;
        for (; i + 4 <= e; i += 4) {
            // Along the row above, and on into its successor.
            prefetch_ahead(above + i);
            const Around n0 = around(i), n1 = around(i + 2);
            const v2d s = n0.sum() + n1.sum();
            const v2d z = s - s;  // 0 where s is finite, NaN elsewhere
            if (z[0] + z[1] == 0.0) {
                all_finite(i, n0, dy_common);
                all_finite(i + 2, n1, dy_common);
            } else {
                for (int64_t q : {i, i + 2}) {
                    dx<v2d>(q);
                    dy<v2d>(q);
                }
            }
        }
        for (; i < e; ++i) {
            dx<double>(i);
            dy<double>(i);
        }
    }
};

}  // namespace gradient_detail

// Work item m: row m mod NY of field m div NY; writes both components of
// that row.
inline void gradient_grid_row(const GradientGrid& g, int64_t m) {
    using gradient_detail::Row;
    const int64_t k = m / g.ny;
    const int64_t j = m % g.ny;
    const bool lo = j > 0;
    const bool up = j + 1 < g.ny;
    if (lo && up)
        Row<true, true>(g, k, j).run(g.nx);
    else if (lo)
        Row<true, false>(g, k, j).run(g.nx);
    else if (up)
        Row<false, true>(g, k, j).run(g.nx);
    else
        Row<false, false>(g, k, j).run(g.nx);
}

}  // namespace tarnwell
