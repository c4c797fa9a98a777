#include "TarnwickScreenCapture/backends/wlroots/WaylandConnection.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <variant>

#include "TarnwickScreenCapture/posix/Environment.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Waiting.hpp"
#include "ext-foreign-toplevel-list-v1-client-protocol.h"
#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace tarnwick {

void WaylandDelete::operator()(ext_foreign_toplevel_handle_v1* handle) const {
    ext_foreign_toplevel_handle_v1_destroy(handle);
}
void WaylandDelete::operator()(
    ext_foreign_toplevel_image_capture_source_manager_v1* manager) const {
    ext_foreign_toplevel_image_capture_source_manager_v1_destroy(manager);
}
void WaylandDelete::operator()(ext_foreign_toplevel_list_v1* list) const {
    ext_foreign_toplevel_list_v1_destroy(list);
}
void WaylandDelete::operator()(ext_image_capture_source_v1* source) const {
    ext_image_capture_source_v1_destroy(source);
}
void WaylandDelete::operator()(ext_image_copy_capture_frame_v1* frame) const {
    ext_image_copy_capture_frame_v1_destroy(frame);
}
void WaylandDelete::operator()(ext_image_copy_capture_manager_v1* manager) const {
    ext_image_copy_capture_manager_v1_destroy(manager);
}
void WaylandDelete::operator()(ext_image_copy_capture_session_v1* session) const {
    ext_image_copy_capture_session_v1_destroy(session);
}
void WaylandDelete::operator()(ext_output_image_capture_source_manager_v1* manager) const {
    ext_output_image_capture_source_manager_v1_destroy(manager);
}
void WaylandDelete::operator()(wl_buffer* buffer) const {
    wl_buffer_destroy(buffer);
}
void WaylandDelete::operator()(wl_callback* callback) const {
    wl_callback_destroy(callback);
}
void WaylandDelete::operator()(wl_display* display) const {
    wl_display_disconnect(display);
}
void WaylandDelete::operator()(wl_output* output) const {
    wl_output_destroy(output);
}
void WaylandDelete::operator()(wl_registry* registry) const {
    wl_registry_destroy(registry);
}
void WaylandDelete::operator()(wl_shm* shm) const {
    wl_shm_destroy(shm);
}
void WaylandDelete::operator()(wl_shm_pool* pool) const {
    wl_shm_pool_destroy(pool);
}
void WaylandDelete::operator()(zwlr_foreign_toplevel_handle_v1* handle) const {
    zwlr_foreign_toplevel_handle_v1_destroy(handle);
}
void WaylandDelete::operator()(zwlr_foreign_toplevel_manager_v1* manager) const {
    // The manager has no destructor request: stop asks the compositor to finish with it.
    zwlr_foreign_toplevel_manager_v1_stop(manager);
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager));
}
void WaylandDelete::operator()(zwlr_screencopy_frame_v1* frame) const {
    zwlr_screencopy_frame_v1_destroy(frame);
}
void WaylandDelete::operator()(zwlr_screencopy_manager_v1* manager) const {
    zwlr_screencopy_manager_v1_destroy(manager);
}
void WaylandDelete::operator()(zxdg_output_manager_v1* manager) const {
    zxdg_output_manager_v1_destroy(manager);
}
void WaylandDelete::operator()(zxdg_output_v1* output) const {
    zxdg_output_v1_destroy(output);
}

namespace {

template <typename T>
WaylandPointer<T> bindGlobal(wl_registry* registry, std::uint32_t name,
                             const wl_interface* interface, std::uint32_t offered,
                             std::uint32_t wanted) {
    return WaylandPointer<T>(
        static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted))));
}

