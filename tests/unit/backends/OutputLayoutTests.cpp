#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "TarnwickScreenCapture/backends/wlroots/OutputLayout.hpp"

namespace tarnwick {
namespace {

using Rgba = std::array<std::uint8_t, 4>;

// The composed image read whole, as the encoder would read it.
struct Pixels {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::vector<std::uint8_t> bytes;
};

Pixels readWhole(const SharedImage& image) {
    Pixels pixels{image->width, image->height,
                  std::vector<std::uint8_t>(image->bytesPerRow * image->height)};
    EXPECT_TRUE(readImageRows(*image, 0, image->height, pixels.bytes.data(), image->bytesPerRow));
    return pixels;
}

Rgba pixelAt(const Pixels& image, std::int64_t x, std::int64_t y) {
    const std::uint8_t* p =
        image.bytes.data() + static_cast<std::size_t>((y * image.width + x) * 4);
    return {p[0], p[1], p[2], p[3]};
}

constexpr std::uint32_t kXrgb8888 = 1;

// An XRGB8888 copy whose every pixel encodes its own place: red = output tag, green = column,
// blue = row (both modulo 256).
struct Copy {
    std::vector<std::uint8_t> bytes;
    OutputPixels pixels;
};

Copy taggedCopy(std::uint8_t tag, LogicalBox area, std::int64_t scale, bool yInverted = false) {
    Copy copy;
    const std::int64_t width = area.width * scale;
    const std::int64_t height = area.height * scale;
    const auto stride = static_cast<std::size_t>(width) * 4 + 8;  // padded rows
    copy.bytes.assign(stride * static_cast<std::size_t>(height), 0xee);
    for (std::int64_t y = 0; y < height; ++y) {
        const std::int64_t stored = yInverted ? height - 1 - y : y;
        for (std::int64_t x = 0; x < width; ++x) {
            const auto word =
                static_cast<std::uint32_t>((tag << 16) | ((x & 0xff) << 8) | (y & 0xff));
            std::memcpy(copy.bytes.data() + static_cast<std::size_t>(stored) * stride +
                            static_cast<std::size_t>(x) * 4,
                        &word, 4);
        }
    }
    copy.pixels = {.area = area,
                   .pixelWidth = width,
                   .pixelHeight = height,
                   .layout = *layoutOfShmFormat(kXrgb8888, stride),
                   .yInverted = yInverted};
    return copy;
}

std::vector<OutputPixels> views(const std::vector<Copy>& copies) {
    std::vector<OutputPixels> result;
    for (const auto& copy : copies) {
        result.push_back(copy.pixels);
        result.back().pixels = copy.bytes;
    }
    return result;
}

TEST(ShmFormats, EachConvertedFormatReadsItsChannelsAndOthersAreRefused) {
    struct Case {
        std::uint32_t format;
        std::uint32_t word;
        Rgba expected;
    };
    const std::array<Case, 8> cases{{
        {1, 0x00102030u, {0x10, 0x20, 0x30, 255}},            // XRGB8888
        {0, 0x80102030u, {0x10, 0x20, 0x30, 0x80}},           // ARGB8888, premultiplied
        {0x34324258u, 0x00302010u, {0x10, 0x20, 0x30, 255}},  // XBGR8888
        {0x34324241u, 0xff302010u, {0x10, 0x20, 0x30, 255}},  // ABGR8888
        // 10 bits per colour: the top 8 bits are kept.
        {0x30335258u, (0x3ffu << 20) | (0x200u << 10) | 0x004u, {255, 0x80, 0x01, 255}},
        {0x30335241u, (1u << 30) | (0x3ffu << 20), {85, 0, 0, 85}},
        {0x30334258u, (0x3ffu << 20) | (0x200u << 10) | 0x004u, {0x01, 0x80, 255, 255}},
        {0x30334241u, (3u << 30) | 0x3ffu, {255, 0, 0, 255}},
    }};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const auto layout = layoutOfShmFormat(c.format, 4);
        ASSERT_TRUE(layout);
        std::array<std::uint8_t, 4> bytes{};
        std::memcpy(bytes.data(), &c.word, 4);
        Rgba out{};
        ASSERT_TRUE(convertPixelRows(bytes, 1, 1, *layout, out.data(), 4));
        EXPECT_EQ(out, c.expected);
    }
    EXPECT_FALSE(layoutOfShmFormat(0x36314752u, 4));  // RGB565
    EXPECT_FALSE(layoutOfShmFormat(0x34324752u, 4));  // RGB888, three bytes a pixel
}

TEST(OutputLayout, BoundingBoxAndIntersection) {
    const std::array<LogicalBox, 3> boxes{
        {{0, 0, 1920, 1080}, {1920, -100, 640, 360}, {5, 5, 0, 9}}};
    EXPECT_EQ(boundingBox(boxes), (LogicalBox{0, -100, 2560, 1180}));
    EXPECT_EQ(boundingBox({}).width, 0);
    EXPECT_EQ(intersection({1900, 0, 100, 50}, {1920, -100, 640, 360}),
              (LogicalBox{1920, 0, 80, 50}));
    EXPECT_FALSE(intersection({0, 0, 10, 10}, {10, 0, 5, 5}));
}

TEST(OutputLayout, SideBySideOutputsAreDrawnAtTheLargestScaleWithUncoveredPartsBlack) {
    // 1920×1080 at scale 1, and 1280×720 at scale 2 (640×360 logical) to its right.
    const std::vector<Copy> copies{taggedCopy(1, {0, 0, 1920, 1080}, 1),
                                   taggedCopy(2, {1920, 0, 640, 360}, 2)};
    const auto outputs = views(copies);
    const LogicalBox region{0, 0, 2560, 1080};
    const auto layout = composeLayout(region, outputs);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->width, 5120);
    EXPECT_EQ(layout->height, 2160);
    EXPECT_EQ(layout->scaleX, 2.0);
    EXPECT_EQ(layout->scaleY, 2.0);
    EXPECT_EQ(layout->places, (std::vector<PixelArea>{{0, 0, 3840, 2160}, {3840, 0, 1280, 720}}));

