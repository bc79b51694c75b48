// Tests of the chunked parallel loop that need to reach inside it: which
// threads start, and what happens when the platform refuses one.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "check.hpp"
#include "parallel/parallel_for.hpp"

using tarnwell::parallel_for;

// Counts starts and refuses the start with the given 1-based number.
struct CountingStarter {
    std::atomic<int>* starts;
    int refuse_at;
    template <class F>
    std::thread operator()(F&& f) const {
        int k = ++*starts;
        if (k == refuse_at)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::forward<F>(f));
    }
};

static void every_item_once() {
    const int64_t sizes[] = {1, 7, 8, 9, 63, 64, 65, 4095, 4096, 4097, 100003};
    const int64_t grains[] = {1, 8, 64, 4096};
    const int32_t threads[] = {-5, 0, 1, 2, 3, 1000};
    for (int64_t n : sizes)
        for (int64_t g : grains)
            for (int32_t t : threads) {
                std::vector<std::atomic<int>> hits(static_cast<size_t>(n));
                parallel_for(n, g, t, [&](int64_t i) { hits[static_cast<size_t>(i)]++; });
                bool ok = true;
                for (auto& h : hits) ok = ok && h.load() == 1;
                CHECK(ok);
            }
}

static void chunk_stays_on_one_thread() {
    const int64_t n = 20, g = 8;  // chunks of 8, 8 and 4 items
    std::vector<std::thread::id> who(n);
    std::vector<int64_t> order;
    std::mutex mu;
    parallel_for(n, g, 3, [&](int64_t i) {
        who[static_cast<size_t>(i)] = std::this_thread::get_id();
        std::lock_guard<std::mutex> lk(mu);
        order.push_back(i);
    });
    for (int64_t i = 0; i < n; ++i)
        CHECK(who[static_cast<size_t>(i)] == who[static_cast<size_t>(i / g * g)]);
    // Within a chunk, items run in increasing order.
    std::vector<int64_t> last(3, -1);
    for (int64_t i : order) {
        CHECK(i > last[static_cast<size_t>(i / g)]);
        last[static_cast<size_t>(i / g)] = i;
    }
}

static int starts_for(int64_t n, int64_t g, int32_t t) {
    std::atomic<int> starts{0};
    std::atomic<int64_t> done{0};
    parallel_for(n, g, t, [&](int64_t) { done++; }, CountingStarter{&starts, 0});
    CHECK(done.load() == (n > 0 ? n : 0));
    return starts.load();
}

static void thread_count_rule() {
    CHECK(starts_for(0, 4096, 8) == 0);
    CHECK(starts_for(-3, 4096, 8) == 0);
    CHECK(starts_for(1, 4096, 8) == 0);  // one chunk: caller alone
    CHECK(starts_for(4096, 4096, 8) == 0);
    CHECK(starts_for(4097, 4096, 8) == 1);     // two chunks: caller + one worker
    CHECK(starts_for(5 * 64, 64, 1000) == 4);  // never more threads than chunks
    CHECK(starts_for(100000, 64, 1) == 0);
    CHECK(starts_for(100000, 64, 3) == 2);
    const unsigned hc = std::thread::hardware_concurrency();
    const int expect = hc > 1 ? static_cast<int>(hc) - 1 : 0;
    CHECK(starts_for(1 << 20, 64, 0) == expect);
    CHECK(starts_for(1 << 20, 64, -5) == expect);
    using tarnwell::thread_count;
    CHECK(thread_count(5, 1000, 8) == 5);
    CHECK(thread_count(1, 8, 8) == 1);
    CHECK(thread_count(1000, 2, 8) == 2);
    CHECK(thread_count(2, 0, 8) == 2);     // 4097 thermo elements on 8 cores
    CHECK(thread_count(1000, 0, 0) == 1);  // concurrency unknown: caller alone
    CHECK(thread_count(1000, 0, 1) == 1);
    CHECK(thread_count(1000, -5, 6) == 6);
    CHECK(thread_count(1000, 1, 6) == 1);
}

static void refused_start(int refuse_at, int32_t n_threads) {
    std::atomic<int> starts{0};
    std::atomic<int64_t> done{0};
    bool threw = false;
    try {
        parallel_for(
            1 << 16, 8, n_threads, [&](int64_t) { done++; }, CountingStarter{&starts, refuse_at});
    } catch (const std::system_error& e) {
        threw = e.code() == std::errc::resource_unavailable_try_again;
    }
    CHECK(threw);
    CHECK(starts.load() == refuse_at);            // no start after the refused one
    if (refuse_at == 1) CHECK(done.load() == 0);  // nothing computed at all
    CHECK(done.load() <= (1 << 16));
}

#if defined(__linux__)
static bool same_mask(const cpu_set_t& a, const cpu_set_t& b) { return CPU_EQUAL(&a, &b); }

// Workers are kept off the caller's CPU while they start and then given back
// every CPU; neither the caller's mask nor a worker's may stay narrowed.
static void affinity_restored() {
    cpu_set_t before;
    CHECK(sched_getaffinity(0, sizeof before, &before) == 0);
    for (int32_t t : {2, 3, 8}) {
        for (int rep = 0; rep < 20; ++rep) {
            std::mutex mu;
            std::set<std::thread::id> threads;
            bool all_full = true;
            parallel_for(64 * 16, 64, t, [&](int64_t i) {
                if (i % 64 != 0) return;
                cpu_set_t m;
                const bool ok = sched_getaffinity(0, sizeof m, &m) == 0;
                std::lock_guard<std::mutex> lk(mu);
                threads.insert(std::this_thread::get_id());
                all_full = all_full && ok && same_mask(m, before);
            });
            CHECK(all_full);
            cpu_set_t after;
            CHECK(sched_getaffinity(0, sizeof after, &after) == 0);
            CHECK(same_mask(after, before));
        }
    }
    // A caller confined to one CPU cannot place its workers elsewhere: the
    // loop must still run them, on that CPU.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    CHECK(sched_setaffinity(0, sizeof one, &one) == 0);
    std::atomic<int64_t> done{0};
    parallel_for(1 << 12, 64, 4, [&](int64_t) { done++; });
    CHECK(done.load() == (1 << 12));
    CHECK(sched_setaffinity(0, sizeof before, &before) == 0);
}
#endif

int main() {
    every_item_once();
    chunk_stays_on_one_thread();
    thread_count_rule();
    refused_start(1, 4);
    refused_start(2, 4);
    refused_start(3, 4);
#if defined(__linux__)
    affinity_restored();
#endif
    // Reaching here means the workers started before a refusal were joined:
    // destroying a joinable std::thread would have terminated the process.
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::puts("parallel loop: all checks passed");
    return 0;
}
