#include "TarnwickScreenCapture/platform/JpegFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "TarnwickScreenCapture/platform/FileDescriptor.hpp"
#include "TarnwickScreenCapture/platform/Files.hpp"

namespace tarnwick {
namespace {

struct TurboJpegHandleCloser {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TurboJpegHandle = std::unique_ptr<void, TurboJpegHandleCloser>;

struct TurboJpegBufferFree {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

// No screenshot comes near this; larger files are not decoded.
constexpr std::size_t kMaximumDecodedFileBytes = 256u * 1024 * 1024;
constexpr std::int64_t kMaximumDecodedPixels = std::int64_t{1} << 28;

int jpegQuality(double quality) {
    const long rounded = std::lround(quality * 100.0);
    return static_cast<int>(rounded < 1 ? 1 : (rounded > 100 ? 100 : rounded));
}

std::optional<std::string> encodeJpeg(const Image& image, double quality) {
    if (image.width <= 0 || image.height <= 0 || image.width > INT_MAX ||
        image.height > INT_MAX || image.bytesPerRow > INT_MAX ||
        image.pixels.size() < image.bytesPerRow * static_cast<std::size_t>(image.height)) {
        return std::nullopt;
    }
    TurboJpegHandle compressor(tjInitCompress());
    if (!compressor) {
        return std::nullopt;
    }
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int result =
        tjCompress2(compressor.get(), image.pixels.data(), static_cast<int>(image.width),
                    static_cast<int>(image.bytesPerRow), static_cast<int>(image.height), TJPF_RGBA,
                    &buffer, &size, TJSAMP_420, jpegQuality(quality), 0);
    const std::unique_ptr<unsigned char, TurboJpegBufferFree> owned(buffer);
    if (result != 0 || buffer == nullptr) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(buffer), size);
}

struct DestinationState {
    FileDescriptor fd;
    std::string temporaryPath;  // empty when writing directly to a device or FIFO
    std::string targetPath;
    mode_t mode = 0644;
    ImageRef image;
    double quality = 0;

    ~DestinationState() { discardTemporary(); }

    void discardTemporary() {
        if (!temporaryPath.empty()) {
            fd.reset();
            ::unlink(temporaryPath.c_str());
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
        const auto bytes = encodeJpeg(*image, quality);
        if (!bytes || !writeAll(fd.get(), *bytes)) {
            return false;
        }
        if (temporaryPath.empty()) {
            return fd.close();
        }
        if (::fchmod(fd.get(), mode) != 0 || !fd.close() ||
            ::rename(temporaryPath.c_str(), targetPath.c_str()) != 0) {
            return false;
        }
        temporaryPath.clear();
        return true;
    }
};

mode_t modeForNewFile() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

std::optional<JpegDestination> destinationFor(std::shared_ptr<DestinationState> state) {
    return JpegDestination{
        .addImage =
            [state](ImageRef image, double quality) {
                state->image = std::move(image);
                state->quality = quality;
            },
        .finalize = [state] { return state->finalize(); },
    };
}

}  // namespace

std::optional<JpegDestination> createJpegFileDestination(const std::filesystem::path& output) {
    const std::string& path = output.native();
    if (path.empty() || path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    auto state = std::make_shared<DestinationState>();
    state->mode = modeForNewFile();
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
    state->fd.reset(::mkostemp(temporary.data(), O_CLOEXEC));
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
    if (tjDecompressHeader3(decompressor.get(), data, bytes->size(), &width, &height,
                            &subsampling, &colorspace) != 0 ||
        width <= 0 || height <= 0 ||
        std::int64_t{width} * std::int64_t{height} > kMaximumDecodedPixels) {
        return nullptr;
    }
    auto image = std::make_shared<Image>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = static_cast<std::size_t>(width) * kBytesPerPixel;
    image->pixels.resize(image->bytesPerRow * static_cast<std::size_t>(height));
    if (tjDecompress2(decompressor.get(), data, bytes->size(), image->pixels.data(), width,
                      static_cast<int>(image->bytesPerRow), height, TJPF_RGBA, 0) != 0) {
        return nullptr;
    }
    return image;
}

}  // namespace tarnwick
