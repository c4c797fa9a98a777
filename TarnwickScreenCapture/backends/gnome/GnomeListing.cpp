#include "TarnwickScreenCapture/backends/gnome/GnomeListing.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

namespace tarnwick {
namespace {

using Json = nlohmann::json;

bool flag(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_boolean() && found->get<bool>();
}

std::string text(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::optional<double> number(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number()) {
        return std::nullopt;
    }
    const double value = found->get<double>();
    return std::isfinite(value) ? std::optional(value) : std::nullopt;
}

std::optional<WindowBounds> rectangle(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_object()) {
        return std::nullopt;
    }
    const auto x = number(*found, "x");
    const auto y = number(*found, "y");
    const auto width = number(*found, "width");
    const auto height = number(*found, "height");
    if (!x || !y || !width || !height || *width < 0 || *height < 0) {
        return std::nullopt;
    }
    return WindowBounds{.x = *x, .y = *y, .width = *width, .height = *height};
}

WindowLayer layerOf(const Json& window) {
    const std::string type = text(window, "type");
    if (type == "dock") {
        return WindowLayer::kPanel;
    }
    if (type != "normal" && type != "dialog" && type != "modal_dialog") {
        return WindowLayer::kPopup;
    }
    return flag(window, "above") ? WindowLayer::kKeptAbove : WindowLayer::kNormal;
}

bool onScreen(const Json& window) {
    const auto active = window.find("onActiveWorkspace");
    const bool elsewhere = active != window.end() && active->is_boolean() && !active->get<bool>();
    return !flag(window, "minimized") && !flag(window, "hidden") && !elsewhere &&
           text(window, "type") != "desktop";
}

// The shell numbers windows from 2^32 up, so the low bits are unique for a long while.
WindowId lowBits(const std::string& shellId) {
    std::uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(shellId.data(), shellId.data() + shellId.size(), value);
    if (error != std::errc() || end != shellId.data() + shellId.size()) {
        return kNoWindow;
    }
    return static_cast<WindowId>(value & 0xffff'ffffu);
}

}  // namespace

OrUnavailable<std::vector<GnomeWindow>> readGnomeListing(std::string_view answer) {
    const Json listing = Json::parse(answer, nullptr, false);
    if (!listing.is_array()) {
        return Unavailable{"the GNOME Shell extension's window list is no JSON array"};
    }
    std::vector<GnomeWindow> windows;
    std::set<WindowId> taken;
    for (const auto& window : listing) {
        if (!window.is_object()) {
            return Unavailable{"the GNOME Shell extension's window list holds a non-object"};
        }
        const std::string shellId = text(window, "id");
        if (shellId.empty() || !onScreen(window)) {
            continue;
        }
        GnomeWindow described;
        described.shellId = shellId;
        WindowDescription& description = described.description;
        description.id = lowBits(shellId);
        description.layer = layerOf(window);
        description.opacity = number(window, "opacity").value_or(1.0);
        description.bounds = rectangle(window, "clientArea");
        for (const char* key : {"wmClass", "appId", "sandboxedAppId"}) {
            if (description.ownerName.empty()) {
                description.ownerName = text(window, key);
            }
        }
        description.title = text(window, "title");
        if (description.id != kNoWindow && !taken.insert(description.id).second) {
            description.id = kNoWindow;
        }
        windows.push_back(std::move(described));
    }
    // Windows without a number of their own get free ones from the top down.
    WindowId next = 0xffff'ffffu;
    for (auto& window : windows) {
        if (window.description.id == kNoWindow) {
            while (taken.contains(next)) {
                --next;
            }
            window.description.id = next;
            taken.insert(next);
        }
    }
    return windows;
}

}  // namespace tarnwick
