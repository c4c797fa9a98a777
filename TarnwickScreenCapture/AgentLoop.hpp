#pragma once

#include <filesystem>
#include <string>

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

inline constexpr double kAgentPollIntervalSeconds = 0.05;

// One pass: read the request, perform it when its id is new, answer it.
void runAgentPass(const std::filesystem::path& requestFile,
                  const std::filesystem::path& responseFile, std::string& lastHandledID,
                  const Platform& platform);

// Polls the request file forever.
[[noreturn]] void runAgent(const Platform& platform);

}  // namespace tarnwick
