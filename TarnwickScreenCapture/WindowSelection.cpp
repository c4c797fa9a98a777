#include "TarnwickScreenCapture/WindowSelection.hpp"

namespace tarnwick {

ErrorOr<CGWindowID> selectTavikWindow(const std::optional<nlohmann::json>& windowList) {
    if (!windowList) {
        return makeError(messages::kListWindowsFailed, codes::kListWindowsFailed);
    }
    return makeError(messages::kWindowNotFound, codes::kWindowNotFound);
}

ErrorOr<CGWindowID> findTavikWindowID(const Platform& platform) {
    return selectTavikWindow(platform.copyWindowInfo(
        kCGWindowListOptionOnScreenOnly | kCGWindowListExcludeDesktopElements, kCGNullWindowID));
}

}  // namespace tarnwick
