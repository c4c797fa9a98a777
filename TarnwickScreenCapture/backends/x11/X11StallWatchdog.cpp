#include "TarnwickScreenCapture/backends/x11/X11StallWatchdog.hpp"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>

namespace tarnwick {
namespace {

constexpr std::chrono::milliseconds kWatchdogTick{100};

struct CloseFolder {
    void operator()(DIR* folder) const { ::closedir(folder); }
};

std::int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Calls `each` with every open file descriptor of this process, allocating nothing (the watchdog's
// thread may run where memory has run out); false when /proc is not there.
template <class Each>
bool forEachOpenDescriptor(const Each& each) {
    const std::unique_ptr<DIR, CloseFolder> folder(::opendir("/proc/self/fd"));
    if (!folder) {
        return false;
    }
    const int listing = ::dirfd(folder.get());
    while (const dirent* entry = ::readdir(folder.get())) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && fd != listing) {
            each(fd);
        }
    }
    return true;
}

// The open file descriptors of this process, sorted; none when /proc is not there.
std::optional<std::vector<int>> openDescriptors() {
    std::vector<int> descriptors;
    if (!forEachOpenDescriptor([&](int fd) { descriptors.push_back(fd); })) {
        return std::nullopt;
    }
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

// Told by the descriptor's name in /proc, not by fstat: the main thread is connecting this very
// descriptor meanwhile, and ThreadSanitizer takes any call on it from here for a race.
bool isSocket(int fd) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    char target[8];
    return ::readlink(path, target, sizeof target) == sizeof target &&
           std::memcmp(target, "socket:[", sizeof target) == 0;
}

bool isTcpSocket(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           (address.ss_family == AF_INET || address.ss_family == AF_INET6);
}

// Signals sent to the process stay with the main thread, which may be holding some back. No
// thread (none joinable) when it cannot start.
template <class Body>
std::thread threadWithoutSignals(Body body) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread thread;
    try {
        thread = std::thread(std::move(body));
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

}  // namespace

StallWatchdog::StallWatchdog(std::chrono::milliseconds limit)
    : limit_(limit), thread_(threadWithoutSignals([this] { run(); })) {}

StallWatchdog::~StallWatchdog() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void StallWatchdog::watchNewSockets() {
    if (!watching()) {
        return;
    }
    const std::lock_guard lock(mutex_);
    descriptorsBefore_ = openDescriptors();
}

void StallWatchdog::watchSocket(int fd) {
    const bool tcp = isTcpSocket(fd);
    const std::lock_guard lock(mutex_);
    descriptorsBefore_.reset();
    fd_ = fd;
    tcp_ = tcp;
}

void StallWatchdog::noteProgress() const {
    lastProgress_.store(steadyNanoseconds());
}

StallWatchdog::Busy::Busy(const StallWatchdog& watchdog) : watchdog_(watchdog) {
    if (watchdog_.busy_.fetch_add(1) == 0) {
        watchdog_.noteProgress();
    }
}

StallWatchdog::Busy::~Busy() {
    watchdog_.busy_.fetch_sub(1);
}

std::chrono::milliseconds StallWatchdog::idleTime() const {
    auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::nanoseconds(steadyNanoseconds() - lastProgress_.load()));
    if (tcp_) {
        tcp_info info{};
        socklen_t length = sizeof info;
        if (::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &length) == 0) {
            idle = std::min(idle, std::chrono::milliseconds(info.tcpi_last_data_recv));
        }
    }
    return idle;
}

void StallWatchdog::shutDownSockets() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
        return;
    }
    // Still connecting: the socket is one this thread did not see opened. Nothing else in the
    // process opens sockets meanwhile.
    if (!descriptorsBefore_) {
        return;
    }
    forEachOpenDescriptor([this](int fd) {
        if (!std::binary_search(descriptorsBefore_->begin(), descriptorsBefore_->end(), fd) &&
            isSocket(fd)) {
            ::shutdown(fd, SHUT_RDWR);
        }
    });
}

void StallWatchdog::run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kWatchdogTick, [this] { return stopping_; })) {
        if (busy_.load() > 0 && idleTime() >= limit_) {
            stalled_.store(true);
            shutDownSockets();
        }
    }
}

}  // namespace tarnwick
