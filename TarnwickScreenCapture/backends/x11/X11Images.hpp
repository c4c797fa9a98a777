#pragma once

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"
#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// The whole root window; null on any X error or no server.
SharedImage x11DesktopImage();

// One window's own contents; null on any X error, a vanished window or no server.
SharedImage x11WindowImage(WindowId windowID);

}  // namespace tarnwick
