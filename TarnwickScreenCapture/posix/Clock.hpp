#pragma once

#include <time.h>

#include <compare>
#include <cstdint>

namespace tarnwick {

// A moment on the wall clock, as the file system stamps files with it.
struct WallTime {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    friend auto operator<=>(const WallTime&, const WallTime&) = default;
};

WallTime wallTimeOf(const timespec& time);

WallTime wallClockNow();

// Whole seconds since 1970-01-01 00:00:00 UTC, truncated toward zero.
std::int64_t currentUnixSeconds();

}  // namespace tarnwick
