#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"

namespace tarnwick {

// Writes all bytes, retrying short writes and interruptions.
bool writeAll(int fd, std::string_view bytes);

// Writes everything the file `from` holds, from its start, to `to` (at its position, or its end
// when it appends).
bool copyAll(int from, int to);

// $TMPDIR when set and not empty, else /tmp.
std::filesystem::path temporaryDirectory();

// The whole content of a regular file, or none when it is no regular file, cannot be read or
// holds more than maxBytes; never holds more than maxBytes (plus one) in memory. The path is
// opened without blocking, so a FIFO put there cannot stall the caller.
std::optional<std::string> readFileBounded(const std::filesystem::path& file, std::size_t maxBytes);

// The same for a file already open as `fd`, read from its start whatever its position.
std::optional<std::string> readOpenFileBounded(int fd, std::size_t maxBytes);

// Writes a new file beside the target and puts it in the target's place (a symbolic link there
// is replaced, not followed); never creates the folder. On failure nothing at the target changes
// and no auxiliary file is left.
bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes);

// The same for the file `name` in an open folder, whatever the folder's path names by now: by
// the folder's own name under /proc, or else relative to the descriptor.
bool writeFileAtomicallyIn(int folderFd, const std::string& name, std::string_view bytes);

// The permission bits an ordinary new file gets: 0666 less the process's umask.
mode_t newFileMode();

// Whether the descriptor is a terminal: a person reads what is written to it.
bool isTerminal(int fd);

// One attempt; failure is ignored.
void removeFile(const std::filesystem::path& file);

// Which file is which, whatever its name (st_dev, st_ino).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

inline FileIdentity identityOf(const struct stat& status) {
    return FileIdentity{.device = status.st_dev, .inode = status.st_ino};
}

}  // namespace tarnwick
