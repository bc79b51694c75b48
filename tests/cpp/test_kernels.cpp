// The per-item routines called directly, without the binding or the loop:
// worked examples, bit-exact scalar references, and that each routine writes
// exactly its own places of a strided result and nothing in between.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "check.hpp"
#include "kernels/cold_pool_body.hpp"
#include "kernels/gradient_body.hpp"
#include "kernels/parcel_body.hpp"
#include "kernels/profile_body.hpp"
#include "kernels/thermo_body.hpp"
#include "kernels/vad_body.hpp"

namespace tw = tarnwell;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kSentinel = -12345.678;  // marks places a routine must not write

static uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
// Bit-identical, with every NaN the one quiet NaN the kernels write.
static bool same(double a, double b) { return bits(a) == bits(b); }
static bool near(double a, double b, double tol) { return std::fabs(a - b) <= tol; }

// A result of `rows` rows for `items` items with `pad` sentinels after each
// item's place, so a write at the wrong stride or offset is seen.
struct Strided {
    int64_t rows, items, pad, stride;
    std::vector<double> data;
    Strided(int64_t r, int64_t n, int64_t p = 2)
        : rows(r), items(n), pad(p), stride(n * (1 + p)), data(r * n * (1 + p), kSentinel) {}
    double* item(int64_t i) { return data.data() + i * (1 + pad); }
    double at(int64_t r, int64_t i) const { return data[r * stride + i * (1 + pad)]; }
    bool padding_untouched() const {
        for (int64_t r = 0; r < rows; ++r)
            for (int64_t i = 0; i < items; ++i)
                for (int64_t q = 1; q <= pad; ++q)
                    if (!same(data[r * stride + i * (1 + pad) + q], kSentinel)) return false;
        return true;
    }
};

// thermo, one element at a time in the written order of operations.
static void thermo_scalar(double t, double p, double d, double out[4]) {
    using namespace tw::thermo_const;
    const double dc = d < t ? d : (d != d ? d : t);
    const double A = kP0 / p;
    const double tc = dc - 273.15;
    const double theta = std::pow(A, kKappa) * t;
    const double e = std::exp((tc * 17.67) / (tc + 243.5)) * 611.2;
    const double w = (e * kEps) / (p - e);
    const double r = w * 1000.0;
    const double TL = 1.0 / (std::log(t / dc) / 800.0 + 1.0 / (dc - 56.0)) + 56.0;
    const double E = std::exp(((3.376 / TL - 0.00254) * r) * (r * 0.00081 + 1.0));
    out[0] = w;
    out[1] = theta;
    out[2] = ((w / kEps + 1.0) * theta) / (w + 1.0);
    out[3] = E * (std::pow(A, (1.0 - r * 0.00028) * 0.2854) * t);
}

static void test_thermo() {
    namespace row = tw::thermo_row;
    // Ordinary air, supersaturation, NaN dew point, NaN temperature, zero pressure.
    std::vector<double> t, p, d;
    for (int k = 0; k < 70; ++k) {
        t.push_back(230.0 + 1.1 * k);
        p.push_back(20000.0 + 1200.0 * k);
        d.push_back(225.0 + 1.05 * k + (k % 7 == 0 ? 10.0 : 0.0));
    }
    d[3] = NaN;
    t[5] = NaN;
    p[9] = 0.0;
    for (int64_t m : {int64_t{1}, int64_t{37}, tw::kThermoBlock}) {
        Strided out(row::count, m, 0);
        tw::thermo_block(t.data(), p.data(), d.data(), out.item(0), out.stride, m);
        for (int64_t k = 0; k < m; ++k) {
            double ref[4];
            thermo_scalar(t[k], p[k], d[k], ref);
            for (int64_t r = 0; r < row::count; ++r) CHECK(same(out.at(r, k), ref[r]));
        }
    }
    // Worked example: T 300 K, P 1000 hPa, Td 290 K.
    double out[row::count];
    const double T = 300.0, P = 100000.0, D = 290.0;
    tw::thermo_block(&T, &P, &D, out, 1, 1);
    CHECK(near(out[row::mixing_ratio], 0.0121624, 1e-7));
    CHECK(out[row::theta] == 300.0);
    CHECK(near(out[row::theta_v], 302.1911, 1e-4));
    CHECK(near(out[row::theta_e], 335.865, 1e-3));
}

