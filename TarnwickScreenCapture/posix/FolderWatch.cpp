#include "TarnwickScreenCapture/posix/FolderWatch.hpp"

#include <sys/inotify.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "TarnwickScreenCapture/posix/Waiting.hpp"

namespace tarnwick {
namespace {

// What happens to the file, or to the folder itself: every change of its content (a writer that
// never closes it included), its name, its permissions.
constexpr std::uint32_t kFileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                      IN_CREATE | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF |
                                      IN_MOVE_SELF;
// A folder on the way appearing, disappearing or being replaced.
constexpr std::uint32_t kPathEvents = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

}  // namespace

FolderWatch::FolderWatch(std::filesystem::path folder, std::string fileName)
    : folder_(std::move(folder)),
      fileName_(std::move(fileName)),
      notifications_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (notifications_) {
        arm();
    }
}

void FolderWatch::arm() {
    const int fd = notifications_.get();
    const auto watch = [fd](const std::filesystem::path& path, std::uint32_t events, int previous) {
        const int added =
            ::inotify_add_watch(fd, path.c_str(), events | IN_ONLYDIR | IN_DONT_FOLLOW);
        if (previous >= 0 && previous != added) {
            ::inotify_rm_watch(fd, previous);  // on a folder since replaced or removed
        }
        return added;
    };
    // Adding a watch again where it already is costs one call and changes nothing; a folder
    // replaced at the same path gets a new one.
    folderWatch_ = watch(folder_, kFileEvents, folderWatch_);
    // The folder's parent tells of the folder being replaced or made; while the parent is
    // missing too, the nearest ancestor that exists tells of the path growing.
    std::filesystem::path child = folder_;
    int ancestor = -1;
    for (std::filesystem::path parent = child.parent_path(); !parent.empty() && parent != child;
         child = parent, parent = parent.parent_path()) {
        ancestor = ::inotify_add_watch(fd, parent.c_str(), kPathEvents | IN_ONLYDIR);
        if (ancestor >= 0) {
            break;
        }
    }
    if (ancestorWatch_ >= 0 && ancestorWatch_ != ancestor && ancestorWatch_ != folderWatch_) {
        ::inotify_rm_watch(fd, ancestorWatch_);
    }
    ancestorWatch_ = ancestor;
    ancestorChild_ = child.filename().string();
}

bool FolderWatch::takeNotifications() {
    bool changed = false;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        const ssize_t length = ::read(notifications_.get(), buffer, sizeof buffer);
        if (length <= 0) {
            return changed || (length < 0 && errno != EAGAIN && errno != EINTR);
        }
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            const char* name = buffer + offset + sizeof event;
            const std::string_view named = event.len > 0 ? std::string_view(name) : "";
            if ((event.mask & (IN_Q_OVERFLOW | IN_IGNORED)) != 0 ||
                (event.wd == folderWatch_ && (named.empty() || named == fileName_)) ||
                (event.wd == ancestorWatch_ && named == ancestorChild_)) {
                changed = true;
            }
            offset += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
}

bool FolderWatch::waitForChange(std::chrono::milliseconds timeout) {
    if (!notifications_) {
        std::this_thread::sleep_for(timeout);
        return false;
    }
    const bool changed = waitForNotifications(timeout);
    // Armed again before the caller looks, so that a change while it looks wakes the next wait.
    arm();
    return changed;
}

bool FolderWatch::waitForNotifications(std::chrono::milliseconds timeout) {
    const Deadline deadline = Deadline::after(timeout);
    for (;;) {
        switch (waitForDescriptor(notifications_.get(), POLLIN, deadline)) {
            case Readiness::kReady:
                if (takeNotifications()) {
                    return true;
                }
                break;  // events about other files only: wait out the rest
            case Readiness::kTimedOut:
                return false;
            case Readiness::kFailed:
                std::this_thread::sleep_for(timeout);
                return false;
        }
    }
}

}  // namespace tarnwick
