#include "TarnwickScreenCapture/posix/OpenFiles.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <sstream>
#include <string>

namespace tarnwick {
namespace {

bool factsOf(int fd, FileFacts& facts) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return false;
    }
    facts = FileFacts{
        .identity = identityOf(status),
        .owner = status.st_uid,
        .group = status.st_gid,
        .permissions = status.st_mode & 07777u,
        .isFolder = S_ISDIR(status.st_mode),
        .isRegularFile = S_ISREG(status.st_mode),
        .size = status.st_size,
        .modified = wallTimeOf(status.st_mtim),
        .changed = wallTimeOf(status.st_ctim),
    };
    // Named entries are bounded by the group bits (the mask), so only then can they matter.
    if ((facts.permissions & S_IWGRP) != 0) {
        const ssize_t length = ::fgetxattr(fd, "system.posix_acl_access", nullptr, 0);
        facts.hasAccessList = length > 0 || (length < 0 && errno == ERANGE);
    }
    return true;
}

OpenedFile opened(int fd, int openError, bool isLink) {
    OpenedFile result;
    if (fd < 0) {
        if (openError == ENOENT) {
            result.outcome = OpenOutcome::kMissing;
        } else if (isLink) {
            result.outcome = OpenOutcome::kSymbolicLink;
        }
        return result;
    }
    result.fd.reset(fd);
    if (factsOf(fd, result.facts)) {
        result.outcome = OpenOutcome::kOpened;
    }
    return result;
}

// A failed open without following links says ELOOP or ENOTDIR for a link, depending on the
// flags; asking again tells a link from other failures.
bool isSymbolicLink(int folderFd, const char* path) {
    struct stat status {};
    return ::fstatat(folderFd, path, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

}  // namespace

OpenedFile openFolderNoFollow(const std::filesystem::path& folder) {
    const int fd =
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    const int openError = errno;
    return opened(fd, openError, fd < 0 && isSymbolicLink(AT_FDCWD, folder.c_str()));
}

OpenedFile openInFolderNoFollow(int folderFd, const std::string& name) {
    const int fd =
        ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    const int openError = errno;
    return opened(fd, openError, fd < 0 && isSymbolicLink(folderFd, name.c_str()));
}

std::optional<std::filesystem::path> pathOfOpenFolder(int folderFd) {
    const std::filesystem::path path = "/proc/self/fd/" + std::to_string(folderFd);
    struct stat named {};
    struct stat held {};
    if (::stat(path.c_str(), &named) != 0 || ::fstat(folderFd, &held) != 0 ||
        identityOf(named) != identityOf(held)) {
        return std::nullopt;
    }
    return path;
}

std::optional<int> processLocking(const FileIdentity& file) {
    const auto text = readFileBounded("/proc/locks", std::size_t{4} << 20);
    if (!text) {
        return std::nullopt;
    }
    // "1: FLOCK  ADVISORY  WRITE 4321 08:01:123456 0 EOF": the device in hexadecimal.
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, " %02x:%02x:%llu ", ::major(file.device),
                  ::minor(file.device), static_cast<unsigned long long>(file.inode));
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        const auto at = (line + " ").find(wanted);
        if (at == std::string::npos || line.find("FLOCK") == std::string::npos) {
            continue;
        }
        std::istringstream fields(line.substr(0, at));
        std::string word;
        std::string last;
        while (fields >> word) {
            last = word;
        }
        try {
            return std::stoi(last);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

LockOutcome lockExclusively(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return LockOutcome::kLocked;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EWOULDBLOCK ? LockOutcome::kHeldElsewhere : LockOutcome::kUnsupported;
    }
}

}  // namespace tarnwick
