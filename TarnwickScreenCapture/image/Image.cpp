#include "TarnwickScreenCapture/image/Image.hpp"

#include <cstring>

namespace tarnwick {

std::shared_ptr<Image> newImage(std::int64_t width, std::int64_t height) {
    auto image = std::make_shared<Image>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = static_cast<std::size_t>(width) * kBytesPerPixel;
    image->pixels.resize(image->bytesPerRow * static_cast<std::size_t>(height));
    return image;
}

bool readImageRows(const Image& image, std::int64_t firstRow, std::int64_t rowCount,
                   std::uint8_t* out, std::size_t stride) {
    if (firstRow < 0 || rowCount < 0 || firstRow > image.height - rowCount) {
        return false;
    }
    if (image.readRows) {
        return image.readRows(firstRow, rowCount, out, stride);
    }
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * kBytesPerPixel;
    if (image.pixels.size() < static_cast<std::size_t>(firstRow + rowCount) * image.bytesPerRow) {
        return false;
    }
    for (std::int64_t row = 0; row < rowCount; ++row) {
        std::memcpy(
            out + static_cast<std::size_t>(row) * stride,
            image.pixels.data() + static_cast<std::size_t>(firstRow + row) * image.bytesPerRow,
            rowBytes);
    }
    return true;
}

bool lendImageRows(const Image& image, std::int64_t firstRow, std::int64_t rowCount,
                   const std::uint8_t** rows, std::span<std::uint8_t> buffer) {
    if (firstRow < 0 || rowCount < 0 || firstRow > image.height - rowCount) {
        return false;
    }
    if (image.lendRows) {
        return image.lendRows(firstRow, rowCount, rows);
    }
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * kBytesPerPixel;
    if (image.readRows) {
        if (buffer.size() / rowBytes < static_cast<std::size_t>(rowCount) ||
            !image.readRows(firstRow, rowCount, buffer.data(), rowBytes)) {
            return false;
        }
        for (std::int64_t row = 0; row < rowCount; ++row) {
            rows[row] = buffer.data() + static_cast<std::size_t>(row) * rowBytes;
        }
        return true;
    }
    if (image.pixels.size() < static_cast<std::size_t>(firstRow + rowCount) * image.bytesPerRow) {
        return false;
    }
    for (std::int64_t row = 0; row < rowCount; ++row) {
        rows[row] =
            image.pixels.data() + static_cast<std::size_t>(firstRow + row) * image.bytesPerRow;
    }
    return true;
}

}  // namespace tarnwick
