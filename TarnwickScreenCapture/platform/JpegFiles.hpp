#pragma once

#include <filesystem>
#include <optional>

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// What may stand at the output already.
enum class ExistingOutput {
    // The command line: whatever the user names is replaced.
    kReplaceAnything,
    // A request file, which is not a person at a terminal: an existing non-empty file is
    // replaced only when it begins as a JPEG does.
    kReplaceOnlyJpeg,
};

// Opens the output for writing; none when it cannot be (a missing folder, a folder, a block
// device, a FIFO without a reader, no permission, a file that may not be replaced). The JPEG is
// encoded into memory on finalize and only then written: a regular (or new) file is written as
// a new file that takes the output's place, devices and FIFOs directly. With kReplaceAnything,
// /dev/stdout, /dev/fd/N and /proc/self/fd/N mean the process's descriptor as it is open.
std::optional<JpegDestination> openJpegFileDestination(const std::filesystem::path& output,
                                                       ExistingOutput existingOutput);

// The command line's destination: kReplaceAnything.
std::optional<JpegDestination> createJpegFileDestination(const std::filesystem::path& output);

// Decodes the first image of a JPEG file into premultiplied RGBA; null when it is no JPEG.
ImageRef decodeJpegFile(const std::filesystem::path& file);

}  // namespace tarnwick
