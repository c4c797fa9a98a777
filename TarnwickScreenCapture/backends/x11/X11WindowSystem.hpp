#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The X server named by DISPLAY: its window list and images, or why there are none.
WindowSystem x11WindowSystem();

// The same X server as a Wayland compositor's XWayland, which sees X11 programs only.
WindowSystem xwaylandWindowSystem();

// The X server's client windows by id, for a compositor that does not tell their client areas
// or X11 ids: where each lies, and its process where _NET_WM_PID names it.
struct X11ClientWindow {
    WindowBounds area;
    std::optional<std::uint32_t> pid;
};
OrUnavailable<std::map<WindowId, X11ClientWindow>> x11ClientWindows();

}  // namespace tarnwick
