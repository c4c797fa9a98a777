#include "TarnwickScreenCapture/agent/ResponseFile.hpp"

#include <exception>

#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/posix/Clock.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/NoFollowOpen.hpp"

namespace tarnwick {

std::string agentResponseText(const std::string& requestID, bool ok,
                              const std::optional<std::string>& detail, std::int64_t finishedAt) {
    nlohmann::json response = {{"id", requestID}, {"ok", ok}, {"finished_at", finishedAt}};
    if (detail) {
        response["detail"] = *detail;
    }
    // Bytes that are not UTF-8 become U+FFFD rather than failing the whole response.
    const std::string compact =
        response.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // Readers expect "\/". Compact output has '/' only inside strings, and never inside a
    // multi-byte UTF-8 sequence, so every one of them can be escaped.
    std::string text;
    text.reserve(compact.size());
    for (const char c : compact) {
        if (c == '/') {
            text += '\\';
        }
        text += c;
    }
    return text;
}

std::optional<std::string> answeredRequestId(int folderFd, const std::string& name) {
    constexpr std::size_t kMaximumResponseBytes = 64 * 1024;
    const auto file = openInFolderNoFollow(folderFd, name);
    if (file.outcome != OpenOutcome::kOpened || !file.facts.isRegularFile) {
        return std::nullopt;
    }
    const auto text = readOpenFileBounded(file.fd.get(), kMaximumResponseBytes);
    if (!text) {
        return std::nullopt;
    }
    const auto response = nlohmann::json::parse(*text, nullptr, false);
    if (!response.is_object() || !response.contains("id") || !response["id"].is_string()) {
        return std::nullopt;
    }
    return response["id"].get<std::string>();
}

bool writeAgentResponse(const std::filesystem::path& file, const std::string& requestID, bool ok,
                        const std::optional<std::string>& detail) {
    try {
        return writeFileAtomically(file,
                                   agentResponseText(requestID, ok, detail, currentUnixSeconds()));
    } catch (const std::exception&) {
        return false;
    }
}

bool writeAgentResponseIn(int folderFd, const std::string& name, const std::string& requestID,
                          bool ok, const std::optional<std::string>& detail) {
    try {
        return writeFileAtomicallyIn(
            folderFd, name, agentResponseText(requestID, ok, detail, currentUnixSeconds()));
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace tarnwick
