// tarnwell._native.unfold: aliased radial velocities unfolded ring by ring before
// the VAD fit.
//
// A Doppler radar measures radial velocity only modulo 2 Vn (Vn the Nyquist
// velocity). On a VAD ring the true velocity is close to the first harmonic
// a0 + Bs sin az + Bc cos az, so the folds are found by finding that harmonic
// from the folded values themselves:
//
// 1. Seed, coarse to fine. Between rays a few degrees apart the velocity
//    changes by much less than Vn even in strong wind, so the difference
//    wrapped into [-Vn, Vn) is the true difference. It equals
//    Bs (sin a' - sin a) + Bc (cos a' - cos a) exactly (a0 cancels), a linear
//    least-squares problem that no fold disturbs. The lag is then lengthened
//    fourfold at a time, each stage wrapping the difference about the
//    previous stage's prediction, which shrinks the noise of the estimate
//    as the lag grows.
// 2. Refinement. The residual against the seed's harmonic, wrapped, clusters
//    round a0. Each gate moves by the multiple of 2 Vn that brings it within
//    Vn of a0 + Bs sin az + Bc cos az, the ring is fitted again by least
//    squares, and the unfolding is repeated about the new fit until no gate
//    moves.
//
// Only whole multiples of 2 Vn are added, and a gate that needs none is
// copied bit for bit, so a ring that never folded reaches the VAD fit as it
// was read.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

#include "kernels/missing.hpp"
#include "module/entry.hpp"
#include "native/bind.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

constexpr int64_t kGrain = 16;  // rings per chunk of the parallel loop
constexpr int kMaxRounds = 4;   // unfold-and-fit rounds per ring, at most
// Strongest wind (m/s) the first seed stage must resolve: the first lag keeps
// the harmonic's change between the two rays below Vn / 2 at this speed.
constexpr double kMaxWind = 80.0;
// The seed's last lag: a sixth of the circle, beyond which differences
// across a ring's gaps would be wrapped wrongly more often than they help.
constexpr double kLongestLag = M_PI / 3.0;

// Result rows of the per-ring information.
enum Row : int64_t { kA0 = 0, kBs, kBc, kFolds, kRows };

using Input = py::array_t<double, py::array::c_style | py::array::forcecast>;

// floor() without a library call: baseline x86-64 has no rounding
// instruction, and the unfolding takes several floors per gate.
inline double fast_floor(double x) {
    if (!(std::fabs(x) < 4.0e15)) return std::floor(x);
    const double t = static_cast<double>(static_cast<int64_t>(x));
    return t > x ? t - 1.0 : t;
}

inline double wrap(double x, double vn) {
    const double span = 2.0 * vn;
    return x - span * fast_floor((x + vn) / span);
}

struct Geometry {
    std::vector<double> s, c;    // sin, cos of each ray's azimuth
    std::vector<int64_t> order;  // rays in increasing azimuth
    std::vector<int64_t> lags;   // seed stages, in rays
};

Geometry geometry(const double* az, int64_t m, double vn) {
    Geometry g;
    g.s.resize(m);
    g.c.resize(m);
    for (int64_t j = 0; j < m; ++j) {
        g.s[j] = std::sin(az[j]);
        g.c[j] = std::cos(az[j]);
        if (std::isfinite(az[j])) g.order.push_back(j);
    }
    std::stable_sort(g.order.begin(), g.order.end(),
                     [az](int64_t a, int64_t b) { return az[a] < az[b]; });
    const int64_t k = static_cast<int64_t>(g.order.size());
    if (k < 4) return g;
    std::vector<double> steps(k);
    for (int64_t i = 0; i + 1 < k; ++i) steps[i] = az[g.order[i + 1]] - az[g.order[i]];
    steps[k - 1] = az[g.order[0]] + 2.0 * M_PI - az[g.order[k - 1]];
    std::nth_element(steps.begin(), steps.begin() + k / 2, steps.end());
    const double step = std::max(steps[k / 2], 1e-9);
    const double first = 2.0 * std::asin(std::min(1.0, 0.25 * vn / kMaxWind));
    int64_t lag = std::max<int64_t>(1, static_cast<int64_t>(first / step));
    const int64_t longest = std::max<int64_t>(1, static_cast<int64_t>(kLongestLag / step));
    for (;;) {
        g.lags.push_back(std::min(lag, k - 1));
        if (lag >= longest || lag >= k - 1) break;
        lag *= 4;
        lag = std::min(lag, longest);
    }
    return g;
}