    const auto composed = composeOutputs(region, outputs);
    ASSERT_TRUE(composed);
    const auto image = readWhole(composed);
    EXPECT_EQ(pixelAt(image, 7, 9), (Rgba{1, 3, 4, 255}));  // scale 1 drawn twice as large
    EXPECT_EQ(pixelAt(image, 3840 + 300, 200), (Rgba{2, 300 & 0xff, 200, 255}));
    EXPECT_EQ(pixelAt(image, 3840 + 5, 720), (Rgba{0, 0, 0, 255}));  // below the small output
    EXPECT_EQ(pixelAt(image, 5119, 2159), (Rgba{0, 0, 0, 255}));
}

// Every pixel against a plain reference: pixel (x, y) shows logical point
// (region.x + x / S, region.y + y / S); the output holding it shows its own pixel there.
TEST(OutputLayout, ComposedPixelsMatchAReferenceOverLayoutsAndScales) {
    struct Placed {
        LogicalBox area;
        std::int64_t scale;
    };
    const std::vector<std::vector<Placed>> layouts{
        {{{0, 0, 7, 5}, 1}},
        {{{0, 0, 7, 5}, 3}},
        {{{0, 0, 6, 4}, 1}, {{6, 1, 3, 3}, 2}},
        {{{-4, -2, 4, 6}, 2}, {{0, 0, 5, 3}, 3}, {{2, 3, 2, 2}, 1}},
        {{{10, 10, 3, 2}, 2}, {{0, 0, 2, 2}, 2}},
        {{{0, 0, 4, 3}, 1}, {{2, 1, 4, 3}, 2}, {{-1, 2, 4, 2}, 1}},  // overlapping
    };
    for (std::size_t l = 0; l < layouts.size(); ++l) {
        for (const bool inverted : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "layout " << l << " inverted " << inverted);
            std::vector<Copy> copies;
            std::vector<LogicalBox> areas;
            std::int64_t scale = 1;
            for (std::size_t i = 0; i < layouts[l].size(); ++i) {
                const auto& placed = layouts[l][i];
                copies.push_back(taggedCopy(static_cast<std::uint8_t>(i + 1), placed.area,
                                            placed.scale, inverted));
                areas.push_back(placed.area);
                scale = std::max(scale, placed.scale);
            }
            const LogicalBox region = boundingBox(areas);
            const auto composed = composeOutputs(region, views(copies));
            ASSERT_TRUE(composed);
            ASSERT_EQ(composed->width, region.width * scale);
            ASSERT_EQ(composed->height, region.height * scale);
            const auto image = readWhole(composed);
            // Read again one row at a time from the bottom: the same pixels.
            std::vector<std::uint8_t> row(composed->bytesPerRow);
            for (std::int64_t y = composed->height - 1; y >= 0; --y) {
                ASSERT_TRUE(readImageRows(*composed, y, 1, row.data(), row.size()));
                ASSERT_TRUE(
                    std::equal(row.begin(), row.end(),
                               image.bytes.begin() + y * static_cast<std::int64_t>(row.size())));
            }
            for (std::int64_t y = 0; y < image.height; ++y) {
                for (std::int64_t x = 0; x < image.width; ++x) {
                    Rgba expected{0, 0, 0, 255};
                    // Where outputs overlap, the first one listed shows.
                    for (std::size_t i = layouts[l].size(); i-- > 0;) {
                        const auto& [area, own] = layouts[l][i];
                        // Whole logical units first, then the fraction, in integers.
                        const std::int64_t dx = x - (area.x - region.x) * scale;
                        const std::int64_t dy = y - (area.y - region.y) * scale;
                        if (dx >= 0 && dy >= 0 && dx < area.width * scale &&
                            dy < area.height * scale) {
                            const std::int64_t sx = dx * own / scale;
                            const std::int64_t sy = dy * own / scale;
                            expected = {static_cast<std::uint8_t>(i + 1),
                                        static_cast<std::uint8_t>(sx & 0xff),
                                        static_cast<std::uint8_t>(sy & 0xff), 255};
                        }
                    }
                    ASSERT_EQ(pixelAt(image, x, y), expected) << x << "," << y;
                }
            }
        }
    }
}

