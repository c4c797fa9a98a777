#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/posix/Clock.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"

namespace tarnwick {

// What the system says about an open file or folder.
struct FileFacts {
    FileIdentity identity;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t permissions = 0;  // the low twelve mode bits
    bool isFolder = false;
    bool isRegularFile = false;
    std::int64_t size = 0;
    WallTime modified;
    WallTime changed;
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

// A path that names the open folder itself, whatever its own path names by now
// (/proc/self/fd/N); none where /proc is not there.
std::optional<std::filesystem::path> pathOfOpenFolder(int folderFd);

}  // namespace tarnwick
