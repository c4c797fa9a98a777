#pragma once

#include <cstdint>
#include <span>

#include "TarnwickScreenCapture/image/Image.hpp"
#include "TarnwickScreenCapture/image/PixelConversion.hpp"

namespace tarnwick {

// A colour channel weighed by its alpha, rounded to nearest: c × a / 255.
inline std::uint8_t premultipliedChannel(std::uint8_t colour, std::uint8_t alpha) {
    const unsigned product = unsigned{colour} * alpha + 128;
    return static_cast<std::uint8_t>((product + (product >> 8)) >> 8);
}

// Decodes a PNG of any colour type and bit depth into premultiplied RGBA. Null for anything
// that is not a whole, valid PNG, and for one larger than `maxPixels` or kMaximumImageSide on
// a side, which is never decoded.
SharedImage imageFromPng(std::span<const std::uint8_t> bytes,
                         std::int64_t maxPixels = kMaximumImagePixels);

}  // namespace tarnwick
