#include "TarnwickScreenCapture/backends/wlroots/OutputLayout.hpp"

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
                       .byteOrder = PixelByteOrder::kLeastSignificantFirst,
                       .bytesPerRow = bytesPerRow,
                       .redMask = red,
                       .greenMask = green,
                       .blueMask = blue,
                       .alphaMask = alpha};
}

// The copy's picture as the layout shows it: the buffer's sides, swapped by a quarter turn.
std::int64_t turnedWidth(const OutputPixels& output) {
    return swapsSides(output.transform) ? output.pixelHeight : output.pixelWidth;
}
std::int64_t turnedHeight(const OutputPixels& output) {
    return swapsSides(output.transform) ? output.pixelWidth : output.pixelHeight;
}

// The part of a copy's place inside the image, and how image columns map to the copy's.
struct Placement {
    const OutputPixels* output = nullptr;
    PixelArea place;
    std::int64_t left = 0;
    std::int64_t top = 0;
    std::int64_t right = 0;
    std::int64_t bottom = 0;
    bool sameSize = false;
    std::vector<std::int64_t> sourceColumns;  // for a copy of another scale: nearest column
};

// `columns` raw pixels of row `row` of the turned picture from `firstColumn` on: straight from
// the buffer when the transform keeps its rows in order, else gathered into `gathered`.
std::span<const std::uint8_t> turnedRow(const OutputPixels& output, std::int64_t row,
                                        std::int64_t firstColumn, std::int64_t columns,
                                        std::vector<std::uint8_t>& gathered) {
    const auto stride = output.layout.bytesPerRow;
    const auto storedRow = [&](std::int64_t y) {
        return static_cast<std::size_t>(output.yInverted ? output.pixelHeight - 1 - y : y);
    };
    const auto size = static_cast<std::size_t>(columns) * kBytesPerPixel;
    const PixelPoint first =
        bufferPixel(output.transform, output.pixelWidth, output.pixelHeight, {firstColumn, row});
    if (output.transform == OutputTransform::kNormal) {
        return output.pixels.subspan(
            storedRow(first.y) * stride + static_cast<std::size_t>(first.x) * kBytesPerPixel, size);
    }
    // The transform is affine: each column further moves by the same step in the buffer.
    const PixelPoint next = bufferPixel(output.transform, output.pixelWidth, output.pixelHeight,
                                        {firstColumn + 1, row});
    const std::int64_t stepX = next.x - first.x;
    const std::int64_t stepY = next.y - first.y;
    gathered.resize(size);
    for (std::int64_t i = 0; i < columns; ++i) {
        const std::size_t offset = storedRow(first.y + i * stepY) * stride +
                                   static_cast<std::size_t>(first.x + i * stepX) * kBytesPerPixel;
        std::memcpy(gathered.data() + static_cast<std::size_t>(i) * kBytesPerPixel,
                    output.pixels.data() + offset, kBytesPerPixel);
    }
    return gathered;
}

// Converts raw pixels of a turned row, all of one row.
bool convertRow(std::span<const std::uint8_t> raw, const OutputPixels& output,
                std::uint8_t* target) {
    PixelLayout layout = output.layout;
    layout.bytesPerRow = raw.size();
    return convertPixelRows(raw, static_cast<std::int64_t>(raw.size() / kBytesPerPixel), 1, layout,
                            target, raw.size());
}

struct Scratch {
    std::vector<std::uint8_t> gathered;
    std::vector<std::uint8_t> converted;
};

