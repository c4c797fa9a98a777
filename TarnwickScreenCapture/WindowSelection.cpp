#include "TarnwickScreenCapture/WindowSelection.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "TarnwickScreenCapture/UnicodeText.hpp"

namespace tarnwick {

namespace {

using Json = nlohmann::json;

inline constexpr double kMinimumAlpha = 0.01;
inline constexpr double kMinimumWidth = 320.0;
inline constexpr double kMinimumHeight = 240.0;

const Json* entry(const Json& map, const char* key) {
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &*found;
}

// A number converts only when it is integral and in range; text and booleans never do.
template <class Integer>
std::optional<Integer> integerValue(const Json* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    switch (value->type()) {
        case Json::value_t::number_integer: {
            const auto number = value->get<std::int64_t>();
            return std::in_range<Integer>(number) ? std::optional(static_cast<Integer>(number))
                                                  : std::nullopt;
        }
        case Json::value_t::number_unsigned: {
            const auto number = value->get<std::uint64_t>();
            return std::in_range<Integer>(number) ? std::optional(static_cast<Integer>(number))
                                                  : std::nullopt;
        }
        case Json::value_t::number_float: {
            const auto number = value->get<double>();
            // Both bounds are powers of two and so exact; NaN fails the comparison.
            const double upper = std::ldexp(1.0, std::numeric_limits<Integer>::digits);
            const double lower = std::numeric_limits<Integer>::is_signed ? -upper : 0.0;
            if (!(number >= lower && number < upper) || std::trunc(number) != number) {
                return std::nullopt;
            }
            return static_cast<Integer>(number);
        }
        default:
            return std::nullopt;
    }
}

// Any number a double holds exactly, NaN included; integers beyond 2^53 only when exact.
std::optional<double> doubleValue(const Json* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    switch (value->type()) {
        case Json::value_t::number_float:
            return value->get<double>();
        case Json::value_t::number_integer: {
            const auto number = value->get<std::int64_t>();
            const auto converted = static_cast<double>(number);
            if (converted >= 0x1p63 || static_cast<std::int64_t>(converted) != number) {
                return std::nullopt;
            }
            return converted;
        }
        case Json::value_t::number_unsigned: {
            const auto number = value->get<std::uint64_t>();
            const auto converted = static_cast<double>(number);
            if (converted >= 0x1p64 || static_cast<std::uint64_t>(converted) != number) {
                return std::nullopt;
            }
            return converted;
        }
        default:
            return std::nullopt;
    }
}

std::string textValue(const Json* value) {
    return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
}

bool matchesNeedle(const std::string& owner, const std::string& title) {
    for (const auto needle : ownerNeedles) {
        if (containsCanonically(owner, needle) || containsCanonically(title, needle)) {
            return true;
        }
    }
    return false;
}

// The window's number when it passes every test; none when it is passed over.
std::optional<CGWindowID> qualifyingNumber(const Json& window) {
    if (integerValue<std::int64_t>(entry(window, kCGWindowLayer)).value_or(0) != 0) {
        return std::nullopt;
    }
    if (doubleValue(entry(window, kCGWindowAlpha)).value_or(1.0) <= kMinimumAlpha) {
        return std::nullopt;
    }
    const Json* bounds = entry(window, kCGWindowBounds);
    if (bounds == nullptr || !bounds->is_object()) {
        return std::nullopt;
    }
    const double width = doubleValue(entry(*bounds, "Width")).value_or(0.0);
    const double height = doubleValue(entry(*bounds, "Height")).value_or(0.0);
    if (width < kMinimumWidth || height < kMinimumHeight) {
        return std::nullopt;
    }
    const auto owner = lowercased(textValue(entry(window, kCGWindowOwnerName)));
    const auto title = lowercased(textValue(entry(window, kCGWindowName)));
    if (!matchesNeedle(owner, title)) {
        return std::nullopt;
    }
    const auto number = integerValue<CGWindowID>(entry(window, kCGWindowNumber));
    if (number.value_or(kCGNullWindowID) == kCGNullWindowID) {
        return std::nullopt;
    }
    return number;
}

}  // namespace

ErrorOr<CGWindowID> selectTavikWindow(const std::optional<nlohmann::json>& windowList) {
    // The list is taken whole or not at all.
    if (!windowList || !windowList->is_array()) {
        return makeError(messages::kListWindowsFailed, codes::kListWindowsFailed);
    }
    for (const auto& window : *windowList) {
        if (!window.is_object()) {
            return makeError(messages::kListWindowsFailed, codes::kListWindowsFailed);
        }
    }
    for (const auto& window : *windowList) {
        if (const auto number = qualifyingNumber(window)) {
            return *number;
        }
    }
    return makeError(messages::kWindowNotFound, codes::kWindowNotFound);
}

ErrorOr<CGWindowID> findTavikWindowID(const Platform& platform) {
    return selectTavikWindow(platform.copyWindowInfo(
        kCGWindowListOptionOnScreenOnly | kCGWindowListExcludeDesktopElements, kCGNullWindowID));
}

}  // namespace tarnwick
