#include "TarnwickScreenCapture/platform/JpegFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <array>
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "TarnwickScreenCapture/platform/FileDescriptor.hpp"
#include "TarnwickScreenCapture/platform/Files.hpp"
#include "TarnwickScreenCapture/platform/TerminationCleanup.hpp"

namespace tarnwick {
namespace {

struct TurboJpegHandleCloser {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TurboJpegHandle = std::unique_ptr<void, TurboJpegHandleCloser>;

// No screenshot comes near this; larger files are not decoded.
constexpr std::size_t kMaximumDecodedFileBytes = 256u * 1024 * 1024;
constexpr std::int64_t kMaximumDecodedPixels = std::int64_t{1} << 28;
// One 4:2:0 MCU row.
constexpr std::size_t kStripRows = 16;

int jpegQuality(double quality) {
    const long rounded = std::lround(quality * 100.0);
    return static_cast<int>(rounded < 1 ? 1 : (rounded > 100 ? 100 : rounded));
}

enum class EncodeResult { kWritten, kImageUnreadable, kFailed };

// libjpeg reports fatal errors through a callback that must not return: it jumps back to the
// setjmp in compressImage, whose frame holds only trivially destructible values.
struct JpegWriter {
    jpeg_compress_struct compressor{};
    jpeg_error_mgr errors{};
    jmp_buf failure{};
    jpeg_destination_mgr destination{};
    int fd = -1;
    bool writeFailed = false;
    std::array<JOCTET, 64 * 1024> buffer{};
};

JpegWriter& writerOf(j_compress_ptr compressor) {
    return *static_cast<JpegWriter*>(compressor->client_data);
}

[[noreturn]] void jumpToFailure(j_common_ptr common) {
    std::longjmp(writerOf(reinterpret_cast<j_compress_ptr>(common)).failure, 1);
}

void resetBuffer(j_compress_ptr compressor) {
    JpegWriter& writer = writerOf(compressor);
    writer.destination.next_output_byte = writer.buffer.data();
    writer.destination.free_in_buffer = writer.buffer.size();
}

boolean flushFullBuffer(j_compress_ptr compressor) {
    JpegWriter& writer = writerOf(compressor);
    const std::string_view bytes(reinterpret_cast<const char*>(writer.buffer.data()),
                                 writer.buffer.size());
    if (!writeAll(writer.fd, bytes)) {
        writer.writeFailed = true;
        jumpToFailure(reinterpret_cast<j_common_ptr>(compressor));
    }
    resetBuffer(compressor);
    return TRUE;
}

void flushLastBuffer(j_compress_ptr compressor) {
    JpegWriter& writer = writerOf(compressor);
    const std::size_t used = writer.buffer.size() - writer.destination.free_in_buffer;
    if (!writeAll(writer.fd,
                  std::string_view(reinterpret_cast<const char*>(writer.buffer.data()), used))) {
        writer.writeFailed = true;
        jumpToFailure(reinterpret_cast<j_common_ptr>(compressor));
    }
}

// Rows are pulled from the image a strip at a time and handed to libjpeg as they come, so a
// lazily read or scaled image is never held whole.
EncodeResult compressImage(JpegWriter& writer, const Image& image, int quality, std::uint8_t* strip,
                           std::size_t stripRows) {
    jpeg_compress_struct& compressor = writer.compressor;
    compressor.client_data = &writer;
    compressor.err = jpeg_std_error(&writer.errors);
    writer.errors.error_exit = jumpToFailure;
    writer.errors.output_message = [](j_common_ptr) {};
    if (setjmp(writer.failure) != 0) {
        jpeg_destroy_compress(&compressor);
        return EncodeResult::kFailed;
    }
    jpeg_create_compress(&compressor);
    writer.destination.init_destination = resetBuffer;
    writer.destination.empty_output_buffer = flushFullBuffer;
    writer.destination.term_destination = flushLastBuffer;
    compressor.dest = &writer.destination;
    compressor.image_width = static_cast<JDIMENSION>(image.width);
    compressor.image_height = static_cast<JDIMENSION>(image.height);
    compressor.input_components = 4;
    compressor.in_color_space = JCS_EXT_RGBA;
    jpeg_set_defaults(&compressor);  // YCbCr with 2x2 luma sampling: 4:2:0
    jpeg_set_quality(&compressor, quality, TRUE);
    jpeg_start_compress(&compressor, TRUE);

    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * kBytesPerPixel;
    std::array<JSAMPROW, kStripRows> rows{};
    for (std::size_t i = 0; i < stripRows; ++i) {
        rows[i] = strip + i * rowBytes;
    }
    while (compressor.next_scanline < compressor.image_height) {
        const auto first = static_cast<std::int64_t>(compressor.next_scanline);
        const auto count =
            std::min<std::int64_t>(static_cast<std::int64_t>(stripRows), image.height - first);
        if (!readImageRows(image, first, count, strip, rowBytes)) {
            jpeg_destroy_compress(&compressor);
            return EncodeResult::kImageUnreadable;
        }
        JDIMENSION written = 0;
        while (written < static_cast<JDIMENSION>(count)) {
            written += jpeg_write_scanlines(&compressor, rows.data() + written,
                                            static_cast<JDIMENSION>(count) - written);
        }
    }
    jpeg_finish_compress(&compressor);
    jpeg_destroy_compress(&compressor);
    return EncodeResult::kWritten;
}

EncodeResult encodeJpeg(int fd, const Image& image, double quality) {
    if (image.width <= 0 || image.height <= 0 || image.width > JPEG_MAX_DIMENSION ||
        image.height > JPEG_MAX_DIMENSION) {
        return EncodeResult::kFailed;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * kBytesPerPixel;
    std::vector<std::uint8_t> strip(rowBytes * kStripRows);
    auto writer = std::make_unique<JpegWriter>();
    writer->fd = fd;
    return compressImage(*writer, image, jpegQuality(quality), strip.data(), kStripRows);
}

struct DestinationState {
    FileDescriptor fd;
    std::string temporaryPath;  // empty when writing directly to a device or FIFO
    std::string targetPath;
    mode_t mode = 0644;
    ImageRef image;
    double quality = 0;
    bool imageUnreadable = false;

    ~DestinationState() { discardTemporary(); }

    void discardTemporary() {
        if (!temporaryPath.empty()) {
            fd.reset();
            ::unlink(temporaryPath.c_str());
            forgetTemporaryFile(temporaryPath);
            temporaryPath.clear();
        }
    }

    bool finalize() {
        const bool written = encodeAndWrite();
        image.reset();
        if (!written) {
            discardTemporary();
            fd.reset();
        }
        return written;
    }

    bool encodeAndWrite() {
        if (!image || !fd) {
            return false;
        }
        const EncodeResult result = encodeJpeg(fd.get(), *image, quality);
        imageUnreadable = result == EncodeResult::kImageUnreadable;
        if (result != EncodeResult::kWritten) {
            return false;
        }
        if (temporaryPath.empty()) {
            return fd.close();
        }
        if (::fchmod(fd.get(), mode) != 0 || !fd.close() ||
            ::rename(temporaryPath.c_str(), targetPath.c_str()) != 0) {
            return false;
        }
        forgetTemporaryFile(temporaryPath);
        temporaryPath.clear();
        return true;
    }
};

std::optional<JpegDestination> destinationFor(std::shared_ptr<DestinationState> state) {
    return JpegDestination{
        .addImage =
            [state](ImageRef image, double quality) {
                state->image = std::move(image);
                state->quality = quality;
            },
        .finalize = [state] { return state->finalize(); },
        .imageWasUnreadable = [state] { return state->imageUnreadable; },
    };
}

}  // namespace

std::optional<JpegDestination> createJpegFileDestination(const std::filesystem::path& output) {
    const std::string& path = output.native();
    if (path.empty() || path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    auto state = std::make_shared<DestinationState>();
    state->mode = newFileMode();
    state->targetPath = path;

    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            return std::nullopt;
        }
        if (!S_ISREG(status.st_mode)) {
            state->fd.reset(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
            return state->fd ? destinationFor(std::move(state)) : std::nullopt;
        }
        if (::access(path.c_str(), W_OK) != 0) {
            return std::nullopt;
        }
        // Replace what a symbolic link points at, not the link itself.
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            state->targetPath = resolved;
            std::free(resolved);
        }
        state->mode = status.st_mode & 07777;
    } else if (errno != ENOENT) {
        return std::nullopt;
    }

