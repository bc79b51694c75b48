// tarnwell._native.transpose: level-first data for the column kernels, either run
// through them as it lies (cold_pool, profile: see layout/level_first.hpp) or
// copied, cache-blocked and in parallel, into the level-last rows the kernels
// read.
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
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "kernels/cold_pool_body.hpp"
#include "kernels/profile_body.hpp"
#include "layout/level_first.hpp"
#include "module/entry.hpp"
#include "native/bind.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// Points per block: long enough contiguous runs of every source level, while
// the destination block (256 points of 40 levels: 80 KB) stays in the
// second-level cache until it is complete. 64 and 16 measured slower.
constexpr int64_t kBlockPoints = 256;
// Blocks per chunk of the parallel loop.
constexpr int64_t kGrain = 4;

// A float64 array of any strides, as NumPy hands it over without a copy.
using Grid = py::array_t<double, 0>;

// The strides of a 3-D `a` in elements.
std::array<int64_t, 3> element_strides(const Grid& a, const char* name) {
    std::array<int64_t, 3> s{};
    for (int k = 0; k < 3; ++k) {
        if (a.strides(k) % static_cast<py::ssize_t>(sizeof(double)) != 0)
            throw std::invalid_argument(std::string(name) + " strides must be whole elements");
        s[k] = a.strides(k) / static_cast<py::ssize_t>(sizeof(double));
    }
    return s;
}

// Writes into `out` when given: a C-ordered (B, M, L) float64 array, so that a
// caller working through a grid block by block reuses one cache-sized buffer.
py::array_t<double> to_levels_last(const Grid& src, std::optional<Grid> out, int32_t n_threads) {
    if (src.ndim() != 3) throw std::invalid_argument("source must be 3-D (batch, level, point)");
    const int64_t nb = src.shape(0), nl = src.shape(1), nm = src.shape(2);
    const auto [sb, sl, sm] = element_strides(src, "source");
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
    tarnwell::run_released(nb * blocks_per_batch, kGrain, n_threads, [&](int64_t item) {
        const int64_t b = item / blocks_per_batch;
        const int64_t m0 = (item % blocks_per_batch) * kBlockPoints;
        const int64_t m1 = std::min(m0 + kBlockPoints, nm);
        tarnwell::gather_columns(in + b * sb + m0 * sm, sm, sl, m1 - m0, nl,
                                 dst_data + (b * nm + m0) * nl);
    });
    return dst;
}

// A (B, L, M) float64 view as the level-first loops read it.
tarnwell::LevelGrid level_grid(const Grid& a, const char* name, int64_t nb, int64_t nl,
                               int64_t nm) {
    if (a.ndim() != 3 || a.shape(0) != nb || a.shape(1) != nl || a.shape(2) != nm)
        throw std::invalid_argument(std::string(name) + " must be (B, L, M) like the first grid");
    const auto addr = reinterpret_cast<std::uintptr_t>(a.data());
    if (addr % alignof(double) != 0) throw std::invalid_argument(std::string(name) + " unaligned");
    const auto [sb, sl, sm] = element_strides(a, name);
    return {a.data(), sb, sl, sm};
}

// One value per column, C-ordered.
const double* per_column(const tarnwell::farray& a, const char* name, int64_t n) {
    if (a.size() != n)
        throw std::invalid_argument(std::string(name) + " needs one value per column");
    return a.data();
}

// Shape (B, L, M) of the first grid; L within what a tile holds.
std::array<int64_t, 3> grid_shape(const Grid& a) {
    if (a.ndim() != 3) throw std::invalid_argument("grids must be 3-D (batch, level, point)");
    const int64_t nl = a.shape(1);
    if (nl < 1 || nl > tarnwell::kMaxTileLevels)
        throw std::invalid_argument("levels must be between 1 and " +
                                    std::to_string(tarnwell::kMaxTileLevels));
    return {a.shape(0), nl, a.shape(2)};
}

// Columns per chunk when read in place: the kernels' own grain.
constexpr int64_t kColumnGrain = 64;
// Columns sampled to choose how to read the grid.
constexpr int64_t kReachSamples = 64;
// Below this share of levels read per column, columns are read in place:
// a column walk then touches few levels, and each cache line it loads serves
// the next seven columns. Above it, gathering tiles, which reads every level
// in runs of pages, is faster. Measured crossover on a (8, 40, 256, 256) grid.
constexpr double kInPlaceReach = 0.35;

