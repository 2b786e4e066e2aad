#pragma once

// How the fuzz targets stop on a broken promise: a message naming the target and the promise,
// then abort(), so that libFuzzer saves the input that got there.

#include <cstdio>
#include <cstdlib>

namespace doz2era::fuzz {

// The name of the target, for the messages; each target defines it.
extern const char* const kTargetName;

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "%s: %s\n", kTargetName, what);
    std::abort();
}

inline void check(bool holds, const char* what) {
    if (!holds) {
        fail(what);
    }
}

} // namespace doz2era::fuzz
