#include "TarnwickScreenCapture/image/PixelConversion.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace tarnwick {
namespace {

// One colour mask's position and how to widen or narrow its bits to 8.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    std::uint32_t index(std::uint32_t pixel) const { return (pixel & mask) >> shift; }

    std::uint8_t from(std::uint32_t pixel) const {
        const std::uint32_t value = index(pixel);
        if (bits >= 8) {
            return static_cast<std::uint8_t>(value >> (bits - 8));
        }
        const std::uint32_t maximum = (std::uint32_t{1} << bits) - 1;
        return static_cast<std::uint8_t>((value * 255 + maximum / 2) / maximum);
    }
};

std::optional<Channel> channelFor(std::uint32_t mask, int bitsPerPixel) {
    if (mask == 0) {
        return std::nullopt;
    }
    Channel channel{.mask = mask, .shift = std::countr_zero(mask), .bits = std::popcount(mask)};
    const std::uint64_t contiguous = ((std::uint64_t{1} << channel.bits) - 1) << channel.shift;
    if (contiguous != mask || channel.shift + channel.bits > bitsPerPixel) {
        return std::nullopt;
    }
    return channel;
}

std::uint32_t readPixel(const std::uint8_t* p, int bytesPerPixel, PixelByteOrder order) {
    std::uint32_t value = 0;
    if (order == PixelByteOrder::kMostSignificantFirst) {
        for (int i = 0; i < bytesPerPixel; ++i) {
            value = (value << 8) | p[i];
        }
    } else {
        for (int i = bytesPerPixel - 1; i >= 0; --i) {
            value = (value << 8) | p[i];
        }
    }
    return value;
}

// The usual case: 32-bit pixels holding 8-bit (A)RGB in the low-order-first byte order. Written
// as whole-word shifts and masks so that the compiler turns the opaque case into vector code: it
// runs over every pixel of the screen.
void convertBgra(const std::uint8_t* __restrict source, std::uint8_t* __restrict target,
                 std::int64_t width, bool hasAlpha) {
    if (!hasAlpha) {
        for (std::int64_t x = 0; x < width; ++x) {
            std::uint32_t pixel;
            std::memcpy(&pixel, source + x * 4, 4);
            const std::uint32_t rgba =
                ((pixel >> 16) & 0xffu) | (pixel & 0xff00u) | ((pixel & 0xffu) << 16) | 0xff000000u;
            std::memcpy(target + x * 4, &rgba, 4);
        }
        return;
    }
    for (std::int64_t x = 0; x < width; ++x, source += 4, target += 4) {
        const std::uint8_t alpha = source[3];
        target[0] = std::min(source[2], alpha);
        target[1] = std::min(source[1], alpha);
        target[2] = std::min(source[0], alpha);
        target[3] = alpha;
    }
}

ColormapEntry entryAt(const std::vector<ColormapEntry>& colormap, std::uint32_t index) {
    return index < colormap.size() ? colormap[index] : ColormapEntry{};
}

void convertIndexed(const std::uint8_t* source, std::uint8_t* target, std::size_t columns,
                    const PixelLayout& layout) {
    const int bytesPerPixel = layout.bitsPerPixel / 8;
    for (std::size_t x = 0; x < columns; ++x, source += bytesPerPixel, target += 4) {
        const ColormapEntry entry =
            entryAt(layout.colormap, readPixel(source, bytesPerPixel, layout.byteOrder));
        target[0] = entry.red;
        target[1] = entry.green;
        target[2] = entry.blue;
        target[3] = 255;
    }
}

}  // namespace

std::optional<std::size_t> paddedRowBytes(std::int64_t width, int bitsPerPixel, int scanlinePad) {
    if (width <= 0 || width > kMaximumImageSide || bitsPerPixel <= 0 || bitsPerPixel > 32 ||
        scanlinePad <= 0 || scanlinePad > 128 || scanlinePad % 8 != 0) {
        return std::nullopt;
    }
    const auto bits = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bitsPerPixel);
    const auto pad = static_cast<std::uint64_t>(scanlinePad);
    return static_cast<std::size_t>((bits + pad - 1) / pad * pad / 8);
}

