#include "TarnwickScreenCapture/platform/x11/X11WindowSystem.hpp"

#include "TarnwickScreenCapture/platform/x11/X11Images.hpp"
#include "TarnwickScreenCapture/platform/x11/X11WindowList.hpp"

namespace tarnwick {

WindowSystem x11WindowSystem() {
    return WindowSystem{
        .windows = x11Windows,
        .images = {.desktop = x11DesktopImage,
                   .window =
                       [](const WindowDescription& window) {
                           return x11WindowImage(window.number);
                       }},
    };
}

}  // namespace tarnwick