// Runs `column(i, rows)` for every column, reading the grid in place or tile
// by tile as `path` says ("auto": by the sampled share of levels read).
template <size_t N, class Column>
void run_level_first(const std::array<tarnwell::LevelGrid, N>& grids, int64_t nb, int64_t nl,
                     int64_t nm, const std::string& path, int32_t n_threads, const Column& column) {
    bool in_place = path == "in_place";
    if (path == "auto")
        in_place =
            tarnwell::sampled_reach(grids, nb * nm, nm, nl, kReachSamples, column) < kInPlaceReach;
    else if (!in_place && path != "tiled")
        throw std::invalid_argument("path must be 'auto', 'in_place' or 'tiled'");
    tarnwell::without_lock([&] {
        if (in_place)
            tarnwell::for_each_strided_column(grids, nb, nm, kColumnGrain, n_threads, column);
        else
            tarnwell::for_each_tiled_column(grids, nb, nl, nm, n_threads, column);
    });
}

py::array_t<double> cold_pool_level_first(const Grid& z, const Grid& b,
                                          const tarnwell::farray& bottom, double threshold,
                                          const tarnwell::farray& top, const std::string& path,
                                          int32_t n_threads) {
    const auto [nb, nl, nm] = grid_shape(z);
    const std::array<tarnwell::LevelGrid, 2> grids{level_grid(z, "z", nb, nl, nm),
                                                   level_grid(b, "b", nb, nl, nm)};
    const int64_t n = nb * nm;
    const double* BOT = per_column(bottom, "bottom", n);
    const double* TOP = per_column(top, "top", n);
    py::array_t<double> out({static_cast<int64_t>(tarnwell::cold_pool_row::count), n});
    double* R = out.mutable_data();
    run_level_first(grids, nb, nl, nm, path, n_threads, [=](int64_t i, const auto& rows) {
        tarnwell::cold_pool_column(rows[0], rows[1], nl, BOT[i], threshold, TOP[i], R + i, n);
    });
    return out;
}

py::array_t<double> profile_level_first(const Grid& z, const Grid& u, const Grid& v,
                                        const tarnwell::farray& ground, double bottom, double top,
                                        const tarnwell::farray& cu, const tarnwell::farray& cv,
                                        const std::string& path, int32_t n_threads) {
    const auto [nb, nl, nm] = grid_shape(z);
    const std::array<tarnwell::LevelGrid, 3> grids{level_grid(z, "z", nb, nl, nm),
                                                   level_grid(u, "u", nb, nl, nm),
                                                   level_grid(v, "v", nb, nl, nm)};
    const int64_t n = nb * nm;
    const double* G = per_column(ground, "ground", n);
    const double* CU = per_column(cu, "cu", n);
    const double* CV = per_column(cv, "cv", n);
    py::array_t<double> out({static_cast<int64_t>(tarnwell::profile_row::count), n});
    double* R = out.mutable_data();
    run_level_first(grids, nb, nl, nm, path, n_threads, [=](int64_t i, const auto& rows) {
        tarnwell::profile_column(rows[0], rows[1], rows[2], nl, G[i], bottom, top, CU[i], CV[i],
                                 R + i, n);
    });
    return out;
}

}  // namespace

void tarnwell::bind_transpose(py::module_ m) {
    m.doc() =
        "Column kernels over level-first data, and its parallel blocked copy into "
        "level-last rows.";
    m.def("to_levels_last", &to_levels_last, "src"_a, "out"_a = py::none(), "n_threads"_a = 0,
          "C-ordered (B, M, L) copy of a (B, L, M) float64 view with any strides, into `out` "
          "when given.");
    m.attr("MAX_TILE_LEVELS") = tarnwell::kMaxTileLevels;
    m.def("cold_pool_level_first", &cold_pool_level_first, "z"_a, "b"_a, "bottom"_a, "threshold"_a,
          "top"_a, "path"_a = "auto", "n_threads"_a = 0,
          "cold_pool over (B, L, M) views with any strides: result (3, B * M).");
    m.def("profile_level_first", &profile_level_first, "z"_a, "u"_a, "v"_a, "ground"_a, "bottom"_a,
          "top"_a, "cu"_a, "cv"_a, "path"_a = "auto", "n_threads"_a = 0,
          "profile over (B, L, M) views with any strides: result (7, B * M).");
}
