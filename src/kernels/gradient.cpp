#include "gradient.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace tarnwell {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Two points at a time through the compiler's vector extension (SSE2 on
// x86-64, NEON on 64-bit ARM, pairs of scalar operations elsewhere). Each lane
// is rounded exactly as the scalar operation, so both paths give the same bits.
using v2d = double __attribute__((vector_size(16)));
using v2m = int64_t __attribute__((vector_size(16)));  // lane masks: all ones or zero
using v2u = uint64_t __attribute__((vector_size(16)));

inline v2d load(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(double* p, v2d v) { std::memcpy(p, &v, sizeof v); }
inline v2d splat(double a) { return v2d{a, a}; }

// The same code reads one column as a double or two as a v2d.
template <class V> V load_as(const double* p);
template <> inline double load_as<double>(const double* p) { return *p; }
template <> inline v2d load_as<v2d>(const double* p) { return load(p); }
inline void store(double* p, double v) { *p = v; }
template <class V> V splat_as(double a);
template <> inline double splat_as<double>(double a) { return a; }
template <> inline v2d splat_as<v2d>(double a) { return splat(a); }

// Requests the cache line 2 KiB past p. The hardware prefetcher stops at page
// boundaries, which a 4 KiB row crosses at every row; asking ahead along the
// row above (and on into the next row, its successor) keeps the one stream
// read from memory flowing. A prefetch never faults, also past the array's end.
inline void prefetch_ahead(const double* p) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + 2048));
}

// NaN and both infinities are missing data: a value is usable when finite.
inline bool usable(double v) { return std::isfinite(v); }
// The vector test is integer arithmetic on the exponent field (all ones for
// NaN and inf): the lane's mask is the sign of exponent - 0x7FF. Compiler
// comparisons would give the same masks, but without SSE4.1 GCC turns their
// combinations into scalar code.
inline v2m usable(v2d v) {
    constexpr uint64_t kExp = 0x7FF0000000000000u;
    const v2u e = reinterpret_cast<v2u>(v) & kExp;
    return -reinterpret_cast<v2m>((e - kExp) >> 63);
}

inline double select(bool m, double a, double b) { return m ? a : b; }
inline v2d select(v2m m, v2d a, v2d b) {
    return reinterpret_cast<v2d>((m & reinterpret_cast<v2m>(a)) | (~m & reinterpret_cast<v2m>(b)));
}

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
    return select(usable(g0) & (lo | up), d, splat_as<V>(kNaN));
}

struct Grid {
    const double* f;
    const double* x;
    const double* y;
    double* out;
    int64_t ny, nx, field, component;  // field = NY*NX, component = B*NY*NX
};

// One row (field k, row j) and its neighbours. HasLo/HasUp: rows j-1 and j+1
// exist; a missing row is stood in for by row j and never counts.
template <bool HasLo, bool HasUp>
struct Row {
    const double *row, *below, *above, *x;
    double ym, yj, yp;
    double *gx, *gy;

    Row(const Grid& g, int64_t k, int64_t j)
        : row(g.f + k * g.field + j * g.nx),
          below(HasLo ? row - g.nx : row),
          above(HasUp ? row + g.nx : row),
          x(g.x),
          ym(HasLo ? g.y[j - 1] : g.y[j]),
          yj(g.y[j]),
          yp(HasUp ? g.y[j + 1] : g.y[j]),
          gx(g.out + k * g.field + j * g.nx),
          gy(gx + g.component) {}

    // d/dy at columns i.. (one lane per column), by the full rule.
    template <class V>
    void dy(int64_t i) const {
        using M = decltype(usable(V{}));
        const V b = load_as<V>(below + i), c = load_as<V>(row + i), a = load_as<V>(above + i);
        store(gy + i, difference(b, c, a, splat_as<V>(ym), splat_as<V>(yj), splat_as<V>(yp),
                                 HasLo ? usable(b) : M{}, HasUp ? usable(a) : M{}));
    }

    // d/dx at interior columns i.. (both neighbours exist), by the full rule.
    template <class V>
    void dx(int64_t i) const {
        const V l = load_as<V>(row + i - 1), c = load_as<V>(row + i), u = load_as<V>(row + i + 1);
        store(gx + i, difference(l, c, u, load_as<V>(x + i - 1), load_as<V>(x + i), load_as<V>(x + i + 1),
                                 usable(l), usable(u)));
    }

    // The five values both components read at columns i, i+1.
    struct Around {
        v2d l, c, u, b, a;  // left, centre, right along the row; below, above
        // Finite only if every value is (an overflow merely costs the fast path).
        v2d sum() const { return (((l + c) + u) + b) + a; }
    };
    Around around(int64_t i) const {
        return {load(row + i - 1), load(row + i), load(row + i + 1), load(below + i), load(above + i)};
    }

    // Both components at columns i, i+1 when all five values are usable: one
    // centred quotient along x, and along y the centred one, or at a first or
    // last row the one-sided one; dy_common is that quotient's denominator.
    void all_usable(int64_t i, const Around& n, v2d dy_common) const {
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
        gx[0] = difference(row[0], row[0], row[1], x[0], x[0], x[1], false, usable(row[1]));
        gx[e] = difference(row[e - 1], row[e], row[e], x[e - 1], x[e], x[e], usable(row[e - 1]), false);

        // Inside the row nearly every point has all its neighbours: one test
        // per four points finds them, and only the four points around a
        // missing value take the full rule.
        const v2d dy_common = splat(HasLo && HasUp ? yp - ym : HasUp ? yp - yj : yj - ym);
        int64_t i = 1;
        for (; i + 4 <= e; i += 4) {
            prefetch_ahead(above + i);
            const Around n0 = around(i), n1 = around(i + 2);
            const v2d s = n0.sum() + n1.sum();
            const v2d z = s - s;  // 0 where s is finite, NaN elsewhere
            if (z[0] + z[1] == 0.0) {
                all_usable(i, n0, dy_common);
                all_usable(i + 2, n1, dy_common);
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

// Work item m: row m mod NY of field m div NY.
inline void gradient_item(const Grid& g, int64_t m) {
    const int64_t k = m / g.ny;
    const int64_t j = m % g.ny;
    const bool lo = j > 0;
    const bool up = j + 1 < g.ny;
    if (lo && up) Row<true, true>(g, k, j).run(g.nx);
    else if (lo) Row<true, false>(g, k, j).run(g.nx);
    else if (up) Row<false, true>(g, k, j).run(g.nx);
    else Row<false, false>(g, k, j).run(g.nx);
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
