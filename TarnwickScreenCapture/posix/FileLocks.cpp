#include "TarnwickScreenCapture/posix/FileLocks.hpp"

#include <sys/file.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <sstream>
#include <string>

namespace tarnwick {

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
