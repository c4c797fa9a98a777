// The decoder of the portal's screenshot over arbitrary file content: it must never crash or
// hang, and an image it returns must be whole and premultiplied.
#include <cstddef>
#include <cstdint>
#include <span>

#include "FuzzChecks.hpp"
#include "TarnwickScreenCapture/image/PngImage.hpp"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A lower pixel bound than the tool's keeps each run fast; the decoding is the same.
    constexpr std::int64_t kPixels = std::int64_t{1} << 22;
    const auto image = imageFromPng(std::span(data, size), kPixels);
    if (!image) {
        return 0;
    }
    fuzz::check(image->width > 0 && image->height > 0 && image->width * image->height <= kPixels,
                "a size within the bounds");
    fuzz::check(image->pixels.size() == static_cast<std::size_t>(image->width * image->height) * 4,
                "every pixel decoded");
    for (std::size_t i = 0; i < image->pixels.size(); i += 4) {
        const std::uint8_t alpha = image->pixels[i + 3];
        fuzz::check(image->pixels[i] <= alpha && image->pixels[i + 1] <= alpha &&
                        image->pixels[i + 2] <= alpha,
                    "colours premultiplied");
    }
    return 0;
}
