#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shm.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "TarnwickScreenCapture/posix/Environment.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Waiting.hpp"
#include "TarnwickScreenCapture/text/Utf8.hpp"

namespace tarnwick {
namespace {

// The most of a server's refusal kept as a reason.
constexpr std::size_t kMaximumRefusalBytes = 300;

// XCB writes a server's refusal of a connection (most often: the authorization it wants) to
// standard error, where a failure has only its one line: the words are caught meanwhile instead,
// to become the reason.
class StandardErrorCaught {
public:
    StandardErrorCaught() {
        if (::fcntl(STDERR_FILENO, F_GETFD) < 0) {
            return;  // closed: nobody would see the words either
        }
        FileDescriptor memory(::memfd_create("xcb-refusal", MFD_CLOEXEC));
        saved_.reset(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
        if (!memory || !saved_ || ::dup2(memory.get(), STDERR_FILENO) < 0) {
            saved_.reset();
            return;
        }
        memory_ = std::move(memory);
    }
    StandardErrorCaught(const StandardErrorCaught&) = delete;
    StandardErrorCaught& operator=(const StandardErrorCaught&) = delete;
    ~StandardErrorCaught() { restore(); }

    // Puts standard error back, and returns what was written meanwhile.
    std::string restore() {
        if (!saved_) {
            return {};
        }
        ::dup2(saved_.get(), STDERR_FILENO);
        saved_.reset();
        std::string text(kMaximumRefusalBytes, '\0');
        const ssize_t count = ::pread(memory_.get(), text.data(), text.size(), 0);
        text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
        memory_.reset();
        return text;
    }

private:
    FileDescriptor saved_;
    FileDescriptor memory_;
};

// A server's words on one line, safe for a log.
std::string oneLine(std::string_view words) {
    std::string line;
    for (const char c : validUtf8(words)) {
        const bool control = static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        if (!control) {
            line += c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

std::string_view connectionErrorText(int error) {
    switch (error) {
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
            return "an extension it needs is missing";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
            return "out of memory";
        case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
            return "a request longer than the server takes";
        case XCB_CONN_CLOSED_FDPASSING_FAILED:
            return "a file descriptor could not be passed";
        default:
            return "a socket error";
    }
}

std::string silence(std::string_view name, std::chrono::milliseconds limit) {
    return "the X server on " + std::string(name) + " gave no answer for " + secondsText(limit);
}

// Why xcb_connect gave a connection in error. XCB tells a refusal only on standard error, and
// a socket that would not connect only through errno.
Unavailable connectFailure(const X11Display& display, int error, int connectErrno,
                           std::string_view refusal) {
    const std::string& name = display.name;
    if (display.watchdog->stalled()) {
        return {silence(name, display.watchdog->limit())};
    }
    switch (error) {
        case XCB_CONN_CLOSED_PARSE_ERR:
            return {"DISPLAY '" + name + "' names no X display"};
        case XCB_CONN_CLOSED_INVALID_SCREEN:
            return {"the X server on " + name + " has no such screen"};
        case XCB_CONN_ERROR:
            break;
        default:
            return {"cannot connect to the X server on " + name + ": " +
                    std::string(connectionErrorText(error))};
    }
    std::string why;
    if (!refusal.empty()) {
        why = "refused (" + oneLine(refusal) + ")";
    } else if (connectErrno == ENOENT || connectErrno == ECONNREFUSED) {
        why = std::string("no such display (") + std::strerror(connectErrno) + ")";
    } else if (connectErrno != 0) {
        why = std::strerror(connectErrno);
    } else {
        why = "a socket error";
    }
    return {"cannot connect to the X server on " + name + ": " + why};
}

}  // namespace

Unavailable X11Display::failure() const {
    if (watchdog->stalled()) {
        return {silence(name, watchdog->limit())};
    }
    if (!failed()) {
        return {"the X server on " + name + " answered with an error"};
    }
    return {"the connection to the X server on " + name + " was lost: " +
            std::string(connectionErrorText(xcb_connection_has_error(connection.get())))};
}

bool requestSucceeded(const X11Display& display, xcb_void_cookie_t cookie) {
    const XcbPointer<xcb_generic_error_t> error(xcb_request_check(display.get(), cookie));
    display.watchdog->noteProgress();
    return !error && !display.failed();
}

OrUnavailable<std::unique_ptr<X11Display>> openX11Display(std::chrono::milliseconds stallLimit) {
    const auto displayName = environmentValue(variables::kDisplay);
    if (!displayName) {
        return Unavailable{"no window system: DISPLAY is not set"};
    }
    const char* name = displayName->c_str();
    auto display = std::make_unique<X11Display>();
    display->name = name;
    display->watchdog = std::make_unique<StallWatchdog>(stallLimit);
    int screenNumber = 0;
    int connectErrno = 0;
    std::string refusal;
    {
        // Opened before the watch begins, its descriptors are none the watchdog looks at.
        StandardErrorCaught caught;
        {
            // A stopped or grabbed server accepts the connection but never answers its setup.
            display->watchdog->watchNewSockets();
            const auto busy = display->busy();
            errno = 0;
            display->connection.reset(xcb_connect(name, &screenNumber));
            connectErrno = errno;
        }
        refusal = caught.restore();
    }
    if (const int error = xcb_connection_has_error(display->get()); error != 0) {
        return connectFailure(*display, error, connectErrno, refusal);
    }
    display->watchdog->watchSocket(xcb_get_file_descriptor(display->get()));
    display->setup = xcb_get_setup(display->get());
    if (display->setup != nullptr) {
        for (auto it = xcb_setup_roots_iterator(display->setup); it.rem > 0; xcb_screen_next(&it)) {
            if (screenNumber-- == 0) {
                display->screen = it.data;
                break;
            }
        }
    }
    if (display->screen == nullptr) {
        return Unavailable{"the X server on " + display->name + " has no such screen"};
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
