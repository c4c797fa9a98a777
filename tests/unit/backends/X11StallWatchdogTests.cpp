#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/backends/x11/X11StallWatchdog.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kLimit = 500ms;

// A connected pair whose far end stays open and silent, as a stopped server's would.
struct SocketPair {
    FileDescriptor near;
    FileDescriptor far;

    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            near.reset(fds[0]);
            far.reset(fds[1]);
        }
    }
};

// Whether `fd` reads as ended within `wait`: only a shutdown can end it while the far end is open.
bool endsWithin(const FileDescriptor& fd, std::chrono::milliseconds wait) {
    pollfd entry{.fd = fd.get(), .events = POLLIN, .revents = 0};
    char byte = 0;
    return ::poll(&entry, 1, static_cast<int>(wait.count())) == 1 &&
           ::recv(fd.get(), &byte, 1, MSG_DONTWAIT) == 0;
}

TEST(StallWatchdog, ShutsTheSocketDownOnceABusySpanGoesTheLimitWithoutProgress) {
    SocketPair pair;
    StallWatchdog watchdog(kLimit);
    watchdog.watchSocket(pair.near.get());
    const auto start = Clock::now();
    const StallWatchdog::Busy busy(watchdog);
    EXPECT_TRUE(endsWithin(pair.near, 5s));
    EXPECT_GE(Clock::now() - start, kLimit);
    EXPECT_TRUE(watchdog.stalled());
}

TEST(StallWatchdog, NeitherProgressNorIdlenessOutsideABusySpanIsAStall) {
    SocketPair pair;
    StallWatchdog watchdog(kLimit);
    watchdog.watchSocket(pair.near.get());
    const auto pastTheLimit = kLimit + 200ms;
    std::this_thread::sleep_for(pastTheLimit);  // idle: nobody waits on the server
    {
        // Opening a span after a long idle time starts the count afresh.
        const StallWatchdog::Busy busy(watchdog);
        std::this_thread::sleep_for(kLimit / 2);
        for (const auto end = Clock::now() + 2 * kLimit; Clock::now() < end;) {
            watchdog.noteProgress();
            std::this_thread::sleep_for(20ms);
        }
    }
    std::this_thread::sleep_for(pastTheLimit);
    EXPECT_FALSE(watchdog.stalled());
    EXPECT_FALSE(endsWithin(pair.near, 0ms));
}

TEST(StallWatchdog, WhileConnectingOnlySocketsOpenedSinceAreShutDown) {
    SocketPair before;
    StallWatchdog watchdog(kLimit);
    watchdog.watchNewSockets();
    SocketPair opened;
    const StallWatchdog::Busy busy(watchdog);
    EXPECT_TRUE(endsWithin(opened.near, 5s));
    EXPECT_TRUE(watchdog.stalled());
    char byte = 'x';
    ASSERT_EQ(::send(before.far.get(), &byte, 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(::recv(before.near.get(), &byte, 1, MSG_DONTWAIT), 1);
}

}  // namespace
}  // namespace tarnwick
