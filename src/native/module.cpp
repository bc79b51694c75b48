// tarnwell._native: the package's compiled helpers as submodules.
#include <pybind11/pybind11.h>

#include "native/bind.hpp"
#include "native/lifts.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_native, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Compiled helpers of the tarnwell package: transpose, unfold, parcel and lifts.";
    const auto add = [&m](const char* name, void (*bind)(py::module_)) {
        py::module_ sub = m.def_submodule(name);
        bind(sub);
        // Entered in sys.modules as an imported submodule would be, so that
        // `from tarnwell._native.parcel import ...` works as it does for a
        // package's own modules.
        py::module_::import("sys").attr("modules")[sub.attr("__name__")] = sub;
    };
    add("transpose", tarnwell::bind_transpose);
    add("unfold", tarnwell::bind_unfold);
    add("parcel", tarnwell::bind_parcel);
    add("lifts", tarnwell::bind_lifts);
}
