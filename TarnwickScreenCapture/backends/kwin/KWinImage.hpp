#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/backends/kwin/KWinListing.hpp"
#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// ScreenShot2's description of the pixels it writes into the pipe. `format` is a QImage format
// number; 32-bit words 0xAARRGGBB, so B, G, R, A in a little-endian machine's memory.
struct KWinImageDescription {
    std::string type;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    std::uint32_t format = 0;
    double scale = 1.0;
};

// QImage formats of four bytes a pixel that KWin sends.
namespace qimage {
inline constexpr std::uint32_t kRgb32 = 4;
inline constexpr std::uint32_t kArgb32 = 5;
inline constexpr std::uint32_t kArgb32Premultiplied = 6;
inline constexpr std::uint32_t kRgbx8888 = 16;
inline constexpr std::uint32_t kRgba8888 = 17;
inline constexpr std::uint32_t kRgba8888Premultiplied = 18;
}  // namespace qimage

// Why pixels so described cannot be taken (not raw, another format, a size out of range); none
// when they can, as stride x height bytes.
std::optional<std::string> troubleWithImage(const KWinImageDescription& description);

// The area of the pixels KWin sent (stride x height bytes, described as troubleWithImage
// accepts) as an image. Its rows are lent where they lie; only colours KWin did not
// premultiply, and big-endian words, are rewritten in place, and only within the area.
SharedImage kwinImage(const KWinImageDescription& description,
                      std::shared_ptr<std::uint8_t[]> pixels, const PixelArea& area);

}  // namespace tarnwick
