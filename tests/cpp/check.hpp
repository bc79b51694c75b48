// The C++ tests' one assertion: reports a failed condition and counts it, so
// that one run lists every failure; main() returns nonzero when any failed.
#pragma once

#include <cstdio>

inline int failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)