std::uint32_t alphaMaskForDepth(int depth, std::uint32_t redMask, std::uint32_t greenMask,
                                std::uint32_t blueMask) {
    if (depth <= 0 || depth > 32) {
        return 0;
    }
    const std::uint32_t depthBits = depth == 32 ? 0xffffffffu : (std::uint32_t{1} << depth) - 1;
    return depthBits & ~(redMask | greenMask | blueMask);
}

bool convertPixelRows(std::span<const std::uint8_t> pixels, std::int64_t width, std::int64_t height,
                      const PixelLayout& layout, std::uint8_t* out, std::size_t outStride) {
    if (width <= 0 || height <= 0 || width > kMaximumImageSide || height > kMaximumImageSide ||
        width * height > kMaximumImagePixels) {
        return false;
    }
    const int bpp = layout.bitsPerPixel;
    if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
        return false;
    }
    const int bytesPerPixel = bpp / 8;
    const auto rows = static_cast<std::size_t>(height);
    const auto columns = static_cast<std::size_t>(width);
    if (layout.bytesPerRow < columns * static_cast<std::size_t>(bytesPerPixel) ||
        pixels.size() / layout.bytesPerRow < rows || outStride < columns * kBytesPerPixel) {
        return false;
    }
    if (layout.colours == PixelColours::kIndexed) {
        for (std::size_t y = 0; y < rows; ++y) {
            convertIndexed(pixels.data() + y * layout.bytesPerRow, out + y * outStride, columns,
                           layout);
        }
        return true;
    }

    const auto red = channelFor(layout.redMask, bpp);
    const auto green = channelFor(layout.greenMask, bpp);
    const auto blue = channelFor(layout.blueMask, bpp);
    const auto alpha = channelFor(layout.alphaMask, bpp);
    const bool hasAlpha = layout.alphaMask != 0;
    if (!red || !green || !blue || (hasAlpha && !alpha) ||
        ((layout.redMask | layout.greenMask | layout.blueMask) & layout.alphaMask) != 0 ||
        (layout.redMask & layout.greenMask) != 0 || (layout.redMask & layout.blueMask) != 0 ||
        (layout.greenMask & layout.blueMask) != 0) {
        return false;
    }
    const bool ramps = layout.colours == PixelColours::kRamps;

    const bool plainBgra =
        !ramps && bpp == 32 && layout.byteOrder == PixelByteOrder::kLeastSignificantFirst &&
        layout.redMask == 0xff0000u && layout.greenMask == 0xff00u && layout.blueMask == 0xffu &&
        (!hasAlpha || layout.alphaMask == 0xff000000u);
    for (std::size_t y = 0; y < rows; ++y) {
        const std::uint8_t* source = pixels.data() + y * layout.bytesPerRow;
        std::uint8_t* target = out + y * outStride;
        if (plainBgra) {
            convertBgra(source, target, width, hasAlpha);
            continue;
        }
        for (std::size_t x = 0; x < columns; ++x, source += bytesPerPixel, target += 4) {
            const std::uint32_t pixel = readPixel(source, bytesPerPixel, layout.byteOrder);
            const std::uint8_t a = hasAlpha ? alpha->from(pixel) : 255;
            if (ramps) {
                target[0] = std::min(entryAt(layout.colormap, red->index(pixel)).red, a);
                target[1] = std::min(entryAt(layout.colormap, green->index(pixel)).green, a);
                target[2] = std::min(entryAt(layout.colormap, blue->index(pixel)).blue, a);
                target[3] = a;
                continue;
            }
            target[0] = std::min(red->from(pixel), a);
            target[1] = std::min(green->from(pixel), a);
            target[2] = std::min(blue->from(pixel), a);
            target[3] = a;
        }
    }
    return true;
}

SharedImage imageFromPixels(std::span<const std::uint8_t> pixels, std::int64_t width,
                            std::int64_t height, const PixelLayout& layout) {
    if (width <= 0 || height <= 0 || width > kMaximumImageSide || height > kMaximumImageSide ||
        width * height > kMaximumImagePixels) {
        return nullptr;
    }
    auto image = newImage(width, height);
    if (!convertPixelRows(pixels, width, height, layout, image->pixels.data(),
                          image->bytesPerRow)) {
        return nullptr;
    }
    return image;
}

}  // namespace tarnwick