    const std::filesystem::path target(state->targetPath);
    if (!target.has_filename()) {
        return std::nullopt;
    }
    std::string temporary = temporaryPatternBeside(target);
    state->fd.reset(createTemporaryFile(temporary));
    if (!state->fd) {
        return std::nullopt;
    }
    state->temporaryPath = std::move(temporary);
    return destinationFor(std::move(state));
}

ImageRef decodeJpegFile(const std::filesystem::path& file) {
    const auto bytes = readFileBounded(file, kMaximumDecodedFileBytes);
    if (!bytes || bytes->empty()) {
        return nullptr;
    }
    TurboJpegHandle decompressor(tjInitDecompress());
    if (!decompressor) {
        return nullptr;
    }
    auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(decompressor.get(), data, bytes->size(), &width, &height, &subsampling,
                            &colorspace) != 0 ||
        width <= 0 || height <= 0 ||
        std::int64_t{width} * std::int64_t{height} > kMaximumDecodedPixels) {
        return nullptr;
    }
    auto image = newImage(width, height);
    if (tjDecompress2(decompressor.get(), data, bytes->size(), image->pixels.data(), width,
                      static_cast<int>(image->bytesPerRow), height, TJPF_RGBA, 0) != 0) {
        return nullptr;
    }
    return image;
}

}  // namespace tarnwick
