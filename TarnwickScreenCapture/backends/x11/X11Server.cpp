#include "TarnwickScreenCapture/backends/x11/X11Server.hpp"

#include <xcb/randr.h>

#include <string_view>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"

namespace tarnwick {

// XWayland names its RandR outputs after itself ("XWAYLAND0", ...); older releases offer no
// extension of their own to ask.
bool isXWayland(const X11Display& display) {
    xcb_connection_t* connection = display.get();
    const auto busy = display.busy();
    const auto* extension = xcb_get_extension_data(connection, &xcb_randr_id);
    if (extension == nullptr || extension->present == 0) {
        return false;
    }
    const auto resources =
        takeReply(xcb_randr_get_screen_resources_current_reply, display,
                  xcb_randr_get_screen_resources_current(connection, display.screen->root));
    if (!resources) {
        return false;
    }
    const xcb_randr_output_t* outputs =
        xcb_randr_get_screen_resources_current_outputs(resources.get());
    const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    for (int i = 0; i < count; ++i) {
        const auto info = takeReply(
            xcb_randr_get_output_info_reply, display,
            xcb_randr_get_output_info(connection, outputs[i], resources->config_timestamp));
        if (!info) {
            continue;
        }
        const auto* name = xcb_randr_get_output_info_name(info.get());
        const auto length = xcb_randr_get_output_info_name_length(info.get());
        const std::string_view outputName(reinterpret_cast<const char*>(name),
                                          static_cast<std::size_t>(std::max(length, 0)));
        if (outputName.starts_with("XWAYLAND")) {
            return true;
        }
    }
    return false;
}

}  // namespace tarnwick
