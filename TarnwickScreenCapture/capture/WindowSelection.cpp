#include "TarnwickScreenCapture/capture/WindowSelection.hpp"

#include <algorithm>
#include <string>

#include "TarnwickScreenCapture/text/UnicodeText.hpp"

namespace tarnwick {

// Only an opacity or size below its minimum rejects: NaN passes.
WindowVerdict windowVerdict(const WindowDescription& window) {
    WindowVerdict verdict;
    if (window.layer != WindowLayer::kNormal) {
        verdict.failedRule = WindowRule::kLayer;
    } else if (window.minimized) {
        verdict.failedRule = WindowRule::kMinimized;
    } else if (window.opacity <= kMinimumWindowOpacity) {
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
    } else if (window.id == kNoWindow) {
        verdict.failedRule = WindowRule::kId;
    }
    return verdict;
}

std::vector<WindowDescription> frontToBackByListing(std::vector<ListedWindow> listed) {
    std::reverse(listed.begin(), listed.end());
    std::stable_partition(listed.begin(), listed.end(),
                          [](const ListedWindow& entry) { return entry.activated; });
    std::vector<WindowDescription> windows;
    windows.reserve(listed.size());
    for (auto& entry : listed) {
        windows.push_back(std::move(entry.window));
    }
    return windows;
}

OrCaptureFailure<WindowDescription> selectTavikWindow(
    const OrUnavailable<std::vector<WindowDescription>>& windows) {
    if (const auto* unavailable = std::get_if<Unavailable>(&windows)) {
        return failures::kListWindowsFailed.because(unavailable->reason);
    }
    const auto& list = std::get<std::vector<WindowDescription>>(windows);
    for (const auto& window : list) {
        if (windowVerdict(window).qualifies()) {
            return window;
        }
    }
    return failures::kWindowNotFound.because(
        list.empty() ? "no window is on screen"
                     : "none of the " + std::to_string(list.size()) +
                           " windows on screen qualifies (--list-windows says why)");
}

OrCaptureFailure<WindowDescription> findTavikWindow(const WindowSystem& windowSystem) {
    return selectTavikWindow(windowSystem.windows());
}

}  // namespace tarnwick
