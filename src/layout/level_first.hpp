// Column kernels over level-first data, free of the Python binding.
//
// A level-first grid (time, level, y, x) keeps each column's levels a whole
// horizontal slice apart. Rather than transpose the grid into a second copy
// that the kernel then reads back, the unchanged column routine runs on the
// grid as it lies, in one of two ways: each column's levels read in place, a
// slice apart (best when columns are read only part of the way up), or a
// tile of columns gathered into a per-thread buffer that stays in cache
// (best when most levels are read: every level is read once, in runs of
// pages). Every column is computed by the same routine on the same values in
// the same order as from a level-last copy, so the results are those bits.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "parallel/parallel_for.hpp"

namespace tarnwell {

// A float64 input seen as (batch, level, point) with strides in elements;
// column i is point i % points of batch i / points. Zero strides broadcast.
struct LevelGrid {
    const double* data;
    int64_t batch_stride;
    int64_t level_stride;
    int64_t point_stride;
};

namespace level_first_detail {

// Values of one array's tile buffer (256 KB): the tiles of three inputs fit a
// core's second-level cache (1 MB here), and each level is read in runs of
// several hundred points (a page or more) for columns of tens of levels. 32 KB,
// 128 KB tiles measured slower on a (8, 40, 256, 256) grid, and so did 512 KB.
constexpr int64_t kTileValues = 32768;
// Levels gathered together: each column's eight values then fill one buffer
// cache line in one go, read from eight source rows walked in order.
constexpr int64_t kLevelRun = 8;  // 4 and 16 measured slower
// Tiles per chunk of the parallel loop: a tile already reads runs of pages,
// and one tile per chunk balances grids of a few tiles.
constexpr int64_t kTilesPerChunk = 1;

}  // namespace level_first_detail

// Copies `count` columns of `levels` values into contiguous rows: column t
// starts at from + t * point_stride with its levels level_stride apart, and
// goes to to + t * levels. Eight levels at a time, so that each column's eight
// values fill one destination cache line in one go, read from eight source
// rows that are each walked in order.
inline void gather_columns(const double* from, int64_t point_stride, int64_t level_stride,
                           int64_t count, int64_t levels, double* to) {
    using level_first_detail::kLevelRun;
    for (int64_t l0 = 0; l0 < levels; l0 += kLevelRun) {
        const int64_t l1 = std::min(l0 + kLevelRun, levels);
        for (int64_t t = 0; t < count; ++t) {
            const double* src = from + t * point_stride;
            double* dst = to + t * levels;
            for (int64_t l = l0; l < l1; ++l) dst[l] = src[l * level_stride];
        }
    }
}

namespace level_first_detail {

// Tile buffers of the threads of one call, one slot per thread that can run
// at once, allocated before the loop. A chunk borrows a free slot for its
// tiles: no more chunks run at once than there are threads, so one is free.
class TileBuffers {
  public:
    TileBuffers(int64_t slots, size_t values_per_slot)
        : values_(values_per_slot),
          data_(new double[static_cast<size_t>(slots) * values_per_slot]),
          busy_(static_cast<size_t>(slots)) {}

    double* borrow() {
        for (;;)
            for (size_t s = 0; s < busy_.size(); ++s)
                if (!busy_[s].exchange(true, std::memory_order_acquire))
                    return data_.get() + s * values_;
    }

    void give_back(const double* slot) {
        busy_[static_cast<size_t>(slot - data_.get()) / values_].store(false,
                                                                       std::memory_order_release);
    }

  private:
    size_t values_;
    std::unique_ptr<double[]> data_;  // uninitialised: every tile is written before it is read
    std::vector<std::atomic<bool>> busy_;
};

}  // namespace level_first_detail

// Levels beyond which a tile would hold less than one column.
constexpr int64_t kMaxTileLevels = level_first_detail::kTileValues;

// How one input reaches the column routine: in place when its levels are
// adjacent, once for all columns when it varies by level only, else gathered
// tile by tile.
class TileSource {
  public:
    TileSource(const LevelGrid& g, int64_t levels) : g_(g), levels_(levels) {
        if (g.level_stride == 1) {
            mode_ = Mode::in_place;
        } else if (g.batch_stride == 0 && g.point_stride == 0) {
            mode_ = Mode::single;
            single_.resize(static_cast<size_t>(levels));
            for (int64_t l = 0; l < levels; ++l) single_[l] = g.data[l * g.level_stride];
        } else {
            mode_ = Mode::gathered;
        }
    }

    // Points [m0, m1) of batch b as rows of `levels` values; returns the first
    // row and sets `row_step`, the distance between rows. `buf` holds
    // kTileValues values and is used only by a gathered input.
    const double* rows(int64_t b, int64_t m0, int64_t m1, double* buf, int64_t& row_step) const {
        switch (mode_) {
            case Mode::in_place:
                row_step = g_.point_stride;
                return g_.data + b * g_.batch_stride + m0 * g_.point_stride;
            case Mode::single:
                row_step = 0;
                return single_.data();
            case Mode::gathered:
                break;
        }
        row_step = levels_;
        gather_columns(g_.data + b * g_.batch_stride + m0 * g_.point_stride, g_.point_stride,
                       g_.level_stride, m1 - m0, levels_, buf);
        return buf;
    }

