#include "TarnwickScreenCapture/backends/x11/X11WindowList.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"
#include "TarnwickScreenCapture/backends/x11/X11Text.hpp"
#include "TarnwickScreenCapture/text/Utf8.hpp"

namespace tarnwick {
namespace {

// Property reads are bounded, in 32-bit units: a client may set a title of any length.
constexpr std::uint32_t kMaximumTitleUnits = 16 * 1024;
constexpr std::uint32_t kMaximumClassUnits = 1024;
constexpr std::uint32_t kMaximumAtomListUnits = 64;
constexpr std::uint32_t kMaximumWindowListUnits = 16 * 1024;

enum Atom : std::size_t {
    kClientListStacking,
    kSupportingWmCheck,
    kWindowType,
    kWindowTypeDesktop,
    kWindowTypeDock,
    kState,
    kStateAbove,
    kWindowOpacity,
    kWmName,
    kUtf8String,
    kCompoundText,
    kWmPid,
    kAtomCount,
};

constexpr std::array<std::string_view, kAtomCount> kAtomNames = {
    "_NET_CLIENT_LIST_STACKING",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_STATE",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_WINDOW_OPACITY",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "COMPOUND_TEXT",
    "_NET_WM_PID",
};

using Atoms = std::array<xcb_atom_t, kAtomCount>;

xcb_get_property_cookie_t requestProperty(xcb_connection_t* connection, xcb_window_t window,
                                          xcb_atom_t property, xcb_atom_t type,
                                          std::uint32_t units) {
    // An atom no client ever interned cannot be set on any window; asking would be BadAtom.
    if (property == XCB_ATOM_NONE) {
        return {0};
    }
    return xcb_get_property(connection, 0, window, property, type, 0, units);
}

XcbPointer<xcb_get_property_reply_t> takeProperty(const X11Display& display,
                                                  xcb_get_property_cookie_t cookie) {
    if (cookie.sequence == 0) {
        return nullptr;
    }
    return takeReply(xcb_get_property_reply, display, cookie);
}

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Text of a property of type STRING (Latin-1), UTF8_STRING or COMPOUND_TEXT as valid UTF-8.
std::optional<std::string> textProperty(const xcb_get_property_reply_t* reply, const Atoms& atoms) {
    const auto bytes = propertyBytes(reply, 8);
    if (reply == nullptr || reply->type == XCB_ATOM_NONE || reply->format != 8) {
        return std::nullopt;
    }
    if (reply->type == XCB_ATOM_STRING) {
        return utf8FromStringProperty(asText(bytes));
    }
    if (reply->type == atoms[kCompoundText] && atoms[kCompoundText] != XCB_ATOM_NONE) {
        return utf8FromCompoundText(asText(bytes));
    }
    if (reply->type == atoms[kUtf8String] && atoms[kUtf8String] != XCB_ATOM_NONE) {
        return validUtf8(asText(bytes));
    }
    return std::nullopt;
}

bool containsAtom(const xcb_get_property_reply_t* reply, xcb_atom_t atom) {
    if (atom == XCB_ATOM_NONE || reply == nullptr || reply->type != XCB_ATOM_ATOM) {
        return false;
    }
    const auto items = propertyItems32(reply);
    return std::find(items.begin(), items.end(), atom) != items.end();
}

std::optional<std::uint32_t> cardinalProperty(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->type != XCB_ATOM_CARDINAL) {
        return std::nullopt;
    }
    const auto items = propertyItems32(reply);
    if (items.empty()) {
        return std::nullopt;
    }
    return items.front();
}

// The class part of WM_CLASS: "instance\0class\0".
std::optional<std::string> ownerName(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->type != XCB_ATOM_STRING) {
        return std::nullopt;
    }
    const std::string_view value = asText(propertyBytes(reply, 8));
    const std::size_t end = value.find('\0');
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view rest = value.substr(end + 1);
    return utf8FromStringProperty(rest.substr(0, rest.find('\0')));
}

