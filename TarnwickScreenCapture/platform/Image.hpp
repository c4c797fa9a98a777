#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tarnwick {

inline constexpr std::size_t kBytesPerPixel = 4;

// Fills rows [firstRow, firstRow + rowCount) into `out`, `stride` bytes apart; false when the
// pixels can no longer be had. Rows are cheapest read top to bottom.
using RowReader = std::function<bool(std::int64_t firstRow, std::int64_t rowCount,
                                     std::uint8_t* out, std::size_t stride)>;

// A bitmap of 8-bit RGBA with colours premultiplied by alpha, rows top to bottom. Its pixels are
// either held in memory or, when `readRows` is set, produced on demand (a screen read in bands,
// a scaled image computed as it is encoded), so that no full-size frame need ever be held.
struct Image {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::size_t bytesPerRow = 0;
    std::vector<std::uint8_t> pixels;
    RowReader readRows;
};

// Images are immutable once made and shared by whoever holds them; null means "no image".
using ImageRef = std::shared_ptr<const Image>;

// A new in-memory image of that size, its pixels zeroed.
std::shared_ptr<Image> newImage(std::int64_t width, std::int64_t height);

// Copies rows of either kind of image; false when a lazily read image fails or the rows are
// out of range.
bool readImageRows(const Image& image, std::int64_t firstRow, std::int64_t rowCount,
                   std::uint8_t* out, std::size_t stride);

}  // namespace tarnwick
