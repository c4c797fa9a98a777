#pragma once

#include <string>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The X server named by DISPLAY: its window list and images, or why there are none.
WindowSystem x11WindowSystem();

// "X11 on :0", or what is missing.
std::string x11DisplayDescription();

}  // namespace tarnwick
