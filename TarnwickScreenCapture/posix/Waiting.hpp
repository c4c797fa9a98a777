#pragma once

#include <poll.h>

#include <chrono>
#include <optional>
#include <string>

namespace tarnwick {

// How long to wait on another process: for good, until a fixed moment, or until it has been
// silent for a while (an inactivity deadline, which every sign of progress starts again, so that
// a slow peer that keeps sending is never cut off while a stalled one is).
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    static Deadline never();
    static Deadline after(std::chrono::milliseconds limit);
    static Deadline ofInactivity(std::chrono::milliseconds limit);

    // For an inactivity deadline, the limit counts again from now; otherwise nothing.
    void progressed();
    // The same deadline, but no later than `moment`.
    Deadline noLaterThan(Clock::time_point moment) const;

    bool passed() const;
    // Time left, for poll(): -1 for none, 0 once passed.
    int pollTimeoutMilliseconds() const;
    // Time left in microseconds; 0 once passed, the largest value for none.
    std::uint64_t microsecondsLeft() const;

private:
    Deadline(std::optional<Clock::time_point> end, std::chrono::milliseconds inactivity)
        : end_(end), inactivity_(inactivity) {}

    std::optional<Clock::time_point> end_;
    std::chrono::milliseconds inactivity_{0};  // 0: a fixed deadline
};

// "5 s", "0.3 s": a limit as causes name it.
std::string secondsText(std::chrono::milliseconds limit);

enum class Readiness {
    kReady,     // an event asked for, or the descriptor's end (POLLHUP, POLLERR)
    kTimedOut,  // the deadline passed first
    kFailed,    // not a descriptor that can be waited on
};

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), retrying interruptions. The events
// that were seen are stored in `seen` when given.
Readiness waitForDescriptor(int fd, short events, const Deadline& deadline, short* seen = nullptr);

}  // namespace tarnwick
