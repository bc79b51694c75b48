// tarnwell._native.parcel: the parcel-ascent kernel (CAPE, CIN, LCL, LFC, EL) over
// level-last rows, and over level-first grids as they lie (see
// layout/level_first.hpp), on the chunked parallel loop.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "kernels/effective_layer_body.hpp"
#include "kernels/parcel_body.hpp"
#include "kernels/profile_body.hpp"
#include "layout/level_first.hpp"
#include "module/entry.hpp"
#include "native/bind.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// Columns per chunk: a column costs a few microseconds (a Newton solve per
// saturated level), so 16 of them outweigh the claim on the shared counter
// and still balance a few hundred columns over the threads.
constexpr int64_t kParcelGrain = 16;

void check_kind(int32_t kind) {
    if (kind < 0 || kind >= tarnwell::parcel_kind::count)
        throw std::invalid_argument(
            "kind must be 0 (surface-based), 1 (mixed-layer) or 2 "
            "(most-unstable)");
}

// Rows (n, L) of pressure, temperature, dew point and height: result (8, n).
py::array_t<double> parcel(const tarnwell::farray& p, const tarnwell::farray& t,
                           const tarnwell::farray& td, const tarnwell::farray& z, int32_t kind,
                           int32_t n_threads) {
    check_kind(kind);
    if (tarnwell::ndim(t) != 2) throw std::invalid_argument("t must be 2-D");
    const int64_t n = tarnwell::extent(t, 0);
    const int64_t L = tarnwell::extent(t, 1);
    for (const auto* a : {&p, &td, &z})
        if (tarnwell::count(*a) != n * L) throw std::invalid_argument("shape mismatch");
    auto out = tarnwell::make_result({tarnwell::parcel_row::count, n});
    const double* P = tarnwell::rptr(p);
    const double* T = tarnwell::rptr(t);
    const double* D = tarnwell::rptr(td);
    const double* Z = tarnwell::rptr(z);
    double* R = tarnwell::wptr(out);
    tarnwell::run_released(n, kParcelGrain, n_threads, [=](int64_t i) {
        const int64_t off = i * L;
        tarnwell::parcel_column(P + off, T + off, D + off, Z + off, L, kind, R + i, n);
    });
    return out;
}

// A column lifts up to one parcel per level of its lowest 300 hPa: a few
// columns per chunk already outweigh the claim on the shared counter.
constexpr int64_t kEffectiveGrain = 4;

// Rows (n, L) of pressure, temperature, dew point and height: result (4, n).
py::array_t<double> effective_layer(const tarnwell::farray& p, const tarnwell::farray& t,
                                    const tarnwell::farray& td, const tarnwell::farray& z,
                                    int32_t n_threads) {
    if (tarnwell::ndim(t) != 2) throw std::invalid_argument("t must be 2-D");
    const int64_t n = tarnwell::extent(t, 0);
    const int64_t L = tarnwell::extent(t, 1);
    for (const auto* a : {&p, &td, &z})
        if (tarnwell::count(*a) != n * L) throw std::invalid_argument("shape mismatch");
    auto out = tarnwell::make_result({tarnwell::effective_row::count, n});
    const double* P = tarnwell::rptr(p);
    const double* T = tarnwell::rptr(t);
    const double* D = tarnwell::rptr(td);
    const double* Z = tarnwell::rptr(z);
    double* R = tarnwell::wptr(out);
    tarnwell::run_released(n, kEffectiveGrain, n_threads, [=](int64_t i) {
        const int64_t off = i * L;
        tarnwell::effective_layer_column(P + off, T + off, D + off, Z + off, L, R + i, n);
    });
    return out;
}

// The wind profile of a layer whose ends differ from column to column (the
// effective inflow layer): rows (n, L) of height and wind, and per column the
// ground, the layer's bottom and top above it and the storm motion; result
// (7, n), each column exactly as the profile kernel computes it.
py::array_t<double> profile_per_column(const tarnwell::farray& z, const tarnwell::farray& u,
                                       const tarnwell::farray& v, const tarnwell::farray& ground,
                                       const tarnwell::farray& bottom, const tarnwell::farray& top,
                                       const tarnwell::farray& cu, const tarnwell::farray& cv,
                                       int32_t n_threads) {
    if (tarnwell::ndim(u) != 2) throw std::invalid_argument("u must be 2-D");
    const int64_t n = tarnwell::extent(u, 0);
    const int64_t L = tarnwell::extent(u, 1);
    for (const auto* a : {&z, &v})
        if (tarnwell::count(*a) != n * L) throw std::invalid_argument("shape mismatch");
    for (const auto* a : {&ground, &bottom, &top, &cu, &cv})
        if (tarnwell::count(*a) != n) throw std::invalid_argument("shape mismatch");
    auto out = tarnwell::make_result({tarnwell::profile_row::count, n});
    const double *Z = tarnwell::rptr(z), *U = tarnwell::rptr(u), *V = tarnwell::rptr(v);
    const double *G = tarnwell::rptr(ground), *B = tarnwell::rptr(bottom), *T = tarnwell::rptr(top);
    const double *CU = tarnwell::rptr(cu), *CV = tarnwell::rptr(cv);
    double* R = tarnwell::wptr(out);
    // A column is one scan of tens of levels, as in the profile kernel.
    tarnwell::run_released(n, 64, n_threads, [=](int64_t i) {
        const int64_t off = i * L;
        tarnwell::profile_column(Z + off, U + off, V + off, L, G[i], B[i], T[i], CU[i], CV[i],
                                 R + i, n);
    });
    return out;
}

