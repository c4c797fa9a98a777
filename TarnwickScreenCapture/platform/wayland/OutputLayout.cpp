#include "TarnwickScreenCapture/platform/wayland/OutputLayout.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tarnwick {
namespace {

bool isEmpty(const LogicalBox& box) {
    return box.width <= 0 || box.height <= 0;
}

// Formats are little-endian words: the masks read them as such.
PixelLayout wordLayout(std::size_t bytesPerRow, std::uint32_t red, std::uint32_t green,
                       std::uint32_t blue, std::uint32_t alpha) {
    return PixelLayout{.bitsPerPixel = 32,
                       .byteOrder = PixelByteOrder::leastSignificantFirst,
                       .bytesPerRow = bytesPerRow,
                       .redMask = red,
                       .greenMask = green,
                       .blueMask = blue,
                       .alphaMask = alpha};
}

// Converts one copy into its place, sampling the nearest pixel when the copy's scale differs
// from the image's.
bool drawOutput(const OutputPixels& output, const PixelBox& place, Image& image) {
    const auto rowBytes = output.layout.bytesPerRow;
    const auto rows = static_cast<std::size_t>(output.pixelHeight);
    if (output.pixelWidth <= 0 || output.pixelHeight <= 0 || place.width <= 0 ||
        place.height <= 0 || rowBytes == 0 || output.pixels.size() / rowBytes < rows) {
        return false;
    }
    const std::int64_t left = std::max<std::int64_t>(place.x, 0);
    const std::int64_t top = std::max<std::int64_t>(place.y, 0);
    const std::int64_t right = std::min(place.x + place.width, image.width);
    const std::int64_t bottom = std::min(place.y + place.height, image.height);
    if (right <= left || bottom <= top) {
        return true;
    }
    auto sourceRow = [&](std::int64_t row) {
        const auto index =
            static_cast<std::size_t>(output.yInverted ? output.pixelHeight - 1 - row : row);
        return output.pixels.subspan(index * rowBytes, rowBytes);
    };
    auto target = [&](std::int64_t x, std::int64_t y) {
        return image.pixels.data() + static_cast<std::size_t>(y) * image.bytesPerRow +
               static_cast<std::size_t>(x) * kBytesPerPixel;
    };

    const bool sameSize = place.width == output.pixelWidth && place.height == output.pixelHeight;
    if (sameSize) {
        const std::int64_t columns = right - left;
        const std::int64_t firstColumn = left - place.x;
        if (!output.yInverted && firstColumn == 0 && columns == output.pixelWidth) {
            return convertPixelRows(
                output.pixels.subspan(static_cast<std::size_t>(top - place.y) * rowBytes), columns,
                bottom - top, output.layout, target(left, top), image.bytesPerRow);
        }
        std::vector<std::uint8_t> converted(static_cast<std::size_t>(output.pixelWidth) *
                                            kBytesPerPixel);
        for (std::int64_t y = top; y < bottom; ++y) {
            if (!convertPixelRows(sourceRow(y - place.y), output.pixelWidth, 1, output.layout,
                                  converted.data(), converted.size())) {
                return false;
            }
            std::memcpy(target(left, y),
                        converted.data() + static_cast<std::size_t>(firstColumn) * kBytesPerPixel,
                        static_cast<std::size_t>(columns) * kBytesPerPixel);
        }
        return true;
    }

    std::vector<std::int64_t> sourceColumn(static_cast<std::size_t>(right - left));
    for (std::int64_t x = left; x < right; ++x) {
        sourceColumn[static_cast<std::size_t>(x - left)] =
            (x - place.x) * output.pixelWidth / place.width;
    }
    std::vector<std::uint8_t> converted(static_cast<std::size_t>(output.pixelWidth) *
                                        kBytesPerPixel);
    std::int64_t convertedRow = -1;
    for (std::int64_t y = top; y < bottom; ++y) {
        const std::int64_t row = (y - place.y) * output.pixelHeight / place.height;
        if (row != convertedRow) {
            if (!convertPixelRows(sourceRow(row), output.pixelWidth, 1, output.layout,
                                  converted.data(), converted.size())) {
                return false;
            }
            convertedRow = row;
        }
        std::uint8_t* out = target(left, y);
        for (const std::int64_t column : sourceColumn) {
            std::memcpy(out, converted.data() + static_cast<std::size_t>(column) * kBytesPerPixel,
                        kBytesPerPixel);
            out += kBytesPerPixel;
        }
    }
    return true;
}

}  // namespace

LogicalBox boundingBox(std::span<const LogicalBox> boxes) {
    std::optional<LogicalBox> result;
    for (const auto& box : boxes) {
        if (isEmpty(box)) {
            continue;
        }
        if (!result) {
            result = box;
            continue;
        }
        const std::int64_t left = std::min(result->x, box.x);
        const std::int64_t top = std::min(result->y, box.y);
        const std::int64_t right = std::max(result->x + result->width, box.x + box.width);
        const std::int64_t bottom = std::max(result->y + result->height, box.y + box.height);
        result = LogicalBox{left, top, right - left, bottom - top};
    }
    return result.value_or(LogicalBox{});
}

