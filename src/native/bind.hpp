// The tarnwell package's compiled helpers, each binding its functions into
// one submodule of tarnwell._native (native/module.cpp). One extension
// instead of one per helper: a single link, and a single optimised link step
// where link-time optimisation is on.
#pragma once

#include <pybind11/pybind11.h>

namespace tarnwell {

// Level-first column kernels and the blocked copy (layout/transpose.cpp).
void bind_transpose(pybind11::module_ m);
// Ring-by-ring unfolding of aliased radial velocities (unfold/unfold.cpp).
void bind_unfold(pybind11::module_ m);
// The parcel ascent (parcel/module.cpp).
void bind_parcel(pybind11::module_ m);

}  // namespace tarnwell
