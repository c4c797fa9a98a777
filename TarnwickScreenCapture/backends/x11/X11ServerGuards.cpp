#include "TarnwickScreenCapture/backends/x11/X11ServerGuards.hpp"

#include <xcb/composite.h>

namespace tarnwick {

ServerGrab::ServerGrab(xcb_connection_t* connection) : connection_(connection) {
    xcb_grab_server(connection_);
}

ServerGrab::~ServerGrab() {
    xcb_ungrab_server(connection_);
    xcb_flush(connection_);
}

NamedPixmap::NamedPixmap(const X11Display& display, xcb_window_t window)
    : connection_(display.get()), pixmap_(xcb_generate_id(connection_)) {
    named_ = requestSucceeded(
        display, xcb_composite_name_window_pixmap_checked(connection_, window, pixmap_));
}

NamedPixmap::~NamedPixmap() {
    if (named_) {
        xcb_free_pixmap(connection_, pixmap_);
        xcb_flush(connection_);
    }
}

}  // namespace tarnwick
