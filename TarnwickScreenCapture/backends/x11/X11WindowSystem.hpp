#pragma once

#include <map>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The X server named by DISPLAY: its window list and images, or why there are none.
WindowSystem x11WindowSystem();

// The same X server as a Wayland compositor's XWayland, which sees X11 programs only.
WindowSystem xwaylandWindowSystem();

// The client areas of the X server's windows by id, for a compositor that does not tell them.
OrUnavailable<std::map<WindowId, WindowBounds>> x11ClientAreas();

}  // namespace tarnwick
