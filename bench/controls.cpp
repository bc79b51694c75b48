// Controls of the benchmarks: what no kernel can go below, and how much of
// the second core the shared machine gives at the moment of a run.
#include <cmath>
#include <cstdint>

// thermo's library calls alone (2 pow, 2 exp, 1 log per element) on the
// arguments thermo passes them: the floor of any correct scalar evaluation.
extern "C" double libm_floor(const double* a, const double* x1, const double* q, const double* x2,
                             const double* y2, int64_t n) {
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        s += std::pow(a[i], 0.28542059262205427) + std::exp(x1[i]) + std::log(q[i]) +
             std::exp(x2[i]) + std::pow(a[i], y2[i]);
    }
    return s;
}

// The same calls writing four outputs per element into `out` (4 x n), as a
// kernel must; with a freshly allocated `out` this adds the unavoidable cost
// of first touching the result's pages.
extern "C" void libm_floor_store(const double* a, const double* x1, const double* q,
                                 const double* x2, const double* y2, double* out, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        out[i] = std::pow(a[i], 0.28542059262205427);
        out[n + i] = std::exp(x1[i]);
        out[2 * n + i] = std::log(q[i]);
        out[3 * n + i] = std::exp(x2[i]) * std::pow(a[i], y2[i]);
    }
}

// One streaming read of an array. Four accumulators keep the loop limited by
// memory, not by the latency of one dependent chain of additions.
extern "C" double stream_sum(const double* a, int64_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i];
        s1 += a[i + 1];
        s2 += a[i + 2];
        s3 += a[i + 3];
    }
    for (; i < n; ++i) s0 += a[i];
    return (s0 + s1) + (s2 + s3);
}
