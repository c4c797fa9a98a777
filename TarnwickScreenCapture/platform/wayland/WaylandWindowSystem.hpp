#pragma once

#include <string_view>

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// A Wayland session. The desktop comes from wlroots screen copy; windows come from sway's tree
// when SWAYSOCK names it, otherwise from XWayland through X11, which sees no native Wayland
// window. `desktopSource` names where the caller takes the desktop from, for the description.
WindowSystem waylandWindowSystem(std::string_view desktopSource);

}  // namespace tarnwick
