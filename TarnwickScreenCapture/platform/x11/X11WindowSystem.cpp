#include "TarnwickScreenCapture/platform/x11/X11WindowSystem.hpp"

#include <cstdlib>

#include "TarnwickScreenCapture/platform/x11/X11Images.hpp"
#include "TarnwickScreenCapture/platform/x11/X11WindowList.hpp"

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
        .windows = x11Windows,
        .images = {.desktop = x11DesktopImage,
                   .window =
                       [](const WindowDescription& window) {
                           return x11WindowImage(window.number);
                       }},
        .description = x11DisplayDescription(),
    };
}

}  // namespace tarnwick
