#include "TarnwickScreenCapture/image/JpegFile.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <array>
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/LoadedLibrary.hpp"
#include "TarnwickScreenCapture/posix/OutputFile.hpp"

namespace tarnwick {
namespace {

// TurboJPEG decodes the JPEG a screenshot tool leaves, which few runs ever need: it is loaded then
// rather than at every start.
struct TurboJpegDecoder {
    tjhandle (*initDecompress)();
    int (*decompressHeader)(tjhandle handle, const unsigned char* jpeg, unsigned long size,
                            int* width, int* height, int* subsampling, int* colorspace);
    int (*decompress)(tjhandle handle, const unsigned char* jpeg, unsigned long size,
                      unsigned char* out, int width, int pitch, int height, int format, int flags);
    int (*destroy)(tjhandle handle);
};

const TurboJpegDecoder* turboJpegDecoder() {
    static const std::string file = turboJpegRuntimeLibrary().file;
    return loadedOnce<TurboJpegDecoder>(
        file.c_str(), [](void* library, TurboJpegDecoder& functions) {
            return resolveSymbol(library, "tjInitDecompress", functions.initDecompress) &&
                   resolveSymbol(library, "tjDecompressHeader3", functions.decompressHeader) &&
                   resolveSymbol(library, "tjDecompress2", functions.decompress) &&
                   resolveSymbol(library, "tjDestroy", functions.destroy);
        });
}

struct TurboJpegHandleCloser {
    void operator()(void* handle) const { turboJpegDecoder()->destroy(handle); }
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

enum class EncodeResult { kEncoded, kImageUnreadable, kFailed };

// libjpeg reports fatal errors through a callback that must not return: it jumps back to the
// setjmp in compressImage, whose frame holds only trivially destructible values.
struct JpegCompressor {
    jpeg_compress_struct compressor{};
    jpeg_error_mgr errors{};
    jmp_buf failure{};
    jpeg_destination_mgr destination{};
    // The compressed bytes go to an unnamed in-memory file: the kernel keeps them without a page
    // fault per page, which costs far more than the copy (a 12 MB JPEG took twice as long in a
    // growing heap buffer on a virtual machine).
    FileDescriptor memory;
    std::array<JOCTET, 64 * 1024> buffer{};
};

JpegCompressor& writerOf(j_compress_ptr compressor) {
    return *static_cast<JpegCompressor*>(compressor->client_data);
}

[[noreturn]] void jumpToFailure(j_common_ptr common) {
    std::longjmp(writerOf(reinterpret_cast<j_compress_ptr>(common)).failure, 1);
}

void resetBuffer(j_compress_ptr compressor) {
    JpegCompressor& writer = writerOf(compressor);
    writer.destination.next_output_byte = writer.buffer.data();
    writer.destination.free_in_buffer = writer.buffer.size();
}

void flushBytes(j_compress_ptr compressor, std::size_t count) {
    JpegCompressor& writer = writerOf(compressor);
    if (!writeAll(writer.memory.get(),
                  std::string_view(reinterpret_cast<const char*>(writer.buffer.data()), count))) {
        jumpToFailure(reinterpret_cast<j_common_ptr>(compressor));
    }
}

boolean flushFullBuffer(j_compress_ptr compressor) {
    flushBytes(compressor, writerOf(compressor).buffer.size());
    resetBuffer(compressor);
    return TRUE;
}

void flushLastBuffer(j_compress_ptr compressor) {
    JpegCompressor& writer = writerOf(compressor);
    flushBytes(compressor, writer.buffer.size() - writer.destination.free_in_buffer);
}

// Rows are pulled from the image a strip at a time and compressed into memory as they come, so
// a lazily read or scaled image is never held whole, and nothing reaches the output while rows
// are still being read (the display may be held for that long).
EncodeResult compressImage(JpegCompressor& writer, const Image& image, int quality,
                           std::uint8_t* strip, std::size_t stripRows) {
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
    compressor.in_color_space = image.order == PixelOrder::kBgrx ? JCS_EXT_BGRX : JCS_EXT_RGBA;
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
    return EncodeResult::kEncoded;
}

EncodeResult encodeJpeg(JpegCompressor& writer, const Image& image, double quality) {
    writer.memory.reset(::memfd_create("jpeg", MFD_CLOEXEC));
    if (!writer.memory || image.width <= 0 || image.height <= 0 ||
        image.width > JPEG_MAX_DIMENSION || image.height > JPEG_MAX_DIMENSION) {
        return EncodeResult::kFailed;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * kBytesPerPixel;
    std::vector<std::uint8_t> strip(rowBytes * kStripRows);
    return compressImage(writer, image, jpegQuality(quality), strip.data(), kStripRows);
}

// The JPEG of the image in a new compressor's memory file.
JpegWriteOutcome compressed(const SharedImage& image, double quality,
                            std::unique_ptr<JpegCompressor>& compressor) {
    if (!image) {
        return {JpegWriteResult::kWriteFailed, "the image cannot be made at the size asked for"};
    }
    EncodeResult encoded = EncodeResult::kFailed;
    try {
        compressor = std::make_unique<JpegCompressor>();
        encoded = encodeJpeg(*compressor, *image, quality);
    } catch (const std::bad_alloc&) {
        // Under a bound on the address space: a JPEG that cannot be made, not the program's end.
        // The reason fits std::string's inline buffer, so that making it allocates nothing.
        return {JpegWriteResult::kWriteFailed, "out of memory"};
    }
    switch (encoded) {
        case EncodeResult::kEncoded:
            return {JpegWriteResult::kWritten, {}};
        case EncodeResult::kImageUnreadable: {
            std::string why = image->unreadableReason ? image->unreadableReason() : "";
            return {JpegWriteResult::kImageUnreadable,
                    why.empty() ? "the image could not be read to its end (the window or the "
                                  "display went away, or stayed silent)"
                                : std::move(why)};
        }
        case EncodeResult::kFailed:
            break;
    }
    return {JpegWriteResult::kWriteFailed, "the JPEG could not be encoded"};
}

// FF D8 FF: the start of an image and the first marker.
bool beginsAsJpeg(int fd) {
    std::array<unsigned char, 3> head{};
    return ::pread(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
           head == std::array<unsigned char, 3>{0xFF, 0xD8, 0xFF};
}

}  // namespace

JpegWriteOutcome writeJpegFile(const std::filesystem::path& output, const SharedImage& image,
                               double quality, ExistingOutput existing) {
    const ReplaceableFiles replaceable =
        existing == ExistingOutput::kReplaceOnlyJpeg
            ? ReplaceableFiles{.accepts = beginsAsJpeg, .kind = "a JPEG"}
            : ReplaceableFiles{};
    auto opened = OutputFile::open(output, replaceable);
    if (auto* unavailable = std::get_if<Unavailable>(&opened)) {
        return {JpegWriteResult::kOutputUnavailable, std::move(unavailable->reason)};
    }
    auto& file = std::get<OutputFile>(opened);
    // Every row is read before a byte goes out: the image (and with it the display) is let go
    // however long the output takes to accept it.
    std::unique_ptr<JpegCompressor> compressor;
    auto encoded = compressed(image, quality, compressor);
    if (encoded.result != JpegWriteResult::kWritten) {
        return encoded;
    }
    if (const auto trouble = file.writeFrom(compressor->memory.get())) {
        return {JpegWriteResult::kWriteFailed,
                "cannot write '" + output.native() + "': " + trouble->reason};
    }
    return {JpegWriteResult::kWritten, {}};
}

JpegWriteOutcome encodeJpegInMemory(const SharedImage& image, double quality, std::size_t& bytes) {
    std::unique_ptr<JpegCompressor> compressor;
    auto encoded = compressed(image, quality, compressor);
    struct stat status {};
    bytes = encoded.result == JpegWriteResult::kWritten &&
                    ::fstat(compressor->memory.get(), &status) == 0
                ? static_cast<std::size_t>(status.st_size)
                : 0;
    return encoded;
}

JpegWriter jpegFileWriter(ExistingOutput existing) {
    return [existing](const std::filesystem::path& output, const SharedImage& image,
                      double quality) { return writeJpegFile(output, image, quality, existing); };
}

RuntimeLibrary turboJpegRuntimeLibrary() {
    return {"libturbojpeg.so.0", "libturbojpeg0", "reading the JPEG a screenshot tool leaves"};
}

SharedImage decodeJpegFile(const std::filesystem::path& file) {
    const auto bytes = readFileBounded(file, kMaximumDecodedFileBytes);
    if (!bytes || bytes->empty()) {
        return nullptr;
    }
    const TurboJpegDecoder* decoder = turboJpegDecoder();
    if (decoder == nullptr) {
        return nullptr;
    }
    TurboJpegHandle decompressor(decoder->initDecompress());
    if (!decompressor) {
        return nullptr;
    }
    auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (decoder->decompressHeader(decompressor.get(), data, bytes->size(), &width, &height,
                                  &subsampling, &colorspace) != 0 ||
        width <= 0 || height <= 0 ||
        std::int64_t{width} * std::int64_t{height} > kMaximumDecodedPixels) {
        return nullptr;
    }
    auto image = newImage(width, height);
    if (decoder->decompress(decompressor.get(), data, bytes->size(), image->pixels.data(), width,
                            static_cast<int>(image->bytesPerRow), height, TJPF_RGBA, 0) != 0) {
        return nullptr;
    }
    return image;
}

}  // namespace tarnwick
