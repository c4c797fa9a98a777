#pragma once

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// The X server named by DISPLAY: its window list and images.
WindowSystem x11WindowSystem();

}  // namespace tarnwick
