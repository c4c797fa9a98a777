#pragma once

#include <functional>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"
#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// Whether WAYLAND_DISPLAY names a compositor that accepts a connection.
bool waylandCompositorReachable();

// Every output copied and drawn at its place in the layout, at the largest output scale; what no
// output covers is black. Null when no compositor can be reached, a copy fails or the compositor
// stays silent for 5 seconds. A compositor that offers no screen copy is let go and
// `withoutScreenCopy` asked instead (when set).
SharedImage waylandDesktopImage(const std::function<SharedImage()>& withoutScreenCopy = {});

// The same for one rectangle of the layout (logical coordinates), at the largest scale of the
// outputs it touches.
SharedImage waylandRegionImage(const WindowBounds& region);

}  // namespace tarnwick
