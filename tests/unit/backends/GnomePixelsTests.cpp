#include <gtest/gtest.h>
#include <spng.h>

#include <cstdint>
#include <cstdlib>
#include <variant>
#include <vector>

#include "TarnwickScreenCapture/backends/gnome/GnomePixels.hpp"

namespace tarnwick {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An RGBA PNG, as the shell encodes the desktop.
Bytes rgbaPng(std::uint32_t width, std::uint32_t height, const Bytes& samples) {
    spng_ctx* context = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(context, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{.width = width,
                     .height = height,
                     .bit_depth = 8,
                     .color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA,
                     .compression_method = 0,
                     .filter_method = 0,
                     .interlace_method = 0};
    spng_set_ihdr(context, &header);
    Bytes png;
    if (spng_encode_image(context, samples.data(), samples.size(), SPNG_FMT_PNG,
                          SPNG_ENCODE_FINALIZE) == 0) {
        std::size_t size = 0;
        int error = 0;
        auto* buffer = static_cast<std::uint8_t*>(spng_get_png_buffer(context, &size, &error));
        png.assign(buffer, buffer + size);
        std::free(buffer);
    }
    spng_ctx_free(context);
    return png;
}

TEST(GnomePixels, TheDesktopsPngIsTakenOnlyAtItsAnnouncedSize) {
    const Bytes png = rgbaPng(2, 1, {10, 20, 30, 255, 200, 100, 50, 128});
    ASSERT_FALSE(png.empty());
    GnomePixels described{.width = 2, .height = 1, .format = "png", .bytes = png.size()};
    EXPECT_FALSE(troubleWithGnomePixels(described));
    EXPECT_EQ(gnomePixelsBufferSize(described), png.size());
    const auto image = imageOfGnomePixels(described, png);
    ASSERT_TRUE(std::holds_alternative<SharedImage>(image));
    const auto& pixels = std::get<SharedImage>(image)->pixels;
    EXPECT_EQ(pixels[0], 10);
    EXPECT_EQ(pixels[4], 100);  // premultiplied, as every image is
    EXPECT_EQ(pixels[7], 128);

    described.width = 3;
    EXPECT_TRUE(std::holds_alternative<Unavailable>(imageOfGnomePixels(described, png)));
    described.width = 2;
    const Bytes cut(png.begin(), png.end() - 1);
    EXPECT_TRUE(std::holds_alternative<Unavailable>(imageOfGnomePixels(described, cut)));
    described.bytes = 0;
    EXPECT_TRUE(troubleWithGnomePixels(described));
}

}  // namespace
}  // namespace tarnwick
