#include "TarnwickScreenCapture/posix/ReplacementFile.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <utility>

#include "TarnwickScreenCapture/posix/Signals.hpp"
#include "TarnwickScreenCapture/posix/TemporaryFiles.hpp"

namespace tarnwick {
namespace {

constexpr int kHiddenNameAttempts = 100;
constexpr std::string_view kSteadySuffix = "replacing";
constexpr std::string_view kPatternSuffix = "XXXXXX";

// ".NAME.SUFFIX" in the target's folder; NAME is cut, at a character boundary, so that the
// whole stays within NAME_MAX.
std::string hiddenNameBeside(const std::filesystem::path& target, std::string_view suffix) {
    std::string name = target.filename().native();
    const std::size_t room = NAME_MAX - 2 - suffix.size();
    if (name.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        name.resize(cut);
    }
    std::string hidden = target.parent_path().native();
    if (!hidden.empty() && hidden.back() != '/') {
        hidden += '/';
    }
    hidden += '.';
    hidden += name;
    hidden += '.';
    hidden += suffix;
    return hidden;
}

std::string randomSuffix() {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::array<unsigned char, kPatternSuffix.size()> bytes{};
    if (::getrandom(bytes.data(), bytes.size(), GRND_NONBLOCK) !=
        static_cast<ssize_t>(bytes.size())) {
        // Only uniqueness matters, and a name that is taken is tried again.
        auto ticks =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        for (auto& byte : bytes) {
            byte = static_cast<unsigned char>(ticks);
            ticks = ticks * 6364136223846793005u + 1442695040888963407u;
        }
    }
    std::string suffix;
    for (const unsigned char byte : bytes) {
        suffix += kAlphabet[byte % kAlphabet.size()];
    }
    return suffix;
}

// Removes the hidden file `name` when no run holds its lock any more: its run died between
// naming it and renaming it over its target. Gives up (errno EEXIST) on anything else.
bool removeAbandoned(const std::string& name) {
    const FileDescriptor file(::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    struct stat named {};
    const bool abandoned = file && ::fstat(file.get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
                           ::flock(file.get(), LOCK_EX | LOCK_NB) == 0 &&
                           ::lstat(name.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
                           named.st_ino == opened.st_ino && ::unlink(name.c_str()) == 0;
    if (!abandoned) {
        errno = EEXIST;
    }
    return abandoned;
}

// Gives an unnamed (O_TMPFILE) file a name; fails with EEXIST when the name is taken.
bool linkUnnamed(int fd, const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    if (errno == EEXIST) {
        return false;
    }
    // Without /proc: the same through the descriptor, where the process is allowed to.
    return ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
}

}  // namespace

std::string temporaryPatternBeside(const std::filesystem::path& target) {
    return hiddenNameBeside(target, kPatternSuffix);
}

std::string temporaryNameBeside(const std::filesystem::path& target) {
    return hiddenNameBeside(target, randomSuffix());
}

std::optional<ReplacementFile> ReplacementFile::create(const std::filesystem::path& target,
                                                       Naming naming) {
    if (!target.has_filename() || target.native().size() >= PATH_MAX ||
        target.filename().native().size() > NAME_MAX) {
        return std::nullopt;
    }
    ReplacementFile file;
    file.target_ = target.native();
    if (naming == Naming::kUnnamedWherePossible) {
        const std::string folder = target.has_parent_path() ? target.parent_path().native() : ".";
        file.fd_.reset(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
        if (file.fd_) {
            file.locked_ = ::flock(file.fd_.get(), LOCK_EX | LOCK_NB) == 0;
            return file;
        }
        // Only a file system (or kernel) without unnamed files falls back to a named one.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return std::nullopt;
        }
    }
    std::string pattern = temporaryPatternBeside(target);
    file.fd_.reset(createTemporaryFile(pattern));
    if (!file.fd_) {
        return std::nullopt;
    }
    file.name_ = std::move(pattern);
    return file;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      target_(std::move(other.target_)),
      name_(std::exchange(other.name_, std::string())),
      locked_(std::exchange(other.locked_, false)) {}

ReplacementFile& ReplacementFile::operator=(ReplacementFile&& other) noexcept {
    if (this != &other) {
        discard();
        fd_ = std::move(other.fd_);
        target_ = std::move(other.target_);
        name_ = std::exchange(other.name_, std::string());
        locked_ = std::exchange(other.locked_, false);
    }
    return *this;
}

ReplacementFile::~ReplacementFile() {
    discard();
}

void ReplacementFile::discard() {
    fd_.reset();
    if (isNamed()) {
        ::unlink(name_.c_str());
        forgetTemporaryFile(name_);
        name_.clear();
    }
}

bool ReplacementFile::commit(mode_t mode, Replacing replacing,
                             std::optional<FileIdentity> expected) {
    bool placed = false;
    if (!fd_ || ::fchmod(fd_.get(), mode) != 0) {
        placed = false;
    } else if (isNamed()) {
        placed = fd_.close() && placeNamed(replacing, expected);
    } else {
        // A second descriptor keeps the unnamed file while closing the first reports any write
        // error the file system held back (NFS reports them on close).
        FileDescriptor keep(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
        placed = keep && fd_.close() && placeUnnamed(keep.get(), replacing, expected);
    }
    if (!placed) {
        const int error = errno;  // what failed, not what cleaning up met
        discard();
        errno = error;
    }
    return placed;
}

bool ReplacementFile::placeUnnamed(int fd, Replacing replacing,
                                   const std::optional<FileIdentity>& expected) {
    if (!expected) {
        // A new target: the file takes its name directly, no other name ever exists.
        if (linkUnnamed(fd, target_)) {
            return true;
        }
        if (errno != EEXIST || replacing == Replacing::kOnlyExpected) {
            return false;
        }
    }
    // linkat cannot replace a file: a hidden name first, then a rename over the target. The
    // termination cleanup knows the name, but nothing survives SIGKILL between the two: the first
    // name tried is the same for every run, so that the next run to replace the target finds a
    // name so left, and removes it once no live run holds a lock on it. Random names serve while
    // another run is using it.
    const auto linkAs = [&](std::string name) {
        const TerminationSignalsHeld held;
        if (!linkUnnamed(fd, name)) {
            return false;
        }
        rememberTemporaryFile(name);
        name_ = std::move(name);
        return true;
    };
    if (locked_) {
        const std::string steady = hiddenNameBeside(target_, kSteadySuffix);
        if (linkAs(steady) || (errno == EEXIST && removeAbandoned(steady) && linkAs(steady))) {
            return renameIntoPlace(replacing, expected);
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    for (int attempt = 0; attempt < kHiddenNameAttempts; ++attempt) {
        if (linkAs(hiddenNameBeside(target_, randomSuffix()))) {
            return renameIntoPlace(replacing, expected);
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool ReplacementFile::placeNamed(Replacing replacing, const std::optional<FileIdentity>& expected) {
    if (replacing == Replacing::kOnlyExpected && !expected) {
        if (::renameat2(AT_FDCWD, name_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) ==
            0) {
            forgetTemporaryFile(name_);
            name_.clear();
            return true;
        }
        if (errno != EINVAL) {
            return false;
        }
    }
    return renameIntoPlace(replacing, expected);
}

bool ReplacementFile::renameIntoPlace(Replacing replacing,
                                      const std::optional<FileIdentity>& expected) {
    bool allowed = true;
    if (replacing == Replacing::kOnlyExpected) {
        struct stat status {};
        allowed = ::lstat(target_.c_str(), &status) == 0
                      ? expected.has_value() && identityOf(status) == *expected
                      : errno == ENOENT;
    }
    const bool renamed = allowed && ::rename(name_.c_str(), target_.c_str()) == 0;
    if (!renamed) {
        ::unlink(name_.c_str());
    }
    forgetTemporaryFile(name_);
    name_.clear();
    return renamed;
}

}  // namespace tarnwick
