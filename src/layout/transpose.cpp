// tarnwell._transpose: the parallel, cache-blocked copy that turns level-first
// data into the rows the column kernels read.
//
// A (B, L, M) float64 view with any strides (a level-first grid: B times, L
// levels, M = ny * nx points) becomes a new C-ordered (B, M, L) array, each
// point's L levels contiguous. NumPy's strided copy walks the destination in
// order and so reads the source with a stride of M elements: one cache line
// per value. Here a block of points is copied level by level instead, reading
// short contiguous runs of every level and writing one small destination block
// that stays in cache until it is complete.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "../parallel/parallel_for.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// Points per block: long enough contiguous runs of every source level, while
// the destination block (256 points of 40 levels: 80 KB) stays in the
// second-level cache until it is complete. 64 and 16 measured slower.
constexpr int64_t kBlockPoints = 256;
// Levels copied together for one point (one 64-byte line of doubles).
constexpr int64_t kLevelTile = 8;
// Blocks per chunk of the parallel loop.
constexpr int64_t kGrain = 4;

// Writes into `out` when given: a C-ordered (B, M, L) float64 array, so that a
// caller working through a grid block by block reuses one cache-sized buffer.
py::array_t<double> to_levels_last(const py::array_t<double, 0>& src,
                                   std::optional<py::array_t<double, 0>> out,
                                   int32_t n_threads) {
    if (src.ndim() != 3) throw std::invalid_argument("source must be 3-D (batch, level, point)");
    const int64_t nb = src.shape(0), nl = src.shape(1), nm = src.shape(2);
    for (int k = 0; k < 3; ++k)
        if (src.strides(k) % static_cast<py::ssize_t>(sizeof(double)) != 0)
            throw std::invalid_argument("source strides must be whole elements");
    const int64_t sb = src.strides(0) / 8, sl = src.strides(1) / 8, sm = src.strides(2) / 8;
    py::array_t<double> dst;
    if (out) {
        dst = *out;
        if (dst.ndim() != 3 || dst.shape(0) != nb || dst.shape(1) != nm || dst.shape(2) != nl ||
            !(dst.flags() & py::array::c_style) || !dst.writeable())
            throw std::invalid_argument("out must be a writeable C-ordered (B, M, L) array");
    } else {
        dst = py::array_t<double>({nb, nm, nl});
    }
    const double* in = src.data();
    double* dst_data = dst.mutable_data();
    const int64_t blocks_per_batch = (nm + kBlockPoints - 1) / kBlockPoints;
    {
        py::gil_scoped_release nogil;
        tarnwell::parallel_for(nb * blocks_per_batch, kGrain, n_threads, [&](int64_t item) {
            const int64_t b = item / blocks_per_batch;
            const int64_t m0 = (item % blocks_per_batch) * kBlockPoints;
            const int64_t m1 = std::min(m0 + kBlockPoints, nm);
            const double* s = in + b * sb;
            double* d = dst_data + (b * nm) * nl;
            // Eight levels at a time: each point's eight values fill one
            // destination cache line in one go, read from eight source rows
            // that are each walked in order.
            for (int64_t l0 = 0; l0 < nl; l0 += kLevelTile) {
                const int64_t l1 = std::min(l0 + kLevelTile, nl);
                for (int64_t m = m0; m < m1; ++m) {
                    const double* from = s + m * sm;
                    double* to = d + m * nl;
                    for (int64_t l = l0; l < l1; ++l) to[l] = from[l * sl];
                }
            }
        });
    }
    return dst;
}

}  // namespace

PYBIND11_MODULE(_transpose, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Parallel blocked copy of level-first data into level-last rows.";
    m.def("to_levels_last", &to_levels_last, "src"_a, "out"_a = py::none(), "n_threads"_a = 0,
          "C-ordered (B, M, L) copy of a (B, L, M) float64 view with any strides, into `out` "
          "when given.");
}
