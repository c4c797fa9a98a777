#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "TarnwickScreenCapture/image/Image.hpp"
#include "TarnwickScreenCapture/image/PixelConversion.hpp"

namespace tarnwick {

// A rectangle in the compositor's logical layout coordinates.
struct LogicalBox {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const LogicalBox&) const = default;
};

// The smallest box holding all of them; empty boxes count for nothing.
LogicalBox boundingBox(std::span<const LogicalBox> boxes);

// The part of `box` inside `within`, or none.
std::optional<LogicalBox> intersection(const LogicalBox& box, const LogicalBox& within);

// The pixel layout of a wl_shm format; none for formats that are not converted.
std::optional<PixelLayout> layoutOfShmFormat(std::uint32_t format, std::size_t bytesPerRow);

// How an output turns the layout's picture into its buffer, with wl_output's transform values:
// rotations counter-clockwise, the flipped ones mirrored around the vertical axis first.
enum class OutputTransform : std::int32_t {
    kNormal = 0,
    kRotated90 = 1,
    kRotated180 = 2,
    kRotated270 = 3,
    kFlipped = 4,
    kFlipped90 = 5,
    kFlipped180 = 6,
    kFlipped270 = 7,
};

// The transform a wl_output reports; none for a value the protocol does not define.
std::optional<OutputTransform> outputTransformOf(std::int32_t value);

// Whether the transform swaps width and height.
bool swapsSides(OutputTransform transform);

struct PixelPoint {
    std::int64_t x = 0;
    std::int64_t y = 0;

    bool operator==(const PixelPoint&) const = default;
};

// The pixel of a `bufferWidth` × `bufferHeight` buffer that shows `point` of the picture as the
// layout sees it (the buffer turned back by `transform`).
PixelPoint bufferPixel(OutputTransform transform, std::int64_t bufferWidth,
                       std::int64_t bufferHeight, PixelPoint point);

// One output's copy of `area` (logical): a buffer of `pixelWidth` × `pixelHeight` pixels of
// `layout`, stored as the output's transform leaves it.
struct OutputPixels {
    LogicalBox area;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    std::span<const std::uint8_t> pixels;
    PixelLayout layout;
    bool yInverted = false;
    OutputTransform transform = OutputTransform::kNormal;
};

// Where each copy lands when `region` is drawn at the largest scale among them (pixels per
// logical unit, across and down): the image size and one box per copy, clipped to the image.
// The two differ at a fractional scale, where wlroots cuts an output's logical size down to
// whole units (1366×768 at 1.5 is 910×512): so each side is drawn at its own, and a single
// output's image is its copy, pixel for pixel.
struct Composition {
    std::int64_t width = 0;
    std::int64_t height = 0;
    double scaleX = 1;
    double scaleY = 1;
    std::vector<PixelArea> places;
};

// None when there is nothing to draw or the image would be too large.
std::optional<Composition> composeLayout(const LogicalBox& region,
                                         std::span<const OutputPixels> outputs);

// The region drawn from the copies, row by row as the image is read, so that no composed frame
// is ever held; what no copy covers is black, and where copies overlap the earlier one shows.
// `keepAlive` holds the copies' pixels for as long as the image lives. Null when the layout
// fails or a copy cannot be converted.
SharedImage composeOutputs(const LogicalBox& region, std::span<const OutputPixels> outputs,
                           std::shared_ptr<const void> keepAlive = nullptr);

}  // namespace tarnwick
