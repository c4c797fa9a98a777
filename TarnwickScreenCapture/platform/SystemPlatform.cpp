#include <chrono>
#include <cstdlib>
#include <string_view>

#include "TarnwickScreenCapture/platform/Files.hpp"
#include "TarnwickScreenCapture/platform/JpegFiles.hpp"
#include "TarnwickScreenCapture/platform/Platform.hpp"
#include "TarnwickScreenCapture/platform/Process.hpp"
#include "TarnwickScreenCapture/platform/Uuid.hpp"
#include "TarnwickScreenCapture/platform/X11Images.hpp"
#include "TarnwickScreenCapture/platform/X11Server.hpp"
#include "TarnwickScreenCapture/platform/X11WindowList.hpp"
#include "TarnwickScreenCapture/platform/wayland/SwayIpc.hpp"
#include "TarnwickScreenCapture/platform/wayland/SwayTree.hpp"
#include "TarnwickScreenCapture/platform/wayland/WaylandScreenCopy.hpp"

namespace tarnwick {
namespace {

bool useWayland() {
    const char* forced = std::getenv("TARNWICK_CAPTURE_BACKEND");
    if (forced != nullptr && std::string_view(forced) == "x11") {
        return false;
    }
    if (forced != nullptr && std::string_view(forced) == "wlroots") {
        return true;
    }
    return waylandCompositorReachable();
}

std::optional<std::vector<WindowDescription>> swayWindows() {
    const auto socket = swaySocketPath();
    if (!socket) {
        return std::nullopt;
    }
    const auto reply = swayIpcExchange(*socket, kSwayGetTree, {}, std::chrono::seconds(5));
    return reply ? windowsOfSwayTree(*reply) : std::nullopt;
}

std::optional<nlohmann::json> windowInfo(std::uint32_t options, CGWindowID relativeTo) {
    if (!useWayland()) {
        return copyX11WindowInfo(options, relativeTo);
    }
    const auto windows = swayWindows();
    if (!windows) {
        return std::nullopt;
    }
    auto list = nlohmann::json::array();
    for (const auto& window : *windows) {
        nlohmann::json map{{kCGWindowNumber, window.number},
                           {kCGWindowLayer, window.layer},
                           {kCGWindowAlpha, window.alpha},
                           {kCGWindowOwnerName, window.ownerName},
                           {kCGWindowName, window.title}};
        if (window.bounds) {
            map[kCGWindowBounds] = {{"X", window.bounds->x},
                                    {"Y", window.bounds->y},
                                    {"Width", window.bounds->width},
                                    {"Height", window.bounds->height}};
        }
        list.push_back(std::move(map));
    }
    return list;
}

ImageRef windowListImage(std::uint32_t listOption, CGWindowID windowID,
                         std::uint32_t imageOptions) {
    if (!useWayland()) {
        if (windowID == kCGNullWindowID && x11ServerIsXWayland()) {
            return nullptr;
        }
        return createX11WindowListImage(listOption, windowID, imageOptions);
    }
    if (windowID == kCGNullWindowID) {
        return waylandDesktopImage();
    }
    const auto windows = swayWindows();
    for (const auto& window : windows.value_or(std::vector<WindowDescription>{})) {
        if (window.number == windowID && window.bounds) {
            return waylandRegionImage(*window.bounds);
        }
    }
    return nullptr;
}

}  // namespace

Platform systemPlatform() {
    Platform platform;
    platform.copyWindowInfo = windowInfo;
    platform.createWindowListImage = windowListImage;
    platform.createJpegDestination = createJpegFileDestination;
    platform.temporaryDirectory = temporaryDirectory;
    platform.runProcess = runProcessAndWait;
    platform.decodeImageFile = decodeJpegFile;
    platform.removeFile = removeFile;
    platform.newUUIDString = newUUIDString;
    return platform;
}

}  // namespace tarnwick
