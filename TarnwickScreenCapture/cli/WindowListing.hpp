#pragma once

#include <string>
#include <vector>

#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"
#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// What `--list-windows` prints: the windows front to back, one a line, each with the rule that
// passed or rejected it, the one a window capture takes marked with "*"; after the heading, the
// window system's note when it has one.
std::string windowListingText(const std::string& windowSystem,
                              const std::vector<WindowDescription>& windows,
                              const std::string& note = {});

// The listing of the window system; code 2 when it cannot be reached.
OrCaptureFailure<std::string> listWindows(const WindowSystem& windowSystem);

}  // namespace tarnwick
