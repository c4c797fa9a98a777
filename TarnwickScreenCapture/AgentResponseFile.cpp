#include "TarnwickScreenCapture/AgentResponseFile.hpp"

#include "TarnwickScreenCapture/AgentRequestFile.hpp"
#include "TarnwickScreenCapture/Clock.hpp"
#include "TarnwickScreenCapture/platform/Files.hpp"

namespace tarnwick {

std::filesystem::path defaultAgentResponseURL() {
    return homeDirectory() / kAgentFolder / kAgentResponseFileName;
}

std::string agentResponseText(const std::string&, bool, const std::optional<std::string>&,
                              std::int64_t) {
    return {};
}

void writeAgentResponse(const std::filesystem::path& file, const std::string& requestID, bool ok,
                        const std::optional<std::string>& detail) {
    writeFileAtomically(file, agentResponseText(requestID, ok, detail, currentUnixSeconds()));
}

}  // namespace tarnwick