// A float64 array of any strides, as NumPy hands it over without a copy.
using Grid = py::array_t<double, 0>;

tarnwell::LevelGrid level_grid(const Grid& a, const char* name, int64_t nb, int64_t nl,
                               int64_t nm) {
    if (a.ndim() != 3 || a.shape(0) != nb || a.shape(1) != nl || a.shape(2) != nm)
        throw std::invalid_argument(std::string(name) + " must be (B, L, M) like the first grid");
    if (reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double) != 0)
        throw std::invalid_argument(std::string(name) + " unaligned");
    std::array<int64_t, 3> s{};
    for (int k = 0; k < 3; ++k) {
        if (a.strides(k) % static_cast<py::ssize_t>(sizeof(double)) != 0)
            throw std::invalid_argument(std::string(name) + " strides must be whole elements");
        s[k] = a.strides(k) / static_cast<py::ssize_t>(sizeof(double));
    }
    return {a.data(), s[0], s[1], s[2]};
}

// The ascent reads every level of every column, so tiles gathered into each
// worker's cache are always the faster way through a level-first grid.
py::array_t<double> parcel_level_first(const Grid& p, const Grid& t, const Grid& td, const Grid& z,
                                       int32_t kind, int32_t n_threads) {
    check_kind(kind);
    if (t.ndim() != 3) throw std::invalid_argument("grids must be 3-D (batch, level, point)");
    const int64_t nb = t.shape(0), nl = t.shape(1), nm = t.shape(2);
    if (nl < 1 || nl > tarnwell::kMaxTileLevels)
        throw std::invalid_argument("levels must be between 1 and " +
                                    std::to_string(tarnwell::kMaxTileLevels));
    const std::array<tarnwell::LevelGrid, 4> grids{
        level_grid(p, "p", nb, nl, nm), level_grid(t, "t", nb, nl, nm),
        level_grid(td, "td", nb, nl, nm), level_grid(z, "z", nb, nl, nm)};
    const int64_t n = nb * nm;
    auto out = tarnwell::make_result({tarnwell::parcel_row::count, n});
    double* R = tarnwell::wptr(out);
    tarnwell::without_lock([&] {
        tarnwell::for_each_tiled_column(
            grids, nb, nl, nm, n_threads, [=](int64_t i, const auto& rows) {
                tarnwell::parcel_column(rows[0], rows[1], rows[2], rows[3], nl, kind, R + i, n);
            });
    });
    return out;
}

}  // namespace

void tarnwell::bind_parcel(py::module_ m) {
    m.doc() = "Parcel ascent of every column: CAPE, CIN and the LCL, LFC and EL.";
    m.attr("FIELDS") = py::make_tuple("cape", "cin", "lcl_pressure", "lcl_height", "lfc_pressure",
                                      "lfc_height", "el_pressure", "el_height");
    m.attr("SURFACE_BASED") = static_cast<int32_t>(tarnwell::parcel_kind::surface_based);
    m.attr("MIXED_LAYER") = static_cast<int32_t>(tarnwell::parcel_kind::mixed_layer);
    m.attr("MOST_UNSTABLE") = static_cast<int32_t>(tarnwell::parcel_kind::most_unstable);
    m.attr("MAX_TILE_LEVELS") = tarnwell::kMaxTileLevels;
    m.def("parcel", &parcel, "p"_a, "t"_a, "td"_a, "z"_a, "kind"_a, "n_threads"_a = 0,
          "Rows (n, L) of pressure (Pa), temperature (K), dew point (K) and height (m), "
          "levels from the ground up: result (8, n).");
    m.def("effective_layer", &effective_layer, "p"_a, "t"_a, "td"_a, "z"_a, "n_threads"_a = 0,
          "Effective inflow layer of rows (n, L) as for parcel: result (4, n), the bottom and "
          "top heights (m above the lowest usable level) and pressures (Pa).");
    m.def("profile_per_column", &profile_per_column, "z"_a, "u"_a, "v"_a, "ground"_a, "bottom"_a,
          "top"_a, "cu"_a, "cv"_a, "n_threads"_a = 0,
          "profile of rows (n, L) with a layer of its own in every column: result (7, n).");
    m.def("parcel_level_first", &parcel_level_first, "p"_a, "t"_a, "td"_a, "z"_a, "kind"_a,
          "n_threads"_a = 0, "parcel over (B, L, M) views with any strides: result (8, B * M).");
}
