#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "TarnwickScreenCapture/backends/wlroots/OutputLayout.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Waiting.hpp"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace tarnwick {
namespace {

// The stalled-server deadline: a compositor that sends nothing for this long is given up on.
constexpr auto kInactivityDeadline = std::chrono::seconds(5);

template <typename T>
T* bindGlobal(wl_registry* registry, std::uint32_t name, const wl_interface* interface,
              std::uint32_t offered, std::uint32_t wanted) {
    return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

struct Output {
    wl_output* output = nullptr;
    zxdg_output_v1* xdgOutput = nullptr;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t modeWidth = 0;
    std::int32_t modeHeight = 0;
    std::int32_t scale = 1;
    std::optional<LogicalBox> logical;  // from xdg_output

    LogicalBox area() const {
        if (logical && logical->width > 0 && logical->height > 0) {
            return *logical;
        }
        const std::int32_t divisor = std::max(scale, 1);
        return {x, y, modeWidth / divisor, modeHeight / divisor};
    }
};

// One connection with the globals a copy needs; every proxy is released with it.
class Session {
public:
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_shm* shm = nullptr;
    zwlr_screencopy_manager_v1* screenCopy = nullptr;
    std::uint32_t screenCopyVersion = 0;
    zxdg_output_manager_v1* xdgOutputManager = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        for (auto& output : outputs) {
            if (output->xdgOutput != nullptr) {
                zxdg_output_v1_destroy(output->xdgOutput);
            }
            wl_output_destroy(output->output);
        }
        if (xdgOutputManager != nullptr) {
            zxdg_output_manager_v1_destroy(xdgOutputManager);
        }
        if (screenCopy != nullptr) {
            zwlr_screencopy_manager_v1_destroy(screenCopy);
        }
        if (shm != nullptr) {
            wl_shm_destroy(shm);
        }
        if (registry != nullptr) {
            wl_registry_destroy(registry);
        }
        if (display != nullptr) {
            wl_display_disconnect(display);
        }
    }

    // Reads and dispatches events until `done` holds; false on a connection or protocol error,
    // or when nothing arrives for the inactivity deadline.
    bool dispatchUntil(const std::function<bool()>& done) {
        auto deadline = Deadline::ofInactivity(kInactivityDeadline);
        while (!done()) {
            while (wl_display_prepare_read(display) != 0) {
                if (wl_display_dispatch_pending(display) < 0) {
                    return false;
                }
                if (done()) {
                    return true;
                }
            }
            short events = POLLIN;
            if (wl_display_flush(display) < 0) {
                if (errno != EAGAIN) {
                    wl_display_cancel_read(display);
                    return false;
                }
                events |= POLLOUT;
            }
            short seen = 0;
            if (waitForDescriptor(wl_display_get_fd(display), events, deadline, &seen) !=
                Readiness::kReady) {
                wl_display_cancel_read(display);
                return false;
            }
            if ((seen & POLLIN) == 0) {
                wl_display_cancel_read(display);
                if ((seen & (POLLERR | POLLHUP)) != 0) {
                    return false;
                }
                continue;
            }
            if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
                return false;
            }
            deadline.progressed();
        }
        return wl_display_get_error(display) == 0;
    }

    // A round trip under the deadline.
    bool sync() {
        bool done = false;
        static const wl_callback_listener listener{
            .done = [](void* data, wl_callback* callback, std::uint32_t) {
                *static_cast<bool*>(data) = true;
                wl_callback_destroy(callback);
            }};
        wl_callback* callback = wl_display_sync(display);
        if (callback == nullptr) {
            return false;
        }
        wl_callback_add_listener(callback, &listener, &done);
        if (!dispatchUntil([&] { return done; })) {
            if (!done) {
                wl_callback_destroy(callback);
            }
            return false;
        }
        return true;
    }
};

