#include "TarnwickScreenCapture/backends/kwin/KWinWindowSystem.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "TarnwickScreenCapture/backends/dbus/SessionBus.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinImage.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinListing.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinScreenShot.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinScript.hpp"
#include "TarnwickScreenCapture/posix/Environment.hpp"

namespace tarnwick {
namespace {

// What one capture shares between listing and taking the image: one bus connection, and what
// the listing said about each window.
struct KWinState {
    SessionBusOnDemand bus{kKWinSilenceLimit};
    std::map<WindowId, KWinWindow> listed;
};

OrUnavailable<std::vector<WindowDescription>> listWindows(KWinState& state,
                                                          const XWaylandAccess& xwayland,
                                                          ScriptLedgerUse ledgerUse) {
    sd_bus* bus = state.bus.get();
    if (bus == nullptr) {
        return Unavailable{state.bus.whyNot()};
    }
    auto answer = runKWinScript(bus, kwinListingScript(), ledgerUse);
    if (auto* unavailable = std::get_if<Unavailable>(&answer)) {
        return std::move(*unavailable);
    }
    auto listing = readKWinListing(std::get<std::string>(answer));
    if (auto* unavailable = std::get_if<Unavailable>(&listing)) {
        return std::move(*unavailable);
    }
    auto windows = std::get<std::vector<KWinWindow>>(std::move(listing));
    const bool askXWayland = std::any_of(windows.begin(), windows.end(), [](const KWinWindow& w) {
        return w.clientAreaFromXWayland || w.mayBeXWayland;
    });
    if (askXWayland && xwayland.clients) {
        const auto clients = xwayland.clients();
        if (const auto* known = std::get_if<std::map<WindowId, XWaylandClient>>(&clients)) {
            windows = joinedWithXWayland(std::move(windows), *known);
            std::map<WindowId, WindowBounds> areas;
            for (const auto& [id, client] : *known) {
                areas.emplace(id, client.area);
            }
            windows = withXWaylandClientAreas(std::move(windows), areas);
        }
    }
    std::vector<WindowDescription> descriptions;
    state.listed.clear();
    for (auto& window : windows) {
        descriptions.push_back(window.description);
        state.listed.emplace(window.description.id, std::move(window));
    }
    return descriptions;
}

OrUnavailable<SharedImage> imageOf(const OrUnavailable<KWinShot>& taken, const KWinWindow* window) {
    if (const auto* failed = std::get_if<Unavailable>(&taken)) {
        return *failed;
    }
    const auto& shot = std::get<KWinShot>(taken);
    const auto& description = shot.description;
    const std::optional<PixelArea> area =
        window != nullptr
            ? clientAreaInImage(*window, description.width, description.height, description.scale)
            : PixelArea{0, 0, description.width, description.height};
    if (!area) {
        return Unavailable{"the window's client area lies outside KWin's image of it"};
    }
    if (auto image = kwinImage(description, shot.pixels, *area)) {
        return image;
    }
    return Unavailable{"KWin's image cannot be used"};
}

}  // namespace

bool kwinOnSessionBus() {
    const auto bus = openSessionBus(Deadline::after(kKWinSilenceLimit));
    const auto* opened = std::get_if<Bus>(&bus);
    return opened != nullptr && kwinOnBus(opened->get());
}

KWinScreenShotVerdict kwinScreenShotVerdict() {
    using Kind = KWinScreenShotVerdict::Kind;
    const auto opened = openSessionBus(Deadline::after(kKWinSilenceLimit));
    const auto* bus = std::get_if<Bus>(&opened);
    if (bus == nullptr) {
        return {};
    }
    // KWin looks at the caller before it looks for the window: a window that cannot exist costs
    // no picture, and the answer says whether one would have been given.
    const auto attempt = kwinScreenShot(bus->get(), "{00000000-0000-0000-0000-000000000000}");
    const auto* failed = std::get_if<Unavailable>(&attempt.taken);
    switch (attempt.failure) {
        case KWinShotFailure::kRefused:
            return {.kind = Kind::kRefused, .reason = failed->reason};
        case KWinShotFailure::kNoService:
        case KWinShotFailure::kCancelled:
            return {.kind = Kind::kNotServed, .reason = failed->reason};
        case KWinShotFailure::kOther:
            break;
    }
    // KWin 6 cancels each capture while it composites without OpenGL, but only once it has a
    // window to take: the probe's unknown window does not show it.
    const auto type = kwinCompositingType(bus->get(), Deadline::after(kKWinSilenceLimit));
    if (type && !type->starts_with("gl")) {
        return {.kind = Kind::kNotServed,
                .reason =
                    "KWin's screenshot service gives no pictures: it composites without "
                    "OpenGL (compositing type \"" +
                    *type + "\")"};
    }
    return {};
}

WindowSystem kwinWindowSystem(XWaylandAccess xwayland,
                              std::function<OrUnavailable<SharedImage>()> desktopWhenRefused,
                              ScriptLedgerUse ledgerUse) {
    auto state = std::make_shared<KWinState>();
    auto windowImage = std::move(xwayland.windowImage);
    return WindowSystem{
        .description = placeText("KWin", variables::kWaylandDisplay),
        .windows = [state, xwayland = std::move(xwayland),
                    ledgerUse] { return listWindows(*state, xwayland, ledgerUse); },
        .desktopImage = [state, desktopWhenRefused =
                                    std::move(desktopWhenRefused)]() -> OrUnavailable<SharedImage> {
            sd_bus* bus = state->bus.get();
            if (bus == nullptr) {
                return Unavailable{state->bus.whyNot()};
            }
            const auto attempt = kwinScreenShot(bus, std::nullopt);
            if (attempt.failure == KWinShotFailure::kRefused && desktopWhenRefused) {
                auto other = desktopWhenRefused();
                if (auto* unavailable = std::get_if<Unavailable>(&other)) {
                    return Unavailable{std::get<Unavailable>(attempt.taken).reason + "; " +
                                       unavailable->reason};
                }
                return other;
            }
            return imageOf(attempt.taken, nullptr);
        },
        .windowImage = [state, windowImage = std::move(windowImage)](
                           const WindowDescription& window) -> OrUnavailable<SharedImage> {
            const auto found = state->listed.find(window.id);
            if (found == state->listed.end() || found->second.uuid.empty()) {
                return Unavailable{"the window is not in KWin's listing"};
            }
            sd_bus* bus = state->bus.get();
            if (bus == nullptr) {
                return Unavailable{state->bus.whyNot()};
            }
            const KWinWindow& listed = found->second;
            const auto attempt = kwinScreenShot(bus, listed.uuid);
            if (attempt.failure == KWinShotFailure::kOther || !listed.xwayland || !windowImage) {
                return imageOf(attempt.taken, &listed);
            }
            // An X11 program's window is the X server's too, which gives it without KWin.
            auto other = windowImage(listed.description.id);
            if (auto* unavailable = std::get_if<Unavailable>(&other)) {
                return Unavailable{std::get<Unavailable>(attempt.taken).reason +
                                   "; nor from XWayland: " + unavailable->reason};
            }
            return other;
        },
    };
}

}  // namespace tarnwick
