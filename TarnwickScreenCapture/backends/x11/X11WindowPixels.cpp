#include "TarnwickScreenCapture/backends/x11/X11WindowPixels.hpp"

#include <xcb/composite.h>

#include <algorithm>

namespace tarnwick {
namespace {

// Deeper window trees than this are not walked.
constexpr int kMaximumTreeDepth = 64;

// The part of `area` inside a drawable of the given size; empty when none.
PixelArea clipped(PixelArea area, std::int64_t width, std::int64_t height) {
    const std::int64_t left = std::max<std::int64_t>(area.x, 0);
    const std::int64_t top = std::max<std::int64_t>(area.y, 0);
    const std::int64_t right = std::min(area.x + area.width, width);
    const std::int64_t bottom = std::min(area.y + area.height, height);
    if (right <= left || bottom <= top) {
        return {};
    }
    return {left, top, right - left, bottom - top};
}

bool offersComposite(const X11Display& display) {
    xcb_connection_t* connection = display.get();
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection, &xcb_composite_id);
    display.watchdog->noteProgress();
    if (extension == nullptr || extension->present == 0) {
        return false;
    }
    const auto version = takeReply(xcb_composite_query_version_reply, display,
                                   xcb_composite_query_version(connection, 0, 4));
    return version && (version->major_version > 0 || version->minor_version >= 2);
}

// The child of the root that holds `window` (its window manager frame, or itself).
std::optional<xcb_window_t> topLevelOf(const X11Display& display, xcb_window_t window,
                                       xcb_window_t root) {
    xcb_window_t current = window;
    for (int depth = 0; depth < kMaximumTreeDepth; ++depth) {
        const auto tree =
            takeReply(xcb_query_tree_reply, display, xcb_query_tree(display.get(), current));
        if (!tree) {
            return std::nullopt;
        }
        if (tree->parent == root) {
            return current;
        }
        if (tree->parent == XCB_NONE) {
            return std::nullopt;
        }
        current = tree->parent;
    }
    return std::nullopt;
}

// The window's contents from the off-screen pixmap a compositor keeps of its top-level window:
// complete even where other windows cover it or it reaches beyond the screen.
std::optional<WindowPixels> redirectedWindowPixels(const X11Display& display, xcb_window_t window,
                                                   xcb_window_t root,
                                                   const xcb_get_geometry_reply_t& geometry) {
    xcb_connection_t* connection = display.get();
    if (!offersComposite(display)) {
        return std::nullopt;
    }
    const auto topLevel = topLevelOf(display, window, root);
    if (!topLevel) {
        return std::nullopt;
    }
    const auto attributesCookie = xcb_get_window_attributes(connection, *topLevel);
    const auto geometryCookie = xcb_get_geometry(connection, *topLevel);
    const auto offsetCookie = xcb_translate_coordinates(connection, window, *topLevel, 0, 0);
    const auto attributes = takeReply(xcb_get_window_attributes_reply, display, attributesCookie);
    const auto topGeometry = takeReply(xcb_get_geometry_reply, display, geometryCookie);
    const auto offset = takeReply(xcb_translate_coordinates_reply, display, offsetCookie);
    if (!attributes || !topGeometry || !offset) {
        return std::nullopt;
    }
    // Only a redirected window has a pixmap to name; for others this fails with BadMatch.
    auto pixmap = std::make_unique<NamedPixmap>(display, *topLevel);
    if (!pixmap->named()) {
        return std::nullopt;
    }
    // The pixmap includes the top-level window's border.
    const std::int64_t border = topGeometry->border_width;
    const PixelArea area =
        clipped({offset->dst_x + border, offset->dst_y + border, geometry.width, geometry.height},
                topGeometry->width + 2 * border, topGeometry->height + 2 * border);
    const xcb_pixmap_t drawable = pixmap->pixmap();
    return WindowPixels{.source = {.drawable = drawable,
                                   .area = area,
                                   .depth = topGeometry->depth,
                                   .visual = attributes->visual,
                                   .colormap = attributes->colormap},
                        .pixmap = std::move(pixmap)};
}

}  // namespace

std::optional<WindowPixels> windowPixels(const X11Display& display, xcb_window_t window) {
    xcb_connection_t* connection = display.get();
    const auto attributesCookie = xcb_get_window_attributes(connection, window);
    const auto geometryCookie = xcb_get_geometry(connection, window);
    const auto attributes = takeReply(xcb_get_window_attributes_reply, display, attributesCookie);
    const auto geometry = takeReply(xcb_get_geometry_reply, display, geometryCookie);
    if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
        geometry->width == 0 || geometry->height == 0) {
        return std::nullopt;
    }
    const xcb_window_t root = geometry->root;
    const xcb_screen_t* screen = screenOfRoot(display.setup, root);
    if (screen == nullptr) {
        return std::nullopt;
    }
    if (window != root) {
        if (auto pixels = redirectedWindowPixels(display, window, root, *geometry)) {
            return pixels;
        }
        if (display.failed()) {
            return std::nullopt;
        }
    }
    // Not redirected: what the screen shows inside the window's rectangle, with the colours of
    // the window's colormap where it shares the screen's visual. The root's size is asked for,
    // since the screen may have been resized since the connection was made.
    PixelArea area{0, 0, geometry->width, geometry->height};
    if (window != root) {
        const auto positionCookie = xcb_translate_coordinates(connection, window, root, 0, 0);
        const auto rootCookie = xcb_get_geometry(connection, root);
        const auto position = takeReply(xcb_translate_coordinates_reply, display, positionCookie);
        const auto rootGeometry = takeReply(xcb_get_geometry_reply, display, rootCookie);
        if (!position || !rootGeometry) {
            return std::nullopt;
        }
        area = clipped({position->dst_x, position->dst_y, geometry->width, geometry->height},
                       rootGeometry->width, rootGeometry->height);
    }
    const bool ownColormap =
        attributes->visual == screen->root_visual && attributes->colormap != XCB_NONE;
    return WindowPixels{
        .source = {.drawable = root,
                   .area = area,
                   .depth = screen->root_depth,
                   .visual = screen->root_visual,
                   .colormap = ownColormap ? attributes->colormap : screen->default_colormap}};
}

bool sameShape(const PixelSource& a, const PixelSource& b) {
    return a.area.width == b.area.width && a.area.height == b.area.height && a.depth == b.depth &&
           a.visual == b.visual;
}

}  // namespace tarnwick
