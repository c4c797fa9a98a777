#pragma once

#include <optional>
#include <vector>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The viewable windows of the X display, front to back; none when no X server can be reached.
std::optional<std::vector<WindowDescription>> x11Windows();

}  // namespace tarnwick