const wl_output_listener outputListener{
    .geometry =
        [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t,
           std::int32_t, const char*, const char*, std::int32_t) {
            static_cast<Output*>(data)->x = x;
            static_cast<Output*>(data)->y = y;
        },
    .mode =
        [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
           std::int32_t) {
            if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
                static_cast<Output*>(data)->modeWidth = width;
                static_cast<Output*>(data)->modeHeight = height;
            }
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void* data, wl_output*,
                std::int32_t factor) { static_cast<Output*>(data)->scale = factor; },
    .name = [](void*, wl_output*, const char*) {},
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener xdgOutputListener{
    .logical_position =
        [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
            auto& output = *static_cast<Output*>(data);
            const LogicalBox previous = output.logical.value_or(LogicalBox{});
            output.logical = LogicalBox{x, y, previous.width, previous.height};
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
            auto& output = *static_cast<Output*>(data);
            const LogicalBox previous = output.logical.value_or(LogicalBox{});
            output.logical = LogicalBox{previous.x, previous.y, width, height};
        },
    .done = [](void*, zxdg_output_v1*) {},
    .name = [](void*, zxdg_output_v1*, const char*) {},
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

const wl_registry_listener registryListener{
    .global =
        [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
           std::uint32_t version) {
            auto& session = *static_cast<Session*>(data);
            const std::string_view kind(interface);
            if (kind == wl_shm_interface.name && session.shm == nullptr) {
                session.shm = bindGlobal<wl_shm>(registry, name, &wl_shm_interface, version, 1);
            } else if (kind == zwlr_screencopy_manager_v1_interface.name &&
                       session.screenCopy == nullptr) {
                session.screenCopyVersion = std::min(version, 3u);
                session.screenCopy = bindGlobal<zwlr_screencopy_manager_v1>(
                    registry, name, &zwlr_screencopy_manager_v1_interface, version, 3);
            } else if (kind == zxdg_output_manager_v1_interface.name &&
                       session.xdgOutputManager == nullptr) {
                session.xdgOutputManager = bindGlobal<zxdg_output_manager_v1>(
                    registry, name, &zxdg_output_manager_v1_interface, version, 3);
            } else if (kind == wl_output_interface.name) {
                auto output = std::make_unique<Output>();
                output->output =
                    bindGlobal<wl_output>(registry, name, &wl_output_interface, version, 2);
                wl_output_add_listener(output->output, &outputListener, output.get());
                session.outputs.push_back(std::move(output));
            }
        },
    .global_remove = [](void*, wl_registry*, std::uint32_t) {},
};

std::unique_ptr<Session> connect() {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (name == nullptr || *name == '\0') {
        return nullptr;
    }
    auto session = std::make_unique<Session>();
    session->display = wl_display_connect(nullptr);
    if (session->display == nullptr) {
        return nullptr;
    }
    return session;
}

// Binds the globals and learns where each output lies.
bool discover(Session& session) {
    session.registry = wl_display_get_registry(session.display);
    if (session.registry == nullptr) {
        return false;
    }
    wl_registry_add_listener(session.registry, &registryListener, &session);
    if (!session.sync()) {
        return false;
    }
    if (session.xdgOutputManager != nullptr) {
        for (auto& output : session.outputs) {
            output->xdgOutput =
                zxdg_output_manager_v1_get_xdg_output(session.xdgOutputManager, output->output);
            zxdg_output_v1_add_listener(output->xdgOutput, &xdgOutputListener, output.get());
        }
    }
    return session.sync();
}

// A memfd mapped for reading a copy back; it may outlive the connection.
class Mapping {
public:
    Mapping(void* data, std::size_t size) : data_(data), size_(size) {}
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { ::munmap(data_, size_); }

    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(data_), size_};
    }

private:
    void* data_;
    std::size_t size_;
};

// A wl_shm buffer over a fresh mapping.
struct SharedBuffer {
    std::shared_ptr<const Mapping> mapping;
    wl_buffer* buffer = nullptr;

