#pragma once

namespace tarnwick {

// Whether the display named by DISPLAY is an XWayland server: its root window shows nothing of
// the Wayland desktop, so it must not stand for the screen.
bool x11ServerIsXWayland();

}  // namespace tarnwick
