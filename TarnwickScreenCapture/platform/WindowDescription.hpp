#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick {

using CGWindowID = std::uint32_t;
inline constexpr CGWindowID kCGNullWindowID = 0;

// A rectangle in the window system's layout coordinates.
struct WindowBounds {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// One on-screen window as every backend describes it. The defaults are what selection assumes
// when a window system does not know a value.
struct WindowDescription {
    CGWindowID number = kCGNullWindowID;
    std::int64_t layer = 0;
    double alpha = 1.0;
    std::optional<WindowBounds> bounds;
    std::string ownerName;
    std::string title;
};

}  // namespace tarnwick
