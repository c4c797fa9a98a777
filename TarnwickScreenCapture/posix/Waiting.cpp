#include "TarnwickScreenCapture/posix/Waiting.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>

namespace tarnwick {
namespace {

// poll() counts in milliseconds of an int; longer waits are taken in slices.
constexpr std::int64_t kLongestPoll = std::numeric_limits<int>::max();

}  // namespace

Deadline Deadline::never() {
    return Deadline(std::nullopt, std::chrono::milliseconds(0));
}

Deadline Deadline::after(std::chrono::milliseconds limit) {
    return Deadline(Clock::now() + limit, std::chrono::milliseconds(0));
}

Deadline Deadline::ofInactivity(std::chrono::milliseconds limit) {
    return Deadline(Clock::now() + limit, limit);
}

void Deadline::progressed() {
    if (inactivity_.count() > 0) {
        end_ = Clock::now() + inactivity_;
    }
}

Deadline Deadline::noLaterThan(Clock::time_point moment) const {
    Deadline earlier = *this;
    earlier.end_ = end_ ? std::min(*end_, moment) : moment;
    return earlier;
}

bool Deadline::passed() const {
    return end_ && Clock::now() >= *end_;
}

int Deadline::pollTimeoutMilliseconds() const {
    if (!end_) {
        return -1;
    }
    // Rounded up, so that a wait never ends just before the deadline and spins.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end_ - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, kLongestPoll));
}

std::uint64_t Deadline::microsecondsLeft() const {
    if (!end_) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(*end_ - Clock::now()).count();
    return left > 0 ? static_cast<std::uint64_t>(left) : 0;
}

Readiness waitForDescriptor(int fd, short events, const Deadline& deadline, short* seen) {
    for (;;) {
        pollfd descriptor{.fd = fd, .events = events, .revents = 0};
        const int timeout = deadline.pollTimeoutMilliseconds();
        const int ready = ::poll(&descriptor, 1, timeout);
        if (ready > 0) {
            if (seen != nullptr) {
                *seen = descriptor.revents;
            }
            return (descriptor.revents & POLLNVAL) != 0 ? Readiness::kFailed : Readiness::kReady;
        }
        if (ready < 0 && errno != EINTR) {
            return Readiness::kFailed;
        }
        if (ready == 0 && deadline.passed()) {
            return Readiness::kTimedOut;
        }
        // Interrupted, or a slice of a very long wait: wait out the rest.
    }
}

std::string secondsText(std::chrono::milliseconds limit) {
    std::string count = std::to_string(std::chrono::duration<double>(limit).count());
    count.erase(count.find_last_not_of('0') + 1);
    if (count.back() == '.') {
        count.pop_back();
    }
    return count + " s";
}

}  // namespace tarnwick