// Bs, Bc from the wrapped differences of each seed stage.
bool seed(const double* v, const Geometry& g, double vn, double& bs, double& bc) {
    const auto& o = g.order;
    const int64_t k = static_cast<int64_t>(o.size());
    bool have = false;
    for (int64_t lag : g.lags) {
        double sss = 0.0, ssc = 0.0, scc = 0.0, sds = 0.0, sdc = 0.0;
        const double span = 2.0 * vn, inv_span = 1.0 / span;
        for (int64_t i = 0; i < k; ++i) {
            const int64_t a = o[i], b = o[i + lag < k ? i + lag : i + lag - k];
            if (!std::isfinite(v[a]) || !std::isfinite(v[b])) continue;
            const double ds = g.s[b] - g.s[a], dc = g.c[b] - g.c[a];
            const double predicted = have ? bs * ds + bc * dc : 0.0;
            const double x = v[b] - v[a] - predicted;
            const double d = x - span * fast_floor((x + vn) * inv_span) + predicted;
            sss += ds * ds;
            ssc += ds * dc;
            scc += dc * dc;
            sds += d * ds;
            sdc += d * dc;
        }
        const double det = sss * scc - ssc * ssc;
        if (!(det > 1e-12 * sss * scc) || !std::isfinite(det)) break;
        bs = (sds * scc - sdc * ssc) / det;
        bc = (sdc * sss - sds * ssc) / det;
        have = true;
    }
    return have;
}

// The centre of residuals on a circle of circumference 2 Vn: the mean on the
// cut at -Vn or on the cut at 0, whichever has the smaller spread (the
// cluster lies whole on one of them).
double wrapped_centre(const double* v, const Geometry& g, int64_t m, double vn, double bs,
                      double bc) {
    const double span = 2.0 * vn, inv_span = 1.0 / span;
    double n = 0.0, sa = 0.0, saa = 0.0, sb = 0.0, sbb = 0.0;
    for (int64_t j = 0; j < m; ++j) {
        if (!std::isfinite(v[j])) continue;
        const double x = v[j] - bs * g.s[j] - bc * g.c[j];
        const double r = x - span * fast_floor((x + vn) * inv_span);
        const double r2 = r < 0.0 ? r + span : r;
        n += 1.0;
        sa += r;
        saa += r * r;
        sb += r2;
        sbb += r2 * r2;
    }
    const double ma = sa / n, mb = sb / n;
    return (sbb / n - mb * mb) < (saa / n - ma * ma) ? wrap(mb, vn) : ma;
}

// Unfolds every gate to within Vn of a0 + Bs sin az + Bc cos az (the shifts
// go to `shift`) and fits the harmonic again by least squares, in one pass.
// These sums are not centred: the fit only steers the unfolding, and the
// exact fit of the unfolded ring is the VAD kernel's. `changed` counts the
// gates whose shift differs from the one `shift` held.
bool unfold_and_fit(const double* v, double* shift, const Geometry& g, int64_t m, double vn,
                    double& a0, double& bs, double& bc, int64_t& changed) {
    const double span = 2.0 * vn, inv_span = 1.0 / span;
    double n = 0.0, ss = 0.0, sc = 0.0, sy = 0.0, sss = 0.0, ssc = 0.0, scc = 0.0, sys = 0.0,
           syc = 0.0;
    for (int64_t j = 0; j < m; ++j) {
        if (!std::isfinite(v[j])) {
            shift[j] = 0.0;
            continue;
        }
        const double s = g.s[j], c = g.c[j];
        const double model = a0 + bs * s + bc * c;
        const double k = span * fast_floor((model - v[j]) * inv_span + 0.5);
        changed += k != shift[j];
        shift[j] = k;
        const double y = v[j] + k;
        n += 1.0;
        ss += s;
        sc += c;
        sy += y;
        sss += s * s;
        ssc += s * c;
        scc += c * c;
        sys += y * s;
        syc += y * c;
    }
    if (n < 3.0) return false;
    const double ms = ss / n, mc = sc / n, my = sy / n;
    const double css = sss - ss * ms, csc = ssc - ss * mc, ccc = scc - sc * mc;
    const double cys = sys - sy * ms, cyc = syc - sy * mc;
    const double det = css * ccc - csc * csc;
    if (!(det > 1e-12 * n * n)) return false;
    bs = (cys * ccc - cyc * csc) / det;
    bc = (cyc * css - cys * csc) / det;
    a0 = my - bs * ms - bc * mc;
    return true;
}

