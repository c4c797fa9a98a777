#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TarnwickScreenCapture/platform/X11Connection.hpp"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 400ms;

// A connected socket pair standing in for the display connection: the watchdog shuts down one
// end, which the test sees as the end of the stream on the other.
struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
    ~SocketPair() {
        ::close(ends[0]);
        ::close(ends[1]);
    }
    bool shutDown() const {
        char byte = 0;
        return ::recv(ends[1], &byte, 1, MSG_DONTWAIT) == 0;
    }
};

TEST(StallWatchdog, ShutsTheSocketDownOnlyAfterTheLimitWithoutProgressWhileBusy) {
    SocketPair sockets;
    StallWatchdog watchdog(kLimit);
    watchdog.watchSocket(sockets.ends[0]);

    // Idle (nothing asked of the server) for longer than the limit: no stall.
    std::this_thread::sleep_for(kLimit * 2);
    EXPECT_FALSE(sockets.shutDown());

    // Busy for several limits, but answered often: a slow server that makes progress.
    {
        const StallWatchdog::Busy busy(watchdog);
        const auto end = std::chrono::steady_clock::now() + kLimit * 3;
        while (std::chrono::steady_clock::now() < end) {
            watchdog.noteProgress();
            std::this_thread::sleep_for(20ms);
        }
    }
    EXPECT_FALSE(sockets.shutDown());
    EXPECT_FALSE(watchdog.stalled());

    // Busy without an answer: the socket is shut down.
    const StallWatchdog::Busy busy(watchdog);
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (!sockets.shutDown() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(sockets.shutDown());
    EXPECT_TRUE(watchdog.stalled());
}

TEST(StallWatchdog, WhileConnectingShutsDownOnlySocketsOpenedSince) {
    SocketPair before;
    StallWatchdog watchdog(kLimit);
    watchdog.watchNewSockets();
    SocketPair opened;
    const StallWatchdog::Busy busy(watchdog);
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (!opened.shutDown() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(opened.shutDown());
    EXPECT_FALSE(before.shutDown());
}

}  // namespace
}  // namespace tarnwick
