#include "TarnwickScreenCapture/posix/TemporaryFiles.hpp"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>

#include "TarnwickScreenCapture/posix/Signals.hpp"

namespace tarnwick {
namespace {

// One file is in flight at a time in this program; the second slot is slack.
struct Slot {
    std::atomic<bool> used{false};
    char path[PATH_MAX]{};
};
static_assert(std::atomic<bool>::is_always_lock_free);

std::array<Slot, 2> slots;

extern "C" void removeTemporaryFilesAndStop(int signal) {
    // Only async-signal-safe calls from here on.
    for (Slot& slot : slots) {
        if (slot.used.load()) {
            ::unlink(slot.path);
        }
    }
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    ::sigemptyset(&defaultAction.sa_mask);
    ::sigaction(signal, &defaultAction, nullptr);
    // Blocked while this handler runs: delivered, now with the default action, on return.
    ::raise(signal);
}

}  // namespace

void installTerminationCleanup() {
    for (const int signal : kTerminationSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = removeTemporaryFilesAndStop;
        ::sigemptyset(&action.sa_mask);
        for (const int other : kTerminationSignals) {
            ::sigaddset(&action.sa_mask, other);
        }
        ::sigaction(signal, &action, nullptr);
    }
}

bool rememberTemporaryFile(const std::string& path) {
    if (path.size() >= PATH_MAX) {
        return false;
    }
    for (Slot& slot : slots) {
        if (!slot.used.load()) {
            std::memcpy(slot.path, path.c_str(), path.size() + 1);
            slot.used.store(true);
            return true;
        }
    }
    return false;
}

int createTemporaryFile(std::string& pattern) {
    const TerminationSignalsHeld held;
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) {
        rememberTemporaryFile(pattern);
    }
    return fd;
}

void forgetTemporaryFile(const std::string& path) {
    for (Slot& slot : slots) {
        if (slot.used.load() && path == slot.path) {
            slot.used.store(false);
            return;
        }
    }
}

}  // namespace tarnwick
