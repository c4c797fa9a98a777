#include "TarnwickScreenCapture/image/PngImage.hpp"

#include <algorithm>
#include <iterator>
#include <memory>

#include "TarnwickScreenCapture/image/PngLibrary.hpp"

namespace tarnwick {
namespace {

// Screenshots carry few and small ancillary chunks; these bound what a hostile file can make
// the decoder hold beside the image.
constexpr std::size_t kMaximumChunkBytes = std::size_t{1} << 24;
constexpr std::size_t kMaximumChunkCacheBytes = std::size_t{1} << 26;

struct ContextDeleter {
    void operator()(spng_ctx* context) const { pngLibrary()->freeContext(context); }
};

void premultiply(std::span<std::uint8_t> pixels) {
    for (std::size_t i = 0; i + 3 < pixels.size(); i += 4) {
        const std::uint8_t alpha = pixels[i + 3];
        if (alpha != 255) {
            pixels[i] = premultipliedChannel(pixels[i], alpha);
            pixels[i + 1] = premultipliedChannel(pixels[i + 1], alpha);
            pixels[i + 2] = premultipliedChannel(pixels[i + 2], alpha);
        }
    }
}

}  // namespace

SharedImage imageFromPng(std::span<const std::uint8_t> bytes, std::int64_t maxPixels) {
    // A file cut short anywhere, even in its last chunk, is no image: the portal may have been
    // stopped while writing it.
    static constexpr std::uint8_t kEnd[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
    if (bytes.size() < sizeof kEnd ||
        !std::equal(std::begin(kEnd), std::end(kEnd), bytes.end() - sizeof kEnd)) {
        return nullptr;
    }
    const PngLibrary* png = pngLibrary();
    if (png == nullptr) {
        return nullptr;
    }
    std::unique_ptr<spng_ctx, ContextDeleter> context(png->newContext(0));
    if (!context ||
        png->setImageLimits(context.get(), static_cast<std::uint32_t>(kMaximumImageSide),
                            static_cast<std::uint32_t>(kMaximumImageSide)) != 0 ||
        png->setChunkLimits(context.get(), kMaximumChunkBytes, kMaximumChunkCacheBytes) != 0 ||
        png->setBuffer(context.get(), bytes.data(), bytes.size()) != 0) {
        return nullptr;
    }
    spng_ihdr header{};
    if (png->header(context.get(), &header) != 0) {
        return nullptr;
    }
    const std::int64_t width = header.width;
    const std::int64_t height = header.height;
    if (width <= 0 || height <= 0 || width > kMaximumImageSide || height > kMaximumImageSide ||
        width * height > maxPixels) {
        return nullptr;
    }
    std::size_t size = 0;
    if (png->decodedSize(context.get(), SPNG_FMT_RGBA8, &size) != 0 ||
        size != static_cast<std::size_t>(width * height) * kBytesPerPixel) {
        return nullptr;
    }
    auto image = newImage(width, height);
    if (png->decodeImage(context.get(), image->pixels.data(), size, SPNG_FMT_RGBA8,
                         SPNG_DECODE_TRNS) != 0 ||
        png->decodeChunks(context.get()) != 0) {
        return nullptr;
    }
    premultiply(image->pixels);
    return image;
}

}  // namespace tarnwick
