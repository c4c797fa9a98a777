#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The viewable windows of the X display, front to back; unavailable when no X server can be
// reached or the connection fails.
OrUnavailable<std::vector<WindowDescription>> x11Windows();

// The same, each with the process its _NET_WM_PID names, where it has one.
struct X11ListedWindow {
    WindowDescription description;
    std::optional<std::uint32_t> pid;
};
OrUnavailable<std::vector<X11ListedWindow>> x11WindowsWithProcesses();

}  // namespace tarnwick
