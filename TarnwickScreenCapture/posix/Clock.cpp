#include "TarnwickScreenCapture/posix/Clock.hpp"

namespace tarnwick {

WallTime wallTimeOf(const timespec& time) {
    return {.seconds = time.tv_sec, .nanoseconds = time.tv_nsec};
}

WallTime wallClockNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return wallTimeOf(now);
}

std::int64_t currentUnixSeconds() {
    // Truncation toward zero; the nanoseconds of a time before 1970 count toward it.
    const WallTime now = wallClockNow();
    return now.seconds < 0 && now.nanoseconds > 0 ? now.seconds + 1 : now.seconds;
}

}  // namespace tarnwick
