#include "TarnwickScreenCapture/backends/kwin/KWinListing.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

namespace tarnwick {
namespace {

using Json = nlohmann::json;

// X11 window ids leave their top three bits clear: native windows get numbers with bit 31 set.
constexpr WindowId kNativeWindowBit = 0x8000'0000u;
// Far beyond any screen, and safely inside what llround turns into a number.
constexpr double kPixelLimit = double{1LL << 40};

const Json* member(const Json& object, const char* key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

bool flag(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value != nullptr && value->is_boolean() && value->get<bool>();
}

bool flagIsFalse(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value != nullptr && value->is_boolean() && !value->get<bool>();
}

std::string text(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
}

std::optional<double> finiteNumber(const Json* value) {
    if (value == nullptr || !value->is_number()) {
        return std::nullopt;
    }
    const double number = value->get<double>();
    return std::isfinite(number) ? std::optional(number) : std::nullopt;
}

std::optional<WindowBounds> rectangle(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    const auto x = finiteNumber(member(*value, "x"));
    const auto y = finiteNumber(member(*value, "y"));
    const auto width = finiteNumber(member(*value, "width"));
    const auto height = finiteNumber(member(*value, "height"));
    if (!x || !y || !width || !height || *width < 0 || *height < 0) {
        return std::nullopt;
    }
    return WindowBounds{.x = *x, .y = *y, .width = *width, .height = *height};
}

bool contains(const WindowBounds& outer, const WindowBounds& inner) {
    return outer.x <= inner.x && outer.y <= inner.y &&
           outer.x + outer.width >= inner.x + inner.width &&
           outer.y + outer.height >= inner.y + inner.height;
}

bool same(const WindowBounds& a, const WindowBounds& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", as QUuid writes itself.
bool isUuid(std::string_view value) {
    if (value.size() != 38 || value.front() != '{' || value.back() != '}') {
        return false;
    }
    for (std::size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? value[i] != '-' : std::isxdigit(static_cast<unsigned char>(value[i])) == 0) {
            return false;
        }
    }
    return true;
}

// FNV-1a of the lower-cased uuid: the same window gets the same number in every listing.
WindowId nativeWindowNumber(std::string_view uuid) {
    std::uint32_t hash = 2166136261u;
    for (const char c : uuid) {
        hash ^= static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
        hash *= 16777619u;
    }
    return kNativeWindowBit | (hash & ~kNativeWindowBit);
}

std::optional<WindowId> x11WindowId(const Json& window) {
    const Json* value = member(window, "windowId");
    if (value == nullptr || !value->is_number_integer()) {
        return std::nullopt;
    }
    const auto number = value->get<std::int64_t>();
    if (number <= 0 || number >= kNativeWindowBit) {
        return std::nullopt;
    }
    return static_cast<WindowId>(number);
}

WindowLayer layerOf(const Json& window) {
    if (flag(window, "dock")) {
        return WindowLayer::kPanel;
    }
    if (flagIsFalse(window, "managed") ||
        !(flag(window, "normalWindow") || flag(window, "dialog"))) {
        return WindowLayer::kPopup;
    }
    return flag(window, "keepAbove") ? WindowLayer::kKeptAbove : WindowLayer::kNormal;
}

bool onScreen(const Json& window) {
    return !flag(window, "minimized") && !flag(window, "hidden") && !flag(window, "deleted") &&
           !flag(window, "desktopWindow") && !flagIsFalse(window, "onCurrentDesktop");
}

std::optional<std::uint32_t> processId(const Json& window) {
    const Json* value = member(window, "pid");
    if (value == nullptr || !value->is_number_integer()) {
        return std::nullopt;
    }
    const auto number = value->get<std::int64_t>();
    if (number <= 0 || number > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(number);
}

KWinWindow describe(const Json& window, bool kwin6) {
    KWinWindow described;
    WindowDescription& description = described.description;
    const auto x11Id = x11WindowId(window);
    const std::string uuid = text(window, "internalId");
    if (isUuid(uuid)) {
        described.uuid = uuid;
        description.id = x11Id.value_or(kNoWindow);  // native windows are numbered later
        described.xwayland = x11Id.has_value();
        described.mayBeXWayland = kwin6 && !x11Id;
    }
    described.pid = processId(window);
    description.layer = layerOf(window);
    description.opacity = finiteNumber(member(window, "opacity")).value_or(1.0);
    description.ownerName = text(window, "resourceClass");
    if (description.ownerName.empty()) {
        description.ownerName = text(window, "desktopFileName");
    }
    description.title = text(window, "caption");

    const auto frame = rectangle(window, "frameGeometry");
    described.buffer = rectangle(window, "bufferGeometry");
    const auto& buffer = described.buffer;
    if (const auto client = rectangle(window, "clientGeometry")) {
        description.bounds = client;
    } else if (frame && buffer && !same(*frame, *buffer) && contains(*buffer, *frame)) {
        description.bounds = frame;  // drawn by the client, its shadow around it
    } else if (frame && buffer && !same(*frame, *buffer) && contains(*frame, *buffer)) {
        description.bounds = buffer;  // KWin's frame around it
    } else {
        description.bounds = frame ? frame : buffer;
        described.clientAreaFromXWayland = x11Id && flagIsFalse(window, "noBorder");
    }
    return described;
}

std::string lowercased(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Two uuids of one number, which no real listing needs: the one that sorts first keeps it, the
// other moves on, whatever the stacking.
void numberNativeWindows(std::vector<KWinWindow>& windows) {
    std::vector<KWinWindow*> native;
    std::set<WindowId> taken;
    for (auto& window : windows) {
        if (!window.uuid.empty() && window.description.id == kNoWindow) {
            native.push_back(&window);
        } else {
            taken.insert(window.description.id);
        }
    }
    std::sort(native.begin(), native.end(), [](const KWinWindow* a, const KWinWindow* b) {
        return lowercased(a->uuid) < lowercased(b->uuid);
    });
    for (KWinWindow* window : native) {
        WindowId id = nativeWindowNumber(window->uuid);
        while (taken.contains(id)) {
            id = kNativeWindowBit | ((id + 1) & ~kNativeWindowBit);
        }
        taken.insert(id);
        window->description.id = id;
    }
}

}  // namespace

OrUnavailable<std::vector<KWinWindow>> readKWinListing(std::string_view text) {
    const Json answer = Json::parse(text.begin(), text.end(), nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) {
        return Unavailable{"KWin's listing script answered with no JSON object"};
    }
    if (const Json* error = member(answer, "error")) {
        return Unavailable{"KWin's listing script failed: " +
                           (error->is_string() ? error->get<std::string>() : error->dump())};
    }
    const Json* windows = member(answer, "windows");
    const Json* order = member(answer, "order");
    if (windows == nullptr || !windows->is_array() ||
        (order != nullptr && *order != "bottom-to-top")) {
        return Unavailable{"KWin's listing script answered with no window list"};
    }
    const Json* api = member(answer, "api");
    const bool kwin6 = api != nullptr && api->is_number() && api->get<double>() >= 6;
    std::vector<KWinWindow> listed;
    std::set<std::string> seen;  // one window is listed once, however often it is sent
    for (auto window = windows->rbegin(); window != windows->rend(); ++window) {
        if (!window->is_object() || !onScreen(*window)) {
            continue;
        }
        auto described = describe(*window, kwin6);
        if (!described.uuid.empty()) {
            const std::string uuid = "uuid " + lowercased(described.uuid);
            const std::string x11 = "x11 " + std::to_string(described.description.id);
            if (seen.contains(uuid) ||
                (described.description.id != kNoWindow && seen.contains(x11))) {
                continue;
            }
            seen.insert({uuid, x11});
        }
        listed.push_back(std::move(described));
    }
    numberNativeWindows(listed);
    return listed;
}

std::vector<KWinWindow> withXWaylandClientAreas(std::vector<KWinWindow> windows,
                                                const std::map<WindowId, WindowBounds>& x11Areas) {
    for (auto& window : windows) {
        if (!window.clientAreaFromXWayland) {
            continue;
        }
        const auto found = x11Areas.find(window.description.id);
        // XWayland's root may count in other units than KWin (scaled X11 clients): an area
        // outside the frame is not used.
        if (found != x11Areas.end() && window.description.bounds &&
            contains(*window.description.bounds, found->second)) {
            window.description.bounds = found->second;
            window.clientAreaFromXWayland = false;
        }
    }
    return windows;
}

std::vector<KWinWindow> joinedWithXWayland(std::vector<KWinWindow> windows,
                                           const std::map<WindowId, XWaylandClient>& clients) {
    const auto matches = [](const KWinWindow& window, const XWaylandClient& client) {
        const auto& bounds = window.description.bounds;
        const auto near = [](double a, double b) { return std::abs(a - b) < 0.5; };
        return window.mayBeXWayland && bounds && near(bounds->x, client.area.x) &&
               near(bounds->y, client.area.y) && near(bounds->width, client.area.width) &&
               near(bounds->height, client.area.height) &&
               (!window.pid || !client.pid || *window.pid == *client.pid);
    };
    std::map<WindowId, int> windowsMatching;  // X11 id to how many windows match it
    std::vector<std::optional<WindowId>> only(windows.size());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        int count = 0;
        for (const auto& [id, client] : clients) {
            if (matches(windows[i], client)) {
                ++windowsMatching[id];
                only[i] = id;
                ++count;
            }
        }
        if (count != 1) {
            only[i].reset();
        }
    }
    std::set<WindowId> taken;
    for (const auto& window : windows) {
        if (window.xwayland) {
            taken.insert(window.description.id);
        }
    }
    for (std::size_t i = 0; i < windows.size(); ++i) {
        auto& window = windows[i];
        if (only[i] && windowsMatching[*only[i]] == 1 && !taken.contains(*only[i])) {
            window.description.id = *only[i];
            window.xwayland = true;
        }
        window.mayBeXWayland = false;
    }
    return windows;
}

std::optional<PixelArea> clientAreaInImage(const KWinWindow& window, std::int64_t imageWidth,
                                           std::int64_t imageHeight, double scale) {
    if (imageWidth <= 0 || imageHeight <= 0) {
        return std::nullopt;
    }
    const PixelArea whole{0, 0, imageWidth, imageHeight};
    const auto& buffer = window.buffer;
    const auto& area = window.description.bounds;
    if (!buffer || !area || !std::isfinite(scale) || scale <= 0) {
        return whole;
    }
    const auto pixels = [scale](double logical) {
        return std::llround(std::clamp(logical * scale, -kPixelLimit, kPixelLimit));
    };
    if (pixels(buffer->width) != imageWidth || pixels(buffer->height) != imageHeight) {
        return whole;
    }
    const std::int64_t left = std::max<std::int64_t>(pixels(area->x - buffer->x), 0);
    const std::int64_t top = std::max<std::int64_t>(pixels(area->y - buffer->y), 0);
    const std::int64_t right =
        std::min<std::int64_t>(pixels(area->x + area->width - buffer->x), imageWidth);
    const std::int64_t bottom =
        std::min<std::int64_t>(pixels(area->y + area->height - buffer->y), imageHeight);
    if (right <= left || bottom <= top) {
        return std::nullopt;
    }
    return PixelArea{left, top, right - left, bottom - top};
}

}  // namespace tarnwick
