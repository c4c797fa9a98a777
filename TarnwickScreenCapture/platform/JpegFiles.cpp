#include "TarnwickScreenCapture/platform/JpegFiles.hpp"

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
#include <optional>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/platform/FileDescriptor.hpp"
#include "TarnwickScreenCapture/platform/Files.hpp"
#include "TarnwickScreenCapture/platform/LoadedLibrary.hpp"

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
    return loadedOnce<TurboJpegDecoder>(
        "libturbojpeg.so.0", [](void* library, TurboJpegDecoder& functions) {
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
struct JpegWriter {
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

void flushBytes(j_compress_ptr compressor, std::size_t count) {
    JpegWriter& writer = writerOf(compressor);
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
    JpegWriter& writer = writerOf(compressor);
    flushBytes(compressor, writer.buffer.size() - writer.destination.free_in_buffer);
}

// Rows are pulled from the image a strip at a time and compressed into memory as they come, so
// a lazily read or scaled image is never held whole, and nothing reaches the output while rows
// are still being read (the display may be held for that long).
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
    compressor.in_color_space = image.order == PixelOrder::bgrx ? JCS_EXT_BGRX : JCS_EXT_RGBA;
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

EncodeResult encodeJpeg(JpegWriter& writer, const Image& image, double quality) {
    writer.memory.reset(::memfd_create("jpeg", MFD_CLOEXEC));
    if (!writer.memory || image.width <= 0 || image.height <= 0 ||
        image.width > JPEG_MAX_DIMENSION || image.height > JPEG_MAX_DIMENSION) {
        return EncodeResult::kFailed;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * kBytesPerPixel;
    std::vector<std::uint8_t> strip(rowBytes * kStripRows);
    return compressImage(writer, image, jpegQuality(quality), strip.data(), kStripRows);
}

// The descriptor that /dev/stdout, /dev/stderr, /dev/fd/N or /proc/self/fd/N name.
std::optional<int> ownDescriptorNamed(const std::string& path) {
    if (path == "/dev/stdout") {
        return STDOUT_FILENO;
    }
    if (path == "/dev/stderr") {
        return STDERR_FILENO;
    }
    for (const std::string& folder : {std::string("/dev/fd/"), std::string("/proc/self/fd/"),
                                      "/proc/" + std::to_string(::getpid()) + "/fd/"}) {
        if (!path.starts_with(folder)) {
            continue;
        }
        const std::string_view number = std::string_view(path).substr(folder.size());
        int fd = 0;
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), fd);
        if (number.empty() || number.front() == '+' || error != std::errc() ||
            end != number.data() + number.size() || fd < 0) {
            return std::nullopt;
        }
        return fd;
    }
    return std::nullopt;
}

// A descriptor the process was given, to be written as it is (a file opened for appending is
// appended to). The process's own descriptors (close-on-exec) are never written to.
FileDescriptor writableCopyOf(int fd) {
    const int status = ::fcntl(fd, F_GETFL);
    const int descriptorFlags = ::fcntl(fd, F_GETFD);
    struct stat file {};
    if (status < 0 || descriptorFlags < 0 || (descriptorFlags & FD_CLOEXEC) != 0 ||
        (status & O_ACCMODE) == O_RDONLY || ::fstat(fd, &file) != 0 || S_ISBLK(file.st_mode) ||
        S_ISDIR(file.st_mode)) {
        return FileDescriptor();
    }
    return FileDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

// Whether the file that status describes, opened afresh, begins as a JPEG does (FF D8 FF).
bool beginsAsJpeg(const std::string& path, const struct stat& status) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    std::array<unsigned char, 3> head{};
    return fd && ::fstat(fd.get(), &opened) == 0 && identityOf(opened) == identityOf(status) &&
           ::pread(fd.get(), head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
           head == std::array<unsigned char, 3>{0xFF, 0xD8, 0xFF};
}

struct DestinationState {
    // A device, a FIFO or a descriptor the process was given: written as it is.
    FileDescriptor direct;
    // Otherwise: a new file that takes the output's place once it is whole.
    std::optional<ReplacementFile> file;
    ReplacementFile::Replacing replacing = ReplacementFile::Replacing::kAnything;
    std::optional<FileIdentity> existing;
    mode_t mode = 0644;
    ImageRef image;
    double quality = 0;
    bool imageUnreadable = false;

    bool finalize() {
        const bool written = encodeAndWrite();
        image.reset();
        direct.reset();
        file.reset();
        return written;
    }

    bool encodeAndWrite() {
        if (!image || (!direct && !file)) {
            return false;
        }
        auto writer = std::make_unique<JpegWriter>();
        const EncodeResult result = encodeJpeg(*writer, *image, quality);
        // Every row has been read: the image (and with it the display) is let go before a byte
        // goes out, however long the output takes to accept it.
        image.reset();
        imageUnreadable = result == EncodeResult::kImageUnreadable;
        if (result != EncodeResult::kEncoded) {
            return false;
        }
        if (direct) {
            return copyAll(writer->memory.get(), direct.get()) && direct.close();
        }
        return copyAll(writer->memory.get(), file->fd()) && file->commit(mode, replacing, existing);
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
    return openJpegFileDestination(output, ExistingOutput::kReplaceAnything);
}

std::optional<JpegDestination> openJpegFileDestination(const std::filesystem::path& output,
                                                       ExistingOutput existingOutput) {
    const std::string& path = output.native();
    if (path.empty() || path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    auto state = std::make_shared<DestinationState>();
    if (existingOutput == ExistingOutput::kReplaceAnything) {
        if (const auto fd = ownDescriptorNamed(path)) {
            state->direct = writableCopyOf(*fd);
            return state->direct ? destinationFor(std::move(state)) : std::nullopt;
        }
    } else {
        state->replacing = ReplacementFile::Replacing::kOnlyExpected;
    }

    // Without O_NONBLOCK a FIFO that nobody reads would keep the open waiting for good (ENXIO).
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    std::string target = path;
    struct stat status {};
    if (fd) {
        if (::fstat(fd.get(), &status) != 0 || S_ISBLK(status.st_mode)) {
            return std::nullopt;
        }
        if (!S_ISREG(status.st_mode)) {
            // A FIFO or a character device: written directly, waiting for a slow reader.
            const int flags = ::fcntl(fd.get(), F_GETFL);
            if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
                return std::nullopt;
            }
            state->direct = std::move(fd);
            return destinationFor(std::move(state));
        }
        fd.reset();
        // Checked on the file that was opened, never on whatever the path names later.
        if (existingOutput == ExistingOutput::kReplaceOnlyJpeg && status.st_size > 0 &&
            !beginsAsJpeg(path, status)) {
            return std::nullopt;
        }
        // Replace what a symbolic link points at, not the link itself.
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
        state->existing = identityOf(status);
        state->mode = status.st_mode & 0777;  // never set-user-ID, set-group-ID or sticky
    } else if (errno == ENOENT) {
        // A dangling symbolic link is replaced itself; nothing is created where it points.
        if (::lstat(path.c_str(), &status) == 0) {
            state->existing = identityOf(status);
        }
        state->mode = newFileMode();
    } else {
        return std::nullopt;  // ENXIO (a FIFO without a reader), EISDIR, EACCES, ...
    }
    state->file = ReplacementFile::create(target);
    if (!state->file) {
        return std::nullopt;
    }
    return destinationFor(std::move(state));
}

ImageRef decodeJpegFile(const std::filesystem::path& file) {
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
