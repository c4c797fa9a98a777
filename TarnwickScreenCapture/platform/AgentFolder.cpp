#include "TarnwickScreenCapture/platform/AgentFolder.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "TarnwickScreenCapture/platform/Files.hpp"

namespace tarnwick {
namespace {

FileTime fileTime(const timespec& time) {
    return {.seconds = time.tv_sec, .nanoseconds = time.tv_nsec};
}

bool factsOf(int fd, FileFacts& facts) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return false;
    }
    facts = FileFacts{
        .device = status.st_dev,
        .inode = status.st_ino,
        .owner = status.st_uid,
        .group = status.st_gid,
        .permissions = status.st_mode & 07777u,
        .isFolder = S_ISDIR(status.st_mode),
        .isRegularFile = S_ISREG(status.st_mode),
        .size = status.st_size,
        .modified = fileTime(status.st_mtim),
        .changed = fileTime(status.st_ctim),
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

template <class Entry, class Lookup>
bool lookUp(Lookup lookup, Entry& entry, std::vector<char>& buffer, bool& found) {
    for (;;) {
        Entry* result = nullptr;
        const int error = lookup(&entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE && buffer.size() < (std::size_t{1} << 24)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        found = result != nullptr;
        return error == 0 || error == ENOENT;
    }
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

std::optional<std::string> readOpenFile(int fd, std::size_t maxBytes) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return readRegularFileBounded(fd, status, maxBytes);
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

bool groupHoldsOnlyUser(std::uint32_t group, std::uint32_t user) {
    std::vector<char> buffer(16384);
    struct group groupEntry {};
    bool found = false;
    if (!lookUp<struct group>(
            [group](struct group* entry, char* data, std::size_t size, struct group** result) {
                return ::getgrgid_r(group, entry, data, size, result);
            },
            groupEntry, buffer, found)) {
        return false;
    }
    if (found && groupEntry.gr_mem != nullptr) {
        std::vector<std::string> members;
        for (char** member = groupEntry.gr_mem; *member != nullptr; ++member) {
            members.emplace_back(*member);
        }
        std::vector<char> userBuffer(16384);
        for (const auto& member : members) {
            passwd userEntry{};
            bool known = false;
            if (!lookUp<passwd>(
                    [&member](passwd* entry, char* data, std::size_t size, passwd** result) {
                        return ::getpwnam_r(member.c_str(), entry, data, size, result);
                    },
                    userEntry, userBuffer, known) ||
                !known || userEntry.pw_uid != user) {
                return false;
            }
        }
    }
    // Users whose primary group it is are not listed as its members.
    bool onlyUser = true;
    ::setpwent();
    for (;;) {
        passwd entry{};
        passwd* result = nullptr;
        const int error = ::getpwent_r(&entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE && buffer.size() < (std::size_t{1} << 24)) {
            buffer.resize(buffer.size() * 2);
            ::setpwent();  // the entry that did not fit is read again from the start
            continue;
        }
        if (error != 0 || result == nullptr) {
            onlyUser = onlyUser && (error == 0 || error == ENOENT);
            break;
        }
        if (entry.pw_gid == group && entry.pw_uid != user) {
            onlyUser = false;
            break;
        }
    }
    ::endpwent();
    return onlyUser;
}

std::uint32_t effectiveUserID() {
    return ::geteuid();
}

FileTime wallClockNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return fileTime(now);
}

}  // namespace tarnwick
