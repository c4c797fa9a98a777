#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"

#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shm.h>

namespace tarnwick {

bool requestSucceeded(const X11Display& display, xcb_void_cookie_t cookie) {
    const XcbPointer<xcb_generic_error_t> error(xcb_request_check(display.get(), cookie));
    display.watchdog->noteProgress();
    return !error && !display.failed();
}

std::unique_ptr<X11Display> openX11Display(std::chrono::milliseconds stallLimit) {
    auto display = std::make_unique<X11Display>();
    display->watchdog = std::make_unique<StallWatchdog>(stallLimit);
    int screenNumber = 0;
    {
        // A stopped or grabbed server accepts the connection but never answers its setup.
        display->watchdog->watchNewSockets();
        const auto busy = display->busy();
        display->connection.reset(xcb_connect(nullptr, &screenNumber));
    }
    if (!display->connection || display->failed()) {
        return nullptr;
    }
    display->watchdog->watchSocket(xcb_get_file_descriptor(display->get()));
    display->setup = xcb_get_setup(display->get());
    if (display->setup == nullptr) {
        return nullptr;
    }
    for (auto it = xcb_setup_roots_iterator(display->setup); it.rem > 0; xcb_screen_next(&it)) {
        if (screenNumber-- == 0) {
            display->screen = it.data;
            break;
        }
    }
    if (display->screen == nullptr) {
        return nullptr;
    }
    // Asked for together, the extensions a capture looks up cost one round trip, not three.
    for (xcb_extension_t* extension : {&xcb_randr_id, &xcb_shm_id, &xcb_composite_id}) {
        xcb_prefetch_extension_data(display->get(), extension);
    }
    return display;
}

const xcb_screen_t* screenOfRoot(const xcb_setup_t* setup, xcb_window_t root) {
    for (auto it = xcb_setup_roots_iterator(setup); it.rem > 0; xcb_screen_next(&it)) {
        if (it.data->root == root) {
            return it.data;
        }
    }
    return nullptr;
}

const xcb_visualtype_t* findVisual(const xcb_setup_t* setup, xcb_visualid_t visual) {
    for (auto screen = xcb_setup_roots_iterator(setup); screen.rem > 0; xcb_screen_next(&screen)) {
        for (auto depth = xcb_screen_allowed_depths_iterator(screen.data); depth.rem > 0;
             xcb_depth_next(&depth)) {
            for (auto type = xcb_depth_visuals_iterator(depth.data); type.rem > 0;
                 xcb_visualtype_next(&type)) {
                if (type.data->visual_id == visual) {
                    return type.data;
                }
            }
        }
    }
    return nullptr;
}

const xcb_format_t* findPixmapFormat(const xcb_setup_t* setup, std::uint8_t depth) {
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == depth) {
            return it.data;
        }
    }
    return nullptr;
}

std::span<const std::uint8_t> propertyBytes(const xcb_get_property_reply_t* reply,
                                            std::uint8_t format) {
    if (reply == nullptr || reply->type == XCB_ATOM_NONE ||
        (reply->format != 8 && reply->format != 16 && reply->format != 32) ||
        (format != 0 && reply->format != format)) {
        return {};
    }
    const std::uint64_t claimed = std::uint64_t{reply->value_len} * (reply->format / 8u);
    const std::uint64_t received = std::uint64_t{reply->length} * 4u;
    const auto* value = static_cast<const std::uint8_t*>(xcb_get_property_value(reply));
    return {value, static_cast<std::size_t>(claimed < received ? claimed : received)};
}

std::span<const std::uint32_t> propertyItems32(const xcb_get_property_reply_t* reply) {
    const auto bytes = propertyBytes(reply, 32);
    return {reinterpret_cast<const std::uint32_t*>(bytes.data()), bytes.size() / 4};
}

}  // namespace tarnwick
