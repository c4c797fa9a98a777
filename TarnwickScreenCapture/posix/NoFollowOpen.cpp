#include "TarnwickScreenCapture/posix/NoFollowOpen.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace tarnwick
