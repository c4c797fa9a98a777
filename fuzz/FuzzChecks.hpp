#pragma once

#include <cstdio>
#include <cstdlib>

#include "TarnwickScreenCapture/capture/CaptureRequest.hpp"

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

// What every builder of a request promises, whatever it was given.
inline void checkRequestInvariants(const CaptureRequest& request) {
    check(request.quality >= kMinimumQuality && request.quality <= kMaximumQuality,
          "quality within [0.2, 0.95]");
    check(request.maxWidth >= 0, "maxWidth not negative");
    check(request.target == kTargetDesktop || request.target == kTargetTavik,
          "target is desktop or tavik");
}

}  // namespace tarnwick::fuzz
