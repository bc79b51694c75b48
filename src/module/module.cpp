// The _tarnwell module: docstring and the function table. Argument
// conversion is pybind11's (see entry.hpp); thrown standard exceptions map
// to Python's by pybind11's translation (invalid_argument and domain_error to
// ValueError, system_error to RuntimeError, bad_alloc to MemoryError).
#include <pybind11/pybind11.h>

#include "kernels/cold_pool.hpp"
#include "kernels/gradient.hpp"
#include "kernels/profile.hpp"
#include "kernels/thermo.hpp"
#include "kernels/vad.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

// The kernels keep no per-interpreter state, but their pybind11 internals are
// only ever set up for the main interpreter.
PYBIND11_MODULE(_tarnwell, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";
    m.def("thermo", &tarnwell::thermo, "t"_a, "p"_a, "td"_a, "n_threads"_a = 0);
    m.def("cold_pool", &tarnwell::cold_pool, "z"_a, "b"_a, "bottom"_a, "threshold"_a, "top"_a,
          "n_threads"_a = 0);
    m.def("profile", &tarnwell::profile, "z"_a, "u"_a, "v"_a, "ground"_a, "bottom"_a, "top"_a,
          "cu"_a, "cv"_a, "n_threads"_a = 0);
    m.def("gradient", &tarnwell::gradient, "f"_a, "x"_a, "y"_a, "n_threads"_a = 0);
    m.def("vad", &tarnwell::vad, "vr"_a, "az"_a, "cos_el"_a, "min_gates"_a, "min_spread"_a,
          "n_threads"_a = 0);
}
