// The reader of sway's window tree over arbitrary reply text: it must never crash, hang or
// return a window it could not have read.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>

#include <nlohmann/json.hpp>

#include "FuzzChecks.hpp"
#include "TarnwickScreenCapture/backends/sway/SwayTree.hpp"
#include "TarnwickScreenCapture/text/Utf8.hpp"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::map<WindowId, SwayWindowSource> sources;
    const auto windows = windowsOfSwayTree(text, &sources);
    if (!windows) {
        return 0;
    }
    for (const auto& [id, source] : sources) {
        const auto listed = std::ranges::find(*windows, id, &WindowDescription::id);
        fuzz::check(listed != windows->end() && !source.toplevelIdentifier.empty(),
                    "a source only for a listed window with an identifier");
        fuzz::check(!source.sharperOnScreen || listed->bounds, "sharper only with a place");
    }
    // Text that is not UTF-8 is read repaired.
    const auto parsed = nlohmann::json::parse(validUtf8(text), nullptr, false);
    fuzz::check(!parsed.is_discarded() && parsed.is_object(), "a list only from a JSON object");
    for (const auto& window : *windows) {
        fuzz::check(validUtf8(window.title) == window.title &&
                        validUtf8(window.ownerName) == window.ownerName,
                    "titles and owner names are UTF-8 without NUL");
        fuzz::check(window.layer == WindowLayer::kNormal && window.opacity == 1.0,
                    "normal and opaque");
        if (window.bounds) {
            fuzz::check(std::isfinite(window.bounds->width) && std::isfinite(window.bounds->height),
                        "finite bounds");
        }
        fuzz::check(text.find("\"visible\"") != std::string_view::npos,
                    "a window only when some node says it is visible");
    }
    return 0;
}