static void test_cold_pool() {
    namespace row = tw::cold_pool_row;
    const double z[] = {0, 100, 200, 300};
    const double b[] = {-0.03, -0.02, -0.01, 0.01};
    struct Case {
        double bottom, threshold, top, intensity, depth, open;
    };
    const Case cases[] = {
        {0, 0.0, NaN, std::sqrt(8.5), 250.0, 0.0},   // threshold crossed at 250
        {0, 0.0, 150, std::sqrt(6.75), 150.0, 0.0},  // fixed depth
        {0, 0.02, NaN, std::sqrt(8.0), 300.0, 1.0},  // never reached: open top
        {50, 0.0, NaN, std::sqrt(3.5), 150.0, 0.0},  // starts at the level at 100
        {0, 0.0, 1000, NaN, NaN, NaN},               // column ends below the top
        {0, -0.05, NaN, 0.0, 0.0, 0.0},              // warm at the start level
        {400, 0.0, NaN, NaN, NaN, NaN},              // no level above the bottom
    };
    const int64_t n = sizeof cases / sizeof cases[0];
    Strided out(row::count, n);
    for (int64_t i = 0; i < n; ++i) {
        const Case& c = cases[i];
        tw::cold_pool_column(z, b, 4, c.bottom, c.threshold, c.top, out.item(i), out.stride);
    }
    for (int64_t i = 0; i < n; ++i) {
        CHECK(same(out.at(row::intensity, i), cases[i].intensity));
        CHECK(same(out.at(row::depth, i), cases[i].depth));
        CHECK(same(out.at(row::open_top, i), cases[i].open));
    }
    CHECK(out.padding_untouched());
}

static void test_profile() {
    namespace row = tw::profile_row;
    const double z[] = {0, 1000, 2000, 3000};
    const double u[] = {0, 0, 10, 10};
    const double v[] = {0, 10, 10, 0};
    struct Case {
        double ground, bottom, top, cu;
        double expect[row::count];
    };
    const Case cases[] = {
        {0, 0, 3000, 5, {0, 0, 10, 0, 150, 5, 6.666666666666667}},
        {0, 0, 2500, 5, {0, 0, 10, 5, 125, 4, 7.5}},
        {500, 0, 2000, 5, {0, 5, 10, 5, 100, 5, 8.75}},
        {NaN, 0, 2500, 5, {0, 0, 10, 5, 125, 4, 7.5}},
        {0, 1000, 1000, 5, {0, 10, 0, 10, 0, 0, 10}},
        {0, 2000, 1000, 5, {10, 10, 0, 10, -50, 10, 10}},
        {0, 0, 3000, NaN, {0, 0, 10, 0, NaN, 5, 6.666666666666667}},
        {0, -0.001, 3000, 5, {NaN, NaN, NaN, NaN, NaN, NaN, NaN}},
        {0, 0, 3000.001, 5, {NaN, NaN, NaN, NaN, NaN, NaN, NaN}},
    };
    const int64_t n = sizeof cases / sizeof cases[0];
    Strided out(row::count, n);
    for (int64_t i = 0; i < n; ++i) {
        const Case& c = cases[i];
        tw::profile_column(z, u, v, 4, c.ground, c.bottom, c.top, c.cu, 5.0, out.item(i),
                           out.stride);
    }
    for (int64_t i = 0; i < n; ++i)
        for (int64_t r = 0; r < row::count; ++r) CHECK(same(out.at(r, i), cases[i].expect[r]));
    CHECK(out.padding_untouched());

    // Layer ends a round-off outside the data still take the end level's wind.
    double ends[row::count];
    for (auto [bottom, top] : {std::pair{-1e-7, 3000.0}, std::pair{0.0, 3000.0 + 1e-7}}) {
        tw::profile_column(z, u, v, 4, 0.0, bottom, top, 5.0, 5.0, ends, 1);
        for (int64_t r = 0; r < row::count; ++r) CHECK(near(ends[r], cases[0].expect[r], 1e-9));
    }
}

