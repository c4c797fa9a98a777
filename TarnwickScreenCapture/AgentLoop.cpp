#include "TarnwickScreenCapture/AgentLoop.hpp"

#include <chrono>
#include <thread>

#include "TarnwickScreenCapture/AgentRequestFile.hpp"
#include "TarnwickScreenCapture/AgentResponseFile.hpp"
#include "TarnwickScreenCapture/Capture.hpp"

namespace tarnwick {
namespace {

// The agent must outlive any one request: an unexpected exception from the capture (out of
// memory, a platform fault) is answered as a failed capture instead of ending the process.
std::optional<CaptureError> guardedCapture(const CaptureRequest& request,
                                           const Platform& platform) {
    try {
        return capture(request, platform);
    } catch (...) {
        return makeError(messages::kCaptureFailed, codes::kCaptureFailed);
    }
}

}  // namespace

void runAgentPass(const std::filesystem::path& requestFile,
                  const std::filesystem::path& responseFile, std::string& lastHandledID,
                  const Platform& platform) {
    try {
        const auto request = requestFromAgentFile(requestFile);
        if (!request || request->id == lastHandledID) {
            return;
        }
        // Taken up before the capture, so that a failed request is not retried.
        lastHandledID = request->id;
        const auto failure = guardedCapture(*request, platform);
        writeAgentResponse(responseFile, request->id, !failure,
                           failure ? std::optional<std::string>(failure->message) : std::nullopt);
    } catch (...) {
        // Only allocation can fail here; the next pass starts afresh.
    }
}

void runAgent(const Platform& platform) {
    const auto requestFile = defaultAgentRequestURL();
    const auto responseFile = defaultAgentResponseURL();
    std::string lastHandledID;
    for (;;) {
        runAgentPass(requestFile, responseFile, lastHandledID, platform);
        std::this_thread::sleep_for(std::chrono::duration<double>(kAgentPollIntervalSeconds));
    }
}

}  // namespace tarnwick
