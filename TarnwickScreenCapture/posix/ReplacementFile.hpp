#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"

namespace tarnwick {

// A mkstemp pattern for a hidden file in the target's folder, within NAME_MAX however long the
// target's name.
std::string temporaryPatternBeside(const std::filesystem::path& target);

// The same with a random suffix instead of the pattern's.
std::string temporaryNameBeside(const std::filesystem::path& target);

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
