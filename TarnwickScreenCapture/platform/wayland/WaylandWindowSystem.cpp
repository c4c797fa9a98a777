#include "TarnwickScreenCapture/platform/wayland/WaylandWindowSystem.hpp"

#include <chrono>

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

}  // namespace

WindowSystem waylandWindowSystem(bool screenCopy) {
    WindowSystem system = x11WindowSystem();
    system.images.desktop = [screenCopy]() -> ImageRef {
        return screenCopy ? waylandDesktopImage() : nullptr;
    };
    if (const auto socket = swaySocketPath()) {
        system.windows = [socket = *socket] { return swayWindows(socket); };
        system.images.window = [](const WindowDescription& window) -> ImageRef {
            return window.bounds ? waylandRegionImage(*window.bounds) : nullptr;
        };
    }
    return system;
}

}  // namespace tarnwick
