#pragma once

#include <string>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The environment variable that forces a backend: x11, wlroots, portal or kwin.
inline constexpr const char* kBackendVariable = "TARNWICK_CAPTURE_BACKEND";

// The one place that chooses and assembles a backend, afresh for each capture: the backend
// kBackendVariable names; otherwise a Wayland session when WAYLAND_DISPLAY names a compositor
// that answers, else X11. Under Wayland, KWin when the session bus has it and SWAYSOCK names no
// sway: its windows and images through its own D-Bus services. Otherwise the desktop by wlroots
// screen copy, or the desktop portal where the compositor offers none, and windows from sway's
// tree when SWAYSOCK names it, else from XWayland through X11, which sees no native window.
WindowSystem openWindowSystem();

// The backend a capture would use now ("x11", "wlroots", "portal" or "kwin"), why, and that
// window system: for --doctor.
struct BackendChoice {
    std::string name;
    std::string why;
    WindowSystem windowSystem;
};
BackendChoice explainBackendChoice();

}  // namespace tarnwick
