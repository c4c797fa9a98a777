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
    Bus bus;
    std::string whyNoBus;
    std::map<WindowId, KWinWindow> listed;

    sd_bus* connection() {
        if (!bus && whyNoBus.empty()) {
            auto opened = openSessionBus(Deadline::after(kKWinSilenceLimit));
            if (auto* unavailable = std::get_if<Unavailable>(&opened)) {
                whyNoBus = std::move(unavailable->reason);
            } else {
                bus = std::get<Bus>(std::move(opened));
            }
        }
        return bus.get();
    }
};

OrUnavailable<std::vector<WindowDescription>> listWindows(
    KWinState& state, const XWaylandClientAreas& xwaylandClientAreas, ScriptLedgerUse ledgerUse) {
    sd_bus* bus = state.connection();
    if (bus == nullptr) {
        return Unavailable{state.whyNoBus};
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
    const bool framedX11 = std::any_of(windows.begin(), windows.end(), [](const KWinWindow& w) {
        return w.clientAreaFromXWayland;
    });
    if (framedX11 && xwaylandClientAreas) {
        const auto areas = xwaylandClientAreas();
        if (const auto* known = std::get_if<std::map<WindowId, WindowBounds>>(&areas)) {
            windows = withXWaylandClientAreas(std::move(windows), *known);
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

std::optional<std::string> kwinRefusesScreenshots() {
    const auto opened = openSessionBus(Deadline::after(kKWinSilenceLimit));
    const auto* bus = std::get_if<Bus>(&opened);
    if (bus == nullptr) {
        return std::nullopt;
    }
    // KWin looks at the caller before it looks for the window: a window that cannot exist costs
    // no picture, and the answer says whether one would have been given.
    const auto taken = kwinScreenShot(bus->get(), "{00000000-0000-0000-0000-000000000000}");
    if (const auto* failed = std::get_if<Unavailable>(&taken); failed && failed->refused) {
        return failed->reason;
    }
    return std::nullopt;
}

WindowSystem kwinWindowSystem(XWaylandClientAreas xwaylandClientAreas,
                              std::function<OrUnavailable<SharedImage>()> desktopWhenRefused,
                              ScriptLedgerUse ledgerUse) {
    auto state = std::make_shared<KWinState>();
    return WindowSystem{
        .description = placeText("KWin", variables::kWaylandDisplay),
        .windows = [state, xwaylandClientAreas = std::move(xwaylandClientAreas),
                    ledgerUse] { return listWindows(*state, xwaylandClientAreas, ledgerUse); },
        .desktopImage = [state, desktopWhenRefused =
                                    std::move(desktopWhenRefused)]() -> OrUnavailable<SharedImage> {
            sd_bus* bus = state->connection();
            if (bus == nullptr) {
                return Unavailable{state->whyNoBus};
            }
            const auto taken = kwinScreenShot(bus, std::nullopt);
            const auto* failed = std::get_if<Unavailable>(&taken);
            if (failed != nullptr && failed->refused && desktopWhenRefused) {
                auto other = desktopWhenRefused();
                if (auto* unavailable = std::get_if<Unavailable>(&other)) {
                    return Unavailable{failed->reason + "; " + unavailable->reason};
                }
                return other;
            }
            return imageOf(taken, nullptr);
        },
        .windowImage = [state](const WindowDescription& window) -> OrUnavailable<SharedImage> {
            const auto found = state->listed.find(window.id);
            if (found == state->listed.end() || found->second.uuid.empty()) {
                return Unavailable{"the window is not in KWin's listing"};
            }
            sd_bus* bus = state->connection();
            if (bus == nullptr) {
                return Unavailable{state->whyNoBus};
            }
            return imageOf(kwinScreenShot(bus, found->second.uuid), &found->second);
        },
    };
}

}  // namespace tarnwick