// wlroots gives an output of mode W×H at scale s the logical size W/s × H/s cut down to whole
// units (wlr_output_effective_resolution), and its screen copy is the whole mode: at any scale,
// turned or not, the desktop of one output is that copy, pixel for pixel.
TEST(OutputLayout, OneOutputAtAnyScaleIsItsCopyPixelForPixel) {
    const std::pair<std::int64_t, std::int64_t> modes[] = {
        {1366, 768},  {1001, 1000}, {1920, 1080}, {1280, 1024}, {2560, 1440},
        {3840, 2160}, {1024, 768},  {799, 601},   {1280, 800},  {2256, 1504}};
    std::vector<float> scales;
    for (int step = 0; step <= 40; ++step) {
        scales.push_back(1.0f + static_cast<float>(step) / 20.0f);
    }
    scales.push_back(4.0f / 3.0f);
    scales.push_back(1.0f / 0.6f);
    for (const auto& [modeWidth, modeHeight] : modes) {
        for (const float scale : scales) {
            for (const auto transform : {OutputTransform::kNormal, OutputTransform::kRotated90}) {
                const bool turned = swapsSides(transform);
                const std::int64_t width = turned ? modeHeight : modeWidth;
                const std::int64_t height = turned ? modeWidth : modeHeight;
                const LogicalBox area{
                    -17, 40, static_cast<std::int64_t>(static_cast<float>(width) / scale),
                    static_cast<std::int64_t>(static_cast<float>(height) / scale)};
                OutputPixels output{.area = area,
                                    .pixelWidth = modeWidth,
                                    .pixelHeight = modeHeight,
                                    .layout = *layoutOfShmFormat(
                                        kXrgb8888, static_cast<std::size_t>(modeWidth) * 4),
                                    .transform = transform};
                const auto layout = composeLayout(area, {&output, 1});
                ASSERT_TRUE(layout);
                ASSERT_EQ(layout->places, (std::vector<PixelArea>{{0, 0, width, height}}))
                    << modeWidth << "x" << modeHeight << " at " << scale << " turned " << turned;
                ASSERT_EQ(std::pair(layout->width, layout->height), std::pair(width, height));
            }
        }
    }
}

