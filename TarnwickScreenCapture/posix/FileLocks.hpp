#pragma once

#include <optional>

#include "TarnwickScreenCapture/posix/Files.hpp"

namespace tarnwick {

enum class LockOutcome { kLocked, kHeldElsewhere, kUnsupported };

// An exclusive lock on the open file, held until every descriptor of that opening is closed.
LockOutcome lockExclusively(int fd);

// The process that holds a lock (flock) on the file, as the kernel lists it (/proc/locks),
// found without taking the lock itself; none when nobody holds one or the list is not there.
std::optional<int> processLocking(const FileIdentity& file);

}  // namespace tarnwick