// Draws image row `y` into `out`: black where no copy is, each copy converted into its place,
// sampling the nearest pixel when its scale differs from the image's.
bool drawRow(const std::vector<Placement>& placements, std::int64_t width, bool covered,
             std::int64_t y, std::uint8_t* out, Scratch& scratch) {
    if (!covered) {
        for (std::int64_t x = 0; x < width; ++x) {
            const std::uint8_t black[kBytesPerPixel] = {0, 0, 0, 255};
            std::memcpy(out + static_cast<std::size_t>(x) * kBytesPerPixel, black, kBytesPerPixel);
        }
    }
    for (const auto& placement : placements) {
        if (y < placement.top || y >= placement.bottom) {
            continue;
        }
        const OutputPixels& output = *placement.output;
        std::uint8_t* target = out + static_cast<std::size_t>(placement.left) * kBytesPerPixel;
        if (placement.sameSize) {
            const auto raw =
                turnedRow(output, y - placement.place.y, placement.left - placement.place.x,
                          placement.right - placement.left, scratch.gathered);
            if (!convertRow(raw, output, target)) {
                return false;
            }
            continue;
        }
        const std::int64_t sourceY =
            (y - placement.place.y) * turnedHeight(output) / placement.place.height;
        const auto raw = turnedRow(output, sourceY, 0, turnedWidth(output), scratch.gathered);
        scratch.converted.resize(raw.size());
        if (!convertRow(raw, output, scratch.converted.data())) {
            return false;
        }
        for (const std::int64_t column : placement.sourceColumns) {
            std::memcpy(
                target,
                scratch.converted.data() + static_cast<std::size_t>(column) * kBytesPerPixel,
                kBytesPerPixel);
            target += kBytesPerPixel;
        }
    }
    return true;
}

}  // namespace

std::optional<OutputTransform> outputTransformOf(std::int32_t value) {
    if (value < 0 || value > static_cast<std::int32_t>(OutputTransform::kFlipped270)) {
        return std::nullopt;
    }
    return static_cast<OutputTransform>(value);
}

bool swapsSides(OutputTransform transform) {
    switch (transform) {
        case OutputTransform::kRotated90:
        case OutputTransform::kRotated270:
        case OutputTransform::kFlipped90:
        case OutputTransform::kFlipped270:
            return true;
        default:
            return false;
    }
}

PixelPoint bufferPixel(OutputTransform transform, std::int64_t bufferWidth,
                       std::int64_t bufferHeight, PixelPoint point) {
    // The picture is `bufferWidth` wide unless a quarter turn swapped its sides.
    const std::int64_t width = swapsSides(transform) ? bufferHeight : bufferWidth;
    const std::int64_t height = swapsSides(transform) ? bufferWidth : bufferHeight;
    const auto [x, y] = point;
    switch (transform) {
        case OutputTransform::kNormal:
            return {x, y};
        case OutputTransform::kRotated90:
            return {y, width - 1 - x};
        case OutputTransform::kRotated180:
            return {width - 1 - x, height - 1 - y};
        case OutputTransform::kRotated270:
            return {height - 1 - y, x};
        case OutputTransform::kFlipped:
            return {width - 1 - x, y};
        case OutputTransform::kFlipped90:
            return {y, x};
        case OutputTransform::kFlipped180:
            return {x, height - 1 - y};
        case OutputTransform::kFlipped270:
            return {height - 1 - y, width - 1 - x};
    }
    return point;
}

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
    double scaleX = 0;
    double scaleY = 0;
    for (const auto& output : outputs) {
        if (isEmpty(output.area) || output.pixelWidth <= 0 || output.pixelHeight <= 0 ||
            !outputTransformOf(static_cast<std::int32_t>(output.transform))) {
            return std::nullopt;
        }
        scaleX = std::max(scaleX, static_cast<double>(turnedWidth(output)) /
                                      static_cast<double>(output.area.width));
        scaleY = std::max(scaleY, static_cast<double>(turnedHeight(output)) /
                                      static_cast<double>(output.area.height));
    }
    const double width = std::round(static_cast<double>(region.width) * scaleX);
    const double height = std::round(static_cast<double>(region.height) * scaleY);
    if (!(width >= 1 && height >= 1 && width <= kMaximumImageSide && height <= kMaximumImageSide &&
          width * height <= kMaximumImagePixels)) {
        return std::nullopt;
    }
    Composition composition{.width = static_cast<std::int64_t>(width),
                            .height = static_cast<std::int64_t>(height),
                            .scaleX = scaleX,
                            .scaleY = scaleY};
    auto at = [](std::int64_t logical, std::int64_t origin, double scale) {
        return std::llround(static_cast<double>(logical - origin) * scale);
    };
    for (const auto& output : outputs) {
        const std::int64_t left = at(output.area.x, region.x, scaleX);
        const std::int64_t top = at(output.area.y, region.y, scaleY);
        composition.places.push_back(
            {.x = left,
             .y = top,
             .width = at(output.area.x + output.area.width, region.x, scaleX) - left,
             .height = at(output.area.y + output.area.height, region.y, scaleY) - top});
    }
    return composition;
}

