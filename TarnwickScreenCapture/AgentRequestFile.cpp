#include "TarnwickScreenCapture/AgentRequestFile.hpp"

#include "TarnwickScreenCapture/platform/Files.hpp"

namespace tarnwick {

std::filesystem::path defaultAgentRequestURL() {
    return homeDirectory() / kAgentFolder / kAgentRequestFileName;
}

std::optional<CaptureRequest> requestFromAgentText(std::string_view) { return std::nullopt; }

std::optional<CaptureRequest> requestFromAgentFile(const std::filesystem::path& file) {
    const auto bytes = readFileBounded(file, kMaximumRequestFileBytes);
    if (!bytes) {
        return std::nullopt;
    }
    return requestFromAgentText(*bytes);
}

}  // namespace tarnwick
