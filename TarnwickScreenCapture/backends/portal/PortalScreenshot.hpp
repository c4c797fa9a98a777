#pragma once

#include <chrono>
#include <string>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"
#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// How long the portal may take to answer: some desktops ask the user the first time.
inline constexpr std::chrono::seconds kPortalDeadline{30};

// Asks the desktop portal on the session bus for a screenshot, without a dialog of its own, and
// waits for its answer: the URI of the file it made, or why not (no session bus or portal, an
// error, a refusal, which is marked so, or no answer in time).
OrUnavailable<std::string> portalScreenshotUri(std::chrono::milliseconds deadline);

// Whether the session bus has the desktop portal (running, or to be started when called); why
// not when there is no session bus to ask.
OrUnavailable<bool> portalOnSessionBus();

// What the portal's permission store holds of screenshots by programs outside a sandbox (GNOME's
// portal asks the user once, then keeps the answer there).
enum class ScreenshotPermission { kGranted, kDenied, kMissing };

// The store's entry; why not when there is no bus or store to ask.
OrUnavailable<ScreenshotPermission> portalScreenshotPermission();

// The command that grants the permission, for the user to run.
inline constexpr const char* kGrantScreenshotCommand =
    "gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore --object-path "
    "/org/freedesktop/impl/portal/PermissionStore --method "
    "org.freedesktop.impl.portal.PermissionStore.SetPermission screenshot true screenshot '' "
    "\"['yes']\"";

// The whole desktop as the portal sees it; its file is removed once read.
OrUnavailable<SharedImage> portalDesktopImage();

// The desktop portal's desktop, with the windows and their images of `windows` (sway's, or
// XWayland's).
WindowSystem portalWindowSystem(WindowSystem windows);

}  // namespace tarnwick
