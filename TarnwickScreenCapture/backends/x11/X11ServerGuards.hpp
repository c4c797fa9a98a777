#pragma once

#include <xcb/xcb.h>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"

namespace tarnwick {

// Keeps other clients from changing the window between reading its geometry and its pixels.
class ServerGrab {
public:
    explicit ServerGrab(xcb_connection_t* connection);
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;
    ~ServerGrab();

private:
    xcb_connection_t* connection_;
};

// A name for the off-screen pixmap a compositor keeps of a redirected window, freed with the
// guard; naming fails for a window that is not redirected.
class NamedPixmap {
public:
    NamedPixmap(const X11Display& display, xcb_window_t window);
    NamedPixmap(const NamedPixmap&) = delete;
    NamedPixmap& operator=(const NamedPixmap&) = delete;
    ~NamedPixmap();

    bool named() const { return named_; }
    xcb_pixmap_t pixmap() const { return pixmap_; }

private:
    xcb_connection_t* connection_;
    xcb_pixmap_t pixmap_;
    bool named_ = false;
};

}  // namespace tarnwick
