#pragma once

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"

namespace tarnwick {

// How the server can be handed a shared segment: none (it may be on another machine), by System
// V id, or by file descriptor.
enum class SharedMemory { kNone, kSystemV, kDescriptor };

// A segment the server can write into only exists on the same machine.
SharedMemory sharedMemoryOffered(const X11Display& display);

// A segment attached both here and in the server, detached on every path. Where the server takes
// a file descriptor (MIT-SHM 1.2) it is an unnamed memory file whose pages are mapped in at once,
// which spares a page fault per page on first reading; otherwise a System V segment, marked for
// removal as soon as the server holds it. Nothing outlives the process either way.
class SharedSegment {
public:
    SharedSegment(const X11Display& display, std::size_t size, bool passDescriptor);
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;
    ~SharedSegment();

    // Waits for the server's word on the attachment; asking for both segments first and then
    // waiting costs one round trip, not two.
    bool usable(const X11Display& display);
    // Lets the server go of the segment; its bytes stay readable here until destruction.
    void detach();
    xcb_shm_seg_t segment() const { return segment_; }
    std::span<const std::uint8_t> bytes(std::size_t count) const {
        return {address_, std::min(count, size_)};
    }

private:
    xcb_connection_t* connection_;
    const std::uint8_t* address_ = nullptr;
    std::size_t size_ = 0;
    xcb_shm_seg_t segment_ = 0;
    std::optional<xcb_void_cookie_t> attaching_;
    bool attached_ = false;
    bool mapped_ = false;
    std::optional<int> marked_;

    void removeSystemV();
    void attachDescriptor(std::size_t size);
    void attachSystemV(std::size_t size);
};

}  // namespace tarnwick
