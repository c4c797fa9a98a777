#include "TarnwickScreenCapture/backends/x11/X11WindowSystem.hpp"

#include <cstdlib>

#include "TarnwickScreenCapture/backends/x11/X11Images.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowList.hpp"

namespace tarnwick {

std::string x11Trouble() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        return "no window system: DISPLAY is not set";
    }
    return std::string("the X server on ") + display + " cannot be reached, or gave no answer";
}

std::string x11DisplayDescription() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        return "X11, but DISPLAY is not set";
    }
    return std::string("X11 on ") + display;
}

WindowSystem x11WindowSystem() {
    return WindowSystem{
        .description = x11DisplayDescription(),
        .windows = []() -> OrUnavailable<std::vector<WindowDescription>> {
            if (auto windows = x11Windows()) {
                return std::move(*windows);
            }
            return Unavailable{x11Trouble()};
        },
        .desktopImage = []() -> OrUnavailable<SharedImage> {
            if (auto image = x11DesktopImage()) {
                return image;
            }
            return Unavailable{x11Trouble()};
        },
        .windowImage = [](const WindowDescription& window) -> OrUnavailable<SharedImage> {
            if (auto image = x11WindowImage(window.id)) {
                return image;
            }
            return Unavailable{x11Trouble() + "; or the window is gone"};
        },
    };
}

}  // namespace tarnwick
