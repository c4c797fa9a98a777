#include "TarnwickScreenCapture/backends/x11/X11WindowSystem.hpp"

#include <exception>
#include <new>

#include "TarnwickScreenCapture/backends/x11/X11Images.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowList.hpp"
#include "TarnwickScreenCapture/posix/Environment.hpp"

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

WindowSystem x11WindowSystem() {
    return WindowSystem{
        .description = placeText("X11", variables::kDisplay),
        .windows = [] { return withoutExceptions(x11Windows); },
        .desktopImage = [] { return withoutExceptions(x11DesktopImage); },
        .windowImage =
            [](const WindowDescription& window) {
                return withoutExceptions([&] { return x11WindowImage(window.id); });
            },
    };
}

WindowSystem xwaylandWindowSystem() {
    WindowSystem system = x11WindowSystem();
    system.description = "XWayland (" + system.description + ")";
    return system;
}

OrUnavailable<std::map<WindowId, X11ClientWindow>> x11ClientWindows() {
    auto listed = withoutExceptions(x11WindowsWithProcesses);
    const auto* windows = std::get_if<std::vector<X11ListedWindow>>(&listed);
    if (windows == nullptr) {
        return std::get<Unavailable>(std::move(listed));
    }
    std::map<WindowId, X11ClientWindow> clients;
    for (const auto& window : *windows) {
        if (window.description.bounds) {
            clients.emplace(window.description.id,
                            X11ClientWindow{.area = *window.description.bounds, .pid = window.pid});
        }
    }
    return clients;
}

}  // namespace tarnwick
