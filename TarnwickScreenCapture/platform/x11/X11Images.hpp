#pragma once

#include "TarnwickScreenCapture/platform/Image.hpp"
#include "TarnwickScreenCapture/platform/WindowDescription.hpp"

namespace tarnwick {

// The whole root window; null on any X error or no server.
ImageRef x11DesktopImage();

// One window's own contents; null on any X error, a vanished window or no server.
ImageRef x11WindowImage(CGWindowID windowID);

}  // namespace tarnwick
