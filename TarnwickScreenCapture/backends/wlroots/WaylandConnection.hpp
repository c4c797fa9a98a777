#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/backends/wlroots/OutputLayout.hpp"
#include "TarnwickScreenCapture/posix/Unavailable.hpp"

struct ext_foreign_toplevel_handle_v1;
struct ext_foreign_toplevel_image_capture_source_manager_v1;
struct ext_foreign_toplevel_list_v1;
struct ext_image_capture_source_v1;
struct ext_image_copy_capture_frame_v1;
struct ext_image_copy_capture_manager_v1;
struct ext_image_copy_capture_session_v1;
struct ext_output_image_capture_source_manager_v1;
struct wl_buffer;
struct wl_interface;
struct wl_callback;
struct wl_display;
struct wl_output;
struct wl_registry;
struct wl_shm;
struct wl_shm_pool;
struct zwlr_foreign_toplevel_handle_v1;
struct zwlr_foreign_toplevel_manager_v1;
struct zwlr_screencopy_frame_v1;
struct zwlr_screencopy_manager_v1;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;

namespace tarnwick {

// Releases each kind of Wayland object as its protocol says: with its destructor request where it
// has one, the display by disconnecting.
struct WaylandDelete {
    void operator()(ext_foreign_toplevel_handle_v1* handle) const;
    void operator()(ext_foreign_toplevel_image_capture_source_manager_v1* manager) const;
    void operator()(ext_foreign_toplevel_list_v1* list) const;
    void operator()(ext_image_capture_source_v1* source) const;
    void operator()(ext_image_copy_capture_frame_v1* frame) const;
    void operator()(ext_image_copy_capture_manager_v1* manager) const;
    void operator()(ext_image_copy_capture_session_v1* session) const;
    void operator()(ext_output_image_capture_source_manager_v1* manager) const;
    void operator()(wl_buffer* buffer) const;
    void operator()(wl_callback* callback) const;
    void operator()(wl_display* display) const;
    void operator()(wl_output* output) const;
    void operator()(wl_registry* registry) const;
    void operator()(wl_shm* shm) const;
    void operator()(wl_shm_pool* pool) const;
    void operator()(zwlr_foreign_toplevel_handle_v1* handle) const;
    void operator()(zwlr_foreign_toplevel_manager_v1* manager) const;
    void operator()(zwlr_screencopy_frame_v1* frame) const;
    void operator()(zwlr_screencopy_manager_v1* manager) const;
    void operator()(zxdg_output_manager_v1* manager) const;
    void operator()(zxdg_output_v1* output) const;
};
template <typename T>
using WaylandPointer = std::unique_ptr<T, WaylandDelete>;

// The stalled-server deadline: a compositor that sends nothing for this long is given up on.
inline constexpr std::chrono::milliseconds kCompositorSilenceLimit{5000};

struct WaylandOutput {
    WaylandPointer<wl_output> output;
    WaylandPointer<zxdg_output_v1> xdgOutput;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t modeWidth = 0;
    std::int32_t modeHeight = 0;
    std::int32_t scale = 1;
    std::int32_t transform = 0;         // a wl_output transform
    std::optional<LogicalBox> logical;  // from xdg_output

    // Where the output lies in the layout.
    LogicalBox area() const;
};

// One connection with the globals a screen copy needs. Listeners hold the addresses of the
// connection and its outputs, so neither ever moves; the display, declared first, goes last.
struct WaylandConnection {
    std::string name;  // WAYLAND_DISPLAY, for causes
    WaylandPointer<wl_display> display;
    WaylandPointer<wl_registry> registry;
    WaylandPointer<wl_shm> shm;
    WaylandPointer<zwlr_screencopy_manager_v1> screenCopy;
    std::uint32_t screenCopyVersion = 0;
    WaylandPointer<zxdg_output_manager_v1> xdgOutputManager;
    std::vector<std::unique_ptr<WaylandOutput>> outputs;
    // Every global offered, by interface name: the rest are bound only where they are used.
    struct Global {
        std::uint32_t name = 0;
        std::uint32_t version = 0;
    };
    std::map<std::string, Global, std::less<>> globals;

    WaylandConnection() = default;
    WaylandConnection(WaylandConnection&&) = delete;
    WaylandConnection& operator=(WaylandConnection&&) = delete;

    // Binds the globals and, unless only the globals are wanted, learns where each output lies
    // (one round trip more).
    enum class Discovery { kGlobals, kLayout };
    std::optional<Unavailable> discover(Discovery depth = Discovery::kLayout);
    // Reads and dispatches events until `done` holds; why not on a connection or protocol error,
    // or when nothing arrives for kCompositorSilenceLimit.
    std::optional<Unavailable> dispatchUntil(const std::function<bool()>& done);
    // A round trip under the same deadline.
    std::optional<Unavailable> sync();
    // Whether the compositor offers the global.
    bool offers(std::string_view interface) const { return globals.contains(interface); }
    // Binds an offered global at no more than `wanted`; null when it is not offered.
    void* bind(const wl_interface* interface, std::uint32_t wanted);
    // "the compositor on wayland-1", for causes.
    std::string compositor() const;
};

// A connection to the compositor WAYLAND_DISPLAY names, nothing bound yet; why none when it is
// unset or the compositor cannot be reached. A socket that accepts but never speaks is connected
// to: only an exchange finds it silent. libwayland's messages are dropped from the first call on.
OrUnavailable<std::unique_ptr<WaylandConnection>> connectToCompositor();

}  // namespace tarnwick
