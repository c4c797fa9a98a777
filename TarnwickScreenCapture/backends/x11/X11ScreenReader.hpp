#pragma once

#include <xcb/xcb.h>

#include <memory>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowPixels.hpp"
#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// A lazily read image of what `window` shows; the reader takes over the connection.
SharedImage lazyImage(std::unique_ptr<X11Display> display, xcb_window_t window,
                      const PixelSource& source);

}  // namespace tarnwick
