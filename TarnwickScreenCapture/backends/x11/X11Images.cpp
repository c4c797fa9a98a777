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
SharedImage imageOfWindow(std::unique_ptr<X11Display> display, xcb_window_t window) {
    std::optional<PixelSource> source;
    {
        const auto busy = display->busy();
        // Only the shape is kept: the pixels are found again under the grab.
        if (const auto pixels = windowPixels(*display, window)) {
            source = pixels->source;
        }
    }
    if (!source) {
        return nullptr;
    }
    return ScreenReader::lazyImage(std::move(display), window, *source);
}

}  // namespace

SharedImage x11DesktopImage() {
    auto display = openX11Display();
    if (!display || isXWayland(*display)) {
        return nullptr;
    }
    const xcb_window_t root = display->screen->root;
    return imageOfWindow(std::move(display), root);
}

SharedImage x11WindowImage(WindowId windowID) {
    auto display = openX11Display();
    if (!display || windowID == kNoWindow) {
        return nullptr;
    }
    return imageOfWindow(std::move(display), windowID);
}

}  // namespace tarnwick