// With a live EWMH window manager its stacking list; otherwise the root's children. Both come
// bottom to top.
std::optional<std::vector<xcb_window_t>> candidatesBottomToTop(const X11Display& display,
                                                               xcb_window_t root,
                                                               const Atoms& atoms) {
    xcb_connection_t* connection = display.get();
    const auto stackingCookie = requestProperty(connection, root, atoms[kClientListStacking],
                                                XCB_ATOM_WINDOW, kMaximumWindowListUnits);
    const auto checkCookie =
        requestProperty(connection, root, atoms[kSupportingWmCheck], XCB_ATOM_WINDOW, 1);
    const auto treeCookie = xcb_query_tree(connection, root);

    const auto stacking = takeProperty(display, stackingCookie);
    const auto check = takeProperty(display, checkCookie);
    const auto tree = takeReply(xcb_query_tree_reply, display, treeCookie);
    if (xcb_connection_has_error(connection) != 0) {
        return std::nullopt;
    }

    // A window manager that has gone leaves its last list on the root window; its check window
    // then no longer names itself.
    const auto stackingItems = propertyItems32(stacking.get());
    const auto checkItems = propertyItems32(check.get());
    if (stacking && stacking->type == XCB_ATOM_WINDOW && !checkItems.empty()) {
        const xcb_window_t checkWindow = checkItems.front();
        const auto self =
            takeProperty(display, requestProperty(connection, checkWindow,
                                                  atoms[kSupportingWmCheck], XCB_ATOM_WINDOW, 1));
        const auto selfItems = propertyItems32(self.get());
        if (!selfItems.empty() && selfItems.front() == checkWindow) {
            return std::vector<xcb_window_t>(stackingItems.begin(), stackingItems.end());
        }
    }
    if (!tree) {
        return std::nullopt;
    }
    const int claimed = xcb_query_tree_children_length(tree.get());
    const auto count =
        std::min<std::size_t>(claimed < 0 ? 0 : static_cast<std::size_t>(claimed), tree->length);
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return std::vector<xcb_window_t>(children, children + count);
}

struct WindowRequests {
    xcb_window_t window = XCB_NONE;
    xcb_get_window_attributes_cookie_t attributes{};
    xcb_get_geometry_cookie_t geometry{};
    xcb_translate_coordinates_cookie_t position{};
    xcb_get_property_cookie_t type{};
    xcb_get_property_cookie_t state{};
    xcb_get_property_cookie_t opacity{};
    xcb_get_property_cookie_t wmClass{};
    xcb_get_property_cookie_t netName{};
    xcb_get_property_cookie_t name{};
    xcb_get_property_cookie_t pid{};
};

WindowRequests requestWindow(xcb_connection_t* connection, xcb_window_t window, xcb_window_t root,
                             const Atoms& atoms) {
    return WindowRequests{
        .window = window,
        .attributes = xcb_get_window_attributes(connection, window),
        .geometry = xcb_get_geometry(connection, window),
        .position = xcb_translate_coordinates(connection, window, root, 0, 0),
        .type = requestProperty(connection, window, atoms[kWindowType], XCB_ATOM_ATOM,
                                kMaximumAtomListUnits),
        .state = requestProperty(connection, window, atoms[kState], XCB_ATOM_ATOM,
                                 kMaximumAtomListUnits),
        .opacity = requestProperty(connection, window, atoms[kWindowOpacity], XCB_ATOM_CARDINAL, 1),
        .wmClass = requestProperty(connection, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
                                   kMaximumClassUnits),
        .netName = requestProperty(connection, window, atoms[kWmName], atoms[kUtf8String],
                                   kMaximumTitleUnits),
        .name = requestProperty(connection, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY,
                                kMaximumTitleUnits),
        .pid = requestProperty(connection, window, atoms[kWmPid], XCB_ATOM_CARDINAL, 1),
    };
}

// Whether any part of the rectangle lies on the root window.
bool onScreen(std::int64_t x, std::int64_t y, std::int64_t width, std::int64_t height,
              const xcb_get_geometry_reply_t& root) {
    return x < root.width && y < root.height && x + width > 0 && y + height > 0;
}

