#pragma once

#include <filesystem>
#include <optional>

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// Opens the output for writing: a regular (or new) file is written beside the target and renamed
// into place on finalize; other files (devices, FIFOs) are written directly.
std::optional<JpegDestination> createJpegFileDestination(const std::filesystem::path& output);

// Decodes the first image of a JPEG file into premultiplied RGBA; null when it is no JPEG.
ImageRef decodeJpegFile(const std::filesystem::path& file);

}  // namespace tarnwick
