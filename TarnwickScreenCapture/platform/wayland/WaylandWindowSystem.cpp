#include "TarnwickScreenCapture/platform/wayland/WaylandWindowSystem.hpp"

#include <chrono>
#include <cstdlib>

#include "TarnwickScreenCapture/platform/wayland/SwayIpc.hpp"
#include "TarnwickScreenCapture/platform/wayland/SwayTree.hpp"
#include "TarnwickScreenCapture/platform/wayland/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/platform/x11/X11WindowSystem.hpp"

namespace tarnwick {
namespace {

constexpr auto kSwayDeadline = std::chrono::seconds(5);

std::optional<std::vector<WindowDescription>> swayWindows(const std::string& socket) {
    const auto reply = swayIpcExchange(socket, kSwayGetTree, {}, kSwayDeadline);
    return reply ? windowsOfSwayTree(*reply) : std::nullopt;
}

std::string waylandDescription(std::string_view desktopSource, bool fromSway) {
    std::string text(desktopSource);
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || *display == '\0') {
        text += ", but WAYLAND_DISPLAY is not set";
    } else {
        text += std::string(" on ") + display;
    }
    text += ", windows from ";
    text += fromSway ? "sway" : "XWayland (" + x11DisplayDescription() + ")";
    return text;
}

}  // namespace

WindowSystem waylandWindowSystem(std::string_view desktopSource) {
    WindowSystem system = x11WindowSystem();
    system.images.desktop = [] { return waylandDesktopImage(); };
    const auto socket = swaySocketPath();
    system.description = waylandDescription(desktopSource, socket.has_value());
    if (socket) {
        system.windows = [socket = *socket] { return swayWindows(socket); };
        system.images.window = [](const WindowDescription& window) -> ImageRef {
            return window.bounds ? waylandRegionImage(*window.bounds) : nullptr;
        };
    }
    return system;
}

}  // namespace tarnwick
