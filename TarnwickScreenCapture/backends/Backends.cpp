#include "TarnwickScreenCapture/backends/Backends.hpp"

#include <cstdlib>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/backends/portal/PortalScreenshot.hpp"
#include "TarnwickScreenCapture/backends/sway/SwayIpc.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowSystem.hpp"

namespace tarnwick {
namespace {

enum class Backend { kX11, kWlroots, kPortal };

// A name nobody gives is ignored, as if the variable were unset.
Backend chooseBackend() {
    const char* forced = std::getenv(kBackendVariable);
    const std::string_view name = forced == nullptr ? std::string_view() : forced;
    if (name == "x11") {
        return Backend::kX11;
    }
    if (name == "wlroots") {
        return Backend::kWlroots;
    }
    if (name == "portal") {
        return Backend::kPortal;
    }
    return waylandCompositorReachable() ? Backend::kWlroots : Backend::kX11;
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

WindowSystem waylandWindowSystem(std::string_view desktopSource,
                                 std::function<SharedImage()> desktopImage) {
    WindowSystem system = x11WindowSystem();
    system.desktopImage = std::move(desktopImage);
    const auto socket = swaySocketPath();
    system.description = waylandDescription(desktopSource, socket.has_value());
    if (socket) {
        system.windows = [socket = *socket] { return swayWindows(socket); };
        // A window closed, moved or hidden before its place was copied leaves a copy of
        // whatever was there instead: no image then.
        system.windowImage = [socket = *socket](const WindowDescription& window) -> SharedImage {
            auto image = window.bounds ? waylandRegionImage(*window.bounds) : nullptr;
            return image && swayWindowStillShown(socket, window) ? image : nullptr;
        };
    }
    return system;
}

}  // namespace

WindowSystem openWindowSystem() {
    switch (chooseBackend()) {
        case Backend::kX11:
            break;
        case Backend::kWlroots:
            // GNOME and KDE offer ordinary clients no screen copy: there the portal has the
            // desktop.
            return waylandWindowSystem("wlroots",
                                       [] { return waylandDesktopImage(portalDesktopImage); });
        case Backend::kPortal:
            return waylandWindowSystem("desktop portal", portalDesktopImage);
    }
    return x11WindowSystem();
}

}  // namespace tarnwick
