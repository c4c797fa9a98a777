#pragma once

#include <cstdint>

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// The whole root window (list option 1, no window) or one window's own contents (list option 8);
// null on any X error, a vanished window or no server.
ImageRef createX11WindowListImage(std::uint32_t listOption, CGWindowID windowID,
                                  std::uint32_t imageOptions);

}  // namespace tarnwick
