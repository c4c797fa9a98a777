#include "TarnwickScreenCapture/AgentLoop.hpp"

#include <chrono>
#include <thread>

#include "TarnwickScreenCapture/AgentRequestFile.hpp"
#include "TarnwickScreenCapture/AgentResponseFile.hpp"
#include "TarnwickScreenCapture/Capture.hpp"

namespace tarnwick {

void runAgentPass(const std::filesystem::path&, const std::filesystem::path&, std::string&,
                  const Platform&) {}

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
