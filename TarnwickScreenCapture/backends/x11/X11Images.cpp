#include "TarnwickScreenCapture/backends/x11/X11Images.hpp"

#include <memory>
#include <optional>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"
#include "TarnwickScreenCapture/backends/x11/X11ScreenReader.hpp"
#include "TarnwickScreenCapture/backends/x11/X11Server.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowPixels.hpp"

namespace tarnwick {
namespace {

// The image of the root window or of one window, read when its rows are.
OrUnavailable<SharedImage> imageOfWindow(std::unique_ptr<X11Display> display, xcb_window_t window) {
    std::optional<PixelSource> source;
    {
        const auto busy = display->busy();
        // Only the shape is kept: the pixels are found again under the grab.
        if (const auto pixels = windowPixels(*display, window)) {
            source = pixels->source;
        }
    }
    if (!source) {
        if (display->failed()) {
            return display->failure();
        }
        return Unavailable{window == display->screen->root
                               ? "the screen cannot be read"
                               : "the window is gone, or no longer on the screen"};
    }
    return ScreenReader::lazyImage(std::move(display), window, *source);
}

}  // namespace

OrUnavailable<SharedImage> x11DesktopImage() {
    auto opened = openX11Display();
    if (auto* unavailable = std::get_if<Unavailable>(&opened)) {
        return std::move(*unavailable);
    }
    auto& display = std::get<std::unique_ptr<X11Display>>(opened);
    if (isXWayland(*display)) {
        return Unavailable{"XWayland's root window on " + display->name +
                           " shows nothing of the Wayland screen"};
    }
    const xcb_window_t root = display->screen->root;
    return imageOfWindow(std::move(display), root);
}

OrUnavailable<SharedImage> x11WindowImage(WindowId windowID) {
    if (windowID == kNoWindow) {
        return Unavailable{"no window to read"};
    }
    auto opened = openX11Display();
    if (auto* unavailable = std::get_if<Unavailable>(&opened)) {
        return std::move(*unavailable);
    }
    return imageOfWindow(std::move(std::get<std::unique_ptr<X11Display>>(opened)), windowID);
}

}  // namespace tarnwick
