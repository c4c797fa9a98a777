#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"
#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The lower-case needles by which windows of the captured application are recognised, in order.
inline constexpr std::array<std::string_view, 3> ownerNeedles{"tavik", "brevant", "zorvel"};

inline constexpr double kMinimumWindowOpacity = 0.01;
inline constexpr double kMinimumWindowWidth = 320.0;
inline constexpr double kMinimumWindowHeight = 240.0;

// The tests a window must pass to be captured, in the order they are applied.
enum class WindowRule { kLayer, kMinimized, kOpacity, kBounds, kSize, kNeedle, kId };

struct WindowVerdict {
    // The first rule the window fails; none when it qualifies.
    std::optional<WindowRule> failedRule;
    // The needle its names hold (empty when none) and whether the owner name holds it.
    std::string_view needle;
    bool needleInOwnerName = false;

    bool qualifies() const { return !failedRule; }
};

// What selection makes of one window, whatever else is on screen.
WindowVerdict windowVerdict(const WindowDescription& window);

// A window as a compositor lists it that tells neither places nor stacking (the toplevel list):
// its size is that of its captured image, at 0,0.
struct ListedWindow {
    WindowDescription window;
    bool activated = false;
};

// The front-to-back order such a list stands for: the activated window first, then the most
// recently listed. Minimized windows stay in the list, for the listing to show; selection passes
// them over.
std::vector<WindowDescription> frontToBackByListing(std::vector<ListedWindow> listed);

// The pure step: the first window in the list that qualifies, or the failure (code 2 when there
// is no list, code 5 when no window qualifies).
OrCaptureFailure<WindowDescription> selectTavikWindow(
    const OrUnavailable<std::vector<WindowDescription>>& windows);

// Lists the window system's on-screen windows and selects one.
OrCaptureFailure<WindowDescription> findTavikWindow(const WindowSystem& windowSystem);

}  // namespace tarnwick
