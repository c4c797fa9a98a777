#pragma once

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"
#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// The whole root window; unavailable without a server, on an X error, and under XWayland.
OrUnavailable<SharedImage> x11DesktopImage();

// One window's own contents; unavailable without a server, on an X error, and for a window gone.
OrUnavailable<SharedImage> x11WindowImage(WindowId windowID);

}  // namespace tarnwick