    SharedBuffer() = default;
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;
    ~SharedBuffer() {
        if (buffer != nullptr) {
            wl_buffer_destroy(buffer);
        }
    }

    static std::unique_ptr<SharedBuffer> create(wl_shm* shm, std::uint32_t format,
                                                std::int32_t width, std::int32_t height,
                                                std::int32_t stride) {
        const auto size = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
        FileDescriptor fd(::memfd_create("tarnwick-screen-copy", MFD_CLOEXEC));
        if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
            return nullptr;
        }
        void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (data == MAP_FAILED) {
            return nullptr;
        }
        auto result = std::make_unique<SharedBuffer>();
        result->mapping = std::make_shared<const Mapping>(data, size);
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd.get(), static_cast<std::int32_t>(size));
        if (pool == nullptr) {
            return nullptr;
        }
        result->buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, format);
        wl_shm_pool_destroy(pool);
        return result->buffer == nullptr ? nullptr : std::move(result);
    }
};

struct BufferOffer {
    std::uint32_t format = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride = 0;
};

// One output's copy of an area, from the offer of buffers to ready or failed.
struct Frame {
    enum class State { kOffering, kCopying, kReady, kFailed };

    Session* session = nullptr;
    zwlr_screencopy_frame_v1* frame = nullptr;
    LogicalBox area;
    std::optional<BufferOffer> offer;
    std::unique_ptr<SharedBuffer> buffer;
    bool yInverted = false;
    State state = State::kOffering;

    Frame() = default;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame() {
        if (frame != nullptr) {
            zwlr_screencopy_frame_v1_destroy(frame);
        }
    }

    void copy() {
        if (state != State::kOffering) {
            return;
        }
        if (offer) {
            buffer = SharedBuffer::create(session->shm, offer->format, offer->width, offer->height,
                                          offer->stride);
        }
        if (!buffer) {
            state = State::kFailed;
            return;
        }
        zwlr_screencopy_frame_v1_copy(frame, buffer->buffer);
        state = State::kCopying;
    }
};

bool acceptable(std::uint32_t format, std::uint32_t width, std::uint32_t height,
                std::uint32_t stride) {
    return width > 0 && height > 0 && width <= kMaximumImageSide && height <= kMaximumImageSide &&
           std::uint64_t{width} * height <= kMaximumImagePixels &&
           stride >= std::uint64_t{width} * 4 && stride <= std::uint64_t{width} * 8 &&
           std::uint64_t{stride} * height <= INT32_MAX &&
           layoutOfShmFormat(format, stride).has_value();
}

const zwlr_screencopy_frame_v1_listener frameListener{
    .buffer =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
           std::uint32_t height, std::uint32_t stride) {
            auto& frame = *static_cast<Frame*>(data);
            if (!frame.offer && acceptable(format, width, height, stride)) {
                frame.offer = BufferOffer{format, static_cast<std::int32_t>(width),
                                          static_cast<std::int32_t>(height),
                                          static_cast<std::int32_t>(stride)};
            }
            // Before version 3 no buffer_done follows: this one offer is all there is.
            if (frame.session->screenCopyVersion < 3) {
                frame.copy();
            }
        },
    .flags =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
            static_cast<Frame*>(data)->yInverted =
                (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
        },
    .ready = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                std::uint32_t) { static_cast<Frame*>(data)->state = Frame::State::kReady; },
    .failed =
        [](void* data, zwlr_screencopy_frame_v1*) {
            static_cast<Frame*>(data)->state = Frame::State::kFailed;
        },
    .damage = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t,
                 std::uint32_t) {},
    .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t) {},
    .buffer_done = [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->copy(); },
};

