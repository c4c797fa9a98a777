#pragma once

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// A Wayland session. The desktop comes from wlroots screen copy when `screenCopy` is set (and the
// compositor offers it); windows come from sway's tree when SWAYSOCK names it, otherwise from
// XWayland through X11, which sees no native Wayland window.
WindowSystem waylandWindowSystem(bool screenCopy);

}  // namespace tarnwick
