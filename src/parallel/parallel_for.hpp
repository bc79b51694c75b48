// Chunked parallel loop shared by every kernel entry.
//
// Work items 0 .. n-1 are cut into chunks of `grain` consecutive items. The
// calling thread and T-1 workers started for this call claim chunks from one
// atomic counter until none is left; the workers are then joined in start
// order. Chunk boundaries depend on n and grain only, and every item is
// computed by the same code whichever thread takes it, so results do not
// depend on the thread count. There is no pool: nothing outlives the call.
#pragma once

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#define TARNWELL_PLACE_WORKERS 1
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace tarnwell {

// Starts a worker on a platform thread. Tests substitute a starter that
// refuses, to exercise the failure path that a loaded machine can produce.
struct StdThreadStarter {
    template <class F>
    std::thread operator()(F&& f) const {
        return std::thread(std::forward<F>(f));
    }
};

// Keeps a fresh worker off the caller's CPU while it starts.
//
// Linux places a new thread on its creator's CPU when the scheduler sees
// little load there, which is what it sees after the process has been idle for
// a few milliseconds. The caller then keeps that CPU busy with its own chunks
// and the worker waits in the run queue until a scheduler tick moves it: the
// call runs on one thread for 2-5 ms. So each worker is started with the
// caller's CPU removed from its mask, which moves it to an idle CPU at once,
// and the worker restores the full mask as its first act, so that it can still
// use the caller's CPU later (once the caller waits in the join, or when the
// other CPUs are busy with other work). The worker must not run before its mask
// is narrowed: narrowing a thread that has already ended would address the
// caller itself, since the platform clears an ended thread's id.
class WorkerPlacement {
  public:
    WorkerPlacement() {
#if TARNWELL_PLACE_WORKERS
        if (sched_getaffinity(0, sizeof full_, &full_) != 0) return;
        const int cpu = sched_getcpu();
        if (cpu < 0 || cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &full_)) return;
        away_ = full_;
        CPU_CLR(cpu, &away_);
        active_ = CPU_COUNT(&away_) > 0;
#endif
    }

    // Called by the caller right after worker `index` (1-based) has started.
    template <class Thread>
    void place(Thread& worker, int64_t index) {
#if TARNWELL_PLACE_WORKERS
        if (active_) pthread_setaffinity_np(worker.native_handle(), sizeof away_, &away_);
#else
        (void)worker;
#endif
        placed_.store(index, std::memory_order_release);
    }

    // First act of worker `index`: wait until the caller has placed it, then
    // give it back every CPU the caller may use.
    void settle(int64_t index) noexcept {
        while (placed_.load(std::memory_order_acquire) < index) std::this_thread::yield();
#if TARNWELL_PLACE_WORKERS
        if (active_) pthread_setaffinity_np(pthread_self(), sizeof full_, &full_);
#endif
    }

  private:
    std::atomic<int64_t> placed_{0};
#if TARNWELL_PLACE_WORKERS
    cpu_set_t full_{};
    cpu_set_t away_{};
    bool active_ = false;
#endif
};

// Threads to use, counting the caller: n_threads when positive, otherwise the
// hardware concurrency hc (0 when the platform cannot tell); never more than
// the chunks.
inline int64_t thread_count(int64_t chunks, int32_t n_threads, unsigned hc) {
    int64_t base = 1;
    if (n_threads > 0)
        base = n_threads;
    else
        base = hc > 1 ? static_cast<int64_t>(hc) : 1;
    const int64_t t = std::min(chunks, base);
    return t < 2 ? 1 : t;
}

// Runs chunk_body(first, last) once for every chunk [first, last) of the
// items [0, n), where the body processes its items in increasing order.
// `chunk_body` must not throw. A refused worker start joins the workers
// already running and throws std::system_error(resource_unavailable_try_again).
template <class ChunkBody, class Starter = StdThreadStarter>
void parallel_chunks(int64_t n, int64_t grain, int32_t n_threads, const ChunkBody& chunk_body,
                     const Starter& start = Starter{}) {
    if (n <= 0) return;
    const int64_t chunks = (n + grain - 1) / grain;
    // The hardware concurrency is asked anew on every call (CPUs can come and
    // go), but only when it can matter: the query reads sysfs and costs more
    // than a whole small call.
    const bool ask = chunks > 1 && n_threads <= 0;
    const int64_t threads =
        thread_count(chunks, n_threads, ask ? std::thread::hardware_concurrency() : 0u);

    std::atomic<int64_t> next{0};
    auto chunk_loop = [&next, grain, n, &chunk_body]() noexcept {
        for (;;) {
            const int64_t first = next.fetch_add(grain, std::memory_order_relaxed);
            if (first >= n) return;
            chunk_body(first, std::min(first + grain, n));
        }
    };
    if (threads == 1) {
        chunk_loop();
        return;
    }

    std::vector<std::thread> workers;
    workers.reserve(static_cast<size_t>(threads - 1));
    WorkerPlacement placement;
    bool refused = false;
    for (int64_t w = 1; w < threads && !refused; ++w) {
        try {
            workers.emplace_back(start([&placement, &chunk_loop, w]() noexcept {
                placement.settle(w);
                chunk_loop();
            }));
        } catch (...) {
            refused = true;
            break;
        }
        placement.place(workers.back(), w);
    }
    if (refused) {
        // The call fails anyway: stop the running workers at their next claim
        // rather than let them finish work whose result will be dropped.
        next.store(n, std::memory_order_relaxed);
    } else {
        chunk_loop();
    }
    for (auto& w : workers) w.join();
    if (refused)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

// Runs body(i) exactly once for every item i in [0, n); see parallel_chunks.
template <class Body, class Starter = StdThreadStarter>
void parallel_for(int64_t n, int64_t grain, int32_t n_threads, const Body& body,
                  const Starter& start = Starter{}) {
    parallel_chunks(
        n, grain, n_threads,
        [&body](int64_t first, int64_t last) {
            for (int64_t i = first; i < last; ++i) body(i);
        },
        start);
}

}  // namespace tarnwell
