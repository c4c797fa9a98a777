#include "TarnwickScreenCapture/posix/OutputFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace tarnwick {
namespace {

// The descriptor that /dev/stdout, /dev/stderr, /dev/fd/N or /proc/self/fd/N name.
std::optional<int> ownDescriptorNamed(const std::string& path) {
    if (path == "/dev/stdin") {
        return STDIN_FILENO;
    }
    if (path == "/dev/stdout") {
        return STDOUT_FILENO;
    }
    if (path == "/dev/stderr") {
        return STDERR_FILENO;
    }
    for (const std::string& folder : {std::string("/dev/fd/"), std::string("/proc/self/fd/"),
                                      "/proc/" + std::to_string(::getpid()) + "/fd/"}) {
        if (!path.starts_with(folder)) {
            continue;
        }
        const std::string_view number = std::string_view(path).substr(folder.size());
        int fd = 0;
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), fd);
        if (number.empty() || number.front() == '+' || error != std::errc() ||
            end != number.data() + number.size() || fd < 0) {
            return std::nullopt;
        }
        return fd;
    }
    return std::nullopt;
}

// A descriptor the process was given, to be written as it is (a file opened for appending is
// appended to). The process's own descriptors (close-on-exec) are never written to.
FileDescriptor writableCopyOf(int fd) {
    const int status = ::fcntl(fd, F_GETFL);
    const int descriptorFlags = ::fcntl(fd, F_GETFD);
    struct stat file {};
    if (status < 0 || descriptorFlags < 0 || (descriptorFlags & FD_CLOEXEC) != 0 ||
        (status & O_ACCMODE) == O_RDONLY || ::fstat(fd, &file) != 0 || S_ISBLK(file.st_mode) ||
        S_ISDIR(file.st_mode)) {
        return FileDescriptor();
    }
    return FileDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

// Whether `accepts` takes the file that status describes, opened afresh.
bool acceptsFile(bool (*accepts)(int fd), const std::string& path, const struct stat& status) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    return fd && ::fstat(fd.get(), &opened) == 0 && identityOf(opened) == identityOf(status) &&
           accepts(fd.get());
}

}  // namespace

OrUnavailable<OutputFile> OutputFile::open(const std::filesystem::path& location,
                                           ReplaceableFiles replaceable) {
    const auto refuse = [](std::string why) -> OrUnavailable<OutputFile> {
        return Unavailable{std::move(why)};
    };
    const auto systemError = [](int error) { return std::string(std::strerror(error)); };
    const std::string& path = location.native();
    if (path.empty()) {
        return refuse("the output path is empty");
    }
    if (path.find('\0') != std::string::npos) {
        return refuse("the output path holds a NUL character");
    }
    const std::string shown = "'" + path + "'";
    OutputFile output;
    if (replaceable.accepts == nullptr) {
        if (const auto fd = ownDescriptorNamed(path)) {
            output.direct_ = writableCopyOf(*fd);
            if (!output.direct_) {
                return refuse(shown + " names descriptor " + std::to_string(*fd) +
                              ", which is not open for writing");
            }
            return output;
        }
    } else {
        output.replacing_ = ReplacementFile::Replacing::kOnlyExpected;
    }

    // Without O_NONBLOCK a FIFO that nobody reads would keep the open waiting for good (ENXIO).
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    const int openError = errno;
    std::string target = path;
    struct stat status {};
    if (fd) {
        if (::fstat(fd.get(), &status) != 0) {
            return refuse("cannot examine " + shown + ": " + systemError(errno));
        }
        if (S_ISBLK(status.st_mode)) {
            return refuse(shown + " is a block device");
        }
        if (!S_ISREG(status.st_mode)) {
            // A FIFO or a character device: written directly, waiting for a slow reader.
            const int flags = ::fcntl(fd.get(), F_GETFL);
            if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
                return refuse("cannot write " + shown + " as it is: " + systemError(errno));
            }
            output.direct_ = std::move(fd);
            return output;
        }
        fd.reset();
        // Checked on the file that was opened, never on whatever the path names later.
        if (replaceable.accepts != nullptr && status.st_size > 0 &&
            !acceptsFile(replaceable.accepts, path, status)) {
            const std::string kind(replaceable.kind);
            return refuse(shown + " is not " + kind + ", and a request replaces only " + kind);
        }
        // Replace what a symbolic link points at, not the link itself.
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
        output.existing_ = identityOf(status);
        output.mode_ = status.st_mode & 0777;  // never set-user-ID, set-group-ID or sticky
    } else if (openError == ENOENT) {
        // A dangling symbolic link is replaced itself; nothing is created where it points.
        if (::lstat(path.c_str(), &status) == 0) {
            output.existing_ = identityOf(status);
        }
        output.mode_ = newFileMode();
    } else if (openError == ENXIO) {
        return refuse("no process reads the FIFO " + shown);
    } else {
        return refuse("cannot open " + shown + " for writing: " + systemError(openError));
    }
    output.file_ = ReplacementFile::create(target);
    if (!output.file_) {
        const int error = errno;
        if (error == ENOENT) {
            return refuse("cannot open " + shown + " for writing: " + systemError(error));
        }
        const auto folder = std::filesystem::path(target).parent_path();
        return refuse("cannot make a new file in '" + (folder.empty() ? "." : folder.native()) +
                      "': " + systemError(error));
    }
    return output;
}

std::optional<Unavailable> OutputFile::writeFrom(int content) {
    const bool written = direct_ ? copyAll(content, direct_.get()) && direct_.close()
                                 : file_ && copyAll(content, file_->fd()) &&
                                       file_->commit(mode_, replacing_, existing_);
    if (!written) {
        return Unavailable{std::strerror(errno)};
    }
    return std::nullopt;
}

}  // namespace tarnwick
