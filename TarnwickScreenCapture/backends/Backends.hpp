#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

enum class Backend { kX11, kWlroots, kPortal, kKWin, kGnome };

// The backend TARNWICK_CAPTURE_BACKEND names ("x11", "wlroots", "portal", "kwin" or "gnome");
// none for a name nobody gives.
std::optional<Backend> backendNamed(std::string_view name);

// Every backend's name, as a person reads a choice: "x11, wlroots, portal, kwin or gnome".
std::string backendNames();

// The one place that chooses and assembles a backend, afresh for each capture: the backend
// TARNWICK_CAPTURE_BACKEND names; otherwise a Wayland session when WAYLAND_DISPLAY names a
// compositor that accepts a connection, else X11. Under Wayland, where SWAYSOCK names no sway:
// GNOME Shell when its extension of ours answers on the session bus, else KWin when the session
// bus has it, each with its windows and images through its own D-Bus services. Otherwise
// the desktop by wlroots screen copy, or the desktop portal where the compositor offers none, and
// windows from sway's tree when SWAYSOCK names it, else from XWayland through X11, which sees no
// native window.
WindowSystem openWindowSystem();

// What a listing of XWayland's windows leaves out on the compositor named by its program name
// (none when it cannot be told), and why: a wlroots compositor other than sway has no window tree
// with places; GNOME lets no program pick a native window.
std::string xwaylandOnlyNote(const std::optional<std::string>& compositor);

// The backend a capture would use now, why, and that window system: for --doctor.
struct BackendChoice {
    Backend backend = Backend::kX11;
    std::string why;
    WindowSystem windowSystem;
};
BackendChoice explainBackendChoice();

}  // namespace tarnwick
