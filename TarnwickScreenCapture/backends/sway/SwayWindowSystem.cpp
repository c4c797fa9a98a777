#include "TarnwickScreenCapture/backends/sway/SwayWindowSystem.hpp"

#include <map>
#include <memory>
#include <utility>
#include <variant>

#include "TarnwickScreenCapture/backends/sway/SwayIpc.hpp"
#include "TarnwickScreenCapture/backends/sway/SwayTree.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandToplevels.hpp"

namespace tarnwick {
namespace {

// What sway's tree says after a copy of a window's place: whether it still shows the window
// there, and whether anything has come in front of it.
struct AfterTheCopy {
    bool shown = false;
    bool sharperOnScreen = false;
};

// A copy of a window's place that may show something else: a window closed, moved or hidden
// before its place was copied leaves whatever was there instead. Asked after the copy, sway
// showing it still where it was listed means the copy shows it: a closed container never comes
// back. `after`, when given, gets what the tree said then.
OrUnavailable<SharedImage> confirmedCopy(const std::string& socketPath,
                                         const WindowDescription& window,
                                         AfterTheCopy* after = nullptr) {
    if (!window.bounds) {
        return Unavailable{"the window has no place on the screen"};
    }
    auto image = waylandRegionImage(*window.bounds);
    if (std::holds_alternative<Unavailable>(image)) {
        return image;
    }
    std::map<WindowId, SwayWindowSource> sources;
    auto windows = swayWindows(socketPath, &sources);
    if (auto* unavailable = std::get_if<Unavailable>(&windows)) {
        unavailable->reason = "the window was copied, but then " + unavailable->reason;
        return std::move(*unavailable);
    }
    const bool shown = stillShown(window, std::get<std::vector<WindowDescription>>(windows));
    if (after != nullptr) {
        const auto found = sources.find(window.id);
        *after = {.shown = shown,
                  .sharperOnScreen = found != sources.end() && found->second.sharperOnScreen};
    }
    if (!shown) {
        return Unavailable{"the window closed, moved or was hidden while it was copied"};
    }
    return image;
}

}  // namespace

WindowSystem swayWindowSystem(std::string socketPath) {
    // How each window of the last listing is best captured.
    auto sources = std::make_shared<std::map<WindowId, SwayWindowSource>>();
    return WindowSystem{
        .description = "sway",
        .windows =
            [socketPath, sources] {
                sources->clear();
                return swayWindows(socketPath, sources.get());
            },
        .desktopImage = [] { return waylandDesktopImage(); },
        .windowImage = [socketPath,
                        sources](const WindowDescription& window) -> OrUnavailable<SharedImage> {
            // sway's tree chose the window; its own pixels come by the identifier the tree
            // shares with the toplevel list, where sway offers per-window capture.
            const auto found = sources->find(window.id);
            if (found == sources->end()) {
                return confirmedCopy(socketPath, window);
            }
            const std::string identifier = found->second.toplevelIdentifier;
            if (found->second.sharperOnScreen) {
                // sway draws a window's own pixels at scale 1: on a scaled output with nothing
                // in front of it the screen shows it with more pixels. Should something have
                // come in front while it was copied, or the copy fail, its own pixels it is.
                AfterTheCopy after;
                auto copy = confirmedCopy(socketPath, window, &after);
                if (after.shown && after.sharperOnScreen &&
                    std::holds_alternative<SharedImage>(copy)) {
                    return copy;
                }
            }
            return waylandToplevelImage(identifier,
                                        [&] { return confirmedCopy(socketPath, window); });
        },
    };
}

}  // namespace tarnwick
