#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/platform/FileDescriptor.hpp"

namespace tarnwick {

// $HOME when set and not empty, else the user's password-database entry.
std::filesystem::path homeDirectory();

// $TMPDIR when set and not empty, else /tmp.
std::filesystem::path temporaryDirectory();

// The whole content of a regular file, or none when it cannot be read or holds more than
// maxBytes; never holds more than maxBytes (plus one) in memory.
std::optional<std::string> readFileBounded(const std::filesystem::path& file, std::size_t maxBytes);

// The same for a regular file already open as `fd` (`status` from fstat), read from its start
// whatever its position.
std::optional<std::string> readRegularFileBounded(int fd, const struct stat& status,
                                                  std::size_t maxBytes);

// Writes a new file beside the target and puts it in the target's place (a symbolic link there
// is replaced, not followed); never creates the folder. On failure nothing at the target changes
// and no auxiliary file is left.
bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes);

// The permission bits an ordinary new file gets: 0666 less the process's umask.
mode_t newFileMode();

// A mkstemp pattern for a hidden file in the target's folder, within NAME_MAX however long the
// target's name.
std::string temporaryPatternBeside(const std::filesystem::path& target);

// One attempt; failure is ignored.
void removeFile(const std::filesystem::path& file);

// Which file is which, whatever its name (st_dev, st_ino).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

inline FileIdentity identityOf(const struct stat& status) {
    return FileIdentity{.device = status.st_dev, .inode = status.st_ino};
}

// A new file in its target's folder, written first and then put in the target's place in one
// step. Where the file system allows it has no name until then (O_TMPFILE), so no death of the
// process can leave it behind; elsewhere it is a hidden file registered with the termination
// cleanup. Dropping it uncommitted leaves nothing.
class ReplacementFile {
public:
    enum class Naming { kUnnamedWherePossible, kNamed };
    // What the new file may take the place of.
    enum class Replacing {
        kAnything,
        // Only the expected file (by identity, as lstat sees the target), or no file at all.
        kOnlyExpected,
    };

    // None when the folder cannot take a new file (missing, not writable, a name too long).
    static std::optional<ReplacementFile> create(const std::filesystem::path& target,
                                                 Naming naming = Naming::kUnnamedWherePossible);

    ReplacementFile(ReplacementFile&& other) noexcept;
    ReplacementFile& operator=(ReplacementFile&& other) noexcept;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ~ReplacementFile();

    int fd() const { return fd_.get(); }
    bool isNamed() const { return !name_.empty(); }

    // Gives the file its permission bits, closes it and puts it at the target. expected is the
    // file that stood at the target when it was examined (none: there was none).
    bool commit(mode_t mode, Replacing replacing = Replacing::kAnything,
                std::optional<FileIdentity> expected = std::nullopt);

private:
    ReplacementFile() = default;
    void discard();
    bool placeUnnamed(int fd, Replacing replacing, const std::optional<FileIdentity>& expected);
    bool placeNamed(Replacing replacing, const std::optional<FileIdentity>& expected);
    bool renameIntoPlace(Replacing replacing, const std::optional<FileIdentity>& expected);

    FileDescriptor fd_;
    std::string target_;
    std::string name_;     // the hidden name of a named file; empty while unnamed
    bool locked_ = false;  // the unnamed file is flock()ed until this run is done with it
};

}  // namespace tarnwick
