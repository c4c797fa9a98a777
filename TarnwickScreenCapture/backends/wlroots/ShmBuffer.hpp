#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "TarnwickScreenCapture/backends/wlroots/WaylandConnection.hpp"

namespace tarnwick {

// The memory of a buffer, mapped for reading the copy back; it may outlive the buffer and the
// connection.
class ShmMapping {
public:
    ShmMapping(void* data, std::size_t size) : data_(data), size_(size) {}
    ShmMapping(const ShmMapping&) = delete;
    ShmMapping& operator=(const ShmMapping&) = delete;
    ~ShmMapping();

    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(data_), size_};
    }

private:
    void* data_;
    std::size_t size_;
};

// A wl_shm buffer over a fresh memfd mapping.
class ShmBuffer {
public:
    // None when the memory cannot be had or the compositor's pool gives no buffer.
    static std::optional<ShmBuffer> create(wl_shm* shm, std::uint32_t format, std::int32_t width,
                                           std::int32_t height, std::int32_t stride);

    wl_buffer* buffer() const { return buffer_.get(); }
    const std::shared_ptr<const ShmMapping>& mapping() const { return mapping_; }

private:
    ShmBuffer(std::shared_ptr<const ShmMapping> mapping, WaylandPointer<wl_buffer> buffer)
        : mapping_(std::move(mapping)), buffer_(std::move(buffer)) {}

    std::shared_ptr<const ShmMapping> mapping_;
    WaylandPointer<wl_buffer> buffer_;
};

}  // namespace tarnwick
