#include "TarnwickScreenCapture/backends/x11/X11WindowSystem.hpp"

#include <cstdlib>

#include "TarnwickScreenCapture/backends/x11/X11Images.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowList.hpp"

namespace tarnwick {

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
        .windows = x11Windows,
        .desktopImage = x11DesktopImage,
        .windowImage = [](const WindowDescription& window) { return x11WindowImage(window.id); },
    };
}

}  // namespace tarnwick
