#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The local path a file: URI names (empty host or "localhost", percent-escapes decoded, any
// query or fragment left off); none for another scheme, a remote host, a relative path, a bad
// escape or an escaped NUL.
std::optional<std::filesystem::path> pathOfFileUri(std::string_view uri);

enum class FileTaking {
    kNotOurs,  // not a regular file of this user's, unreadable, or larger than allowed
    kNotUsed,  // read, but its bytes were of no use: left where it is
    kTaken,    // read, used and removed
};

// Reads a file that was made for this process and hands its bytes to `use`; removes it only when
// `use` took them (returned true), so that a file this program could not make sense of stays for
// the user. Only a regular file owned by this process's user, not reached through a symbolic
// link, of at most maxBytes, is read, and only the file read is removed.
FileTaking takeOwnFile(const std::filesystem::path& file, std::size_t maxBytes,
                       const std::function<bool(std::string_view bytes)>& use);

}  // namespace tarnwick
