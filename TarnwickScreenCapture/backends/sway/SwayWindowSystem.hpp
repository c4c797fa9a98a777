#pragma once

#include <string>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// sway at the IPC socket `socketPath`: the windows of its tree, their images by wlroots screen
// copy of their place, and the desktop of `wlroots` (a wlrootsWindowSystem).
WindowSystem swayWindowSystem(std::string socketPath, WindowSystem wlroots);

}  // namespace tarnwick
