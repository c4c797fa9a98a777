#pragma once

#include <xcb/xcb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/backends/x11/X11StallWatchdog.hpp"
#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// XCB hands out replies and errors allocated with malloc.
struct XcbFree {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using XcbPointer = std::unique_ptr<T, XcbFree>;

// How long a display server may stay silent while the program waits for it.
inline constexpr std::chrono::milliseconds kDisplayStallLimit{5000};

struct XcbDisconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// One connection to the display named by DISPLAY, with the screen it names. The watchdog outlives
// the connection, so a stall is caught until the socket is closed.
struct X11Display {
    std::string name;  // as DISPLAY gives it: ":0"
    std::unique_ptr<StallWatchdog> watchdog;
    std::unique_ptr<xcb_connection_t, XcbDisconnect> connection;
    const xcb_setup_t* setup = nullptr;
    const xcb_screen_t* screen = nullptr;

    xcb_connection_t* get() const { return connection.get(); }
    bool failed() const { return xcb_connection_has_error(connection.get()) != 0; }
    // Marks a span in which the program waits on the server.
    StallWatchdog::Busy busy() const { return StallWatchdog::Busy(*watchdog); }
    // Why the connection is in error: the server's silence, or what XCB says ended it.
    Unavailable failure() const;
};

// The display named by DISPLAY; unavailable when it is not set, no X server can be reached
// there, the server refuses the connection or gives no answer within the stall limit.
OrUnavailable<std::unique_ptr<X11Display>> openX11Display(
    std::chrono::milliseconds stallLimit = kDisplayStallLimit);

// The reply to a request, or null on an X error (which is freed) or a lost connection.
template <typename Reply, typename Cookie>
XcbPointer<Reply> takeReply(Reply* (*replyFunction)(xcb_connection_t*, Cookie,
                                                    xcb_generic_error_t**),
                            const X11Display& display, Cookie cookie) {
    xcb_generic_error_t* error = nullptr;
    XcbPointer<Reply> reply(replyFunction(display.get(), cookie, &error));
    const XcbPointer<xcb_generic_error_t> failure(error);
    display.watchdog->noteProgress();
    if (failure) {
        reply.reset();
    }
    return reply;
}

// Waits for a checked request without a reply and reports whether it succeeded.
bool requestSucceeded(const X11Display& display, xcb_void_cookie_t cookie);

// The screen whose root window is `root`, or null.
const xcb_screen_t* screenOfRoot(const xcb_setup_t* setup, xcb_window_t root);

// The visual with this id on any screen, or null.
const xcb_visualtype_t* findVisual(const xcb_setup_t* setup, xcb_visualid_t visual);

// The ZPixmap format of images of this depth, or null.
const xcb_format_t* findPixmapFormat(const xcb_setup_t* setup, std::uint8_t depth);

// The value bytes of a property reply, bounded by what the reply really holds; empty when the
// property is unset or its format differs from `format` (0: any).
std::span<const std::uint8_t> propertyBytes(const xcb_get_property_reply_t* reply,
                                            std::uint8_t format = 0);

// A property of 32-bit items (atoms, windows, cardinals).
std::span<const std::uint32_t> propertyItems32(const xcb_get_property_reply_t* reply);

// Interns atoms that already exist; XCB_ATOM_NONE for those no client ever made.
template <std::size_t N>
std::array<xcb_atom_t, N> existingAtoms(const X11Display& display,
                                        const std::array<std::string_view, N>& names) {
    xcb_connection_t* connection = display.get();
    std::array<xcb_intern_atom_cookie_t, N> cookies{};
    for (std::size_t i = 0; i < N; ++i) {
        cookies[i] = xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(names[i].size()),
                                     names[i].data());
    }
    std::array<xcb_atom_t, N> atoms{};
    for (std::size_t i = 0; i < N; ++i) {
        const auto reply = takeReply(xcb_intern_atom_reply, display, cookies[i]);
        atoms[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
    return atoms;
}

}  // namespace tarnwick
