#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "TarnwickScreenCapture/backends/kwin/KWinImage.hpp"

namespace tarnwick {
namespace {

KWinWindow windowWith(WindowBounds clientArea, WindowBounds buffer) {
    KWinWindow window;
    window.description.bounds = clientArea;
    window.buffer = buffer;
    return window;
}

TEST(KWinClientArea, CutOutOfAnImageOfTheWholeBufferOnly) {
    // KWin's frame around a native window: the image is the buffer, which is the client.
    const auto framed = windowWith({100, 137, 400, 300}, {100, 137, 400, 300});
    EXPECT_EQ(clientAreaInImage(framed, 400, 300, 1.0), (PixelArea{0, 0, 400, 300}));
    // An X11 window in KWin's frame: the buffer holds the title bar, the image does not.
    const auto x11 = windowWith({100, 137, 400, 300}, {100, 100, 400, 337});
    EXPECT_EQ(clientAreaInImage(x11, 400, 300, 1.0), (PixelArea{0, 0, 400, 300}));
    // Header bar and shadow drawn by the client: the image is the buffer, shadow included.
    const auto csd = windowWith({126, 123, 400, 347}, {100, 100, 452, 399});
    EXPECT_EQ(clientAreaInImage(csd, 452, 399, 1.0), (PixelArea{26, 23, 400, 347}));
    // At scale 2 the image counts two pixels a logical one.
    EXPECT_EQ(clientAreaInImage(csd, 904, 798, 2.0), (PixelArea{52, 46, 800, 694}));
    EXPECT_EQ(clientAreaInImage(csd, 678, 599, 1.5), (PixelArea{39, 35, 600, 520}));
}

TEST(KWinClientArea, ClippedToTheImageAndNoneOutsideIt) {
    EXPECT_EQ(clientAreaInImage(windowWith({90, 120, 40, 40}, {100, 100, 50, 50}), 50, 50, 1.0),
              (PixelArea{0, 20, 30, 30}));
    EXPECT_EQ(clientAreaInImage(windowWith({300, 300, 40, 40}, {100, 100, 50, 50}), 50, 50, 1.0),
              std::nullopt);
    EXPECT_EQ(clientAreaInImage(windowWith({100, 100, 0, 50}, {100, 100, 50, 50}), 50, 50, 1.0),
              std::nullopt);
    EXPECT_EQ(clientAreaInImage(windowWith({0, 0, 1, 1}, {0, 0, 1, 1}), 0, 10, 1.0), std::nullopt);
}

TEST(KWinClientArea, WithoutUsableGeometryTheImageIsTakenWhole) {
    const auto csd = windowWith({126, 123, 400, 347}, {100, 100, 452, 399});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double scale : {0.0, -1.0, nan, std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(clientAreaInImage(csd, 452, 399, scale), (PixelArea{0, 0, 452, 399}));
    }
    KWinWindow unknown;
    EXPECT_EQ(clientAreaInImage(unknown, 452, 399, 1.0), (PixelArea{0, 0, 452, 399}));
    const auto huge = windowWith({-1e300, 1e300, 1e308, 1e308}, {0, 0, 1e308, 1e308});
    EXPECT_EQ(clientAreaInImage(huge, 452, 399, 1.0), (PixelArea{0, 0, 452, 399}));
}

// A 4x3 image whose pixel (x, y) is the bytes {x, y, 9, alpha}, rows 20 bytes apart.
struct Sent {
    KWinImageDescription description{"raw", 4, 3, 20, qimage::kArgb32Premultiplied, 1.0};
    std::shared_ptr<std::uint8_t[]> pixels{new std::uint8_t[60]};

    explicit Sent(std::uint32_t format, std::uint8_t alpha = 255) {
        description.format = format;
        for (std::uint8_t y = 0; y < 3; ++y) {
            for (std::uint8_t x = 0; x < 5; ++x) {
                const std::array<std::uint8_t, 4> pixel{std::uint8_t(x * 40), std::uint8_t(y * 40),
                                                        90, alpha};
                std::copy(pixel.begin(), pixel.end(), pixels.get() + y * 20 + x * 4);
            }
        }
    }

