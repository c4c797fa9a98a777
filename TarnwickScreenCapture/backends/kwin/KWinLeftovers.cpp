#include "TarnwickScreenCapture/backends/kwin/KWinLeftovers.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

#include "TarnwickScreenCapture/posix/Environment.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"

namespace tarnwick {
namespace {

constexpr std::string_view kLedgerPrefix = "tarnwick-kwin-";
constexpr std::string_view kScriptPrefix = "tarnwick-screen-capture-";
constexpr std::size_t kTokenLength = 32;
constexpr std::size_t kOldFolderSuffixLength = 6;  // mkdtemp's XXXXXX
constexpr std::size_t kLedgerLimit = 64 * 1024;

bool isToken(std::string_view text) {
    if (text.size() != kTokenLength) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> entriesStartingWith(int folder, std::string_view prefix) {
    std::vector<std::string> names;
    const int copy = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) {
        return names;
    }
    DIR* listing = ::fdopendir(copy);
    if (listing == nullptr) {
        ::close(copy);
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name(entry->d_name);
        if (name.starts_with(prefix)) {
            names.emplace_back(name);
        }
    }
    ::closedir(listing);
    return names;
}

// A ledger whose run is gone: its scripts unloaded, it is removed. False when KWin gave no
// answer, so that the ledger stays for a later run.
bool clearLedger(int folder, const std::string& name,
                 const std::function<bool(const std::string&)>& unload) {
    const FileDescriptor file(
        ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid() || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        return true;  // not a ledger, or its run still lives
    }
    const auto text = readOpenFileBounded(file.get(), kLedgerLimit);
    std::string_view rest = text ? std::string_view(*text) : std::string_view();
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.starts_with(kScriptPrefix) && !unload(std::string(line))) {
            return false;
        }
    }
    ::unlinkat(folder, name.c_str(), 0);
    return true;
}

// A folder an earlier version wrote its script into and left when it was killed.
void clearOldFolder(int folder, const std::string& name, std::chrono::seconds olderThan) {
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
        std::time(nullptr) - status.st_mtime < olderThan.count()) {
        return;
    }
    const FileDescriptor inside(
        ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (inside) {
        ::unlinkat(inside.get(), "list-windows.js", 0);
        ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
    }
}

}  // namespace

std::set<int> scriptNumbersIn(std::string_view introspection, std::string_view prefix) {
    static constexpr std::string_view kNode = "<node name=\"";
    std::set<int> numbers;
    for (auto at = introspection.find(kNode); at != std::string_view::npos;
         at = introspection.find(kNode, at + 1)) {
        const auto start = at + kNode.size();
        const auto end = introspection.find('"', start);
        if (end == std::string_view::npos) {
            break;
        }
        const std::string_view name = introspection.substr(start, end - start);
        if (!name.starts_with(prefix)) {
            continue;
        }
        const std::string_view digits = name.substr(prefix.size());
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos) {
            continue;
        }
        numbers.insert(std::atoi(std::string(digits).c_str()));
    }
    return numbers;
}

FileDescriptor privateRuntimeFolder() {
    const auto runtime = environmentValue(variables::kRuntimeFolder);
    if (!runtime || runtime->front() != '/') {
        return FileDescriptor();
    }
    FileDescriptor folder(::open(runtime->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    if (!folder || ::fstat(folder.get(), &status) != 0 || status.st_uid != ::geteuid() ||
        (status.st_mode & 0077) != 0) {
        return FileDescriptor();
    }
    return folder;
}

std::optional<ScriptLedger> ScriptLedger::open(int folder, const std::string& token) {
    if (!isToken(token)) {
        return std::nullopt;
    }
    // Locked under a name no clearing looks at, then put in place: a ledger is never found
    // unlocked while its run lives.
    const std::string name = std::string(kLedgerPrefix) + token;
    const std::string unfinished = name + ".new";
    FileDescriptor file(::openat(folder, unfinished.c_str(),
                                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) {
        return std::nullopt;
    }
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0 ||
        ::renameat2(folder, unfinished.c_str(), folder, name.c_str(), RENAME_NOREPLACE) != 0) {
        ::unlinkat(folder, unfinished.c_str(), 0);
        return std::nullopt;
    }
    FileDescriptor folderCopy(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!folderCopy) {
        ::unlinkat(folder, name.c_str(), 0);
        return std::nullopt;
    }
    return ScriptLedger(std::move(folderCopy), std::move(file), name);
}

bool ScriptLedger::add(std::string_view scriptName) {
    return file_ && writeAll(file_.get(), std::string(scriptName) + "\n");
}

void ScriptLedger::remove() {
    if (file_) {
        ::unlinkat(folder_.get(), name_.c_str(), 0);
        file_.reset();
    }
}

void clearLeftovers(int folder, const std::function<bool(const std::string&)>& unload,
                    std::chrono::seconds olderThan) {
    for (const auto& name : entriesStartingWith(folder, kLedgerPrefix)) {
        const std::string_view rest = std::string_view(name).substr(kLedgerPrefix.size());
        if (isToken(rest)) {
            if (!clearLedger(folder, name, unload)) {
                return;
            }
        } else if (rest.size() == kOldFolderSuffixLength) {
            clearOldFolder(folder, name, olderThan);
        }
    }
}

}  // namespace tarnwick
