#include "TarnwickScreenCapture/posix/Files.hpp"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

#include "TarnwickScreenCapture/posix/Environment.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/NoFollowOpen.hpp"
#include "TarnwickScreenCapture/posix/ReplacementFile.hpp"
#include "TarnwickScreenCapture/posix/Signals.hpp"
#include "TarnwickScreenCapture/posix/Waiting.hpp"

namespace tarnwick {

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A descriptor shared with others may be non-blocking; its flags stay theirs.
                waitForDescriptor(fd, POLLOUT, Deadline::never());
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool copyAll(int from, int to) {
    struct stat status {};
    if (::fstat(from, &status) != 0) {
        return false;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    off_t offset = 0;
    // In the kernel where it can; appending outputs (EINVAL) and others take the plain way.
    while (static_cast<std::size_t>(offset) < size) {
        const ssize_t sent = ::sendfile(to, from, &offset, size - static_cast<std::size_t>(offset));
        if (sent > 0) {
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitForDescriptor(to, POLLOUT, Deadline::never());
            continue;
        }
        if (sent == 0 || (errno != EINVAL && errno != ENOSYS)) {
            return false;
        }
        break;
    }
    std::array<char, 64 * 1024> buffer{};
    while (static_cast<std::size_t>(offset) < size) {
        const ssize_t count = ::pread(from, buffer.data(), buffer.size(), offset);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0 ||
            !writeAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(count)))) {
            return false;
        }
        offset += count;
    }
    return true;
}

std::filesystem::path temporaryDirectory() {
    if (auto directory = environmentValue(variables::kTemporaryFolder)) {
        return std::move(*directory);
    }
    return "/tmp";
}

std::optional<std::string> readFileBounded(const std::filesystem::path& file,
                                           std::size_t maxBytes) {
    const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    return fd ? readOpenFileBounded(fd.get(), maxBytes) : std::nullopt;
}

std::optional<std::string> readOpenFileBounded(int fd, std::size_t maxBytes) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) > maxBytes) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (used > maxBytes) {
                return std::nullopt;  // grew while being read
            }
            bytes.resize(std::min(maxBytes + 1, used * 2 + 1));
        }
        const ssize_t count =
            ::pread(fd, bytes.data() + used, bytes.size() - used, static_cast<off_t>(used));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        used += static_cast<std::size_t>(count);
    }
    if (used > maxBytes) {
        return std::nullopt;
    }
    bytes.resize(used);
    return bytes;
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes) {
    auto replacement = ReplacementFile::create(file);
    return replacement && writeAll(replacement->fd(), bytes) && replacement->commit(newFileMode());
}

bool writeFileAtomicallyIn(int folderFd, const std::string& name, std::string_view bytes) {
    if (const auto folder = pathOfOpenFolder(folderFd)) {
        return writeFileAtomically(*folder / name, bytes);
    }
    // Without /proc an unnamed file cannot be given a name, and the folder has no path that is
    // surely its own: a hidden file is made, written and renamed through the descriptor, with the
    // termination signals held off so that none can leave it behind.
    constexpr int kAttempts = 100;
    const TerminationSignalsHeld held;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string hidden = temporaryNameBeside(name);
        FileDescriptor file(::openat(folderFd, hidden.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        const bool placed = writeAll(file.get(), bytes) &&
                            ::fchmod(file.get(), newFileMode()) == 0 && file.close() &&
                            ::renameat(folderFd, hidden.c_str(), folderFd, name.c_str()) == 0;
        if (!placed) {
            ::unlinkat(folderFd, hidden.c_str(), 0);
        }
        return placed;
    }
    return false;
}

void removeFile(const std::filesystem::path& file) {
    ::unlink(file.c_str());
}

}  // namespace tarnwick
