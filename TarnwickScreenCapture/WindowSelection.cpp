#include "TarnwickScreenCapture/WindowSelection.hpp"

#include <string>

#include "TarnwickScreenCapture/UnicodeText.hpp"

namespace tarnwick {

namespace {

inline constexpr double kMinimumAlpha = 0.01;
inline constexpr double kMinimumWidth = 320.0;
inline constexpr double kMinimumHeight = 240.0;

bool matchesNeedle(const std::string& owner, const std::string& title) {
    for (const auto needle : ownerNeedles) {
        if (containsCanonically(owner, needle) || containsCanonically(title, needle)) {
            return true;
        }
    }
    return false;
}

// Only an opacity or size below its minimum rejects: NaN passes.
bool qualifies(const WindowDescription& window) {
    if (window.layer != 0 || window.alpha <= kMinimumAlpha || !window.bounds) {
        return false;
    }
    if (window.bounds->width < kMinimumWidth || window.bounds->height < kMinimumHeight) {
        return false;
    }
    if (!matchesNeedle(lowercased(window.ownerName), lowercased(window.title))) {
        return false;
    }
    return window.number != kCGNullWindowID;
}

}  // namespace

ErrorOr<WindowDescription> selectTavikWindow(
    const std::optional<std::vector<WindowDescription>>& windows) {
    if (!windows) {
        return makeError(messages::kListWindowsFailed, codes::kListWindowsFailed);
    }
    for (const auto& window : *windows) {
        if (qualifies(window)) {
            return window;
        }
    }
    return makeError(messages::kWindowNotFound, codes::kWindowNotFound);
}

ErrorOr<WindowDescription> findTavikWindow(const WindowSource& windows) {
    return selectTavikWindow(windows());
}

}  // namespace tarnwick
