#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/platform/FileDescriptor.hpp"

namespace tarnwick {

// A moment as the file system stamps it.
struct FileTime {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    friend auto operator<=>(const FileTime&, const FileTime&) = default;
};

// What the system says about an open file or folder.
struct FileFacts {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t permissions = 0;  // the low twelve mode bits
    bool isFolder = false;
    bool isRegularFile = false;
    std::int64_t size = 0;
    FileTime modified;
    FileTime changed;
    // An access list can give named users and groups what the group bits allow.
    bool hasAccessList = false;
};

enum class OpenOutcome { kOpened, kMissing, kSymbolicLink, kUnusable };

struct OpenedFile {
    OpenOutcome outcome = OpenOutcome::kUnusable;
    FileDescriptor fd;
    FileFacts facts;
};

// Opens a folder for reading; a symbolic link as its last component is refused, not followed.
OpenedFile openFolderNoFollow(const std::filesystem::path& folder);

// Opens a file inside an open folder for reading, refusing a symbolic link, never blocking on a
// FIFO. Any kind of file is opened; the facts say which it is.
OpenedFile openInFolderNoFollow(int folderFd, const std::string& name);

// The whole content of an open regular file, or none when it cannot be read or holds more than
// maxBytes.
std::optional<std::string> readOpenFile(int fd, std::size_t maxBytes);

enum class LockOutcome { kLocked, kHeldElsewhere, kUnsupported };

// An exclusive lock on the open file, held until every descriptor of that opening is closed.
LockOutcome lockExclusively(int fd);

// Whether no user but this one may act as a member of the group: none is listed as a member,
// and no other user has it as primary group. False when the user database cannot be read.
bool groupHoldsOnlyUser(std::uint32_t group, std::uint32_t user);

std::uint32_t effectiveUserID();

// The wall clock, on the same scale as file times.
FileTime wallClockNow();

}  // namespace tarnwick