const wl_output_listener outputListener{
    .geometry =
        [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t,
           std::int32_t, const char*, const char*, std::int32_t transform) {
            auto& output = *static_cast<WaylandOutput*>(data);
            output.x = x;
            output.y = y;
            output.transform = transform;
        },
    .mode =
        [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
           std::int32_t) {
            if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
                static_cast<WaylandOutput*>(data)->modeWidth = width;
                static_cast<WaylandOutput*>(data)->modeHeight = height;
            }
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void* data, wl_output*,
                std::int32_t factor) { static_cast<WaylandOutput*>(data)->scale = factor; },
    .name = [](void*, wl_output*, const char*) {},
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener xdgOutputListener{
    .logical_position =
        [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
            auto& output = *static_cast<WaylandOutput*>(data);
            const LogicalBox previous = output.logical.value_or(LogicalBox{});
            output.logical = LogicalBox{x, y, previous.width, previous.height};
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
            auto& output = *static_cast<WaylandOutput*>(data);
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
            auto& connection = *static_cast<WaylandConnection*>(data);
            const std::string_view kind(interface);
            connection.globals.insert_or_assign(std::string(kind),
                                                WaylandConnection::Global{name, version});
            if (kind == wl_shm_interface.name && !connection.shm) {
                connection.shm = bindGlobal<wl_shm>(registry, name, &wl_shm_interface, version, 1);
            } else if (kind == zwlr_screencopy_manager_v1_interface.name &&
                       !connection.screenCopy) {
                connection.screenCopyVersion = std::min(version, 3u);
                connection.screenCopy = bindGlobal<zwlr_screencopy_manager_v1>(
                    registry, name, &zwlr_screencopy_manager_v1_interface, version, 3);
            } else if (kind == zxdg_output_manager_v1_interface.name &&
                       !connection.xdgOutputManager) {
                connection.xdgOutputManager = bindGlobal<zxdg_output_manager_v1>(
                    registry, name, &zxdg_output_manager_v1_interface, version, 3);
            } else if (kind == wl_output_interface.name) {
                auto output = std::make_unique<WaylandOutput>();
                output->output =
                    bindGlobal<wl_output>(registry, name, &wl_output_interface, version, 2);
                wl_output_add_listener(output->output.get(), &outputListener, output.get());
                connection.outputs.push_back(std::move(output));
            }
        },
    .global_remove = [](void*, wl_registry*, std::uint32_t) {},
};

}  // namespace

LogicalBox WaylandOutput::area() const {
    if (logical && logical->width > 0 && logical->height > 0) {
        return *logical;
    }
    const std::int32_t divisor = std::max(scale, 1);
    const auto turned = outputTransformOf(transform);
    const bool swapped = turned && swapsSides(*turned);
    return {x, y, (swapped ? modeHeight : modeWidth) / divisor,
            (swapped ? modeWidth : modeHeight) / divisor};
}

void* WaylandConnection::bind(const wl_interface* interface, std::uint32_t wanted) {
    const auto found = globals.find(std::string_view(interface->name));
    if (found == globals.end() || !registry) {
        return nullptr;
    }
    return wl_registry_bind(registry.get(), found->second.name, interface,
                            std::min(found->second.version, wanted));
}

std::string WaylandConnection::compositor() const {
    return "the compositor on " + name;
}

std::optional<Unavailable> WaylandConnection::discover(Discovery depth) {
    registry.reset(wl_display_get_registry(display.get()));
    if (!registry) {
        return Unavailable{compositor() + ": " + std::strerror(errno)};
    }
    wl_registry_add_listener(registry.get(), &registryListener, this);
    if (auto trouble = sync()) {
        return trouble;
    }
    if (depth == Discovery::kGlobals) {
        return std::nullopt;
    }
    if (xdgOutputManager) {
        for (auto& output : outputs) {
            output->xdgOutput.reset(zxdg_output_manager_v1_get_xdg_output(xdgOutputManager.get(),
                                                                          output->output.get()));
            zxdg_output_v1_add_listener(output->xdgOutput.get(), &xdgOutputListener, output.get());
        }
    }
    return sync();
}

namespace {

// What ended an exchange that libwayland gave up on: a protocol error the compositor sent, or
// the connection's own error.
Unavailable brokenConnection(const WaylandConnection& connection) {
    wl_display* const server = connection.display.get();
    const int error = wl_display_get_error(server);
    if (error == EPROTO) {
        const wl_interface* interface = nullptr;
        std::uint32_t id = 0;
        const std::uint32_t code = wl_display_get_protocol_error(server, &interface, &id);
        return {connection.compositor() + " ended the connection with protocol error " +
                std::to_string(code) + " on " + (interface ? interface->name : "the display")};
    }
    return {"the connection to " + connection.compositor() +
            " broke: " + std::strerror(error != 0 ? error : errno)};
}

}  // namespace

