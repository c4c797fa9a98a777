#pragma once

#include <vector>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The viewable windows of the X display, front to back; unavailable when no X server can be
// reached or the connection fails.
OrUnavailable<std::vector<WindowDescription>> x11Windows();

}  // namespace tarnwick
