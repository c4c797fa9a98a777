#pragma once

#include <string>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The X server named by DISPLAY: its window list and images.
WindowSystem x11WindowSystem();

// "X11 on :0", or what is missing.
std::string x11DisplayDescription();

// Why the X server gave nothing, as far as can be told without asking it again.
std::string x11Trouble();

}  // namespace tarnwick
