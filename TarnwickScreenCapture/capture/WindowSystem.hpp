#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/image/Image.hpp"
#include "TarnwickScreenCapture/posix/Unavailable.hpp"

namespace tarnwick {

// A window as its window system numbers it (an X11 window id, a sway container id); 0 is none.
using WindowId = std::uint32_t;
inline constexpr WindowId kNoWindow = 0;

// Where a window stands among the others. Only normal windows are captured: the rest are parts
// of the desktop or of an application's chrome.
enum class WindowLayer {
    kNormal,
    kKeptAbove,  // asked to stay above the others
    kPanel,      // a dock or panel
    kPopup,      // a menu, tooltip or notification that no window manager arranges
};

// A rectangle in the window system's layout coordinates.
struct WindowBounds {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// One on-screen window as every backend describes it. The defaults are what selection assumes
// when a window system does not know a value.
struct WindowDescription {
    WindowId id = kNoWindow;
    WindowLayer layer = WindowLayer::kNormal;
    double opacity = 1.0;
    bool minimized = false;
    std::optional<WindowBounds> bounds;
    std::string ownerName;
    std::string title;
};

// What one window system (X11, a Wayland compositor) offers the capture.
struct WindowSystem {
    // Which system this is and where, as a person reads it: "X11 on :0".
    std::string description;
    // What its window list cannot show, and why, for --list-windows; empty when nothing.
    std::string note;
    // The on-screen windows, front to back.
    std::function<OrUnavailable<std::vector<WindowDescription>>()> windows;
    // Never null when it is no Unavailable.
    std::function<OrUnavailable<SharedImage>()> desktopImage;
    // One window as the window system shows it. The window must come from the last call of
    // `windows` on this same object: a window system may know a window only by what its own
    // listing said of it (KWin's uuid), and refuses any other.
    std::function<OrUnavailable<SharedImage>(const WindowDescription& window)> windowImage;
};

}  // namespace tarnwick
