// The _tarnwell module: docstring and the function table. Argument
// conversion is pybind11's (see arrays.hpp); thrown standard exceptions map
// to Python's by pybind11's translation (invalid_argument and domain_error to
// ValueError, system_error to RuntimeError, bad_alloc to MemoryError).
#include <pybind11/pybind11.h>

#include "../kernels/gradient.hpp"
#include "../kernels/thermo.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

// The kernels keep no per-interpreter state, but their pybind11 internals are
// only ever set up for the main interpreter.
PYBIND11_MODULE(_tarnwell, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";
    m.def("thermo", &tarnwell::thermo, "t"_a, "p"_a, "td"_a, "n_threads"_a = 0);
    m.def("gradient", &tarnwell::gradient, "f"_a, "x"_a, "y"_a, "n_threads"_a = 0);
}