std::optional<LogicalBox> intersection(const LogicalBox& box, const LogicalBox& within) {
    const std::int64_t left = std::max(box.x, within.x);
    const std::int64_t top = std::max(box.y, within.y);
    const std::int64_t right = std::min(box.x + box.width, within.x + within.width);
    const std::int64_t bottom = std::min(box.y + box.height, within.y + within.height);
    if (right <= left || bottom <= top) {
        return std::nullopt;
    }
    return LogicalBox{left, top, right - left, bottom - top};
}

std::optional<PixelLayout> layoutOfShmFormat(std::uint32_t format, std::size_t bytesPerRow) {
    constexpr std::uint32_t kRed8 = 0x00ff0000u, kGreen8 = 0x0000ff00u, kBlue8 = 0x000000ffu;
    constexpr std::uint32_t kAlpha8 = 0xff000000u;
    constexpr std::uint32_t kHigh10 = 0x3ff00000u, kMiddle10 = 0x000ffc00u, kLow10 = 0x000003ffu;
    constexpr std::uint32_t kAlpha2 = 0xc0000000u;
    switch (format) {
        case WL_SHM_FORMAT_XRGB8888:
            return wordLayout(bytesPerRow, kRed8, kGreen8, kBlue8, 0);
        case WL_SHM_FORMAT_ARGB8888:
            return wordLayout(bytesPerRow, kRed8, kGreen8, kBlue8, kAlpha8);
        case WL_SHM_FORMAT_XBGR8888:
            return wordLayout(bytesPerRow, kBlue8, kGreen8, kRed8, 0);
        case WL_SHM_FORMAT_ABGR8888:
            return wordLayout(bytesPerRow, kBlue8, kGreen8, kRed8, kAlpha8);
        case WL_SHM_FORMAT_XRGB2101010:
            return wordLayout(bytesPerRow, kHigh10, kMiddle10, kLow10, 0);
        case WL_SHM_FORMAT_ARGB2101010:
            return wordLayout(bytesPerRow, kHigh10, kMiddle10, kLow10, kAlpha2);
        case WL_SHM_FORMAT_XBGR2101010:
            return wordLayout(bytesPerRow, kLow10, kMiddle10, kHigh10, 0);
        case WL_SHM_FORMAT_ABGR2101010:
            return wordLayout(bytesPerRow, kLow10, kMiddle10, kHigh10, kAlpha2);
        default:
            return std::nullopt;
    }
}

std::optional<Composition> composeLayout(const LogicalBox& region,
                                         std::span<const OutputPixels> outputs) {
    if (isEmpty(region) || outputs.empty() || region.width > kMaximumImageSide ||
        region.height > kMaximumImageSide) {
        return std::nullopt;
    }
    double scale = 0;
    for (const auto& output : outputs) {
        if (isEmpty(output.area) || output.pixelWidth <= 0 || output.pixelHeight <= 0) {
            return std::nullopt;
        }
        scale = std::max(
            scale, static_cast<double>(output.pixelWidth) / static_cast<double>(output.area.width));
    }
    const double width = std::round(static_cast<double>(region.width) * scale);
    const double height = std::round(static_cast<double>(region.height) * scale);
    if (!(width >= 1 && height >= 1 && width <= kMaximumImageSide && height <= kMaximumImageSide &&
          width * height <= kMaximumImagePixels)) {
        return std::nullopt;
    }
    Composition composition{.width = static_cast<std::int64_t>(width),
                            .height = static_cast<std::int64_t>(height),
                            .scale = scale};
    auto at = [&](std::int64_t logical, std::int64_t origin) {
        return std::llround(static_cast<double>(logical - origin) * scale);
    };
    for (const auto& output : outputs) {
        const std::int64_t left = at(output.area.x, region.x);
        const std::int64_t top = at(output.area.y, region.y);
        composition.places.push_back(
            {.x = left,
             .y = top,
             .width = at(output.area.x + output.area.width, region.x) - left,
             .height = at(output.area.y + output.area.height, region.y) - top});
    }
    return composition;
}

ImageRef composeOutputs(const LogicalBox& region, std::span<const OutputPixels> outputs) {
    const auto composition = composeLayout(region, outputs);
    if (!composition) {
        return nullptr;
    }
    auto image = newImage(composition->width, composition->height);
    const bool wholeImage =
        outputs.size() == 1 &&
        composition->places[0] == PixelBox{0, 0, composition->width, composition->height};
    if (!wholeImage) {
        for (std::size_t i = 3; i < image->pixels.size(); i += kBytesPerPixel) {
            image->pixels[i] = 255;
        }
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (!drawOutput(outputs[i], composition->places[i], *image)) {
            return nullptr;
        }
    }
    return image;
}

}  // namespace tarnwick