SharedImage composeOutputs(const LogicalBox& region, std::span<const OutputPixels> outputs,
                           std::shared_ptr<const void> keepAlive) {
    const auto composition = composeLayout(region, outputs);
    if (!composition) {
        return nullptr;
    }
    auto copies = std::make_shared<std::vector<OutputPixels>>(outputs.begin(), outputs.end());
    auto placements = std::make_shared<std::vector<Placement>>();
    for (std::size_t i = 0; i < copies->size(); ++i) {
        const OutputPixels& output = (*copies)[i];
        const PixelArea& place = composition->places[i];
        const auto rowBytes = output.layout.bytesPerRow;
        if (place.width <= 0 || place.height <= 0 || output.layout.bitsPerPixel != 32 ||
            rowBytes / kBytesPerPixel < static_cast<std::size_t>(output.pixelWidth) ||
            output.pixels.size() / rowBytes < static_cast<std::size_t>(output.pixelHeight)) {
            return nullptr;
        }
        Placement placement{
            .output = &output,
            .place = place,
            .left = std::max<std::int64_t>(place.x, 0),
            .top = std::max<std::int64_t>(place.y, 0),
            .right = std::min(place.x + place.width, composition->width),
            .bottom = std::min(place.y + place.height, composition->height),
            .sameSize = place.width == turnedWidth(output) && place.height == turnedHeight(output)};
        if (placement.right <= placement.left || placement.bottom <= placement.top) {
            continue;
        }
        // Whether the copy converts at all is known now, not halfway through reading it.
        std::vector<std::uint8_t> gathered;
        const auto firstRow = turnedRow(output, 0, 0, turnedWidth(output), gathered);
        std::vector<std::uint8_t> probe(firstRow.size());
        if (!convertRow(firstRow, output, probe.data())) {
            return nullptr;
        }
        if (!placement.sameSize) {
            for (std::int64_t x = placement.left; x < placement.right; ++x) {
                placement.sourceColumns.push_back((x - place.x) * turnedWidth(output) /
                                                  place.width);
            }
        }
        placements->push_back(std::move(placement));
    }
    // Overlapping outputs each show a picture of their own and no protocol says which is in
    // front: the first given is drawn over the rest, as grim draws them.
    std::reverse(placements->begin(), placements->end());
    const bool covered =
        copies->size() == 1 &&
        composition->places[0] == PixelArea{0, 0, composition->width, composition->height};

    auto image = std::make_shared<Image>();
    image->width = composition->width;
    image->height = composition->height;
    image->bytesPerRow = static_cast<std::size_t>(image->width) * kBytesPerPixel;
    image->readRows =
        [copies, placements, covered, width = image->width, keepAlive = std::move(keepAlive)](
            std::int64_t firstRow, std::int64_t rowCount, std::uint8_t* out, std::size_t stride) {
            Scratch scratch;
            for (std::int64_t row = 0; row < rowCount; ++row) {
                if (!drawRow(*placements, width, covered, firstRow + row,
                             out + static_cast<std::size_t>(row) * stride, scratch)) {
                    return false;
                }
            }
            return true;
        };
    return image;
}

}  // namespace tarnwick
