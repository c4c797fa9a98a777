#include "TarnwickScreenCapture/backends/Backends.hpp"

#include <cstdlib>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/backends/kwin/KWinWindowSystem.hpp"
#include "TarnwickScreenCapture/backends/portal/PortalScreenshot.hpp"
#include "TarnwickScreenCapture/backends/sway/SwayIpc.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowList.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowSystem.hpp"

namespace tarnwick {
namespace {

enum class Backend { kX11, kWlroots, kPortal, kKWin };

struct Choice {
    Backend backend;
    std::string why;
};

std::string variableText(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr || *value == '\0' ? std::string(name) + " is not set"
                                              : std::string(name) + "=" + value;
}

// A name nobody gives is ignored, as if the variable were unset.
Choice chooseBackend() {
    const char* forced = std::getenv(kBackendVariable);
    const std::string_view name = forced == nullptr ? std::string_view() : forced;
    const std::string forcedWhy = std::string(kBackendVariable) + "=" + std::string(name);
    if (name == "x11") {
        return {Backend::kX11, forcedWhy};
    }
    if (name == "wlroots") {
        return {Backend::kWlroots, forcedWhy};
    }
    if (name == "portal") {
        return {Backend::kPortal, forcedWhy};
    }
    if (name == "kwin") {
        return {Backend::kKWin, forcedWhy};
    }
    if (!waylandCompositorReachable()) {
        return {Backend::kX11, "no Wayland compositor answers (" + variableText("WAYLAND_DISPLAY") +
                                   "); " + variableText("DISPLAY")};
    }
    const std::string wayland = variableText("WAYLAND_DISPLAY") + " answers";
    // A session with sway's socket is sway's; only in others is the session bus asked.
    if (swaySocketPath()) {
        return {Backend::kWlroots, wayland + ", and " + variableText("SWAYSOCK")};
    }
    if (kwinOnSessionBus()) {
        return {Backend::kKWin, wayland + ", and the session bus has KWin"};
    }
    return {Backend::kWlroots, wayland + "; SWAYSOCK is not set and the session bus has no KWin"};
}

// XWayland's client areas by X11 window id, for KWin 5.27, which does not tell them.
std::optional<std::map<WindowId, WindowBounds>> xwaylandClientAreas() {
    const auto listed = x11Windows();
    const auto* windows = std::get_if<std::vector<WindowDescription>>(&listed);
    if (windows == nullptr) {
        return std::nullopt;
    }
    std::map<WindowId, WindowBounds> areas;
    for (const auto& window : *windows) {
        if (window.bounds) {
            areas.emplace(window.id, *window.bounds);
        }
    }
    return areas;
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

std::string compositorTrouble() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || *display == '\0') {
        return "no Wayland compositor: WAYLAND_DISPLAY is not set";
    }
    return std::string("the compositor on ") + display +
           " cannot be reached, offers no screen copy, or gave no answer";
}

// An image, or why there is none.
OrUnavailable<SharedImage> imageOr(SharedImage image, const std::string& trouble) {
    if (image) {
        return image;
    }
    return Unavailable{trouble};
}

WindowSystem waylandWindowSystem(std::string_view desktopSource,
                                 std::function<OrUnavailable<SharedImage>()> desktopImage) {
    WindowSystem system = x11WindowSystem();
    system.desktopImage = std::move(desktopImage);
    const auto socket = swaySocketPath();
    system.description = waylandDescription(desktopSource, socket.has_value());
    if (socket) {
        system.windows = [socket = *socket]() -> OrUnavailable<std::vector<WindowDescription>> {
            if (auto windows = swayWindows(socket)) {
                return std::move(*windows);
            }
            return Unavailable{"sway at " + socket + " cannot be reached, or gave no answer"};
        };
        // A window closed, moved or hidden before its place was copied leaves a copy of
        // whatever was there instead: no image then.
        system.windowImage =
            [socket = *socket](const WindowDescription& window) -> OrUnavailable<SharedImage> {
            if (!window.bounds) {
                return Unavailable{"the window has no place on the screen"};
            }
            auto image = waylandRegionImage(*window.bounds);
            if (!image) {
                return Unavailable{compositorTrouble() + "; or the window is gone"};
            }
            if (!swayWindowStillShown(socket, window)) {
                return Unavailable{"the window closed, moved or was hidden while it was copied"};
            }
            return image;
        };
    } else {
        system.note =
            "native Wayland windows are not listed: windows come from XWayland here, which sees "
            "X11 programs only (GNOME lets no program list or capture a chosen native window "
            "without the user); start the application with GDK_BACKEND=x11 or "
            "QT_QPA_PLATFORM=xcb";
    }
    return system;
}

constexpr const char* kPortalTrouble =
    "the desktop portal gave no screenshot: no session bus or portal, a refusal, or no answer "
    "within 30 s";

// `forDoctor`: a window system that writes nothing anywhere.
WindowSystem windowSystemOf(Backend backend, bool forDoctor = false) {
    switch (backend) {
        case Backend::kX11:
            break;
        case Backend::kWlroots:
            // GNOME and KDE offer ordinary clients no screen copy: there the portal has the
            // desktop.
            return waylandWindowSystem("wlroots", [] {
                bool askedPortal = false;
                auto image = waylandDesktopImage([&askedPortal] {
                    askedPortal = true;
                    return portalDesktopImage();
                });
                return imageOr(std::move(image),
                               askedPortal ? kPortalTrouble : compositorTrouble());
            });
        case Backend::kPortal:
            return waylandWindowSystem(
                "desktop portal", [] { return imageOr(portalDesktopImage(), kPortalTrouble); });
        case Backend::kKWin:
            return kwinWindowSystem(
                xwaylandClientAreas, [] { return imageOr(portalDesktopImage(), kPortalTrouble); },
                forDoctor ? ScriptLedgerUse::kNone : ScriptLedgerUse::kKeep);
    }
    return x11WindowSystem();
}

}  // namespace

WindowSystem openWindowSystem() {
    return windowSystemOf(chooseBackend().backend);
}

BackendChoice explainBackendChoice() {
    const Choice choice = chooseBackend();
    static constexpr const char* kNames[] = {"x11", "wlroots", "portal", "kwin"};
    return {.name = kNames[static_cast<int>(choice.backend)],
            .why = choice.why,
            .windowSystem = windowSystemOf(choice.backend, /*forDoctor=*/true)};
}

}  // namespace tarnwick
