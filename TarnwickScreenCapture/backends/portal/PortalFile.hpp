#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The local path a file: URI names (empty host or "localhost", percent-escapes decoded, any
// query or fragment left off); none for another scheme, a remote host, a relative path, a bad
// escape or an escaped NUL.
std::optional<std::filesystem::path> pathOfFileUri(std::string_view uri);

// Reads a file that was made for this process and removes it, whatever the reading gives.
// Only a regular file owned by this process's user, not reached through a symbolic link, is
// read or removed; none when it is not such a file, cannot be read or holds more than maxBytes.
std::optional<std::string> takeOwnFile(const std::filesystem::path& file, std::size_t maxBytes);

}  // namespace tarnwick
