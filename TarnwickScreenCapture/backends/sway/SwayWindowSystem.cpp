#include "TarnwickScreenCapture/backends/sway/SwayWindowSystem.hpp"

#include <map>
#include <memory>
#include <utility>

#include "TarnwickScreenCapture/backends/sway/SwayIpc.hpp"
#include "TarnwickScreenCapture/backends/sway/SwayTree.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandToplevels.hpp"

namespace tarnwick {
namespace {

// A copy of a window's place that may show something else: a window closed, moved or hidden
// before its place was copied leaves whatever was there instead. Asked after the copy, sway
// showing it still where it was listed means the copy shows it: a closed container never comes
// back.
OrUnavailable<SharedImage> confirmedCopy(const std::string& socketPath,
                                         const WindowDescription& window) {
    if (!window.bounds) {
        return Unavailable{"the window has no place on the screen"};
    }
    auto image = waylandRegionImage(*window.bounds);
    if (std::holds_alternative<Unavailable>(image)) {
        return image;
    }
    auto windows = swayWindows(socketPath);
    if (auto* unavailable = std::get_if<Unavailable>(&windows)) {
        unavailable->reason = "the window was copied, but then " + unavailable->reason;
        return std::move(*unavailable);
    }
    if (!stillShown(window, std::get<std::vector<WindowDescription>>(windows))) {
        return Unavailable{"the window closed, moved or was hidden while it was copied"};
    }
    return image;
}

}  // namespace

WindowSystem swayWindowSystem(std::string socketPath) {
    // Each window's identifier in the toplevel list, from the last listing.
    auto identifiers = std::make_shared<std::map<WindowId, std::string>>();
    return WindowSystem{
        .description = "sway",
        .windows =
            [socketPath, identifiers] {
                identifiers->clear();
                return swayWindows(socketPath, identifiers.get());
            },
        .desktopImage = [] { return waylandDesktopImage(); },
        .windowImage =
            [socketPath, identifiers](const WindowDescription& window) {
                // sway's tree chose the window; its own pixels come by the identifier the tree
                // shares with the toplevel list, where sway offers per-window capture.
                const auto found = identifiers->find(window.id);
                if (found == identifiers->end()) {
                    return confirmedCopy(socketPath, window);
                }
                return waylandToplevelImage(found->second,
                                            [&] { return confirmedCopy(socketPath, window); });
            },
    };
}

}  // namespace tarnwick
