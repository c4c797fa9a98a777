#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tarnwick {

inline constexpr std::size_t kBytesPerPixel = 4;

// Fills rows [firstRow, firstRow + rowCount) into `out`, `stride` bytes apart; false when the
// pixels can no longer be had. Rows are cheapest read top to bottom.
using RowReader = std::function<bool(std::int64_t firstRow, std::int64_t rowCount,
                                     std::uint8_t* out, std::size_t stride)>;

// Points rows[0 .. rowCount) at rows [firstRow, firstRow + rowCount) where they already are,
// valid until the next call of readRows or lendRows; false when the pixels can no longer be had.
using RowLender =
    std::function<bool(std::int64_t firstRow, std::int64_t rowCount, const std::uint8_t** rows)>;

// The order of a pixel's four bytes.
enum class PixelOrder {
    kRgba,  // colours premultiplied by alpha
    kBgrx,  // opaque; the fourth byte means nothing (an X server's usual 24-bit pixels, as sent)
};

// A bitmap of four bytes per pixel, rows top to bottom. Its pixels are either held in memory or,
// when `readRows` is set, produced on demand (a screen read in bands, a scaled image computed as
// it is encoded), so that no full-size frame need ever be held. A lazily read image may also
// lend its rows where they are, saving a copy.
struct Image {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::size_t bytesPerRow = 0;
    PixelOrder order = PixelOrder::kRgba;
    std::vector<std::uint8_t> pixels;
    RowReader readRows;
    RowLender lendRows;
    // Once readRows or lendRows failed: why, in the system's words ("the window is gone"); may
    // be null, or say nothing.
    std::function<std::string()> unreadableReason;
};

// A rectangle of an image's or a screen's pixels.
struct PixelArea {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const PixelArea&) const = default;
};

// Images are immutable once made and shared by whoever holds them; null means "no image".
using SharedImage = std::shared_ptr<const Image>;

// A new in-memory image of that size, its pixels zeroed.
std::shared_ptr<Image> newImage(std::int64_t width, std::int64_t height);

// Copies rows of either kind of image; false when a lazily read image fails or the rows are
// out of range.
bool readImageRows(const Image& image, std::int64_t firstRow, std::int64_t rowCount,
                   std::uint8_t* out, std::size_t stride);

// Points rows[0 .. rowCount) at the image's rows: where they are when the image holds them or
// lends them, otherwise read into `buffer` (at least rowCount rows of width * 4 bytes). Valid
// until the next read of the image; false as readImageRows.
bool lendImageRows(const Image& image, std::int64_t firstRow, std::int64_t rowCount,
                   const std::uint8_t** rows, std::span<std::uint8_t> buffer);

}  // namespace tarnwick
