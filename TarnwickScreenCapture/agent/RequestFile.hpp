#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/agent/FolderTrust.hpp"
#include "TarnwickScreenCapture/capture/CaptureRequest.hpp"
#include "TarnwickScreenCapture/posix/NoFollowOpen.hpp"

namespace tarnwick {

inline constexpr const char* kAgentFolder = ".tavik/mobile-dropbox/data";
inline constexpr const char* kAgentRequestFileName = "screen-capture-agent-request.json";
inline constexpr const char* kAgentResponseFileName = "screen-capture-agent-response.json";

// No real request comes near these; larger or deeper files are refused unread.
inline constexpr std::size_t kMaximumRequestFileBytes = 1024 * 1024;
inline constexpr std::size_t kMaximumRequestNesting = 64;

// The agent's files under this user's home folder.
std::filesystem::path requestFilePath();
std::filesystem::path responseFilePath();

// Parses request-file bytes; none for anything that is not a usable request.
std::optional<CaptureRequest> requestFromAgentText(std::string_view bytes);

// Reads the request file once; none for a missing, unreadable or malformed file, and for one
// that is not to be trusted (see distrustOf).
std::optional<CaptureRequest> requestFromAgentFile(const std::filesystem::path& file);

// The request file as last read. While its facts stay the same it is not read again.
struct RequestFileMemo {
    FileFacts facts;
    std::optional<CaptureRequest> request;
    bool idFollowsClock = false;
};

// File times are coarse: a rewrite within one tick of the clock can leave size and times as
// they were. Without notifications of changes, facts stand for the content only once the file
// was last changed this long ago.
inline constexpr std::int64_t kSettledAfterSeconds = 2;

// What the reader is told of changes to the file since it last read it.
struct ChangeNotices {
    // Whether notifications of changes are being received at all (inotify).
    bool delivered = false;
    // With them: whether one came since the last read. A file with the same facts and no
    // notification is the file last read, however recently it was changed.
    bool sinceLastRead = true;
    std::int64_t settledAfterSeconds = kSettledAfterSeconds;
};

struct AgentRequestRead {
    Verdict verdict = Verdict::kAbsent;
    std::optional<CaptureRequest> request;
    std::optional<std::string> refusal;  // why the file was not trusted
    // Why a file that was read just now is no request (malformed JSON, no output, too large).
    std::optional<std::string> notARequest;
    FileFacts facts;  // of a trusted file
};

// Reads the named request file in an open folder (already trusted), unless memo and the notices
// show it unchanged. A symbolic link is refused, not followed.
AgentRequestRead requestFromAgentFolder(int folderFd, const std::filesystem::path& folder,
                                        const std::string& name, const Trust& trust,
                                        std::optional<RequestFileMemo>& memo,
                                        const ChangeNotices& notices = {});

}  // namespace tarnwick
