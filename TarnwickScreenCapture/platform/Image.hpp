#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarnwick {

// A bitmap of 8-bit RGBA with colours premultiplied by alpha, rows top to bottom.
struct Image {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::size_t bytesPerRow = 0;
    std::vector<std::uint8_t> pixels;
};

// Images are immutable once made and shared by whoever holds them; null means "no image".
using ImageRef = std::shared_ptr<const Image>;

inline constexpr std::size_t kBytesPerPixel = 4;

}  // namespace tarnwick
