// tarnwell._native.lifts: a column's three parcels and its effective inflow
// layer in one pass, on the chunked parallel loop, for the command's parcel
// fields. Included once, by native/module.cpp.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>

#include "kernels/effective_layer_body.hpp"
#include "module/entry.hpp"

namespace tarnwell {

namespace lifts_binding {

// A column lifts up to one parcel per level of its lowest 300 hPa, as the
// effective layer does: a few columns per chunk outweigh the shared counter.
constexpr int64_t kLiftsGrain = 4;

// Rows (n, L) of pressure, temperature, dew point and height: result (28, n).
inline pybind11::array_t<double> parcels_and_layer(const farray& p, const farray& t,
                                                   const farray& td, const farray& z, int32_t parts,
                                                   int32_t n_threads) {
    if (parts < 0 || parts > lift_part::all)
        throw std::invalid_argument(
            "parts must be a sum of SURFACE_BASED, MIXED_LAYER, "
            "MOST_UNSTABLE and EFFECTIVE_LAYER");
    if (ndim(t) != 2) throw std::invalid_argument("t must be 2-D");
    const int64_t n = extent(t, 0);
    const int64_t L = extent(t, 1);
    for (const auto* a : {&p, &td, &z})
        if (count(*a) != n * L) throw std::invalid_argument("shape mismatch");
    auto out = make_result({lifts_row::count, n});
    const double* P = rptr(p);
    const double* T = rptr(t);
    const double* D = rptr(td);
    const double* Z = rptr(z);
    double* R = wptr(out);
    run_released(n, kLiftsGrain, n_threads, [=](int64_t i) {
        const int64_t off = i * L;
        parcels_and_layer_column(P + off, T + off, D + off, Z + off, L, parts, R + i, n);
    });
    return out;
}

}  // namespace lifts_binding

inline void bind_lifts(pybind11::module_ m) {
    using namespace pybind11::literals;
    m.doc() = "A column's three parcels and its effective inflow layer, their lifts shared.";
    m.attr("SURFACE_BASED") = static_cast<int32_t>(lift_part::surface_based);
    m.attr("MIXED_LAYER") = static_cast<int32_t>(lift_part::mixed_layer);
    m.attr("MOST_UNSTABLE") = static_cast<int32_t>(lift_part::most_unstable);
    m.attr("EFFECTIVE_LAYER") = static_cast<int32_t>(lift_part::effective_layer);
    m.attr("ALL") = static_cast<int32_t>(lift_part::all);
    m.attr("ROWS") = static_cast<int64_t>(lifts_row::count);
    m.def("parcels_and_layer", &lifts_binding::parcels_and_layer, "p"_a, "t"_a, "td"_a, "z"_a,
          "parts"_a, "n_threads"_a = 0,
          "Rows (n, L) as for parcel.parcel: result (28, n), the eight rows of the surface-based, "
          "mixed-layer and most-unstable parcels, then the four of the effective layer, each as "
          "parcel.parcel and parcel.effective_layer give them; NaN in the rows of the parts "
          "`parts` (a sum of the part constants) leaves out.");
}

}  // namespace tarnwell
