#include "TarnwickScreenCapture/cli/WindowListing.hpp"

#include <cstdio>

#include "TarnwickScreenCapture/capture/WindowSelection.hpp"
#include "TarnwickScreenCapture/text/UnicodeText.hpp"

namespace tarnwick {
namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string boundsText(const std::optional<WindowBounds>& bounds) {
    if (!bounds) {
        return "none";
    }
    return number(bounds->width) + "x" + number(bounds->height) + " at " + number(bounds->x) + "," +
           number(bounds->y);
}

std::string needlesText() {
    std::string text;
    for (const auto needle : ownerNeedles) {
        text += text.empty() ? "" : needle == ownerNeedles.back() ? " or " : ", ";
        text += needle;
    }
    return text;
}

std::string_view layerName(WindowLayer layer) {
    switch (layer) {
        case WindowLayer::kNormal:
            return "normal";
        case WindowLayer::kKeptAbove:
            return "kept above";
        case WindowLayer::kPanel:
            return "panel";
        case WindowLayer::kPopup:
            return "pop-up";
    }
    return "unknown";
}

std::string ruleText(const WindowVerdict& verdict, const WindowDescription& window) {
    const std::string needleHit = std::string(verdict.needleInOwnerName ? "owner name" : "title") +
                                  " holds \"" + std::string(verdict.needle) + "\"";
    if (!verdict.failedRule) {
        return needleHit;
    }
    switch (*verdict.failedRule) {
        case WindowRule::kLayer:
            return "layer " + std::string(layerName(window.layer)) + ", not normal";
        case WindowRule::kMinimized:
            return "minimized";
        case WindowRule::kOpacity:
            return "opacity " + number(kMinimumWindowOpacity) + " or less";
        case WindowRule::kBounds:
            return "no bounds";
        case WindowRule::kSize:
            return "smaller than " + number(kMinimumWindowWidth) + "x" +
                   number(kMinimumWindowHeight);
        case WindowRule::kNeedle:
            return "neither owner name nor title holds " + needlesText();
        case WindowRule::kId:
            return needleHit + ", but no window id";
    }
    return {};
}

}  // namespace

std::string windowListingText(const std::string& windowSystem,
                              const std::vector<WindowDescription>& windows,
                              const std::string& note) {
    // The description holds the display's name, as the environment gives it.
    std::string text = "on-screen windows (" + shownForTerminal(windowSystem) +
                       "), front to back; * marks the one a window capture takes:\n";
    if (!note.empty()) {
        text += "note: " + note + "\n";
    }
    bool taken = false;
    for (const auto& window : windows) {
        const auto verdict = windowVerdict(window);
        const bool takesThis = verdict.qualifies() && !taken;
        taken = taken || takesThis;
        text += takesThis ? "* " : "  ";
        text += std::to_string(window.id) + " owner " + quotedForTerminal(window.ownerName) +
                " title " + quotedForTerminal(window.title) + " bounds " +
                boundsText(window.bounds) + " layer " + std::string(layerName(window.layer)) +
                " opacity " + number(window.opacity) + ": ";
        if (takesThis) {
            text += "taken: ";
        } else if (verdict.qualifies()) {
            text += "qualifies, but one in front is taken: ";
        } else {
            text += "passed over: ";
        }
        text += ruleText(verdict, window) + "\n";
    }
    if (!taken) {
        text += std::string("no window qualifies: a window capture fails with code ") +
                std::to_string(exitCodes::kWindowNotFound) + "\n";
    }
    return text;
}

OrCaptureFailure<std::string> listWindows(const WindowSystem& windowSystem) {
    const auto windows = windowSystem.windows();
    if (const auto* unavailable = std::get_if<Unavailable>(&windows)) {
        return failures::kListWindowsFailed.because(unavailable->reason);
    }
    return windowListingText(windowSystem.description,
                             std::get<std::vector<WindowDescription>>(windows), windowSystem.note);
}

}  // namespace tarnwick
