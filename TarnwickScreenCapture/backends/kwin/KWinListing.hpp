#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// One window of the listing script's answer, with what capturing it needs.
struct KWinWindow {
    WindowDescription description;  // its bounds: the client area
    std::string uuid;               // KWin's internalId, "{...}"; empty when it gave none
    std::optional<WindowBounds> buffer;
    // An X11 window in a frame KWin draws, whose client area KWin 5.27 does not tell scripts:
    // its bounds are the frame until the X server says better (withXWaylandClientAreas).
    bool clientAreaFromXWayland = false;
    // Its id is its X11 window id: the X server of XWayland can show it too.
    bool xwayland = false;
    // KWin 6 tells scripts no X11 window id: a window without one may still be XWayland's,
    // until joinedWithXWayland finds it in the X server's list or not.
    bool mayBeXWayland = false;
    std::optional<std::uint32_t> pid;
};

// A client window of XWayland's X server: its client area in the root window's coordinates and
// the process that set _NET_WM_PID, where it did.
struct XWaylandClient {
    WindowBounds area;
    std::optional<std::uint32_t> pid;
};

// The on-screen windows of the answer, front to back: the desktop window, minimized and hidden
// ones and those on other virtual desktops are left out; docks are panels, windows asked to
// stay above are kept above, normal windows and dialogs normal, anything else a pop-up. The id
// of an XWayland window is its X11 window id, that of a native one a number made from its uuid
// (bit 31 set, which X11 ids never have), unique within the listing. The reason when the text
// is no answer of the listing script, or the script's own error.
OrUnavailable<std::vector<KWinWindow>> readKWinListing(std::string_view text);

// The listing with the client areas of KWin-framed XWayland windows taken from the X server's
// own list (X11 window id to client area), where it has them inside the window's frame.
std::vector<KWinWindow> withXWaylandClientAreas(std::vector<KWinWindow> windows,
                                                const std::map<WindowId, WindowBounds>& x11Areas);

// The listing with the windows KWin 6 gives no X11 id joined to XWayland's: a window whose
// client area equals one X11 client's, of the same process where both tell it, takes that X11
// id, when neither side has another such match. The others stay native windows.
std::vector<KWinWindow> joinedWithXWayland(std::vector<KWinWindow> windows,
                                           const std::map<WindowId, XWaylandClient>& clients);

// Where the window's client area lies in the image ScreenShot2.CaptureWindow made of it (the
// default options, no KWin frame), `scale` image pixels a logical pixel. An image the size of
// the window's buffer holds what the client drew around its area (a shadow, KWin 5.27 for
// client-side decorations): the area is cut out of it. Any other image (the client area alone,
// as for windows KWin frames) is taken whole. None when the area misses the image.
std::optional<PixelArea> clientAreaInImage(const KWinWindow& window, std::int64_t imageWidth,
                                           std::int64_t imageHeight, double scale);

}  // namespace tarnwick
