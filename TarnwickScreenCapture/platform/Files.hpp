#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// $HOME when set and not empty, else the user's password-database entry.
std::filesystem::path homeDirectory();

// $TMPDIR when set and not empty, else /tmp.
std::filesystem::path temporaryDirectory();

// The whole content of a regular file, or none when it cannot be read or holds more than
// maxBytes; never holds more than maxBytes (plus one) in memory.
std::optional<std::string> readFileBounded(const std::filesystem::path& file, std::size_t maxBytes);

// Writes a new file beside the target and renames it over the target; never creates the folder.
// On failure nothing at the target changes and no auxiliary file is left.
bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes);

// The permission bits an ordinary new file gets: 0666 less the process's umask.
mode_t newFileMode();

// A mkstemp pattern for a hidden file in the target's folder.
std::string temporaryPatternBeside(const std::filesystem::path& target);

// One attempt; failure is ignored.
void removeFile(const std::filesystem::path& file);

}  // namespace tarnwick