  private:
    enum class Mode { in_place, single, gathered };
    LevelGrid g_;
    int64_t levels_;
    Mode mode_ = Mode::gathered;
    std::vector<double> single_;
};

// Calls column(i, rows) for every column i in [0, batches * points), where
// rows[a] points at that column's `levels` contiguous values of input a, on
// the chunked parallel loop (the caller releases the interpreter lock).
// `levels` must be between 1 and kMaxTileLevels.
template <size_t N, class Column>
void for_each_tiled_column(const std::array<LevelGrid, N>& grids, int64_t batches, int64_t levels,
                           int64_t points, int32_t n_threads, const Column& column) {
    using namespace level_first_detail;
    std::vector<TileSource> sources;
    sources.reserve(N);
    for (const auto& g : grids) sources.emplace_back(g, levels);
    const int64_t tile = kTileValues / levels;
    const int64_t tiles_per_batch = (points + tile - 1) / tile;
    const int64_t items = batches * tiles_per_batch;
    // The loop is given the thread count decided here, so that it never runs
    // more chunks at once than there are buffer slots.
    const int64_t chunks = (items + kTilesPerChunk - 1) / kTilesPerChunk;
    const bool ask = chunks > 1 && n_threads <= 0;  // as the loop itself asks
    const auto threads = static_cast<int32_t>(
        thread_count(chunks, n_threads, ask ? std::thread::hardware_concurrency() : 0u));
    TileBuffers buffers(threads, N * kTileValues);
    parallel_chunks(items, kTilesPerChunk, threads, [&](int64_t first, int64_t last) {
        double* bufs = buffers.borrow();
        for (int64_t item = first; item < last; ++item) {
            const int64_t b = item / tiles_per_batch;
            const int64_t m0 = (item % tiles_per_batch) * tile;
            const int64_t m1 = std::min(m0 + tile, points);
            std::array<const double*, N> row0{};
            std::array<int64_t, N> step{};
            for (size_t a = 0; a < N; ++a)
                row0[a] = sources[a].rows(b, m0, m1, bufs + a * kTileValues, step[a]);
            std::array<const double*, N> rows{};
            for (int64_t t = 0; t < m1 - m0; ++t) {
                for (size_t a = 0; a < N; ++a) rows[a] = row0[a] + t * step[a];
                column(b * points + m0 + t, rows);
            }
        }
        buffers.give_back(bufs);
    });
}

// One column's levels read in place, a fixed stride apart.
struct StridedLevels {
    const double* first;
    int64_t stride;
    double operator[](int64_t k) const { return first[k * stride]; }
};

// As StridedLevels, also recording in *reach one past the highest level read.
struct ReachLevels {
    const double* first;
    int64_t stride;
    int64_t* reach;
    double operator[](int64_t k) const {
        if (k >= *reach) *reach = k + 1;
        return first[k * stride];
    }
};

// Column i's levels of input a, in place, as `Levels` built from (first, stride).
template <size_t N>
const double* column_start(const std::array<LevelGrid, N>& grids, size_t a, int64_t i,
                           int64_t points) {
    const LevelGrid& g = grids[a];
    return g.data + (i / points) * g.batch_stride + (i % points) * g.point_stride;
}

// Calls column(i, rows) for every column i, rows[a] reading input a in place,
// on the chunked parallel loop (the caller releases the interpreter lock).
template <size_t N, class Column>
void for_each_strided_column(const std::array<LevelGrid, N>& grids, int64_t batches, int64_t points,
                             int64_t grain, int32_t n_threads, const Column& column) {
    parallel_chunks(batches * points, grain, n_threads, [&](int64_t first, int64_t last) {
        std::array<StridedLevels, N> rows{};
        for (int64_t i = first; i < last; ++i) {
            for (size_t a = 0; a < N; ++a)
                rows[a] = {column_start(grids, a, i, points), grids[a].level_stride};
            column(i, rows);
        }
    });
}

// Share of the levels that `column` reads, on average over `samples` columns
// spread evenly over the grid (each of them computed, by the same routine).
template <size_t N, class Column>
double sampled_reach(const std::array<LevelGrid, N>& grids, int64_t columns, int64_t points,
                     int64_t levels, int64_t samples, const Column& column) {
    if (columns <= 0) return 0.0;
    samples = std::min(samples, columns);
    int64_t total = 0;
    for (int64_t s = 0; s < samples; ++s) {
        const int64_t i = s * columns / samples;
        int64_t reach = 0;
        std::array<ReachLevels, N> rows{};
        for (size_t a = 0; a < N; ++a)
            rows[a] = {column_start(grids, a, i, points), grids[a].level_stride, &reach};
        column(i, rows);
        total += reach;
    }
    return static_cast<double>(total) / static_cast<double>(samples * levels);
}

}  // namespace tarnwell
