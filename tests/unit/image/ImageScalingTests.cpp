#include <gtest/gtest.h>

#include "TarnwickScreenCapture/image/ImageScaling.hpp"
#include "image/AreaAverageReference.hpp"

namespace tarnwick {
namespace {

SharedImage solidImage(std::int64_t width, std::int64_t height, std::array<std::uint8_t, 4> rgba) {
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
Image materialized(const SharedImage& image) {
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

// Noise with every fourth sample at the top of the range, where sums overflow first.
std::uint8_t noise(std::int64_t x, std::int64_t y, int c) {
    std::uint64_t h = static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15u ^
                      static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4Fu ^
                      static_cast<std::uint64_t>(c) * 0x165667B19E3779F9u;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9u;
    h ^= h >> 32;
    return (h & 3) == 0 ? 255 : static_cast<std::uint8_t>(h >> 8);
}

std::shared_ptr<Image> noiseImage(std::int64_t width, std::int64_t height) {
    auto image = std::make_shared<Image>(*solidImage(width, height, {0, 0, 0, 0}));
    for (std::int64_t y = 0; y < height; ++y) {
        for (std::int64_t x = 0; x < width; ++x) {
            for (int c = 0; c < 4; ++c) {
                image->pixels[static_cast<std::size_t>(y) * image->bytesPerRow + x * 4 + c] =
                    noise(x, y, c);
            }
        }
    }
    return image;
}

// The same noise produced on demand, so that large sources need no memory.
std::shared_ptr<Image> lazyNoiseImage(std::int64_t width, std::int64_t height) {
    auto image = std::make_shared<Image>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = static_cast<std::size_t>(width) * 4;
    image->readRows = [width](std::int64_t first, std::int64_t count, std::uint8_t* out,
                              std::size_t stride) {
        for (std::int64_t y = first; y < first + count; ++y, out += stride) {
            for (std::int64_t x = 0; x < width; ++x) {
                for (int c = 0; c < 4; ++c) {
                    out[x * 4 + c] = noise(x, y, c);
                }
            }
        }
        return true;
    };
    return image;
}

void expectAreaAverage(const std::shared_ptr<Image>& source, std::int64_t maxWidth) {
    const auto scaled = imageScaledToMaxWidth(source, maxWidth);
    ASSERT_NE(scaled, nullptr) << source->width << "x" << source->height << " -> " << maxWidth;
    ASSERT_EQ(scaled->width, maxWidth);
    ASSERT_EQ(scaled->height, scaledHeight(source->width, source->height, maxWidth));
    const auto difference = testing::firstDifferenceFromAreaAverage(*source, *scaled);
    ASSERT_FALSE(difference.has_value()) << *difference;
}

// Every target width of several screen widths (and a prime one); two rows high, so that each
// output pixel averages two rows as well.
TEST(ImageScaledToMaxWidth, IsTheRoundedAreaAverageAtEveryTargetWidth) {
    for (const std::int64_t width : {3840, 1920, 1366, 2053}) {
        const auto source = noiseImage(width, 2);
        for (std::int64_t maxWidth = 1; maxWidth < width; ++maxWidth) {
            expectAreaAverage(source, maxWidth);
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
    }
    const auto onePixelWide = noiseImage(1, 5);
    EXPECT_EQ(imageScaledToMaxWidth(onePixelWide, 1), onePixelWide);
}

TEST(ImageScaledToMaxWidth, IsTheRoundedAreaAverageAtEveryHeightRatio) {
    // Tall sources: the rows' share of each output row, whole and fractional, small and large.
    for (const auto& [width, height] :
         {std::pair<std::int64_t, std::int64_t>{40, 2160}, {37, 2053}, {9, 8192}, {2, 65535}}) {
        const auto source = noiseImage(width, height);
        for (std::int64_t maxWidth = 1; maxWidth < width; ++maxWidth) {
            expectAreaAverage(source, maxWidth);
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
    }
    // Large coprime sides, where the sum behind one output pixel needs more than 32 bits, and
    // the tallest ratio of all.
    expectAreaAverage(noiseImage(8209, 2053), 3001);
    expectAreaAverage(noiseImage(512, 8192), 1);
}

// The source is read top to bottom, a few rows at a time, however many rows one output row
// covers: memory follows the widths, never the screen's area.
TEST(ImageScaledToMaxWidth, ReadsTheSourceInOrderAFewRowsAtATime) {
    auto source = lazyNoiseImage(1500, 3000);
    std::int64_t mostRows = 0;
    std::int64_t lastRow = -1;
    bool inOrder = true;
    auto reader = source->readRows;
    source->readRows = [&](std::int64_t first, std::int64_t count, std::uint8_t* out,
                           std::size_t stride) {
        mostRows = std::max(mostRows, count);
        inOrder = inOrder && first >= lastRow;  // a row shared by two output rows is read again
        lastRow = first + count - 1;
        return reader(first, count, out, stride);
    };
    for (const std::int64_t maxWidth : {1, 40, 1280}) {
        lastRow = -1;
        materialized(imageScaledToMaxWidth(source, maxWidth));
        EXPECT_LE(mostRows, 4) << maxWidth;
        EXPECT_TRUE(inOrder) << maxWidth;
    }
}

// Beyond the sides it handles exactly, the scaler gives no image rather than another size.
TEST(ImageScaledToMaxWidth, GivesNoImageRatherThanAnotherSize) {
    for (const auto& [width, height] :
         {std::pair<std::int64_t, std::int64_t>{65536, 10}, {100, 65536}, {100, 0}}) {
        auto image = lazyNoiseImage(width, height);
        EXPECT_EQ(imageScaledToMaxWidth(image, 50), nullptr) << width << "x" << height;
    }
}

}  // namespace
}  // namespace tarnwick
