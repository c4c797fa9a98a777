#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "TarnwickScreenCapture/image/PixelConversion.hpp"

namespace tarnwick {
namespace {

using Rgba = std::array<std::uint8_t, 4>;

Rgba rgbaAt(const Image& image, std::size_t x, std::size_t y) {
    const std::uint8_t* p = image.pixels.data() + y * image.bytesPerRow + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

PixelLayout trueColor32(std::size_t bytesPerRow) {
    return {.bitsPerPixel = 32,
            .byteOrder = PixelByteOrder::kLeastSignificantFirst,
            .bytesPerRow = bytesPerRow,
            .redMask = 0xff0000,
            .greenMask = 0xff00,
            .blueMask = 0xff};
}

TEST(ImageFromPixels, Depth24IsOpaqueAndIgnoresThePaddingByteAndRowPadding) {
    // Two rows of two pixels, BGRX, each row followed by 4 bytes of padding.
    const std::vector<std::uint8_t> bytes = {
        0x30, 0x20, 0x10, 0x99, 0xff, 0x00, 0x00, 0x00, 0xee, 0xee, 0xee, 0xee,
        0x00, 0xff, 0x00, 0x7f, 0x00, 0x00, 0xff, 0x01, 0xee, 0xee, 0xee, 0xee,
    };
    const auto image = imageFromPixels(bytes, 2, 2, trueColor32(12));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 2);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->bytesPerRow, 8u);
    ASSERT_EQ(image->pixels.size(), 16u);
    EXPECT_EQ(rgbaAt(*image, 0, 0), (Rgba{0x10, 0x20, 0x30, 255}));
    EXPECT_EQ(rgbaAt(*image, 1, 0), (Rgba{0, 0, 0xff, 255}));
    EXPECT_EQ(rgbaAt(*image, 0, 1), (Rgba{0, 0xff, 0, 255}));
    EXPECT_EQ(rgbaAt(*image, 1, 1), (Rgba{0xff, 0, 0, 255}));
}

TEST(ImageFromPixels, HonoursTheServersByteOrder) {
    auto layout = trueColor32(4);
    layout.byteOrder = PixelByteOrder::kMostSignificantFirst;
    const std::vector<std::uint8_t> bytes = {0x00, 0x10, 0x20, 0x30};  // X R G B
    const auto image = imageFromPixels(bytes, 1, 1, layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(rgbaAt(*image, 0, 0), (Rgba{0x10, 0x20, 0x30, 255}));
}

TEST(ImageFromPixels, ArgbKeepsPremultipliedColoursAndClampsThemToAlpha) {
    auto layout = trueColor32(12);
    layout.alphaMask = 0xff000000;
    // Half-transparent premultiplied red, fully transparent, and a colour above its alpha.
    const std::vector<std::uint8_t> bytes = {0x00, 0x00, 0x80, 0x80, 0x00, 0x00,
                                             0x00, 0x00, 0xff, 0x40, 0x10, 0x20};
    const auto image = imageFromPixels(bytes, 3, 1, layout);
    ASSERT_TRUE(image);
    EXPECT_EQ(rgbaAt(*image, 0, 0), (Rgba{0x80, 0, 0, 0x80}));
    EXPECT_EQ(rgbaAt(*image, 1, 0), (Rgba{0, 0, 0, 0}));
    EXPECT_EQ(rgbaAt(*image, 2, 0), (Rgba{0x10, 0x20, 0x20, 0x20}));
}

TEST(ImageFromPixels, WidensNarrowChannelsOf16And24BitPixels) {
    const PixelLayout rgb565{.bitsPerPixel = 16,
                             .byteOrder = PixelByteOrder::kLeastSignificantFirst,
                             .bytesPerRow = 4,
                             .redMask = 0xf800,
                             .greenMask = 0x07e0,
                             .blueMask = 0x001f};
    // 0xf81f: full red and blue; 0x0400: green at 32 of 63.
    const std::vector<std::uint8_t> bytes565 = {0x1f, 0xf8, 0x00, 0x04};
    const auto image565 = imageFromPixels(bytes565, 2, 1, rgb565);
    ASSERT_TRUE(image565);
    EXPECT_EQ(rgbaAt(*image565, 0, 0), (Rgba{255, 0, 255, 255}));
    EXPECT_EQ(rgbaAt(*image565, 1, 0), (Rgba{0, 130, 0, 255}));

    auto packed = trueColor32(8);
    packed.bitsPerPixel = 24;
    const std::vector<std::uint8_t> bytes24 = {0x03, 0x02, 0x01, 0x06, 0x05, 0x04, 0, 0};
    const auto image24 = imageFromPixels(bytes24, 2, 1, packed);
    ASSERT_TRUE(image24);
    EXPECT_EQ(rgbaAt(*image24, 0, 0), (Rgba{1, 2, 3, 255}));
    EXPECT_EQ(rgbaAt(*image24, 1, 0), (Rgba{4, 5, 6, 255}));

    const PixelLayout tenBit{.bitsPerPixel = 32,
                             .bytesPerRow = 4,
                             .redMask = 0x3ff00000,
                             .greenMask = 0x000ffc00,
                             .blueMask = 0x000003ff};
    const std::vector<std::uint8_t> bytes30 = {0xff, 0x03, 0x00, 0x20};  // red 512, blue 1023
    const auto image30 = imageFromPixels(bytes30, 1, 1, tenBit);
    ASSERT_TRUE(image30);
    EXPECT_EQ(rgbaAt(*image30, 0, 0), (Rgba{128, 0, 255, 255}));
}

TEST(ImageFromPixels, RefusesWhatItCannotReadSafely) {
    const std::vector<std::uint8_t> bytes(64, 0);
    EXPECT_FALSE(imageFromPixels(bytes, 4, 5, trueColor32(16))) << "too few bytes";
    EXPECT_FALSE(imageFromPixels(bytes, 4, 1, trueColor32(12))) << "rows shorter than pixels";
    EXPECT_FALSE(imageFromPixels(bytes, 0, 1, trueColor32(16)));
    EXPECT_FALSE(imageFromPixels(bytes, 1, -1, trueColor32(16)));
    EXPECT_FALSE(imageFromPixels(bytes, kMaximumImageSide + 1, 1, trueColor32(16)));
    EXPECT_FALSE(imageFromPixels(bytes, 1, 1, trueColor32(0)));

    auto eightBit = trueColor32(16);
    eightBit.bitsPerPixel = 8;
    EXPECT_FALSE(imageFromPixels(bytes, 1, 1, eightBit));
    auto gappedMask = trueColor32(16);
    gappedMask.redMask = 0xf0f000;
    EXPECT_FALSE(imageFromPixels(bytes, 1, 1, gappedMask));
    auto overlapping = trueColor32(16);
    overlapping.alphaMask = 0xff800000;
    EXPECT_FALSE(imageFromPixels(bytes, 1, 1, overlapping));
    auto noBlue = trueColor32(16);
    noBlue.blueMask = 0;
    EXPECT_FALSE(imageFromPixels(bytes, 1, 1, noBlue));
    auto beyondPixel = trueColor32(16);
    beyondPixel.bitsPerPixel = 16;
    EXPECT_FALSE(imageFromPixels(bytes, 1, 1, beyondPixel)) << "masks wider than the pixel";

    EXPECT_TRUE(imageFromPixels(bytes, 4, 4, trueColor32(16)));
}

// What a colormapped pixel shows, written out plainly: the pixel value (indexed) or each
// channel's bits (ramps) pick an entry of the colormap; values past its end are black.
Rgba referenceColour(std::uint32_t pixel, const PixelLayout& layout) {
    const auto entry = [&](std::uint32_t index) {
        return index < layout.colormap.size() ? layout.colormap[index] : ColormapEntry{};
    };
    if (layout.colours == PixelColours::kIndexed) {
        const ColormapEntry e = entry(pixel);
        return {e.red, e.green, e.blue, 255};
    }
    const auto bits = [pixel](std::uint32_t mask) {
        std::uint32_t value = 0;
        for (int bit = 31; bit >= 0; --bit) {
            if ((mask >> bit) & 1u) {
                value = (value << 1) | ((pixel >> bit) & 1u);
            }
        }
        return value;
    };
    return {entry(bits(layout.redMask)).red, entry(bits(layout.greenMask)).green,
            entry(bits(layout.blueMask)).blue, 255};
}

TEST(ImageFromPixels, ColormappedPixelsMatchAPlainLookUpForEveryLayout) {
    std::mt19937 random(7);
    struct Case {
        PixelColours colours;
        int bitsPerPixel;
        std::uint32_t red, green, blue;
        std::size_t entries;
    };
    const Case cases[] = {
        {PixelColours::kIndexed, 8, 0, 0, 0, 256},                     // PseudoColor, depth 8
        {PixelColours::kIndexed, 8, 0, 0, 0, 200},                     // fewer entries than values
        {PixelColours::kIndexed, 16, 0, 0, 0, 4096},                   // depth 12 in 16-bit pixels
        {PixelColours::kRamps, 32, 0xff0000, 0xff00, 0xff, 256},       // DirectColor 24
        {PixelColours::kRamps, 32, 0x3ff00000, 0xffc00, 0x3ff, 1024},  // DirectColor 30
        {PixelColours::kRamps, 16, 0xf800, 0x07e0, 0x001f, 64},        // DirectColor 16
        {PixelColours::kRamps, 24, 0xff, 0xff00, 0xff0000, 100},       // short ramps
    };
    for (const Case& c : cases) {
        for (const auto order :
             {PixelByteOrder::kLeastSignificantFirst, PixelByteOrder::kMostSignificantFirst}) {
            const int bytesPerPixel = c.bitsPerPixel / 8;
            const std::int64_t width = 67;
            const std::int64_t height = 5;
            PixelLayout layout{.bitsPerPixel = c.bitsPerPixel,
                               .byteOrder = order,
                               .bytesPerRow = static_cast<std::size_t>(width * bytesPerPixel + 3),
                               .redMask = c.red,
                               .greenMask = c.green,
                               .blueMask = c.blue,
                               .colours = c.colours};
            for (std::size_t i = 0; i < c.entries; ++i) {
                layout.colormap.push_back({static_cast<std::uint8_t>(random()),
                                           static_cast<std::uint8_t>(random()),
                                           static_cast<std::uint8_t>(random())});
            }
            std::vector<std::uint8_t> bytes(layout.bytesPerRow * height);
            std::vector<std::uint32_t> values;
            const std::uint32_t valueMask =
                c.bitsPerPixel == 32 ? 0xffffffffu : (1u << c.bitsPerPixel) - 1;
            for (std::int64_t y = 0; y < height; ++y) {
                for (std::int64_t x = 0; x < width; ++x) {
                    const std::uint32_t value = static_cast<std::uint32_t>(random()) & valueMask;
                    values.push_back(value);
                    std::uint8_t* p = bytes.data() + y * layout.bytesPerRow + x * bytesPerPixel;
                    for (int b = 0; b < bytesPerPixel; ++b) {
                        const int shift = order == PixelByteOrder::kLeastSignificantFirst
                                              ? 8 * b
                                              : 8 * (bytesPerPixel - 1 - b);
                        p[b] = static_cast<std::uint8_t>(value >> shift);
                    }
                }
            }
            const auto image = imageFromPixels(bytes, width, height, layout);
            ASSERT_TRUE(image);
            for (std::int64_t y = 0; y < height; ++y) {
                for (std::int64_t x = 0; x < width; ++x) {
                    const std::uint32_t value = values[y * width + x];
                    ASSERT_EQ(rgbaAt(*image, x, y), referenceColour(value, layout))
                        << "pixel " << value << " of case " << (&c - cases);
                }
            }
        }
    }
}

TEST(PaddedRowBytes, PadsEachRowToTheScanlineUnit) {
    EXPECT_EQ(paddedRowBytes(5, 32, 32), 20u);
    EXPECT_EQ(paddedRowBytes(3, 24, 32), 12u);
    EXPECT_EQ(paddedRowBytes(3, 16, 32), 8u);
    EXPECT_EQ(paddedRowBytes(3, 24, 8), 9u);
    EXPECT_EQ(paddedRowBytes(kMaximumImageSide, 32, 32), 131072u);
    EXPECT_FALSE(paddedRowBytes(0, 32, 32));
    EXPECT_FALSE(paddedRowBytes(kMaximumImageSide + 1, 32, 32));
    EXPECT_FALSE(paddedRowBytes(4, 32, 0));
    EXPECT_FALSE(paddedRowBytes(4, 32, 12));
}

TEST(AlphaMaskForDepth, OnlyDepthBeyondTheColoursIsAlpha) {
    EXPECT_EQ(alphaMaskForDepth(24, 0xff0000, 0xff00, 0xff), 0u);
    EXPECT_EQ(alphaMaskForDepth(32, 0xff0000, 0xff00, 0xff), 0xff000000u);
    EXPECT_EQ(alphaMaskForDepth(30, 0x3ff00000, 0xffc00, 0x3ff), 0u);
    EXPECT_EQ(alphaMaskForDepth(16, 0xf800, 0x07e0, 0x001f), 0u);
}

}  // namespace
}  // namespace tarnwick
