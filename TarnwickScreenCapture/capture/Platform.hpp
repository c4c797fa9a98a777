#pragma once

#include <functional>
#include <optional>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"
#include "TarnwickScreenCapture/image/JpegFile.hpp"

namespace tarnwick {

// The one seam between the capture and the system: the program fills it with the real services,
// unit tests with fakes.
struct Platform {
    // The window system of one capture, chosen afresh for each.
    std::function<WindowSystem()> openWindowSystem;
    JpegWriter writeJpeg;
    // The system screenshot tool, asked when the window system gives no image: the whole screen,
    // or one window. Null on every failure.
    std::function<SharedImage(std::optional<WindowId> window)> screenshotTool;
};

}  // namespace tarnwick
