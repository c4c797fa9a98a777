#include "TarnwickScreenCapture/backends/wlroots/ShmBuffer.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"

namespace tarnwick {

ShmMapping::~ShmMapping() {
    ::munmap(data_, size_);
}

std::optional<ShmBuffer> ShmBuffer::create(wl_shm* shm, std::uint32_t format, std::int32_t width,
                                           std::int32_t height, std::int32_t stride) {
    const auto size = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    FileDescriptor fd(::memfd_create("tarnwick-screen-copy", MFD_CLOEXEC));
    if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        return std::nullopt;
    }
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (data == MAP_FAILED) {
        return std::nullopt;
    }
    auto mapping = std::make_shared<const ShmMapping>(data, size);
    const WaylandPointer<wl_shm_pool> pool(
        wl_shm_create_pool(shm, fd.get(), static_cast<std::int32_t>(size)));
    if (!pool) {
        return std::nullopt;
    }
    WaylandPointer<wl_buffer> buffer(
        wl_shm_pool_create_buffer(pool.get(), 0, width, height, stride, format));
    if (!buffer) {
        return std::nullopt;
    }
    return ShmBuffer(std::move(mapping), std::move(buffer));
}

}  // namespace tarnwick