TEST(OutputLayout, ARegionCutsTheCopiesThatReachBeyondIt) {
    const std::vector<Copy> copies{taggedCopy(1, {0, 0, 20, 10}, 2)};
    const LogicalBox region{5, 2, 4, 3};
    const auto composed = composeOutputs(region, views(copies));
    ASSERT_TRUE(composed);
    EXPECT_EQ(composed->width, 8);
    EXPECT_EQ(composed->height, 6);
    const auto image = readWhole(composed);
    EXPECT_EQ(pixelAt(image, 0, 0), (Rgba{1, 10, 4, 255}));
    EXPECT_EQ(pixelAt(image, 7, 5), (Rgba{1, 17, 9, 255}));
}

// A `width` × `height` buffer of an output turned by `transform`, each pixel naming its own
// place in the buffer as stored: red = tag, green = column, blue = row.
Copy turnedCopy(std::uint8_t tag, OutputTransform transform, std::int64_t width,
                std::int64_t height, LogicalBox area, bool yInverted) {
    Copy copy;
    const auto stride = static_cast<std::size_t>(width) * 4 + 4;
    copy.bytes.assign(stride * static_cast<std::size_t>(height), 0xee);
    for (std::int64_t y = 0; y < height; ++y) {
        for (std::int64_t x = 0; x < width; ++x) {
            const auto word = static_cast<std::uint32_t>((tag << 16) | (x << 8) | y);
            const std::int64_t stored = yInverted ? height - 1 - y : y;
            std::memcpy(copy.bytes.data() + static_cast<std::size_t>(stored) * stride +
                            static_cast<std::size_t>(x) * 4,
                        &word, 4);
        }
    }
    copy.pixels = {.area = area,
                   .pixelWidth = width,
                   .pixelHeight = height,
                   .layout = *layoutOfShmFormat(kXrgb8888, stride),
                   .yInverted = yInverted,
                   .transform = transform};
    return copy;
}

// Where buffer pixel (x, y) of a `width` × `height` buffer shows in the picture: the buffer
// turned back, written out for each wl_output transform (counter-clockwise turns; flipped ones
// mirrored left to right before they are turned).
std::array<std::int64_t, 2> shownAt(int transform, std::int64_t width, std::int64_t height,
                                    std::int64_t x, std::int64_t y) {
    switch (transform) {
        case 0:
            return {x, y};
        case 1:  // the picture was turned left: turn it right
            return {height - 1 - y, x};
        case 2:
            return {width - 1 - x, height - 1 - y};
        case 3:  // turned right: turn it left
            return {y, width - 1 - x};
        case 4:
            return {width - 1 - x, y};
        case 5:  // mirrored, then turned left: the main diagonal
            return {y, x};
        case 6:  // mirrored, then half a turn: upside down
            return {x, height - 1 - y};
        case 7:  // mirrored, then turned right: the other diagonal
            return {height - 1 - y, width - 1 - x};
        default:
            ADD_FAILURE() << "no transform " << transform;
            return {0, 0};
    }
}

