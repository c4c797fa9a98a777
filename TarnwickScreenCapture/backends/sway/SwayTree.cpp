#include "TarnwickScreenCapture/backends/sway/SwayTree.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/text/Utf8.hpp"

namespace tarnwick {
namespace {

using Json = nlohmann::json;

// Real trees nest a few levels per split; deeper input is not walked.
constexpr int kMaximumDepth = 128;

enum Category : std::int64_t { kFullscreen = 0, kFloating = 1, kTiled = 2 };

struct Found {
    std::vector<std::int64_t> order;  // compared lexicographically, front first
    WindowDescription window;
    std::string toplevelIdentifier;
};

const Json* member(const Json& object, const char* key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

const Json* arrayMember(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value != nullptr && value->is_array() ? value : nullptr;
}

std::optional<double> finiteNumber(const Json* value) {
    if (value == nullptr || !value->is_number()) {
        return std::nullopt;
    }
    const double number = value->get<double>();
    return std::isfinite(number) ? std::optional(number) : std::nullopt;
}

std::optional<std::int64_t> integer(const Json* value) {
    if (value == nullptr || !(value->is_number_integer())) {
        return std::nullopt;
    }
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        return std::in_range<std::int64_t>(number)
                   ? std::optional(static_cast<std::int64_t>(number))
                   : std::nullopt;
    }
    return value->get<std::int64_t>();
}

// Repaired as X11 titles are: an escaped NUL is dropped.
std::string text(const Json* value) {
    return value != nullptr && value->is_string() ? validUtf8(value->get_ref<const std::string&>())
                                                  : std::string();
}

// The client area: the container's rectangle moved by the window's place inside it.
std::optional<WindowBounds> clientArea(const Json& node) {
    const Json* rect = member(node, "rect");
    const Json* inner = member(node, "window_rect");
    if (rect == nullptr || inner == nullptr) {
        return std::nullopt;
    }
    const auto x = finiteNumber(member(*rect, "x"));
    const auto y = finiteNumber(member(*rect, "y"));
    const auto dx = finiteNumber(member(*inner, "x"));
    const auto dy = finiteNumber(member(*inner, "y"));
    const auto width = finiteNumber(member(*inner, "width"));
    const auto height = finiteNumber(member(*inner, "height"));
    if (!x || !y || !dx || !dy || !width || !height) {
        return std::nullopt;
    }
    return WindowBounds{.x = *x + *dx, .y = *y + *dy, .width = *width, .height = *height};
}

WindowDescription describe(const Json& node) {
    WindowDescription window;
    const auto id = integer(member(node, "id"));
    if (id && *id > 0 && std::in_range<WindowId>(*id)) {
        window.id = static_cast<WindowId>(*id);
    }
    window.bounds = clientArea(node);
    const Json* appID = member(node, "app_id");
    if (appID != nullptr && appID->is_string()) {
        window.ownerName = text(appID);
    } else if (const Json* properties = member(node, "window_properties")) {
        window.ownerName = text(member(*properties, "class"));
    }
    window.title = text(member(node, "name"));
    return window;
}

bool isWindow(const Json& node) {
    const std::string type = text(member(node, "type"));
    if (type != "con" && type != "floating_con") {
        return false;
    }
    const Json* tiled = arrayMember(node, "nodes");
    const Json* floating = arrayMember(node, "floating_nodes");
    return (tiled == nullptr || tiled->empty()) && (floating == nullptr || floating->empty());
}

// The rectangle of a node in layout coordinates, when it has one.
std::optional<WindowBounds> rectangle(const Json& node) {
    const Json* rect = member(node, "rect");
    if (rect == nullptr) {
        return std::nullopt;
    }
    const auto x = finiteNumber(member(*rect, "x"));
    const auto y = finiteNumber(member(*rect, "y"));
    const auto width = finiteNumber(member(*rect, "width"));
    const auto height = finiteNumber(member(*rect, "height"));
    if (!x || !y || !width || !height) {
        return std::nullopt;
    }
    return WindowBounds{.x = *x, .y = *y, .width = *width, .height = *height};
}

bool overlaps(const WindowBounds& a, const WindowBounds& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

struct Output {
    WindowBounds area;
    double scale = 1;
};

class TreeWalk {
public:
    std::vector<Found> found;
    // The outputs' rectangles: sway keeps a floating window moved off every output "visible".
    std::vector<Output> outputs;

    void walk(const Json& node, int depth, bool fullscreen, bool floating,
              std::vector<std::int64_t>& path) {
        if (!node.is_object() || depth > kMaximumDepth) {
            return;
        }
        const std::string type = text(member(node, "type"));
        if (type == "output") {
            if (const auto area = rectangle(node); area && area->width > 0 && area->height > 0) {
                outputs.push_back({*area, finiteNumber(member(node, "scale")).value_or(1)});
            }
        }
        // Workspaces report a fullscreen mode of their own; only containers are made fullscreen.
        if (type == "con" || type == "floating_con") {
            fullscreen = fullscreen || integer(member(node, "fullscreen_mode")).value_or(0) > 0;
        }
        if (isWindow(node)) {
            const Json* visible = member(node, "visible");
            if (visible != nullptr && visible->is_boolean() && visible->get<bool>()) {
                std::vector<std::int64_t> order{fullscreen ? kFullscreen
                                                           : (floating ? kFloating : kTiled)};
                order.insert(order.end(), path.begin(), path.end());
                found.push_back({std::move(order), describe(node),
                                 text(member(node, "foreign_toplevel_identifier"))});
            }
            return;
        }
        const auto recency = focusRanks(node);
        const Json* tiled = arrayMember(node, "nodes");
        const Json* floatingChildren = arrayMember(node, "floating_nodes");
        std::int64_t unfocused = static_cast<std::int64_t>(recency.size());
        if (tiled != nullptr) {
            for (const Json& child : *tiled) {
                path.push_back(rankOf(child, recency, unfocused));
                walk(child, depth + 1, fullscreen, floating, path);
                path.pop_back();
            }
        }
        if (floatingChildren != nullptr) {
            // Stacking, not focus, orders floating windows: later in the list is higher.
            const auto count = static_cast<std::int64_t>(floatingChildren->size());
            std::int64_t index = 0;
            for (const Json& child : *floatingChildren) {
                path.push_back(count - index++);
                walk(child, depth + 1, fullscreen, true, path);
                path.pop_back();
            }
        }
    }

private:
    static std::unordered_map<std::int64_t, std::int64_t> focusRanks(const Json& node) {
        std::unordered_map<std::int64_t, std::int64_t> ranks;
        if (const Json* focus = arrayMember(node, "focus")) {
            for (const Json& id : *focus) {
                if (const auto value = integer(&id)) {
                    ranks.emplace(*value, static_cast<std::int64_t>(ranks.size()));
                }
            }
        }
        return ranks;
    }

    static std::int64_t rankOf(const Json& child,
                               const std::unordered_map<std::int64_t, std::int64_t>& ranks,
                               std::int64_t& unfocused) {
        if (const auto id = integer(member(child, "id"))) {
            if (const auto found = ranks.find(*id); found != ranks.end()) {
                return found->second;
            }
        }
        return unfocused++;
    }
};

}  // namespace

std::optional<std::vector<WindowDescription>> windowsOfSwayTree(
    std::string_view json, std::map<WindowId, SwayWindowSource>* sources) {
    // sway copies titles into its JSON byte for byte, so one window with a title that is not
    // UTF-8 would make the whole tree unreadable. Bytes from 0x80 up can only be inside strings.
    const std::string repaired = validUtf8(json);
    const Json tree = Json::parse(repaired, nullptr, false);
    if (tree.is_discarded() || !tree.is_object()) {
        return std::nullopt;
    }
    TreeWalk walk;
    std::vector<std::int64_t> path;
    walk.walk(tree, 0, false, false, path);
    std::stable_sort(walk.found.begin(), walk.found.end(),
                     [](const Found& a, const Found& b) { return a.order < b.order; });
    std::vector<WindowDescription> windows;
    windows.reserve(walk.found.size());
    constexpr double kAnyScale = std::numeric_limits<double>::lowest();
    const auto onAnOutput = [&](const WindowBounds& bounds, double aboveScale) {
        return std::any_of(walk.outputs.begin(), walk.outputs.end(), [&](const Output& output) {
            return output.scale > aboveScale && overlaps(bounds, output.area);
        });
    };
    for (auto& entry : walk.found) {
        const auto& bounds = entry.window.bounds;
        if (bounds && !walk.outputs.empty() && !onAnOutput(*bounds, kAnyScale)) {
            continue;  // nothing of it is on any output, as X11 leaves out what is off the root
        }
        if (sources != nullptr && entry.window.id != kNoWindow &&
            !entry.toplevelIdentifier.empty()) {
            // The windows listed so far are the ones in front of it.
            const bool covered =
                !bounds || std::any_of(windows.begin(), windows.end(), [&](const auto& front) {
                    return !front.bounds || overlaps(*front.bounds, *bounds);
                });
            sources->insert_or_assign(
                entry.window.id,
                SwayWindowSource{.toplevelIdentifier = std::move(entry.toplevelIdentifier),
                                 .sharperOnScreen = !covered && onAnOutput(*bounds, 1)});
        }
        windows.push_back(std::move(entry.window));
    }
    return windows;
}

bool stillShown(const WindowDescription& window, const std::vector<WindowDescription>& windows) {
    if (window.id == kNoWindow || !window.bounds) {
        return false;
    }
    const WindowBounds& was = *window.bounds;
    return std::any_of(windows.begin(), windows.end(), [&](const WindowDescription& now) {
        return now.id == window.id && now.bounds && now.bounds->x == was.x &&
               now.bounds->y == was.y && now.bounds->width == was.width &&
               now.bounds->height == was.height;
    });
}

}  // namespace tarnwick
