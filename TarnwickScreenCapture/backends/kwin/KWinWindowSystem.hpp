#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/backends/kwin/KWinListing.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinScript.hpp"
#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// Whether the session bus has KWin (org.kde.KWin owned, or its screenshot service activatable).
bool kwinOnSessionBus();

// Whether KWin takes screenshots for this program: it does; it refuses (no .desktop file names
// the program); or it serves none at all (no service, or one that cancels every capture).
struct KWinScreenShotVerdict {
    enum class Kind { kServed, kRefused, kNotServed };
    Kind kind = Kind::kServed;
    std::string reason;  // KWin's refusal, or why it serves none
};
// Served too when KWin cannot be asked.
KWinScreenShotVerdict kwinScreenShotVerdict();

// XWayland's X server, for what KWin does not tell or give: its client windows by X11 id, and
// one window's image.
struct XWaylandAccess {
    std::function<OrUnavailable<std::map<WindowId, XWaylandClient>>()> clients;
    std::function<OrUnavailable<SharedImage>(WindowId)> windowImage;
};

// KWin on the session bus: its windows through a listing script, the images through
// ScreenShot2. XWayland's clients are asked for when the listing has X11 windows in a KWin
// frame, whose client area KWin 5.27 does not tell, or windows KWin 6 gives no X11 id (joined
// by client area and process). An XWayland window's image comes from the X server when KWin
// has no screenshot service, cancels or refuses. `desktopWhenRefused` gives the desktop when
// KWin refuses to take it. `ledgerUse` as runKWinScript's.
WindowSystem kwinWindowSystem(XWaylandAccess xwayland,
                              std::function<OrUnavailable<SharedImage>()> desktopWhenRefused,
                              ScriptLedgerUse ledgerUse = ScriptLedgerUse::kKeep);

}  // namespace tarnwick
