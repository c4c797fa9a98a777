#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "TarnwickScreenCapture/image/Image.hpp"
#include "TarnwickScreenCapture/posix/LoadedLibrary.hpp"

namespace tarnwick {

// What may stand at the output already.
enum class ExistingOutput {
    // The command line: whatever the user names is replaced.
    kReplaceAnything,
    // A request file, which is not a person at a terminal: an existing non-empty file is
    // replaced only when it begins as a JPEG does.
    kReplaceOnlyJpeg,
};

enum class JpegWriteResult {
    kWritten,
    // A lazily read image could not be read after all (its window vanished, the display went
    // away): there was no image, and nothing was written.
    kImageUnreadable,
    // The output cannot be written (a missing folder, a folder, no permission, ...).
    kOutputUnavailable,
    // Encoding or writing failed, or there was no image to encode; an earlier file at the output
    // is left as it was.
    kWriteFailed,
};

struct JpegWriteOutcome {
    JpegWriteResult result = JpegWriteResult::kWriteFailed;
    // For anything but kWritten: why, in the system's words.
    std::string reason;
};

// Writes the image as a baseline 4:2:0 JPEG of quality round(quality * 100) at the output. The
// output is checked before anything else, also when `image` is null (an image that could not be
// made at the size asked). The JPEG is made in memory while the rows are read, and written only
// once the last row has been read.
JpegWriteOutcome writeJpegFile(const std::filesystem::path& output, const SharedImage& image,
                               double quality, ExistingOutput existing);

// The same JPEG made in memory alone, its size in `bytes`: what a capture would write.
JpegWriteOutcome encodeJpegInMemory(const SharedImage& image, double quality, std::size_t& bytes);

// Writing a JPEG, as the capture sees it.
using JpegWriter = std::function<JpegWriteOutcome(const std::filesystem::path& output,
                                                  const SharedImage& image, double quality)>;

JpegWriter jpegFileWriter(ExistingOutput existing);

// TurboJPEG, loaded the first time a JPEG is decoded.
RuntimeLibrary turboJpegRuntimeLibrary();

// Decodes the first image of a JPEG file into premultiplied RGBA; null when it is no JPEG.
SharedImage decodeJpegFile(const std::filesystem::path& file);

}  // namespace tarnwick
