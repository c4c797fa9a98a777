#include <gtest/gtest.h>

#include "TarnwickScreenCapture/ImageScaling.hpp"

namespace tarnwick {
namespace {

ImageRef solidImage(std::int64_t width, std::int64_t height, std::array<std::uint8_t, 4> rgba) {
    auto image = std::make_shared<Image>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = static_cast<std::size_t>(width) * 4;
    image->pixels.resize(image->bytesPerRow * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < image->pixels.size(); i += 4) {
        std::copy(rgba.begin(), rgba.end(), image->pixels.begin() + static_cast<long>(i));
    }
    return image;
}

// Reads a lazily produced image into memory.
Image materialized(const ImageRef& image) {
    Image copy = *image;
    copy.readRows = nullptr;
    copy.bytesPerRow = static_cast<std::size_t>(image->width) * 4;
    copy.pixels.resize(copy.bytesPerRow * static_cast<std::size_t>(image->height));
    EXPECT_TRUE(readImageRows(*image, 0, image->height, copy.pixels.data(), copy.bytesPerRow));
    return copy;
}

const std::uint8_t* pixelAt(const Image& image, std::int64_t x, std::int64_t y) {
    return image.pixels.data() + static_cast<std::size_t>(y) * image.bytesPerRow +
           static_cast<std::size_t>(x) * 4;
}

TEST(ImageScaledToMaxWidth, ReturnsTheSameImageWhenNoScalingApplies) {
    const auto image = solidImage(1280, 10, {1, 2, 3, 255});
    EXPECT_EQ(imageScaledToMaxWidth(image, 0), image);
    EXPECT_EQ(imageScaledToMaxWidth(image, -5), image);
    EXPECT_EQ(imageScaledToMaxWidth(image, 1280), image);
    EXPECT_EQ(imageScaledToMaxWidth(image, 5000), image);
}

TEST(ImageScaledToMaxWidth, HeightFollowsTheDoubleArithmeticAndIsAtLeastOne) {
    EXPECT_EQ(scaledHeight(3000, 2000, 1280), 853);
    EXPECT_EQ(scaledHeight(10, 90, 7), 62);  // 0.7 * 90 = 62.99999999999999, not 63
    EXPECT_EQ(scaledHeight(10000, 1, 100), 1);

    const auto scaled = imageScaledToMaxWidth(solidImage(10, 90, {9, 9, 9, 255}), 7);
    EXPECT_EQ(scaled->width, 7);
    EXPECT_EQ(scaled->height, 62);
    const auto wide = imageScaledToMaxWidth(solidImage(1281, 3, {9, 9, 9, 255}), 1280);
    EXPECT_EQ(wide->width, 1280);
    EXPECT_EQ(wide->height, 2);
}

TEST(ImageScaledToMaxWidth, LeavesTheInputUntouched) {
    const auto image = solidImage(100, 50, {10, 20, 30, 255});
    const auto before = image->pixels;
    const auto scaled = imageScaledToMaxWidth(image, 40);
    EXPECT_NE(scaled, image);
    EXPECT_EQ(image->pixels, before);
}

TEST(ImageScaledToMaxWidth, SolidColoursStaySolidIncludingPremultipliedAlpha) {
    const auto scaled =
        materialized(imageScaledToMaxWidth(solidImage(333, 77, {40, 80, 120, 128}), 100));
    for (std::int64_t y = 0; y < scaled.height; ++y) {
        for (std::int64_t x = 0; x < scaled.width; ++x) {
            const auto* p = pixelAt(scaled, x, y);
            ASSERT_EQ((std::array<int, 4>{p[0], p[1], p[2], p[3]}),
                      (std::array<int, 4>{40, 80, 120, 128}))
                << x << "," << y;
        }
    }
}

// One-pixel black and white stripes: nearest-neighbour or 2-tap bilinear sampling at a large
// ratio keeps picking one colour (aliasing); an area filter averages them to grey.
TEST(ImageScaledToMaxWidth, AveragesFineDetailInsteadOfAliasing) {
    auto stripes = std::make_shared<Image>(*solidImage(1200, 40, {0, 0, 0, 255}));
    for (std::int64_t y = 0; y < stripes->height; ++y) {
        for (std::int64_t x = 0; x < stripes->width; x += 2) {
            auto* p = stripes->pixels.data() + y * stripes->bytesPerRow + x * 4;
            p[0] = p[1] = p[2] = 255;
        }
    }
    const auto scaled = materialized(imageScaledToMaxWidth(stripes, 100));  // 12:1
    for (std::int64_t x = 0; x < scaled.width; ++x) {
        const int grey = pixelAt(scaled, x, scaled.height / 2)[0];
        EXPECT_NEAR(grey, 128, 1) << x;
    }
}

// The scaled image is read lazily in bands; rows asked for out of order or twice, and a source
// whose reads fail, must behave like any image.
TEST(ImageScaledToMaxWidth, LazyRowsMatchAnyOrderOfReadingAndReportSourceFailures) {
    auto gradient = std::make_shared<Image>(*solidImage(500, 400, {0, 0, 0, 255}));
    for (std::int64_t y = 0; y < gradient->height; ++y) {
        for (std::int64_t x = 0; x < gradient->width; ++x) {
            gradient->pixels[static_cast<std::size_t>(y) * gradient->bytesPerRow + x * 4] =
                static_cast<std::uint8_t>((x + y) % 256);
        }
    }
    const auto scaled = imageScaledToMaxWidth(gradient, 123);
    const Image whole = materialized(scaled);
    std::vector<std::uint8_t> row(123 * 4);
    for (const std::int64_t y :
         {std::int64_t{97}, std::int64_t{3}, std::int64_t{97}, whole.height - 1}) {
        ASSERT_TRUE(readImageRows(*scaled, y, 1, row.data(), row.size()));
        EXPECT_TRUE(std::equal(row.begin(), row.end(), pixelAt(whole, 0, y))) << y;
    }

    auto failing = std::make_shared<Image>(*gradient);
    failing->readRows = [](std::int64_t first, std::int64_t, std::uint8_t*, std::size_t) {
        return first < 64;  // the second band cannot be read
    };
    const auto scaledFailing = imageScaledToMaxWidth(failing, 100);
    std::vector<std::uint8_t> all(100 * 4 * static_cast<std::size_t>(scaledFailing->height));
    EXPECT_FALSE(readImageRows(*scaledFailing, 0, scaledFailing->height, all.data(), 400));
}

TEST(ImageScaledToMaxWidth, FractionalRatioWeighsEachSourcePixelByItsCoveredArea) {
    // 3 -> 2: the middle source pixel is split evenly between both outputs.
    auto image = std::make_shared<Image>(*solidImage(3, 1, {0, 0, 0, 255}));
    image->pixels[4] = 90;   // middle pixel red
    image->pixels[8] = 180;  // right pixel red
    const auto scaled = materialized(imageScaledToMaxWidth(image, 2));
    ASSERT_EQ(scaled.height, 1);
    EXPECT_EQ(pixelAt(scaled, 0, 0)[0], 30);   // (0 * 1 + 90 * 0.5) / 1.5
    EXPECT_EQ(pixelAt(scaled, 1, 0)[0], 150);  // (90 * 0.5 + 180 * 1) / 1.5
}

}  // namespace
}  // namespace tarnwick
