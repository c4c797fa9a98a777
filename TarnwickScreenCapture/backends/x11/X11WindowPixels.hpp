#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"
#include "TarnwickScreenCapture/backends/x11/X11ServerGuards.hpp"

namespace tarnwick {

// Pixels of `area` of one drawable, whose depth and visual are known beforehand, and the colormap
// that gives their colours where the visual needs one.
struct PixelSource {
    xcb_drawable_t drawable = XCB_NONE;
    PixelArea area;
    std::uint8_t depth = 0;
    xcb_visualid_t visual = XCB_NONE;
    xcb_colormap_t colormap = XCB_NONE;
};

// Where a window's pixels are read from, with the pixmap that names them when a compositor keeps
// the window off-screen.
struct WindowPixels {
    PixelSource source;
    std::unique_ptr<NamedPixmap> pixmap;
};

// Where the pixels of `window` (the root window for the whole screen) are to be read now; none
// when the window is gone or not viewable, or on an X error.
std::optional<WindowPixels> windowPixels(const X11Display& display, xcb_window_t window);

// Whether two finds of a window give pixels of the same size, depth and visual.
bool sameShape(const PixelSource& a, const PixelSource& b);

}  // namespace tarnwick
