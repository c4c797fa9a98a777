#pragma once

#include <string>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// sway at the IPC socket `socketPath`: the windows of its tree, their images by wlroots screen
// copy of their place, and the desktop by wlroots screen copy.
WindowSystem swayWindowSystem(std::string socketPath);

}  // namespace tarnwick
