#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/CaptureRequest.hpp"
#include "TarnwickScreenCapture/platform/AgentFolder.hpp"

namespace tarnwick {

inline constexpr const char* kAgentFolder = ".tavik/mobile-dropbox/data";
inline constexpr const char* kAgentRequestFileName = "screen-capture-agent-request.json";

// No real request comes near these; larger or deeper files are refused unread.
inline constexpr std::size_t kMaximumRequestFileBytes = 1024 * 1024;
inline constexpr std::size_t kMaximumRequestNesting = 64;

std::filesystem::path defaultAgentRequestURL();

// Parses request-file bytes; none for anything that is not a usable request.
std::optional<CaptureRequest> requestFromAgentText(std::string_view bytes);

// Reads the request file once; none for a missing, unreadable or malformed file, and for one
// that is not to be trusted (see distrustOf).
std::optional<CaptureRequest> requestFromAgentFile(const std::filesystem::path& file);

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

// The request file as last read. While its facts stay the same it is not read again.
struct RequestFileMemo {
    FileFacts facts;
    std::optional<CaptureRequest> request;
    bool idFollowsClock = false;
};

// File times are coarse: a rewrite within one tick of the clock can leave size and times as
// they were. Facts stand for the content only once the file was last changed this long ago.
inline constexpr std::int64_t kSettledAfterSeconds = 2;

struct AgentRequestRead {
    std::optional<CaptureRequest> request;
    std::optional<std::string> refusal;  // why the file was not trusted
};

// Reads the named request file in an open folder (already trusted), unless memo shows it
// unchanged. A symbolic link is refused, not followed.
AgentRequestRead requestFromAgentFolder(int folderFd, const std::filesystem::path& folder,
                                        const std::string& name, const Trust& trust,
                                        std::optional<RequestFileMemo>& memo,
                                        std::int64_t settledAfterSeconds = kSettledAfterSeconds);

// Why the folder of the request file cannot be used, for a folder that is a symbolic link.
std::string symbolicLinkRefusal(const std::filesystem::path& path, bool isFolder);

}  // namespace tarnwick
