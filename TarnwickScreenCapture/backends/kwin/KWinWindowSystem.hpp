#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/backends/kwin/KWinScript.hpp"
#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// Whether the session bus has KWin (org.kde.KWin owned, or its screenshot service activatable).
bool kwinOnSessionBus();

// KWin's refusal when it does not let this program take screenshots (no .desktop file names
// it); none when it does, or when KWin cannot be asked.
std::optional<std::string> kwinRefusesScreenshots();

// X11 window ids to their client areas, as the X server of XWayland tells them.
using XWaylandClientAreas = std::function<OrUnavailable<std::map<WindowId, WindowBounds>>()>;

// KWin on the session bus: its windows through a listing script, the images through
// ScreenShot2. `xwaylandClientAreas` is asked only for XWayland windows in a KWin frame, whose
// client area KWin 5.27 does not tell. `desktopWhenRefused` gives the desktop when KWin refuses
// to take it; a window KWin refuses stays refused. `ledgerUse` as runKWinScript's.
WindowSystem kwinWindowSystem(XWaylandClientAreas xwaylandClientAreas,
                              std::function<OrUnavailable<SharedImage>()> desktopWhenRefused,
                              ScriptLedgerUse ledgerUse = ScriptLedgerUse::kKeep);

}  // namespace tarnwick