// The window's description; none when it is not listed (gone, not viewable, wholly off the
// screen, desktop).
std::optional<X11ListedWindow> describeWindow(const X11Display& display,
                                              const WindowRequests& requests, const Atoms& atoms,
                                              const xcb_get_geometry_reply_t& rootGeometry) {
    // Every reply is taken, listed or not, so none is left waiting.
    const auto attributes =
        takeReply(xcb_get_window_attributes_reply, display, requests.attributes);
    const auto geometry = takeReply(xcb_get_geometry_reply, display, requests.geometry);
    const auto position = takeReply(xcb_translate_coordinates_reply, display, requests.position);
    const auto type = takeProperty(display, requests.type);
    const auto state = takeProperty(display, requests.state);
    const auto opacity = takeProperty(display, requests.opacity);
    const auto wmClass = takeProperty(display, requests.wmClass);
    const auto netName = takeProperty(display, requests.netName);
    const auto name = takeProperty(display, requests.name);
    const auto pid = takeProperty(display, requests.pid);

    if (!attributes || !geometry || !position || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
        !onScreen(position->dst_x, position->dst_y, geometry->width, geometry->height,
                  rootGeometry) ||
        containsAtom(type.get(), atoms[kWindowTypeDesktop])) {
        return std::nullopt;
    }

    // Override-redirect windows are menus and tooltips that no window manager arranges.
    WindowLayer layer = WindowLayer::kNormal;
    if (attributes->override_redirect != 0) {
        layer = WindowLayer::kPopup;
    } else if (containsAtom(type.get(), atoms[kWindowTypeDock])) {
        layer = WindowLayer::kPanel;
    } else if (containsAtom(state.get(), atoms[kStateAbove])) {
        layer = WindowLayer::kKeptAbove;
    }

    WindowDescription window{
        .id = requests.window,
        .layer = layer,
        .bounds = WindowBounds{.x = static_cast<double>(position->dst_x),
                               .y = static_cast<double>(position->dst_y),
                               .width = static_cast<double>(geometry->width),
                               .height = static_cast<double>(geometry->height)},
    };
    if (const auto value = cardinalProperty(opacity.get())) {
        window.opacity = *value / 4294967295.0;
    }
    if (auto owner = ownerName(wmClass.get())) {
        window.ownerName = std::move(*owner);
    }
    if (auto title = textProperty(netName.get(), atoms)) {
        window.title = std::move(*title);
    } else if (auto oldTitle = textProperty(name.get(), atoms)) {
        window.title = std::move(*oldTitle);
    }
    return X11ListedWindow{.description = std::move(window), .pid = cardinalProperty(pid.get())};
}

}  // namespace

OrUnavailable<std::vector<X11ListedWindow>> x11WindowsWithProcesses() {
    auto opened = openX11Display();
    if (auto* unavailable = std::get_if<Unavailable>(&opened)) {
        return std::move(*unavailable);
    }
    const X11Display& display = *std::get<std::unique_ptr<X11Display>>(opened);
    const auto busy = display.busy();
    xcb_connection_t* connection = display.get();
    const xcb_window_t root = display.screen->root;
    // The screen's size now: it may have changed since the connection was made.
    const auto rootCookie = xcb_get_geometry(connection, root);
    const Atoms atoms = existingAtoms(display, kAtomNames);
    const auto rootGeometry = takeReply(xcb_get_geometry_reply, display, rootCookie);
    if (!rootGeometry) {
        return display.failure();
    }

    auto candidates = candidatesBottomToTop(display, root, atoms);
    if (!candidates) {
        return display.failure();
    }
    std::reverse(candidates->begin(), candidates->end());

    std::vector<WindowRequests> requests;
    requests.reserve(candidates->size());
    for (const xcb_window_t window : *candidates) {
        requests.push_back(requestWindow(connection, window, root, atoms));
    }
    std::vector<X11ListedWindow> list;
    for (const auto& request : requests) {
        if (auto window = describeWindow(display, request, atoms, *rootGeometry)) {
            list.push_back(std::move(*window));
        }
    }
    if (display.failed()) {
        return display.failure();
    }
    return list;
}

OrUnavailable<std::vector<WindowDescription>> x11Windows() {
    auto listed = x11WindowsWithProcesses();
    if (auto* unavailable = std::get_if<Unavailable>(&listed)) {
        return std::move(*unavailable);
    }
    std::vector<WindowDescription> windows;
    for (auto& window : std::get<std::vector<X11ListedWindow>>(listed)) {
        windows.push_back(std::move(window.description));
    }
    return windows;
}

}  // namespace tarnwick