    std::array<std::uint8_t, 4> at(int x, int y) const {
        const auto* pixel = pixels.get() + y * 20 + x * 4;
        return {pixel[0], pixel[1], pixel[2], pixel[3]};
    }
};

TEST(KWinImage, PremultipliedPixelsAreLentWhereTheyLie) {
    Sent sent(qimage::kArgb32Premultiplied);
    const auto image = kwinImage(sent.description, sent.pixels, {1, 1, 2, 2});
    ASSERT_TRUE(image);
    EXPECT_EQ((std::array{image->width, image->height}), (std::array<std::int64_t, 2>{2, 2}));
    EXPECT_EQ(image->order, PixelOrder::kBgrx);
    std::array<const std::uint8_t*, 2> rows{};
    std::array<std::uint8_t, 16> buffer{};
    ASSERT_TRUE(lendImageRows(*image, 0, 2, rows.data(), buffer));
    EXPECT_EQ(rows[0], sent.pixels.get() + 20 + 4);
    EXPECT_EQ(rows[1], sent.pixels.get() + 40 + 4);
    std::array<std::uint8_t, 8> row{};
    ASSERT_TRUE(readImageRows(*image, 1, 1, row.data(), row.size()));
    EXPECT_EQ(row, (std::array<std::uint8_t, 8>{40, 80, 90, 255, 80, 80, 90, 255}));
    EXPECT_FALSE(readImageRows(*image, 1, 2, row.data(), row.size()));
}

TEST(KWinImage, StraightAlphaIsPremultipliedWithinTheAreaAlone) {
    Sent sent(qimage::kArgb32, 128);
    const auto image = kwinImage(sent.description, sent.pixels, {2, 0, 2, 3});
    ASSERT_TRUE(image);
    EXPECT_EQ(sent.at(2, 1), (std::array<std::uint8_t, 4>{40, 20, 45, 128}));
    EXPECT_EQ(sent.at(1, 1), (std::array<std::uint8_t, 4>{40, 40, 90, 128}));
    Sent rgba(qimage::kRgba8888, 0);
    ASSERT_TRUE(kwinImage(rgba.description, rgba.pixels, {0, 0, 4, 3}));
    EXPECT_EQ(rgba.at(3, 2), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
}

TEST(KWinImage, ByteOrderFollowsTheFormat) {
    for (const auto& [format, order] :
         {std::pair{qimage::kRgb32, PixelOrder::kBgrx},
          std::pair{qimage::kArgb32, PixelOrder::kBgrx},
          std::pair{qimage::kRgbx8888, PixelOrder::kRgba},
          std::pair{qimage::kRgba8888Premultiplied, PixelOrder::kRgba}}) {
        Sent sent(format);
        const auto image = kwinImage(sent.description, sent.pixels, {0, 0, 4, 3});
        ASSERT_TRUE(image) << format;
        EXPECT_EQ(image->order, order) << format;
    }
    Sent sent(qimage::kArgb32Premultiplied);
    EXPECT_FALSE(kwinImage(sent.description, sent.pixels, {3, 0, 2, 1}));
    sent.description.format = 24;  // RGBA64
    EXPECT_FALSE(kwinImage(sent.description, sent.pixels, {0, 0, 1, 1}));
}

TEST(KWinImage, OnlyRawFourByteImagesOfSensibleSizesAreTaken) {
    const KWinImageDescription usual{"raw", 1920, 1080, 7680, qimage::kArgb32Premultiplied, 1.0};
    EXPECT_EQ(troubleWithImage(usual), std::nullopt);
    auto padded = usual;
    padded.stride = 7744;
    EXPECT_EQ(troubleWithImage(padded), std::nullopt);
    const std::vector<std::pair<KWinImageDescription, std::string>> refused = {
        {{"png", 1920, 1080, 7680, 6, 1.0}, "type 'png'"},
        {{"raw", 1920, 1080, 5760, 13, 1.0}, "format 13"},
        {{"raw", 1920, 1080, 7676, 6, 1.0}, "out of range"},
        {{"raw", 1920, 1080, 15361, 6, 1.0}, "out of range"},
        {{"raw", 0, 1080, 0, 6, 1.0}, "out of range"},
        {{"raw", 40000, 10, 160000, 6, 1.0}, "out of range"},
        {{"raw", 30000, 30000, 120000, 6, 1.0}, "out of range"},
    };
    for (const auto& [description, reason] : refused) {
        const auto trouble = troubleWithImage(description);
        ASSERT_TRUE(trouble) << reason;
        EXPECT_NE(trouble->find(reason), std::string::npos) << *trouble;
    }
}

}  // namespace
}  // namespace tarnwick