std::optional<Unavailable> WaylandConnection::dispatchUntil(const std::function<bool()>& done) {
    wl_display* const server = display.get();
    auto deadline = Deadline::ofInactivity(kCompositorSilenceLimit);
    while (!done()) {
        while (wl_display_prepare_read(server) != 0) {
            if (wl_display_dispatch_pending(server) < 0) {
                return brokenConnection(*this);
            }
            if (done()) {
                return std::nullopt;
            }
        }
        short events = POLLIN;
        if (wl_display_flush(server) < 0) {
            if (errno != EAGAIN) {
                wl_display_cancel_read(server);
                return brokenConnection(*this);
            }
            events |= POLLOUT;
        }
        short seen = 0;
        const Readiness readiness =
            waitForDescriptor(wl_display_get_fd(server), events, deadline, &seen);
        if (readiness != Readiness::kReady) {
            wl_display_cancel_read(server);
            if (readiness == Readiness::kTimedOut) {
                return Unavailable{compositor() + " sent nothing for " +
                                   secondsText(kCompositorSilenceLimit)};
            }
            return brokenConnection(*this);
        }
        if ((seen & POLLIN) == 0) {
            wl_display_cancel_read(server);
            if ((seen & (POLLERR | POLLHUP)) != 0) {
                return Unavailable{compositor() + " closed the connection"};
            }
            continue;
        }
        if (wl_display_read_events(server) < 0 || wl_display_dispatch_pending(server) < 0) {
            return brokenConnection(*this);
        }
        deadline.progressed();
    }
    if (wl_display_get_error(server) != 0) {
        return brokenConnection(*this);
    }
    return std::nullopt;
}

std::optional<Unavailable> WaylandConnection::sync() {
    bool done = false;
    static const wl_callback_listener listener{
        .done = [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
    const WaylandPointer<wl_callback> callback(wl_display_sync(display.get()));
    if (!callback) {
        return brokenConnection(*this);
    }
    wl_callback_add_listener(callback.get(), &listener, &done);
    return dispatchUntil([&] { return done; });
}

namespace {

// A connection to the compositor's socket, or why not. A compositor that never accepts leaves
// connections queued on its socket; once the queue is full a blocking connect would wait for
// good, so it is retried until the silence limit.
std::variant<FileDescriptor, std::string> connectedSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return std::string("the socket's path is too long");
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket.get() < 0) {
        return std::string(std::strerror(errno));
    }
    const Deadline deadline = Deadline::after(kCompositorSilenceLimit);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the sockets API
    while (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
           0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return std::string(std::strerror(errno));
        }
        if (deadline.passed()) {
            return "it accepted no connection for " + secondsText(kCompositorSilenceLimit);
        }
        ::poll(nullptr, 0, 20);
    }
    // libwayland expects a blocking socket.
    const int flags = ::fcntl(socket.get(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return std::string(std::strerror(errno));
    }
    return socket;
}

}  // namespace

OrUnavailable<std::unique_ptr<WaylandConnection>> connectToCompositor() {
    // libwayland writes what goes wrong (an unset XDG_RUNTIME_DIR, a protocol error) to the
    // tool's standard error; the tool says itself what failed, once.
    static const bool quiet = [] {
        wl_log_set_handler_client([](const char*, va_list) {});
        return true;
    }();
    (void)quiet;
    const auto name = environmentValue(variables::kWaylandDisplay);
    if (!name) {
        return Unavailable{"WAYLAND_DISPLAY is not set"};
    }
    if (name->front() != '/' && !environmentValue(variables::kRuntimeFolder)) {
        return Unavailable{"WAYLAND_DISPLAY=" + *name +
                           " cannot be found: XDG_RUNTIME_DIR is not set"};
    }
    auto socket = connectedSocket(
        name->front() == '/' ? *name : *environmentValue(variables::kRuntimeFolder) + "/" + *name);
    if (auto* cause = std::get_if<std::string>(&socket)) {
        return Unavailable{"cannot connect to the compositor on " + *name + ": " + *cause};
    }
    auto connection = std::make_unique<WaylandConnection>();
    connection->name = *name;
    // The display owns the socket from here on, and closes it should it fail.
    connection->display.reset(wl_display_connect_to_fd(std::get<FileDescriptor>(socket).release()));
    if (!connection->display) {
        return Unavailable{"cannot connect to the compositor on " + *name + ": " +
                           std::strerror(errno)};
    }
    return connection;
}

}  // namespace tarnwick
