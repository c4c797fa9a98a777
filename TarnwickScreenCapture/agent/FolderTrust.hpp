#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/posix/NoFollowOpen.hpp"

namespace tarnwick {

// Requests are taken only from a folder and a file that this user owns and nobody else can write.
struct Trust {
    std::uint32_t user = 0;
    std::function<bool(std::uint32_t group)> groupHoldsOnlyUser;
};

// The user running this process, with the user database asked directly.
Trust trustOfThisUser();

// None when the folder or file at path, with these facts, may be trusted with requests;
// otherwise the reason, as a sentence that says how to put it right.
std::optional<std::string> distrustOf(const std::filesystem::path& path, const FileFacts& facts,
                                      const Trust& trust);

// What a data folder that could not be opened as a folder needs: "'F' to exist; run: mkdir -p
// 'F' && chmod 700 'F'", or "'F' to become a folder this user can open".
std::string unusableFolder(const std::filesystem::path& folder, OpenOutcome outcome);

// Why the folder or file of requests cannot be used, when it is a symbolic link.
std::string symbolicLinkRefusal(const std::filesystem::path& path, bool isFolder);

// How the folder or the file of requests was found, judged in order: opened without following a
// symbolic link, of the right kind, and written by this user alone.
enum class Verdict { kTrusted, kAbsent, kSymbolicLink, kDistrusted };

struct Judged {
    Verdict verdict = Verdict::kAbsent;
    // Open, with its facts, unless absent or a symbolic link.
    OpenedFile opened;
    // Why it is not trusted; for an absent folder, what it needs (see unusableFolder).
    std::string reason;
};

Judged judgeRequestFolder(const std::filesystem::path& folder, const Trust& trust);

// The file `name` in the open folder; a missing file and one that is no regular file are absent.
Judged judgeRequestFile(int folderFd, const std::filesystem::path& folder, const std::string& name,
                        const Trust& trust);

}  // namespace tarnwick
