#include <spng.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/backends/portal/PortalFile.hpp"
#include "TarnwickScreenCapture/image/PngImage.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A PNG made by libspng's encoder from raw samples in the file's own format.
Bytes encodePng(std::uint32_t width, std::uint32_t height, std::uint8_t colourType,
                std::uint8_t bitDepth, const Bytes& samples, const spng_plte* palette = nullptr,
                const spng_trns* transparency = nullptr) {
    spng_ctx* context = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(context, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{.width = width,
                     .height = height,
                     .bit_depth = bitDepth,
                     .color_type = colourType,
                     .compression_method = 0,
                     .filter_method = 0,
                     .interlace_method = 0};
    spng_set_ihdr(context, &header);
    if (palette != nullptr) {
        spng_set_plte(context, const_cast<spng_plte*>(palette));
    }
    if (transparency != nullptr) {
        spng_set_trns(context, const_cast<spng_trns*>(transparency));
    }
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

std::array<std::uint8_t, 4> pixelAt(const Image& image, std::int64_t x, std::int64_t y) {
    const std::uint8_t* p = image.pixels.data() + static_cast<std::size_t>(y) * image.bytesPerRow +
                            static_cast<std::size_t>(x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

SharedImage decode(const Bytes& png) {
    return imageFromPng(png);
}

// Writes a 32-bit big-endian number and refreshes the CRC of the chunk it lies in.
void patchIhdr(Bytes& png, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        png[offset + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
    // IHDR: length at 8, type at 12, data at 16 (13 bytes), CRC at 29.
    std::uint32_t crc = 0xffffffffu;
    for (std::size_t i = 12; i < 29; ++i) {
        crc ^= png[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
    }
    crc ^= 0xffffffffu;
    for (int i = 0; i < 4; ++i) {
        png[29 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
}

TEST(Premultiplication, MatchesRoundedExactProductForEveryColourAndAlpha) {
    for (int alpha = 0; alpha < 256; ++alpha) {
        for (int colour = 0; colour < 256; ++colour) {
            const auto expected = std::lround(colour * alpha / 255.0);
            ASSERT_EQ(premultipliedChannel(static_cast<std::uint8_t>(colour),
                                           static_cast<std::uint8_t>(alpha)),
                      expected)
                << colour << " " << alpha;
        }
    }
}

TEST(PngImage, DecodesEveryColourTypeIntoPremultipliedRgba) {
    // 2×1 images: the first pixel opaque, the second as each format allows.
    const auto rgb =
        decode(encodePng(2, 1, SPNG_COLOR_TYPE_TRUECOLOR, 8, {10, 20, 30, 40, 50, 60}));
    ASSERT_TRUE(rgb);
    EXPECT_EQ(pixelAt(*rgb, 1, 0), (std::array<std::uint8_t, 4>{40, 50, 60, 255}));

    const auto rgba = decode(encodePng(2, 1, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8,
                                       {200, 100, 50, 255, 200, 100, 50, 128}));
    ASSERT_TRUE(rgba);
    EXPECT_EQ(pixelAt(*rgba, 0, 0), (std::array<std::uint8_t, 4>{200, 100, 50, 255}));
    EXPECT_EQ(pixelAt(*rgba, 1, 0), (std::array<std::uint8_t, 4>{100, 50, 25, 128}));

    const std::array<std::uint16_t, 2> greys{0xffff, 0x8000};  // the encoder takes host order
    Bytes greyBytes(4);
    std::memcpy(greyBytes.data(), greys.data(), 4);
    const auto grey16 = decode(encodePng(2, 1, SPNG_COLOR_TYPE_GRAYSCALE, 16, greyBytes));
    ASSERT_TRUE(grey16);
    EXPECT_EQ(pixelAt(*grey16, 0, 0), (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
    EXPECT_EQ(pixelAt(*grey16, 1, 0), (std::array<std::uint8_t, 4>{128, 128, 128, 255}));

    spng_plte palette{};
    palette.n_entries = 2;
    palette.entries[0] = {.red = 255, .green = 0, .blue = 0, .alpha = 0};
    palette.entries[1] = {.red = 0, .green = 255, .blue = 0, .alpha = 0};
    spng_trns transparency{};
    transparency.n_type3_entries = 2;
    transparency.type3_alpha[0] = 255;
    transparency.type3_alpha[1] = 0;
    const auto indexed =
        decode(encodePng(2, 1, SPNG_COLOR_TYPE_INDEXED, 8, {0, 1}, &palette, &transparency));
    ASSERT_TRUE(indexed);
    EXPECT_EQ(pixelAt(*indexed, 0, 0), (std::array<std::uint8_t, 4>{255, 0, 0, 255}));
    EXPECT_EQ(pixelAt(*indexed, 1, 0), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
}

TEST(PngImage, HostileFilesAreNoImage) {
    Bytes samples(16 * 16 * 3);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::uint8_t>(i * 7);
    }
    const Bytes valid = encodePng(16, 16, SPNG_COLOR_TYPE_TRUECOLOR, 8, samples);
    ASSERT_TRUE(decode(valid));

    EXPECT_FALSE(decode({}));
    EXPECT_FALSE(decode(Bytes{'G', 'I', 'F', '8', '9', 'a'}));
    for (std::size_t length = 0; length < valid.size(); ++length) {
        ASSERT_FALSE(decode(Bytes(valid.begin(), valid.begin() + static_cast<long>(length))))
            << "truncated to " << length;
    }
    Bytes badCrc = valid;
    badCrc[30] ^= 1;
    EXPECT_FALSE(decode(badCrc));
    Bytes flippedData = valid;
    flippedData[valid.size() - 20] ^= 0x40;  // inside the image data
    EXPECT_FALSE(decode(flippedData));

    struct Size {
        std::uint32_t width, height;
    };
    // Sizes past a side or the pixel bound, and none: refused from the header, nothing decoded.
    for (const Size size :
         {Size{0, 16}, Size{40000, 1}, Size{1, 40000}, Size{30000, 30000}, Size{0x80000000u, 1}}) {
        Bytes huge = valid;
        patchIhdr(huge, 16, size.width);
        patchIhdr(huge, 20, size.height);
        EXPECT_FALSE(decode(huge)) << size.width << "x" << size.height;
    }
    // A header that fits but promises more rows than the data holds.
    Bytes tall = valid;
    patchIhdr(tall, 20, 4000);
    EXPECT_FALSE(decode(tall));
    EXPECT_FALSE(imageFromPng(valid, 255)) << "the caller's pixel bound holds";
}

TEST(FileUri, LocalPathsOnly) {
    EXPECT_EQ(pathOfFileUri("file:///tmp/out.png"), std::filesystem::path("/tmp/out.png"));
    EXPECT_EQ(pathOfFileUri("FILE://localhost/tmp/a%20b%25c.png"),
              std::filesystem::path("/tmp/a b%c.png"));
    EXPECT_EQ(pathOfFileUri("file:///home/u/Bilder/Bildschirmfoto%20%C3%A4.png?x#y"),
              std::filesystem::path("/home/u/Bilder/Bildschirmfoto \xC3\xA4.png"));
    for (const char* refused :
         {"", "/tmp/out.png", "http://host/out.png", "file://host/out.png", "file:/tmp/out.png",
          "file://", "file:///tmp/%", "file:///tmp/%4", "file:///tmp/%zz", "file:///tmp/a%00b",
          "file://localhostx/tmp/out.png"}) {
        EXPECT_FALSE(pathOfFileUri(refused)) << refused;
    }
}

TEST(TakeOwnFile, RemovesOnlyARegularFileOfOursThatWasUsed) {
    testing::TemporaryFolder folder;
    std::string seen;
    const auto keep = [&](std::string_view bytes) {
        seen = bytes;
        return true;
    };
    const auto shot = folder.write("out.png", "picture");
    EXPECT_EQ(takeOwnFile(shot, 100, keep), FileTaking::kTaken);
    EXPECT_EQ(seen, "picture");
    EXPECT_FALSE(std::filesystem::exists(shot));

    const auto unreadable = folder.write("broken.png", "not a picture");
    EXPECT_EQ(takeOwnFile(unreadable, 100, [](std::string_view) { return false; }),
              FileTaking::kNotUsed);
    EXPECT_TRUE(std::filesystem::exists(unreadable)) << "a file it could not use stays";

    const auto big = folder.write("big.png", std::string(101, 'x'));
    EXPECT_EQ(takeOwnFile(big, 100, keep), FileTaking::kNotOurs);
    EXPECT_TRUE(std::filesystem::exists(big)) << "a file too big to read stays";

    const auto target = folder.write("target.png", "elsewhere");
    std::filesystem::create_symlink(target, folder / "link.png");
    EXPECT_EQ(takeOwnFile(folder / "link.png", 100, keep), FileTaking::kNotOurs);
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "link.png"));
    EXPECT_TRUE(std::filesystem::exists(target));

    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(takeOwnFile(folder / "fifo", 100, keep), FileTaking::kNotOurs);
    EXPECT_TRUE(std::filesystem::exists(folder / "fifo"));
    EXPECT_EQ(takeOwnFile(folder / "missing", 100, keep), FileTaking::kNotOurs);

    if (::geteuid() == 0) {
        const auto foreign = folder.write("foreign.png", "not ours");
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        EXPECT_EQ(takeOwnFile(foreign, 100, keep), FileTaking::kNotOurs);
        EXPECT_TRUE(std::filesystem::exists(foreign));
    }
}

}  // namespace
}  // namespace tarnwick
