#pragma once

#include <optional>

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

inline constexpr const char* kScreenshotToolPath = "/usr/sbin/screencapture";

// Runs the system screenshot tool into a temporary JPEG, reads it back and removes it. With no
// window number it captures the whole screen. Null on every failure.
ImageRef captureWithSystemTool(std::optional<CGWindowID> windowID, const Platform& platform);

}  // namespace tarnwick
