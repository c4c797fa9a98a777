#include "TarnwickScreenCapture/platform/Files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "TarnwickScreenCapture/platform/FileDescriptor.hpp"
#include "TarnwickScreenCapture/platform/TerminationCleanup.hpp"

namespace tarnwick {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr && result->pw_dir != nullptr) {
        return result->pw_dir;
    }
    return "/";
}

std::filesystem::path temporaryDirectory() {
    if (const char* directory = std::getenv("TMPDIR"); directory != nullptr && *directory != '\0') {
        return directory;
    }
    return "/tmp";
}

std::optional<std::string> readFileBounded(const std::filesystem::path& file,
                                           std::size_t maxBytes) {
    // Non-blocking, so that a FIFO put at the path cannot stall the caller.
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
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
        const ssize_t count = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
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
    if (file.empty() || !file.has_filename()) {
        return false;
    }
    std::string temporary = temporaryPatternBeside(file);
    FileDescriptor fd(createTemporaryFile(temporary));
    if (!fd) {
        return false;
    }
    const bool written = writeAll(fd.get(), bytes) && ::fchmod(fd.get(), newFileMode()) == 0 &&
                         fd.close() && ::rename(temporary.c_str(), file.c_str()) == 0;
    if (!written) {
        ::unlink(temporary.c_str());
    }
    forgetTemporaryFile(temporary);
    return written;
}

std::string temporaryPatternBeside(const std::filesystem::path& target) {
    std::string pattern = target.parent_path().native();
    if (!pattern.empty() && pattern.back() != '/') {
        pattern += '/';
    }
    pattern += '.';
    pattern += target.filename().native();
    pattern += ".XXXXXX";
    return pattern;
}

void removeFile(const std::filesystem::path& file) {
    ::unlink(file.c_str());
}

}  // namespace tarnwick
