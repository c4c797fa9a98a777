#include "TarnwickScreenCapture/posix/Users.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/posix/Environment.hpp"

namespace tarnwick {
namespace {

constexpr std::size_t kFirstBufferBytes = 16384;
constexpr std::size_t kLargestBufferBytes = std::size_t{1} << 24;

// Calls a reentrant user-database function with a buffer that grows while it is too small
// (ERANGE). `lookup(buffer, size)` returns the function's error number; false for any other error.
template <class Lookup>
bool withGrowingBuffer(std::vector<char>& buffer, const Lookup& lookup) {
    for (;;) {
        const int error = lookup(buffer.data(), buffer.size());
        if (error == ERANGE && buffer.size() < kLargestBufferBytes) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 || error == ENOENT;
    }
}

// Whether the named user is `user`; false when unknown or unreadable.
bool isUser(const std::string& name, std::uint32_t user, std::vector<char>& buffer) {
    passwd entry{};
    passwd* result = nullptr;
    return withGrowingBuffer(buffer,
                             [&](char* data, std::size_t size) {
                                 return ::getpwnam_r(name.c_str(), &entry, data, size, &result);
                             }) &&
           result != nullptr && entry.pw_uid == user;
}

// Whether any user other than `user` has the group as primary group (users whose primary group
// it is are not listed as its members); none when the database cannot be read through.
std::optional<bool> otherUserHasPrimaryGroup(std::uint32_t group, std::uint32_t user,
                                             std::vector<char>& buffer) {
    ::setpwent();
    std::optional<bool> found = false;
    for (;;) {
        passwd entry{};
        passwd* result = nullptr;
        const bool read = withGrowingBuffer(buffer, [&](char* data, std::size_t size) {
            const int error = ::getpwent_r(&entry, data, size, &result);
            if (error == ERANGE) {
                ::setpwent();  // the entry that did not fit is read again from the start
            }
            return error;
        });
        if (!read) {
            found.reset();
            break;
        }
        if (result == nullptr) {
            break;
        }
        if (entry.pw_gid == group && entry.pw_uid != user) {
            found = true;
            break;
        }
    }
    ::endpwent();
    return found;
}

}  // namespace

std::filesystem::path homeDirectory() {
    if (auto home = environmentValue(variables::kHome)) {
        return std::move(*home);
    }
    std::vector<char> buffer(kFirstBufferBytes);
    passwd entry{};
    passwd* result = nullptr;
    if (withGrowingBuffer(buffer,
                          [&](char* data, std::size_t size) {
                              return ::getpwuid_r(::getuid(), &entry, data, size, &result);
                          }) &&
        result != nullptr && result->pw_dir != nullptr) {
        return result->pw_dir;
    }
    return "/";
}

std::uint32_t effectiveUserID() {
    return ::geteuid();
}

bool groupHoldsOnlyUser(std::uint32_t group, std::uint32_t user) {
    std::vector<char> buffer(kFirstBufferBytes);
    struct group entry {};
    struct group* result = nullptr;
    if (!withGrowingBuffer(buffer, [&](char* data, std::size_t size) {
            return ::getgrgid_r(group, &entry, data, size, &result);
        })) {
        return false;
    }
    if (result != nullptr && entry.gr_mem != nullptr) {
        // Copied out: looking the members up reuses no buffer of the group's, but may be long.
        std::vector<std::string> members;
        for (char** member = entry.gr_mem; *member != nullptr; ++member) {
            members.emplace_back(*member);
        }
        std::vector<char> userBuffer(kFirstBufferBytes);
        for (const auto& member : members) {
            if (!isUser(member, user, userBuffer)) {
                return false;
            }
        }
    }
    return otherUserHasPrimaryGroup(group, user, buffer) == false;
}

}  // namespace tarnwick
