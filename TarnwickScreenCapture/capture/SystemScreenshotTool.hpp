#pragma once

#include <filesystem>
#include <optional>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

inline constexpr const char* kScreenshotToolPath = "/usr/sbin/screencapture";

// Runs the system screenshot tool into a temporary JPEG in `temporaryFolder`, reads it back and
// removes it. With no window it captures the whole screen. Null on every failure.
SharedImage captureWithSystemTool(std::optional<WindowId> window,
                                  const std::filesystem::path& tool = kScreenshotToolPath,
                                  const std::filesystem::path& temporaryFolder = {});

}  // namespace tarnwick