// The difference rule at one point of a line, written out as a scalar
// reference for the row routine's vector paths.
static double difference_ref(const double* g, const double* c, int64_t n, int64_t i, int64_t step) {
    const auto finite = [](double a) { return std::isfinite(a); };
    if (!finite(g[i * step])) return NaN;
    const bool lo = i > 0 && finite(g[(i - 1) * step]);
    const bool up = i + 1 < n && finite(g[(i + 1) * step]);
    if (lo && up) return (g[(i + 1) * step] - g[(i - 1) * step]) / (c[i + 1] - c[i - 1]);
    if (up) return (g[(i + 1) * step] - g[i * step]) / (c[i + 1] - c[i]);
    if (lo) return (g[i * step] - g[(i - 1) * step]) / (c[i] - c[i - 1]);
    return NaN;
}

static void test_gradient() {
    namespace comp = tw::gradient_component;
    // Worked example: one field, one row, NX = 4, x = 0..3.
    {
        const double x[] = {0, 1, 2, 3}, y[] = {0};
        const double f1[] = {0, 1, 4, 9}, f2[] = {0, 1, NaN, 9};
        const double e1[] = {1, 2, 4, 5}, e2[] = {1, 1, NaN, NaN};
        for (auto [f, e] : {std::pair{f1, e1}, std::pair{f2, e2}}) {
            double out[comp::count * 4];
            tw::gradient_grid_row(tw::GradientGrid{f, x, y, out, 1, 4, 4, 4}, 0);
            for (int i = 0; i < 4; ++i) {
                CHECK(same(out[comp::d_dx * 4 + i], e[i]));
                CHECK(same(out[comp::d_dy * 4 + i], NaN));  // NY = 1: no neighbour rows
            }
        }
    }
    // Two fields of 5 rows by 23 columns on an uneven grid, missing values
    // scattered so that the four-point fast path and its fallback both run.
    const int64_t B = 2, NY = 5, NX = 23, field = NY * NX, stride = B * field;
    std::vector<double> x(NX), y(NY), f(stride);
    for (int64_t i = 0; i < NX; ++i) x[i] = 1.5 * i + 0.01 * i * i;
    for (int64_t j = 0; j < NY; ++j) y[j] = -3.0 + 2.0 * j + 0.1 * j * j;
    for (int64_t q = 0; q < stride; ++q) f[q] = std::sin(0.37 * q) * 10.0 + 0.2 * q;
    for (int64_t q : {7, 30, 31, 64, 100, 141, 200, 229})
        f[q] = q % 3 == 0 ? NaN : (q % 3 == 1 ? INFINITY : -INFINITY);
    std::vector<double> out(comp::count * stride, kSentinel);
    const tw::GradientGrid grid{f.data(), x.data(), y.data(), out.data(), NY, NX, field, stride};
    for (int64_t m = 0; m < B * NY; ++m) tw::gradient_grid_row(grid, m);
    for (int64_t k = 0; k < B; ++k)
        for (int64_t j = 0; j < NY; ++j)
            for (int64_t i = 0; i < NX; ++i) {
                const int64_t at = k * field + j * NX + i;
                const double* row = f.data() + k * field + j * NX;
                const double* col = f.data() + k * field + i;
                CHECK(same(out[comp::d_dx * stride + at], difference_ref(row, x.data(), NX, i, 1)));
                CHECK(
                    same(out[comp::d_dy * stride + at], difference_ref(col, y.data(), NY, j, NX)));
            }
}