// Copies `region` from every output it touches and draws the copies together.
SharedImage copyRegion(Session& session, const std::optional<LogicalBox>& wanted) {
    if (session.screenCopy == nullptr || session.shm == nullptr || session.outputs.empty()) {
        return nullptr;
    }
    std::vector<LogicalBox> areas;
    for (const auto& output : session.outputs) {
        areas.push_back(output->area());
    }
    const LogicalBox region = wanted.value_or(boundingBox(areas));

    std::vector<std::unique_ptr<Frame>> frames;
    for (std::size_t i = 0; i < session.outputs.size(); ++i) {
        const auto part = intersection(region, areas[i]);
        if (!part) {
            continue;
        }
        auto frame = std::make_unique<Frame>();
        frame->session = &session;
        frame->area = *part;
        wl_output* output = session.outputs[i]->output;
        if (part->x == areas[i].x && part->y == areas[i].y && part->width == areas[i].width &&
            part->height == areas[i].height) {
            frame->frame = zwlr_screencopy_manager_v1_capture_output(session.screenCopy, 0, output);
        } else {
            frame->frame = zwlr_screencopy_manager_v1_capture_output_region(
                session.screenCopy, 0, output, static_cast<std::int32_t>(part->x - areas[i].x),
                static_cast<std::int32_t>(part->y - areas[i].y),
                static_cast<std::int32_t>(part->width), static_cast<std::int32_t>(part->height));
        }
        if (frame->frame == nullptr) {
            return nullptr;
        }
        zwlr_screencopy_frame_v1_add_listener(frame->frame, &frameListener, frame.get());
        frames.push_back(std::move(frame));
    }
    if (frames.empty()) {
        return nullptr;
    }
    const bool finished = session.dispatchUntil([&] {
        return std::all_of(frames.begin(), frames.end(), [](const auto& frame) {
            return frame->state == Frame::State::kReady || frame->state == Frame::State::kFailed;
        });
    });
    if (!finished) {
        return nullptr;
    }
    std::vector<OutputPixels> copies;
    auto mappings = std::make_shared<std::vector<std::shared_ptr<const Mapping>>>();
    for (const auto& frame : frames) {
        if (frame->state != Frame::State::kReady) {
            return nullptr;
        }
        mappings->push_back(frame->buffer->mapping);
        copies.push_back({.area = frame->area,
                          .pixelWidth = frame->offer->width,
                          .pixelHeight = frame->offer->height,
                          .pixels = frame->buffer->mapping->bytes(),
                          .layout = *layoutOfShmFormat(
                              frame->offer->format, static_cast<std::size_t>(frame->offer->stride)),
                          .yInverted = frame->yInverted});
    }
    return composeOutputs(region, copies, std::move(mappings));
}

SharedImage copyFromCompositor(const std::optional<LogicalBox>& region) {
    const auto session = connect();
    if (!session || !discover(*session)) {
        return nullptr;
    }
    return copyRegion(*session, region);
}

}  // namespace

bool waylandCompositorReachable() {
    return connect() != nullptr;
}

SharedImage waylandDesktopImage(const std::function<SharedImage()>& withoutScreenCopy) {
    {
        const auto session = connect();
        if (!session || !discover(*session)) {
            return nullptr;
        }
        if (session->screenCopy != nullptr || !withoutScreenCopy) {
            return copyRegion(*session, std::nullopt);
        }
    }
    return withoutScreenCopy();
}

SharedImage waylandRegionImage(const WindowBounds& region) {
    const double left = std::floor(region.x);
    const double top = std::floor(region.y);
    const double right = std::ceil(region.x + region.width);
    const double bottom = std::ceil(region.y + region.height);
    constexpr double kLimit = 1 << 30;
    if (!(left > -kLimit && top > -kLimit && right < kLimit && bottom < kLimit && right > left &&
          bottom > top)) {
        return nullptr;
    }
    return copyFromCompositor(LogicalBox{
        static_cast<std::int64_t>(left), static_cast<std::int64_t>(top),
        static_cast<std::int64_t>(right - left), static_cast<std::int64_t>(bottom - top)});
}

}  // namespace tarnwick
