#pragma once

#include <cstdint>

#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// The image itself when maxWidth <= 0 or the image is not wider; otherwise a new image exactly
// maxWidth wide, an exact area average computed lazily as its rows are read. Null when it cannot
// be made (a side beyond 65535 pixels, or no memory for its row buffers): the caller must then
// fail rather than write the image at another size.
SharedImage imageScaledToMaxWidth(const SharedImage& image, std::int64_t maxWidth);

// The height an image of width x height gets at maxWidth (0 < maxWidth < width).
std::int64_t scaledHeight(std::int64_t width, std::int64_t height, std::int64_t maxWidth);

}  // namespace tarnwick
