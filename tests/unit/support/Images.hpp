#pragma once

#include <cstdint>

#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick::testing {

// An opaque image of one colour (red, 0, 0).
inline SharedImage solidImage(std::int64_t width, std::int64_t height, std::uint8_t red = 200) {
    auto image = newImage(width, height);
    for (std::size_t i = 0; i < image->pixels.size(); i += kBytesPerPixel) {
        image->pixels[i] = red;
        image->pixels[i + 3] = 255;
    }
    return image;
}

}  // namespace tarnwick::testing