static void test_vad() {
    namespace row = tw::vad_row;
    const double pi = std::acos(-1.0), ce = std::cos(0.5);
    Strided out(row::count, 4);
    // Full circle: first harmonic (10, 5) projected by cos 0.5, intercept 3,
    // and a second harmonic (2, 1) that the first-order fit leaves as residual.
    std::vector<double> vr(36), az(36);
    for (int j = 0; j < 36; ++j) {
        az[j] = 2.0 * pi * j / 36.0;
        vr[j] = 3.0 + (10.0 * std::sin(az[j]) + 5.0 * std::cos(az[j])) * ce +
                2.0 * std::sin(2.0 * az[j]) + std::cos(2.0 * az[j]);
    }
    tw::vad_ring(vr.data(), az.data(), 36, ce, 3, 0.1, out.item(0), out.stride);
    const double full[] = {10, 5, 3, std::sqrt(2.5), 36, 3, 2, 1};
    for (int64_t r = 0; r < row::count; ++r) CHECK(near(out.at(r, 0), full[r], 1e-12));
    CHECK(same(out.at(row::gates, 0), 36.0));

    // Four gates on the axes: sin 2az vanishes at all of them, so the
    // second-order fit is rejected.
    const double az4[] = {0, pi / 2, pi, 3 * pi / 2};
    double vr4[4];
    for (int j = 0; j < 4; ++j) vr4[j] = 1.0 + 2.0 * std::sin(az4[j]);
    tw::vad_ring(vr4, az4, 4, 1.0, 3, 0.1, out.item(1), out.stride);
    const double four[] = {2, 0, 1, 0, 4};
    for (int64_t r = row::u; r <= row::gates; ++r) CHECK(near(out.at(r, 1), four[r], 1e-12));
    for (int64_t r : {row::a0_2, row::sin2, row::cos2}) CHECK(same(out.at(r, 1), NaN));

    // Missing gates leave two, too few for three coefficients whatever the
    // caller allows: only the gate count is written.
    const double vr3[] = {1, NaN, 3, 4}, az3[] = {0, 1, INFINITY, 2};
    tw::vad_ring(vr3, az3, 4, 1.0, 0, 0.1, out.item(2), out.stride);
    for (int64_t r = 0; r < row::count; ++r) CHECK(same(out.at(r, 2), r == row::gates ? 2.0 : NaN));

    // No gates at all.
    tw::vad_ring(nullptr, nullptr, 0, 1.0, 3, 0.1, out.item(3), out.stride);
    for (int64_t r = 0; r < row::count; ++r) CHECK(same(out.at(r, 3), r == row::gates ? 0.0 : NaN));
    CHECK(out.padding_untouched());
}

// The saturated temperature of a theta-e: whatever the first guess (wild
// extrapolations, the false root above the boiling point where w_s < 0,
// NaN), the same root as plain bisection between the pole of the vapour
// pressure formula and the boiling point.
static void test_moist_temperature() {
    namespace pd = tw::parcel_detail;
    auto saturated_lte = [](double t, double p) {
        return pd::log_theta_e(t, std::log(1e5 / p), pd::mixing_ratio(pd::vapour_pressure(t), p),
                               t);
    };
    const double guesses[] = {29.7,  60.0, 150.0, 250.0, 330.0, 370.0,   389.0,
                              450.0, 1e4,  1e300, -5.0,  NaN,   INFINITY};
    for (double p : {105000.0, 85000.0, 50000.0, 20000.0, 5000.0, 500.0}) {
        for (double theta_e : {260.0, 300.0, 340.0, 380.0}) {
            const double target = std::log(theta_e);
            double lo = 273.15 - 243.5 + 1e-9, hi = lo;
            while (pd::vapour_pressure(hi + 1.0) < p) hi += 1.0;
            for (int i = 0; i < 200; ++i) {
                const double mid = 0.5 * (lo + hi);
                (saturated_lte(mid, p) < target ? lo : hi) = mid;
            }
            for (double guess : guesses) {
                double ws = NaN;
                const double t = pd::moist_temperature(target, p, std::log(1e5 / p), guess, ws);
                CHECK(near(t, lo, 1e-6));
                CHECK(ws >= 0.0 && pd::vapour_pressure(t) < p);
            }
        }
    }
    // A pseudo-adiabat that would pass below the pole (a few pascals up): none.
    double ws = 0.0;
    CHECK(std::isnan(pd::moist_temperature(std::log(250.0), 5.0, std::log(1e5 / 5.0), 200.0, ws)));
}

int main() {
    test_thermo();
    test_cold_pool();
    test_profile();
    test_gradient();
    test_vad();
    test_moist_temperature();
    if (failures) {
        std::fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
