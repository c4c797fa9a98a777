#include "TarnwickScreenCapture/backends/kwin/KWinImage.hpp"

#include <bit>
#include <cstring>
#include <utility>

#include "TarnwickScreenCapture/image/PixelConversion.hpp"

namespace tarnwick {
namespace {

// Which byte of a pixel holds alpha, and whether colours still need premultiplying.
struct Layout {
    PixelOrder order = PixelOrder::kBgrx;
    bool premultiply = false;
    bool wordsInNativeOrder = false;  // 0xAARRGGBB words rather than bytes R, G, B, A
};

std::optional<Layout> layoutOf(std::uint32_t format) {
    switch (format) {
        case qimage::kRgb32:
        case qimage::kArgb32Premultiplied:
            return Layout{PixelOrder::kBgrx, false, true};
        case qimage::kArgb32:
            return Layout{PixelOrder::kBgrx, true, true};
        case qimage::kRgbx8888:
        case qimage::kRgba8888Premultiplied:
            return Layout{PixelOrder::kRgba, false, false};
        case qimage::kRgba8888:
            return Layout{PixelOrder::kRgba, true, false};
        default:
            return std::nullopt;
    }
}

// c × a / 255, rounded to nearest.
std::uint8_t premultiplied(std::uint8_t colour, std::uint8_t alpha) {
    return static_cast<std::uint8_t>((colour * alpha + 127) / 255);
}

void prepareRow(std::uint8_t* row, std::int64_t width, const Layout& layout) {
    for (std::int64_t x = 0; x < width; ++x) {
        std::uint8_t* pixel = row + x * 4;
        if (layout.wordsInNativeOrder && std::endian::native == std::endian::big) {
            std::swap(pixel[0], pixel[3]);  // A, R, G, B in memory: to B, G, R, A
            std::swap(pixel[1], pixel[2]);
        }
        const std::size_t alphaByte = 3;  // B, G, R, A or R, G, B, A alike
        const std::uint8_t alpha = pixel[alphaByte];
        if (layout.premultiply && alpha != 255) {
            for (std::size_t channel = 0; channel < 3; ++channel) {
                pixel[channel] = premultiplied(pixel[channel], alpha);
            }
        }
    }
}

}  // namespace

std::optional<std::string> troubleWithImage(const KWinImageDescription& description) {
    if (description.type != "raw") {
        return "KWin sent an image of type '" + description.type + "', not raw pixels";
    }
    if (!layoutOf(description.format)) {
        return "KWin sent pixels in QImage format " + std::to_string(description.format) +
               ", which is not taken";
    }
    const std::uint64_t width = description.width;
    const std::uint64_t height = description.height;
    if (width == 0 || height == 0 || width > kMaximumImageSide || height > kMaximumImageSide ||
        width * height > kMaximumImagePixels || description.stride < width * 4 ||
        description.stride > width * 8) {
        return "KWin described an image of " + std::to_string(width) + "x" +
               std::to_string(height) + " pixels, " + std::to_string(description.stride) +
               " bytes a row, which is out of range";
    }
    return std::nullopt;
}

SharedImage kwinImage(const KWinImageDescription& description,
                      std::shared_ptr<std::uint8_t[]> pixels, const PixelArea& area) {
    const auto layout = layoutOf(description.format);
    if (!layout || !pixels || area.x < 0 || area.y < 0 || area.width <= 0 || area.height <= 0 ||
        area.x + area.width > description.width || area.y + area.height > description.height) {
        return nullptr;
    }
    const std::size_t stride = description.stride;
    const std::size_t start =
        static_cast<std::size_t>(area.y) * stride + static_cast<std::size_t>(area.x) * 4;
    if (layout->premultiply ||
        (layout->wordsInNativeOrder && std::endian::native == std::endian::big)) {
        for (std::int64_t row = 0; row < area.height; ++row) {
            prepareRow(pixels.get() + start + static_cast<std::size_t>(row) * stride, area.width,
                       *layout);
        }
    }
    auto image = std::make_shared<Image>();
    image->width = area.width;
    image->height = area.height;
    image->bytesPerRow = static_cast<std::size_t>(area.width) * kBytesPerPixel;
    image->order = layout->order;
    const std::uint8_t* first = pixels.get() + start;
    image->lendRows = [pixels, first, stride](std::int64_t firstRow, std::int64_t rowCount,
                                              const std::uint8_t** rows) {
        for (std::int64_t row = 0; row < rowCount; ++row) {
            rows[row] = first + static_cast<std::size_t>(firstRow + row) * stride;
        }
        return true;
    };
    const std::size_t rowBytes = image->bytesPerRow;
    image->readRows = [pixels, first, stride, rowBytes](std::int64_t firstRow,
                                                        std::int64_t rowCount, std::uint8_t* out,
                                                        std::size_t outStride) {
        for (std::int64_t row = 0; row < rowCount; ++row) {
            std::memcpy(out + static_cast<std::size_t>(row) * outStride,
                        first + static_cast<std::size_t>(firstRow + row) * stride, rowBytes);
        }
        return true;
    };
    return image;
}

}  // namespace tarnwick
