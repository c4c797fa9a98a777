#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"

#include <wayland-client.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "TarnwickScreenCapture/backends/wlroots/OutputLayout.hpp"
#include "TarnwickScreenCapture/backends/wlroots/ShmBuffer.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandConnection.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandToplevels.hpp"
#include "TarnwickScreenCapture/posix/Environment.hpp"
#include "TarnwickScreenCapture/posix/Process.hpp"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace tarnwick {
namespace {

struct BufferOffer {
    std::uint32_t format = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride = 0;
};

// One output's copy of an area, from the offer of buffers to ready or failed. Its listener holds
// its address, so it stays where it is made.
struct Frame {
    enum class State { kOffering, kCopying, kReady, kFailed };

    WaylandConnection* connection = nullptr;
    LogicalBox area;
    OutputTransform transform = OutputTransform::kNormal;
    std::optional<BufferOffer> offer;
    std::optional<ShmBuffer> buffer;
    WaylandPointer<zwlr_screencopy_frame_v1> frame;
    bool yInverted = false;
    State state = State::kOffering;

    void copy() {
        if (state != State::kOffering) {
            return;
        }
        if (offer) {
            buffer = ShmBuffer::create(connection->shm.get(), offer->format, offer->width,
                                       offer->height, offer->stride);
        }
        if (!buffer) {
            state = State::kFailed;
            return;
        }
        zwlr_screencopy_frame_v1_copy(frame.get(), buffer->buffer());
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
            if (frame.connection->screenCopyVersion < 3) {
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
OrUnavailable<SharedImage> copyRegion(WaylandConnection& connection,
                                      const std::optional<LogicalBox>& wanted) {
    if (!connection.screenCopy) {
        return Unavailable{connection.compositor() +
                           " offers no screen copy (zwlr_screencopy_manager_v1)"};
    }
    if (!connection.shm || connection.outputs.empty()) {
        return Unavailable{connection.compositor() +
                           (connection.shm ? " has no output" : " offers no shared memory")};
    }
    std::vector<LogicalBox> areas;
    for (const auto& output : connection.outputs) {
        areas.push_back(output->area());
    }
    const LogicalBox region = wanted.value_or(boundingBox(areas));

    std::vector<std::unique_ptr<Frame>> frames;
    for (std::size_t i = 0; i < connection.outputs.size(); ++i) {
        const auto part = intersection(region, areas[i]);
        if (!part) {
            continue;
        }
        const auto transform = outputTransformOf(connection.outputs[i]->transform);
        if (!transform) {
            return Unavailable{connection.compositor() + " names an unknown output transform " +
                               std::to_string(connection.outputs[i]->transform)};
        }
        // sway 1.7 copies a region of an output turned by a quarter from half a turn away:
        // a transformed output is copied whole and cut here.
        const bool whole = *part == areas[i] || *transform != OutputTransform::kNormal;
        auto frame = std::make_unique<Frame>();
        frame->connection = &connection;
        frame->area = whole ? areas[i] : *part;
        frame->transform = *transform;
        wl_output* output = connection.outputs[i]->output.get();
        if (whole) {
            frame->frame.reset(
                zwlr_screencopy_manager_v1_capture_output(connection.screenCopy.get(), 0, output));
        } else {
            frame->frame.reset(zwlr_screencopy_manager_v1_capture_output_region(
                connection.screenCopy.get(), 0, output,
                static_cast<std::int32_t>(part->x - areas[i].x),
                static_cast<std::int32_t>(part->y - areas[i].y),
                static_cast<std::int32_t>(part->width), static_cast<std::int32_t>(part->height)));
        }
        if (!frame->frame) {
            return Unavailable{"out of memory"};
        }
        zwlr_screencopy_frame_v1_add_listener(frame->frame.get(), &frameListener, frame.get());
        frames.push_back(std::move(frame));
    }
    if (frames.empty()) {
        return Unavailable{"the area lies on no output of " + connection.compositor()};
    }
    if (auto trouble = connection.dispatchUntil([&] {
            return std::all_of(frames.begin(), frames.end(), [](const auto& frame) {
                return frame->state == Frame::State::kReady ||
                       frame->state == Frame::State::kFailed;
            });
        })) {
        return std::move(*trouble);
    }
    std::vector<OutputPixels> copies;
    auto mappings = std::make_shared<std::vector<std::shared_ptr<const ShmMapping>>>();
    for (const auto& frame : frames) {
        if (frame->state != Frame::State::kReady) {
            return Unavailable{connection.compositor() +
                               (frame->offer ? " failed to copy an output"
                                             : " offered no buffer this program can read")};
        }
        mappings->push_back(frame->buffer->mapping());
        copies.push_back({.area = frame->area,
                          .pixelWidth = frame->offer->width,
                          .pixelHeight = frame->offer->height,
                          .pixels = frame->buffer->mapping()->bytes(),
                          .layout = *layoutOfShmFormat(
                              frame->offer->format, static_cast<std::size_t>(frame->offer->stride)),
                          .yInverted = frame->yInverted,
                          .transform = frame->transform});
    }
    if (auto image = composeOutputs(region, copies, std::move(mappings))) {
        return image;
    }
    return Unavailable{"the copies of the outputs cannot be made into one image"};
}

// A connection that has learnt the compositor's globals and outputs.
OrUnavailable<std::unique_ptr<WaylandConnection>> discoveredCompositor() {
    auto connected = connectToCompositor();
    if (auto* connection = std::get_if<std::unique_ptr<WaylandConnection>>(&connected)) {
        if (auto trouble = (*connection)->discover()) {
            return std::move(*trouble);
        }
    }
    return connected;
}

}  // namespace

std::optional<Unavailable> waylandCompositorUnreachable() {
    auto connected = connectToCompositor();
    if (auto* unavailable = std::get_if<Unavailable>(&connected)) {
        return std::move(*unavailable);
    }
    return std::nullopt;
}

std::optional<std::string> waylandCompositorProgram() {
    auto connected = connectToCompositor();
    auto* connection = std::get_if<std::unique_ptr<WaylandConnection>>(&connected);
    if (connection == nullptr) {
        return std::nullopt;
    }
    return peerProgram(wl_display_get_fd((*connection)->display.get()));
}

OrUnavailable<SharedImage> waylandDesktopImage(
    const std::function<OrUnavailable<SharedImage>()>& withoutScreenCopy) {
    {
        auto discovered = discoveredCompositor();
        auto* connection = std::get_if<std::unique_ptr<WaylandConnection>>(&discovered);
        if (connection == nullptr) {
            return std::get<Unavailable>(std::move(discovered));
        }
        if ((*connection)->screenCopy) {
            return copyRegion(**connection, std::nullopt);
        }
        // Where both are offered the wlroots screen copy stays: it was as fast at 1920x1080
        // and faster at 3840x2160 (bench/PhaseBenchmarks, BM_WaylandDesktop).
        if ((*connection)->offers("ext_output_image_capture_source_manager_v1")) {
            connection->reset();
            return waylandSourceDesktopImage();
        }
        if (!withoutScreenCopy) {
            return copyRegion(**connection, std::nullopt);
        }
    }
    auto other = withoutScreenCopy();
    if (auto* unavailable = std::get_if<Unavailable>(&other)) {
        unavailable->reason = "the compositor offers no screen copy, and " + unavailable->reason;
    }
    return other;
}

OrUnavailable<SharedImage> waylandRegionImage(const WindowBounds& region) {
    const double left = std::floor(region.x);
    const double top = std::floor(region.y);
    const double right = std::ceil(region.x + region.width);
    const double bottom = std::ceil(region.y + region.height);
    constexpr double kLimit = 1 << 30;
    if (!(left > -kLimit && top > -kLimit && right < kLimit && bottom < kLimit && right > left &&
          bottom > top)) {
        return Unavailable{"the window's place lies outside any possible layout"};
    }
    auto discovered = discoveredCompositor();
    auto* connection = std::get_if<std::unique_ptr<WaylandConnection>>(&discovered);
    if (connection == nullptr) {
        return std::get<Unavailable>(std::move(discovered));
    }
    return copyRegion(**connection,
                      LogicalBox{static_cast<std::int64_t>(left), static_cast<std::int64_t>(top),
                                 static_cast<std::int64_t>(right - left),
                                 static_cast<std::int64_t>(bottom - top)});
}

WindowSystem wlrootsWindowSystem(WindowSystem windows,
                                 std::function<OrUnavailable<SharedImage>()> withoutScreenCopy) {
    windows.description =
        placeText("wlroots", variables::kWaylandDisplay) + ", windows from " + windows.description;
    windows.desktopImage = [withoutScreenCopy = std::move(withoutScreenCopy)] {
        return waylandDesktopImage(withoutScreenCopy);
    };
    return windows;
}

}  // namespace tarnwick
