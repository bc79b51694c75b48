// Streaming read of a large array: the memory-bound counterpart of the
// library-call control. Four accumulators keep the loop limited by memory,
// not by the latency of one dependent add chain.
#include <cstdint>

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
