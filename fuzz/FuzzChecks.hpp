#pragma once

#include <cstdio>
#include <cstdlib>

namespace tarnwick::fuzz {

// Stops the run with a message; libFuzzer saves the input that got here.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

}  // namespace tarnwick::fuzz
