#include "TarnwickScreenCapture/backends/x11/X11WindowSystem.hpp"

#include <cstdlib>
#include <exception>
#include <new>

#include "TarnwickScreenCapture/backends/x11/X11Images.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowList.hpp"

namespace tarnwick {
namespace {

// Under a bound on the address space any allocation may fail: the step then fails with its own
// code, never the program. The reasons fit std::string's inline buffer, so that making them
// allocates nothing.
template <class Step>
auto withoutExceptions(const Step& step) -> decltype(step()) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        return Unavailable{"out of memory"};
    } catch (const std::exception&) {
        return Unavailable{"internal error"};
    }
}

}  // namespace

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
        .windows = [] { return withoutExceptions(x11Windows); },
        .desktopImage = [] { return withoutExceptions(x11DesktopImage); },
        .windowImage =
            [](const WindowDescription& window) {
                return withoutExceptions([&] { return x11WindowImage(window.id); });
            },
    };
}

}  // namespace tarnwick
