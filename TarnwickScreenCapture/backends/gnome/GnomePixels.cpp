#include "TarnwickScreenCapture/backends/gnome/GnomePixels.hpp"

#include <utility>

#include "TarnwickScreenCapture/image/PngImage.hpp"

namespace tarnwick {
namespace {

constexpr std::int64_t kMaximumSide = 32768;
constexpr std::uint64_t kMaximumBytes = std::uint64_t{1} << 30;

// GdkPixbuf's rows: RGBA not premultiplied, or RGB; the last row may stop at its last pixel.
SharedImage imageOfRows(const GnomePixels& described, const std::uint8_t* rows) {
    const std::size_t channels = described.format == "RGBA8888" ? 4 : 3;
    auto image = newImage(described.width, described.height);
    for (std::uint32_t y = 0; y < described.height; ++y) {
        const std::uint8_t* in = rows + std::size_t{y} * described.stride;
        std::uint8_t* out = image->pixels.data() + std::size_t{y} * image->bytesPerRow;
        for (std::uint32_t x = 0; x < described.width; ++x, in += channels, out += 4) {
            const unsigned alpha = channels == 4 ? in[3] : 255;
            for (int c = 0; c < 3; ++c) {
                out[c] = alpha == 255 ? in[c]  // most pixels: nothing to premultiply
                                      : static_cast<std::uint8_t>((in[c] * alpha + 127) / 255);
            }
            out[3] = static_cast<std::uint8_t>(alpha);
        }
    }
    return SharedImage(std::move(image));
}

}  // namespace

std::optional<std::string> troubleWithGnomePixels(const GnomePixels& described) {
    if (described.format == "png") {
        if (described.bytes == 0 || described.bytes > kMaximumBytes) {
            return "the GNOME Shell extension announced a PNG of " +
                   std::to_string(described.bytes) + " bytes, which is out of range";
        }
        return std::nullopt;
    }
    const std::uint64_t channels = described.format == "RGBA8888" ? 4
                                   : described.format == "RGB888" ? 3
                                                                  : 0;
    if (channels == 0) {
        return "the GNOME Shell extension sent pixels as '" + described.format +
               "', which is not taken";
    }
    const std::uint64_t width = described.width;
    const std::uint64_t height = described.height;
    const std::uint64_t whole = std::uint64_t{described.stride} * height;
    const std::uint64_t shortLast = whole - described.stride + width * channels;
    if (width == 0 || height == 0 || width > kMaximumSide || height > kMaximumSide ||
        described.stride < width * channels || described.stride > width * channels + 64 ||
        (described.bytes != whole && described.bytes != shortLast) ||
        described.bytes > kMaximumBytes) {
        return "the GNOME Shell extension described " + std::to_string(width) + "x" +
               std::to_string(height) + " pixels, " + std::to_string(described.stride) +
               " bytes a row, " + std::to_string(described.bytes) + " bytes, which is out of range";
    }
    return std::nullopt;
}

std::size_t gnomePixelsBufferSize(const GnomePixels& described) {
    return described.format == "png" ? described.bytes
                                     : std::size_t{described.stride} * described.height;
}

OrUnavailable<SharedImage> imageOfGnomePixels(const GnomePixels& described,
                                              std::span<const std::uint8_t> bytes) {
    if (described.format != "png") {
        return imageOfRows(described, bytes.data());
    }
    auto image = imageFromPng(bytes);
    if (!image || image->width != described.width || image->height != described.height) {
        return Unavailable{"the GNOME Shell extension's PNG of " + std::to_string(described.width) +
                           "x" + std::to_string(described.height) +
                           " pixels cannot be read as one"};
    }
    return image;
}

}  // namespace tarnwick
