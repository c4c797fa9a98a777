// The scaler over random sizes and pixels against a plain double-precision area average. Input:
// source width, height and target width (2 bytes each), a flag byte, then pixels,
// repeated as often as the source needs. Sizes are bounded so that each input runs in
// milliseconds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "FuzzChecks.hpp"
#include "TarnwickScreenCapture/image/ImageScaling.hpp"
#include "image/AreaAverageReference.hpp"

using namespace tarnwick;

namespace {

constexpr std::int64_t kMostSourcePixels = std::int64_t{1} << 15;
constexpr std::size_t kHeaderBytes = 7;

std::int64_t twoBytes(const std::uint8_t* data) {
    return data[0] | (data[1] << 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size <= kHeaderBytes) {
        return 0;
    }
    const std::int64_t width = 2 + twoBytes(data) % 4095;
    const std::int64_t height =
        std::min<std::int64_t>(1 + twoBytes(data + 2) % 4096, kMostSourcePixels / width);
    const std::int64_t maxWidth = 1 + twoBytes(data + 4) % (width - 1);
    const bool premultiplied = (data[6] & 1) != 0;
    const std::uint8_t* pixels = data + kHeaderBytes;
    const std::size_t pixelBytes = size - kHeaderBytes;

    auto source = newImage(width, height);
    for (std::size_t i = 0; i < source->pixels.size(); ++i) {
        source->pixels[i] = pixels[i % pixelBytes];
    }
    if (premultiplied) {
        for (std::size_t i = 0; i < source->pixels.size(); i += kBytesPerPixel) {
            for (std::size_t c = 0; c < 3; ++c) {
                source->pixels[i + c] = std::min(source->pixels[i + c], source->pixels[i + 3]);
            }
        }
    }

    const auto scaled = imageScaledToMaxWidth(source, maxWidth);
    fuzz::check(scaled != nullptr, "an image within the bounds is always scaled");
    fuzz::check(scaled->width == maxWidth, "exactly maxWidth wide");
    fuzz::check(scaled->height == scaledHeight(width, height, maxWidth), "the height rule");
    if (const auto difference = testing::firstDifferenceFromAreaAverage(*source, *scaled)) {
        std::fprintf(stderr, "%s\n", difference->c_str());
        fuzz::fail("every channel is the rounded area average");
    }

    if (premultiplied) {
        std::vector<std::uint8_t> all(scaled->bytesPerRow *
                                      static_cast<std::size_t>(scaled->height));
        fuzz::check(readImageRows(*scaled, 0, scaled->height, all.data(), scaled->bytesPerRow),
                    "rows readable");
        for (std::size_t i = 0; i < all.size(); i += kBytesPerPixel) {
            fuzz::check(
                all[i] <= all[i + 3] && all[i + 1] <= all[i + 3] && all[i + 2] <= all[i + 3],
                "premultiplied colours stay within their alpha");
        }
    }
    return 0;
}
