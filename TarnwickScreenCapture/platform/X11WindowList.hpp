#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// The viewable windows of the X display, front to back, as window-information maps; none when
// no X server can be reached.
std::optional<nlohmann::json> copyX11WindowInfo(std::uint32_t listOptions, CGWindowID relativeTo);

}  // namespace tarnwick
