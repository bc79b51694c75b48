// Cold against warm thread starts of the chunked parallel loop.
//
// One 2-thread call of fixed work (about 4 ms on one thread) is timed back to
// back and after idle gaps; a late worker shows as a call that takes nearly
// the 1-thread time. Build and run:
//   c++ -std=c++17 -O2 -pthread -Isrc bench/cold_start.cpp -o cold_start && ./cold_start
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "parallel/parallel_for.hpp"

using clock_type = std::chrono::steady_clock;

static double elapsed_ms(clock_type::time_point a, clock_type::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// A compute-bound item: its cost does not depend on the cache or on memory.
static double item_work(int64_t i) {
    double x = 1.0 + 1e-9 * static_cast<double>(i);
    for (int k = 0; k < 400; ++k) x = std::sqrt(x + 0.5);
    return x;
}

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 41;
    const int64_t n = 512, grain = 64;  // 8 chunks, like a small column kernel
    std::vector<double> out(n);
    auto call = [&](int32_t threads) {
        const auto t0 = clock_type::now();
        tarnwell::parallel_for(n, grain, threads,
                               [&](int64_t i) { out[static_cast<size_t>(i)] = item_work(i); });
        return elapsed_ms(t0, clock_type::now());
    };
    const int gaps_us[] = {0, 1000, 5000, 50000};
    std::vector<std::vector<double>> times(std::size(gaps_us));
    std::vector<double> one_thread;
    for (int r = 0; r < repeats; ++r) {
        one_thread.push_back(call(1));
        for (size_t g = 0; g < std::size(gaps_us); ++g) {
            if (gaps_us[g] == 0)
                call(2);  // the preceding call makes this one back to back
            else
                std::this_thread::sleep_for(std::chrono::microseconds(gaps_us[g]));
            times[g].push_back(call(2));
        }
    }
    const double warm = median(times[0]);
    std::printf("1 thread: %.2f ms\n", median(one_thread));
    for (size_t g = 0; g < std::size(gaps_us); ++g) {
        std::vector<double> t = times[g];
        std::sort(t.begin(), t.end());
        std::printf(
            "2 threads after %5.1f ms idle: median %.2f ms (%.2fx back to back), "
            "p90 %.2f ms\n",
            gaps_us[g] / 1000.0, median(times[g]), median(times[g]) / warm, t[t.size() * 9 / 10]);
    }
    return 0;
}
