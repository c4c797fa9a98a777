#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tarnwick {

// Gives up on a display server that stops answering. The rest of the program waits with
// waitForDescriptor and a Deadline, but XCB leaves no such wait to make: it blocks inside its own
// calls (the connection setup, a reply, a flush, a write the server does not read) with no
// deadline. So while the program waits on the connection (a "busy" span), a thread watches how
// long ago the server last answered; after `limit` (5 s for a display) without an answer it shuts
// the socket down, so that every XCB call blocked on it returns and the connection is in error.
// Over TCP the kernel's time of the last data received also counts, so a slow but progressing
// remote server is never cut off in the middle of a long reply.
//
// A thread that cannot start (a process limit, no memory for its stack) leaves a watchdog that
// never fires: the capture then goes on without a deadline against a stalled server, which beats
// failing one that would have worked.
class StallWatchdog {
public:
    explicit StallWatchdog(std::chrono::milliseconds limit);
    StallWatchdog(const StallWatchdog&) = delete;
    StallWatchdog& operator=(const StallWatchdog&) = delete;
    ~StallWatchdog();

    // Before the connection's socket exists: a stall then shuts down every socket opened since.
    void watchNewSockets();
    void watchSocket(int fd);

    void noteProgress() const;
    bool stalled() const { return stalled_.load(); }
    bool watching() const { return thread_.joinable(); }
    std::chrono::milliseconds limit() const { return limit_; }

    class Busy {
    public:
        explicit Busy(const StallWatchdog& watchdog);
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;
        ~Busy();

    private:
        const StallWatchdog& watchdog_;
    };

private:
    void run();
    std::chrono::milliseconds idleTime() const;
    void shutDownSockets();

    const std::chrono::milliseconds limit_;
    mutable std::atomic<int> busy_{0};
    mutable std::atomic<std::int64_t> lastProgress_{0};  // steady clock, nanoseconds
    std::atomic<bool> stalled_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    int fd_ = -1;
    bool tcp_ = false;
    std::optional<std::vector<int>> descriptorsBefore_;
    // Last: the thread starts once everything it reads is in place.
    std::thread thread_;
};

}  // namespace tarnwick
