#include "TarnwickScreenCapture/WindowSelection.hpp"

#include <string>

#include "TarnwickScreenCapture/UnicodeText.hpp"

namespace tarnwick {

// Only an opacity or size below its minimum rejects: NaN passes.
WindowVerdict windowVerdict(const WindowDescription& window) {
    WindowVerdict verdict;
    if (window.layer != 0) {
        verdict.failedRule = WindowRule::kLayer;
    } else if (window.alpha <= kMinimumWindowAlpha) {
        verdict.failedRule = WindowRule::kOpacity;
    } else if (!window.bounds) {
        verdict.failedRule = WindowRule::kBounds;
    } else if (window.bounds->width < kMinimumWindowWidth ||
               window.bounds->height < kMinimumWindowHeight) {
        verdict.failedRule = WindowRule::kSize;
    }
    if (verdict.failedRule) {
        return verdict;
    }
    const std::string owner = lowercased(window.ownerName);
    const std::string title = lowercased(window.title);
    for (const auto needle : ownerNeedles) {
        if (containsCanonically(owner, needle)) {
            verdict.needle = needle;
            verdict.needleInOwnerName = true;
            break;
        }
        if (containsCanonically(title, needle)) {
            verdict.needle = needle;
            break;
        }
    }
    if (verdict.needle.empty()) {
        verdict.failedRule = WindowRule::kNeedle;
    } else if (window.number == kCGNullWindowID) {
        verdict.failedRule = WindowRule::kNumber;
    }
    return verdict;
}

ErrorOr<WindowDescription> selectTavikWindow(
    const std::optional<std::vector<WindowDescription>>& windows) {
    if (!windows) {
        return makeError(messages::kListWindowsFailed, codes::kListWindowsFailed);
    }
    for (const auto& window : *windows) {
        if (windowVerdict(window).qualifies()) {
            return window;
        }
    }
    return makeError(messages::kWindowNotFound, codes::kWindowNotFound);
}

ErrorOr<WindowDescription> findTavikWindow(const WindowSource& windows) {
    return selectTavikWindow(windows());
}

}  // namespace tarnwick
