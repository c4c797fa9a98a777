// The reader of the KWin listing script's answer, which another process sends, over arbitrary
// text: it must never crash or hang, and never give two windows one number, an unusable bounds
// or a cut outside the image.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "FuzzChecks.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinListing.hpp"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto read = readKWinListing(text);
    if (std::holds_alternative<Unavailable>(read)) {
        fuzz::check(!std::get<Unavailable>(read).reason.empty(), "a reason for no listing");
        return 0;
    }
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    fuzz::check(!parsed.is_discarded() && parsed.is_object(), "a listing only from a JSON object");
    std::set<WindowId> ids;
    for (const auto& window : std::get<std::vector<KWinWindow>>(read)) {
        const auto id = window.description.id;
        fuzz::check((id == kNoWindow) == window.uuid.empty(), "a number exactly for a uuid");
        fuzz::check(id == kNoWindow || ids.insert(id).second, "one number for one window");
        for (const auto& bounds : {window.description.bounds, window.buffer}) {
            if (bounds) {
                fuzz::check(std::isfinite(bounds->x) && std::isfinite(bounds->y) &&
                                std::isfinite(bounds->width) && std::isfinite(bounds->height) &&
                                bounds->width >= 0 && bounds->height >= 0,
                            "finite bounds of no negative size");
            }
        }
        for (const double scale : {1.0, 1.25, 2.0}) {
            const std::int64_t width = size % 977 + 1;
            const std::int64_t height = size % 613 + 1;
            if (const auto area = clientAreaInImage(window, width, height, scale)) {
                fuzz::check(area->x >= 0 && area->y >= 0 && area->width > 0 && area->height > 0 &&
                                area->x + area->width <= width && area->y + area->height <= height,
                            "a cut inside the image");
            }
        }
    }
    return 0;
}