// The ring's output row holds the shifts while the ring is being unfolded.
void unfold_ring(const double* v, const Geometry& g, int64_t m, double vn, double seed_bs,
                 double seed_bc, double* out, double* info, int64_t stride) {
    double* shift = out;
    for (int64_t j = 0; j < m; ++j) shift[j] = 0.0;
    for (int64_t r = 0; r < kRows; ++r) info[r * stride] = tarnwell::kNaN;
    info[kFolds * stride] = 0.0;
    double bs = seed_bs, bc = seed_bc, a0 = 0.0;
    if (!(std::isfinite(bs) && std::isfinite(bc)) && !seed(v, g, vn, bs, bc)) {
        for (int64_t j = 0; j < m; ++j) out[j] = v[j];
        return;
    }
    // The seed gives no intercept: it is the centre of the wrapped residuals.
    // Later rounds take the fit's own. Once a round moves no gate, the next
    // would repeat the same fit, and the ring is done.
    bool fitted = false;
    a0 = wrapped_centre(v, g, m, vn, bs, bc);
    for (int it = 0; it < kMaxRounds; ++it) {
        int64_t changed = 0;
        if (!unfold_and_fit(v, shift, g, m, vn, a0, bs, bc, changed)) break;
        fitted = true;
        if (changed == 0) break;
    }
    double folds = 0.0;
    for (int64_t j = 0; j < m; ++j) {
        if (fitted && shift[j] != 0.0) {
            out[j] = v[j] + shift[j];
            folds += 1.0;
        } else {
            out[j] = v[j];
        }
    }
    if (!fitted) return;
    info[kA0 * stride] = a0;
    info[kBs * stride] = bs;
    info[kBc * stride] = bc;
    info[kFolds * stride] = folds;
}

py::tuple unfold(const Input& vr, const Input& az, double nyquist, std::optional<Input> seed_bs,
                 std::optional<Input> seed_bc, int32_t n_threads) {
    if (vr.ndim() != 2) throw std::invalid_argument("vr must be 2-D (rings, rays)");
    const int64_t nr = vr.shape(0), m = vr.shape(1);
    if (az.ndim() != 1 || az.shape(0) != m)
        throw std::invalid_argument("az must be 1-D with one azimuth per ray");
    if (!(nyquist > 0.0) || !std::isfinite(nyquist))
        throw std::invalid_argument("nyquist must be a positive, finite velocity");
    if (seed_bs.has_value() != seed_bc.has_value())
        throw std::invalid_argument("seed_bs and seed_bc go together");
    if (seed_bs && (seed_bs->size() != nr || seed_bc->size() != nr))
        throw std::invalid_argument("seed_bs and seed_bc need one value per ring");
    const Geometry g = geometry(az.data(), m, nyquist);
    py::array_t<double> out({nr, m});
    py::array_t<double> info({static_cast<int64_t>(kRows), nr});
    const double* v = vr.data();
    const double* sbs = seed_bs ? seed_bs->data() : nullptr;
    const double* sbc = seed_bc ? seed_bc->data() : nullptr;
    double* o = out.mutable_data();
    double* inf = info.mutable_data();
    tarnwell::run_released_chunks(nr, kGrain, n_threads, [&](int64_t first, int64_t last) {
        for (int64_t i = first; i < last; ++i) {
            const double b0 = sbs ? sbs[i] : tarnwell::kNaN;
            const double b1 = sbc ? sbc[i] : tarnwell::kNaN;
            unfold_ring(v + i * m, g, m, nyquist, b0, b1, o + i * m, inf + i, nr);
        }
    });
    return py::make_tuple(out, info);
}

}  // namespace

void tarnwell::bind_unfold(py::module_ m) {
    m.doc() = "Unfolding of aliased radial velocities on VAD rings.";
    m.def("unfold", &unfold, "vr"_a, "az"_a, "nyquist"_a, "seed_bs"_a = py::none(),
          "seed_bc"_a = py::none(), "n_threads"_a = 0,
          "Unfolded copy of the rings vr (R, M) sharing the azimuths az (M,), radians, and "
          "(4, R) rows a0, Bs, Bc and the count of gates moved.");
    m.attr("ROWS") = py::make_tuple("a0", "bs", "bc", "folds");
}
