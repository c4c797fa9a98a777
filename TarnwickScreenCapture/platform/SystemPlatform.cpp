#include <cstdlib>

#include "TarnwickScreenCapture/platform/BackendChoice.hpp"
#include "TarnwickScreenCapture/platform/Files.hpp"
#include "TarnwickScreenCapture/platform/JpegFiles.hpp"
#include "TarnwickScreenCapture/platform/Platform.hpp"
#include "TarnwickScreenCapture/platform/Process.hpp"
#include "TarnwickScreenCapture/platform/Uuid.hpp"
#include "TarnwickScreenCapture/platform/portal/PortalScreenshot.hpp"
#include "TarnwickScreenCapture/platform/wayland/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/platform/wayland/WaylandWindowSystem.hpp"
#include "TarnwickScreenCapture/platform/x11/X11WindowSystem.hpp"

namespace tarnwick {
namespace {

WindowSystem openWindowSystem() {
    switch (chooseBackend(std::getenv("TARNWICK_CAPTURE_BACKEND"), waylandCompositorReachable)) {
        case Backend::x11:
            return x11WindowSystem();
        case Backend::wlroots: {
            // GNOME and KDE offer ordinary clients no screen copy: there the portal has the
            // desktop.
            WindowSystem system = waylandWindowSystem("wlroots");
            system.images.desktop = [] { return waylandDesktopImage(portalDesktopImage); };
            return system;
        }
        case Backend::portal: {
            WindowSystem system = waylandWindowSystem("desktop portal");
            system.images.desktop = portalDesktopImage;
            return system;
        }
    }
    return x11WindowSystem();
}

}  // namespace

Platform systemPlatform() {
    Platform platform;
    platform.openWindowSystem = openWindowSystem;
    platform.createJpegDestination = createJpegFileDestination;
    platform.temporaryDirectory = temporaryDirectory;
    platform.runProcess = runProcessAndWait;
    platform.decodeImageFile = decodeJpegFile;
    platform.removeFile = removeFile;
    platform.newUUIDString = newUUIDString;
    return platform;
}

}  // namespace tarnwick
