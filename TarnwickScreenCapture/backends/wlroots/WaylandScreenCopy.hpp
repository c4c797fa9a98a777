#pragma once

#include <functional>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"
#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// Why no compositor can be connected to (WAYLAND_DISPLAY unset, no socket, a refusal); none when
// one accepts the connection, which says nothing yet of whether it will answer.
std::optional<Unavailable> waylandCompositorUnreachable();

// The program name of the compositor WAYLAND_DISPLAY names ("labwc", "gnome-shell"); none when
// it cannot be reached or told.
std::optional<std::string> waylandCompositorProgram();

// Every output copied and drawn at its place in the layout, at the largest output scale; what no
// output covers is black. Why not when no compositor can be reached, a copy fails or the
// compositor stays silent for 5 seconds. A compositor that offers no screen copy is copied through
// ext-image-copy-capture's output source where it offers that; else it is let go and
// `withoutScreenCopy` asked instead (when set).
OrUnavailable<SharedImage> waylandDesktopImage(
    const std::function<OrUnavailable<SharedImage>()>& withoutScreenCopy = {});

// The same for one rectangle of the layout (logical coordinates), at the largest scale of the
// outputs it touches.
OrUnavailable<SharedImage> waylandRegionImage(const WindowBounds& region);

// A wlroots compositor: the desktop by screen copy, the windows and their images from `windows`
// (sway's, or XWayland's, which sees X11 programs only). GNOME and KDE offer ordinary clients no
// screen copy: there `withoutScreenCopy` gives the desktop.
WindowSystem wlrootsWindowSystem(WindowSystem windows,
                                 std::function<OrUnavailable<SharedImage>()> withoutScreenCopy);

}  // namespace tarnwick
