#pragma once

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The environment variable that forces a backend: x11, wlroots or portal.
inline constexpr const char* kBackendVariable = "TARNWICK_CAPTURE_BACKEND";

// The one place that chooses and assembles a backend, afresh for each capture: the backend
// kBackendVariable names; otherwise a Wayland session when WAYLAND_DISPLAY names a compositor
// that answers (its desktop by wlroots screen copy, or the desktop portal where the compositor
// offers none), else X11. Under Wayland, windows come from sway's tree when SWAYSOCK names it,
// otherwise from XWayland through X11, which sees no native Wayland window.
WindowSystem openWindowSystem();

}  // namespace tarnwick
