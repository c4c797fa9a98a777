#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// Largest width or height taken from a display server, and largest pixel count.
inline constexpr std::int64_t kMaximumImageSide = 32768;
inline constexpr std::int64_t kMaximumImagePixels = std::int64_t{1} << 28;

enum class PixelByteOrder { kLeastSignificantFirst, kMostSignificantFirst };

// How pixel values become colours.
enum class PixelColours {
    kMasks,    // the colour masks' bits are the colour (TrueColor)
    kIndexed,  // the pixel value picks a colormap entry (PseudoColor, StaticColor, the grey ones)
    kRamps,    // each colour mask's bits pick that channel of a colormap entry (DirectColor)
};

struct ColormapEntry {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;

    bool operator==(const ColormapEntry&) const = default;
};

// How one ZPixmap image lays out its pixels.
struct PixelLayout {
    int bitsPerPixel = 32;  // 8, 16, 24 or 32
    PixelByteOrder byteOrder = PixelByteOrder::kLeastSignificantFirst;
    std::size_t bytesPerRow = 0;
    std::uint32_t redMask = 0;
    std::uint32_t greenMask = 0;
    std::uint32_t blueMask = 0;
    std::uint32_t alphaMask = 0;  // 0: opaque; otherwise colours come premultiplied
    PixelColours colours = PixelColours::kMasks;
    // Indexed and ramps: values beyond its end are black.
    std::vector<ColormapEntry> colormap;
};

// Bytes of one row of `width` pixels, each row padded to `scanlinePad` bits; none when the
// values are out of range.
std::optional<std::size_t> paddedRowBytes(std::int64_t width, int bitsPerPixel, int scanlinePad);

// The alpha bits of a visual of `depth` with the given colour masks: whatever the depth holds
// beyond the colours (depth-32 ARGB visuals), 0 for depth 24.
std::uint32_t alphaMaskForDepth(int depth, std::uint32_t redMask, std::uint32_t greenMask,
                                std::uint32_t blueMask);

// Converts `height` rows of server pixels into 8-bit premultiplied RGBA rows `outStride` bytes
// apart; false for an unsupported layout, a size out of bounds or too few bytes.
bool convertPixelRows(std::span<const std::uint8_t> pixels, std::int64_t width, std::int64_t height,
                      const PixelLayout& layout, std::uint8_t* out, std::size_t outStride);

// Converts server pixels into a new image of 8-bit premultiplied RGBA; null for an unsupported
// layout, a size out of bounds or too few bytes.
SharedImage imageFromPixels(std::span<const std::uint8_t> pixels, std::int64_t width,
                            std::int64_t height, const PixelLayout& layout);

}  // namespace tarnwick
