#pragma once

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"

namespace tarnwick {

// Whether the display is an XWayland server: its root window shows nothing of the Wayland
// desktop, so it must not stand for the screen.
bool isXWayland(const X11Display& display);

}  // namespace tarnwick
