#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// What the extension's reply announces of the bytes it writes into the pipe: a window's rows
// ("RGBA8888" not premultiplied, or "RGB888"; the last row may stop at its last pixel), or the
// desktop as one "png" (stride 0).
struct GnomePixels {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    std::string format;
    std::uint64_t bytes = 0;
};

// Why such an announcement is not taken, before anything is read.
std::optional<std::string> troubleWithGnomePixels(const GnomePixels& described);

// The room the bytes are read into: at least `bytes`.
std::size_t gnomePixelsBufferSize(const GnomePixels& described);

// The image of bytes read as announced (the announcement taken); the reason when a PNG is none
// or not of the announced size.
OrUnavailable<SharedImage> imageOfGnomePixels(const GnomePixels& described,
                                              std::span<const std::uint8_t> bytes);

}  // namespace tarnwick