// Every transform of a 5×3 buffer (stored either way up) against the reference above: alone,
// cut by a region, and drawn at twice its scale beside an output of scale 2.
TEST(OutputLayout, EveryOutputTransformMatchesTheBufferTurnedBack) {
    constexpr std::int64_t kWidth = 5;
    constexpr std::int64_t kHeight = 3;
    for (int t = 0; t <= 7; ++t) {
        for (const bool inverted : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "transform " << t << " inverted " << inverted);
            const auto transform = outputTransformOf(t);
            ASSERT_TRUE(transform);
            const bool quarter = t % 2 == 1;
            const std::int64_t width = quarter ? kHeight : kWidth;  // the picture's sides
            const std::int64_t height = quarter ? kWidth : kHeight;
            std::vector<Rgba> picture(static_cast<std::size_t>(width * height));
            for (std::int64_t y = 0; y < kHeight; ++y) {
                for (std::int64_t x = 0; x < kWidth; ++x) {
                    const auto [px, py] = shownAt(t, kWidth, kHeight, x, y);
                    ASSERT_TRUE(px >= 0 && px < width && py >= 0 && py < height);
                    picture[static_cast<std::size_t>(py * width + px)] = {
                        1, static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 255};
                }
            }
            const LogicalBox area{10, 20, width, height};
            const std::vector<Copy> alone{
                turnedCopy(1, *transform, kWidth, kHeight, area, inverted)};
            struct Case {
                LogicalBox region;
                std::vector<Copy> copies;
                std::int64_t scale;
            };
            std::vector<Case> cases{
                {area, alone, 1}, {{11, 21, width - 2, height - 1}, alone, 1}, {area, alone, 2}};
            cases.back().copies.push_back(taggedCopy(2, {0, 0, 1, 1}, 2));
            cases.back().region = {0, 0, 10 + width, 20 + height};
            for (const auto& [region, copies, scale] : cases) {
                SCOPED_TRACE(::testing::Message()
                             << "region " << region.x << "," << region.y << " scale " << scale);
                const auto composed = composeOutputs(region, views(copies));
                ASSERT_TRUE(composed);
                ASSERT_EQ(composed->width, region.width * scale);
                ASSERT_EQ(composed->height, region.height * scale);
                const auto image = readWhole(composed);
                for (std::int64_t y = std::max<std::int64_t>(0, (area.y - region.y) * scale);
                     y < image.height; ++y) {
                    for (std::int64_t x = std::max<std::int64_t>(0, (area.x - region.x) * scale);
                         x < image.width; ++x) {
                        const std::int64_t px = x / scale + region.x - area.x;
                        const std::int64_t py = y / scale + region.y - area.y;
                        ASSERT_EQ(pixelAt(image, x, y),
                                  picture[static_cast<std::size_t>(py * width + px)])
                            << x << "," << y;
                    }
                }
            }
        }
    }
    EXPECT_FALSE(outputTransformOf(8));
    EXPECT_FALSE(outputTransformOf(-1));
}

TEST(OutputLayout, UnusableInputGivesNoImage) {
    auto copies = std::vector<Copy>{taggedCopy(1, {0, 0, 4, 4}, 1)};
    auto outputs = views(copies);
    EXPECT_FALSE(composeOutputs({0, 0, 0, 4}, outputs));
    EXPECT_FALSE(composeOutputs({0, 0, 4, 4}, {}));
    EXPECT_FALSE(composeOutputs({0, 0, 40000, 4}, outputs));
    outputs[0].pixels = outputs[0].pixels.first(outputs[0].pixels.size() - 1);  // one byte short
    EXPECT_FALSE(composeOutputs({0, 0, 4, 4}, outputs));
    outputs = views(copies);
    outputs[0].pixelWidth = 0;
    EXPECT_FALSE(composeOutputs({0, 0, 4, 4}, outputs));
    // A scale so large that the image would exceed the pixel bound.
    outputs = views(copies);
    outputs[0].area = {0, 0, 1, 1};
    EXPECT_FALSE(composeOutputs({0, 0, 30000, 30000}, outputs));
}

}  // namespace
}  // namespace tarnwick
