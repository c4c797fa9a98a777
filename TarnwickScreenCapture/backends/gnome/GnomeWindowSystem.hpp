#pragma once

#include <optional>
#include <string>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The extension's uuid, as `gnome-extensions enable` takes it.
inline constexpr const char* kGnomeExtensionUuid = "screen-capture@tarnwick.invalid";

// Whether the session bus has the extension's service (its name owned).
bool gnomeExtensionOnSessionBus();

// What GNOME Shell says of the extension, for --doctor.
struct GnomeExtensionStatus {
    bool shellOnBus = false;    // org.gnome.Shell is owned
    bool answering = false;     // the extension's name is owned
    bool knownToShell = false;  // the shell found it in an extension folder when it started
    bool enabled = false;       // the shell runs it
    bool outOfDate = false;     // the shell's version is not among those it lists
    std::string shellError;     // why the shell could not run it, if it says
    std::optional<std::string> installedAt;  // the folder holding it, if any
};
GnomeExtensionStatus gnomeExtensionStatus();

// GNOME Shell through the extension: its window list (native and XWayland windows), each
// window's client area and the desktop as raw pixels through a pipe.
WindowSystem gnomeWindowSystem();

}  // namespace tarnwick
