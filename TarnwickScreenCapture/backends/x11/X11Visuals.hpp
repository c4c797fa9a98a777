#pragma once

#include <xcb/xcb.h>

#include <optional>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowPixels.hpp"
#include "TarnwickScreenCapture/image/PixelConversion.hpp"

namespace tarnwick {

// The layout of the source's pixels; its colormap is filled in by loadColormap.
std::optional<PixelLayout> layoutOf(const xcb_setup_t* setup, const PixelSource& source);

// Reads the colormap entries the pixels index: one per pixel value of an indexed visual, one per
// channel value of a DirectColor one (each pixel's channel bits pick that channel's entry).
// Nothing to read for a TrueColor visual.
bool loadColormap(const X11Display& display, const PixelSource& source, PixelLayout& layout);

// The usual 24-bit TrueColor screen: 32-bit words, low byte first, no alpha.
bool isOpaqueBgrx(const PixelLayout& layout);

}  // namespace tarnwick
