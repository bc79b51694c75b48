// Two doubles at a time through the compiler's vector extension (SSE2 on
// x86-64, NEON on 64-bit ARM, pairs of scalar operations elsewhere). Each lane
// is rounded exactly as the scalar operation, so both paths give the same bits.
// The scalar overloads let one template read one column as a double or two as
// a v2d.
#pragma once

#include <cstdint>
#include <cstring>

namespace tarnwell {

using v2d = double __attribute__((vector_size(16)));
using v2m = int64_t __attribute__((vector_size(16)));  // lane masks: all ones or zero
using v2u = uint64_t __attribute__((vector_size(16)));

inline v2d load(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(double* p, v2d v) { std::memcpy(p, &v, sizeof v); }
inline void store(double* p, double v) { *p = v; }
inline v2d splat(double a) { return v2d{a, a}; }

template <class V>
V load_as(const double* p);
template <>
inline double load_as<double>(const double* p) {
    return *p;
}
template <>
inline v2d load_as<v2d>(const double* p) {
    return load(p);
}
template <class V>
V splat_as(double a);
template <>
inline double splat_as<double>(double a) {
    return a;
}
template <>
inline v2d splat_as<v2d>(double a) {
    return splat(a);
}

// Lane mask of the finite lanes. Integer arithmetic on the exponent field (all
// ones for NaN and inf): the mask is the sign of exponent - 0x7FF. Compiler
// comparisons would give the same masks, but without SSE4.1 GCC turns their
// combinations into scalar code.
inline v2m finite(v2d v) {
    constexpr uint64_t kExp = 0x7FF0000000000000u;
    const v2u e = reinterpret_cast<v2u>(v) & kExp;
    return -reinterpret_cast<v2m>((e - kExp) >> 63);
}

inline double select(bool m, double a, double b) { return m ? a : b; }
inline v2d select(v2m m, v2d a, v2d b) {
    return reinterpret_cast<v2d>((m & reinterpret_cast<v2m>(a)) | (~m & reinterpret_cast<v2m>(b)));
}

// Requests the cache line 2 KiB past p. The hardware prefetcher stops at page
// boundaries, which a 4 KiB row crosses at every row; asking ahead keeps one
// stream read from memory flowing. A prefetch never faults, also past an
// array's end.
inline void prefetch_ahead(const double* p) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + 2048));
}

}  // namespace tarnwell
