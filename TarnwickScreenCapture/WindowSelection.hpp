#pragma once

#include <array>
#include <string_view>

#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/Error.hpp"
#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// The lower-case needles by which windows of the captured application are recognised, in order.
inline constexpr std::array<std::string_view, 3> ownerNeedles{"tavik", "brevant", "zorvel"};

// The pure step: the number of the first window in the list that passes every test, or the
// error (code 2 for an unusable list, code 5 when no window qualifies).
ErrorOr<CGWindowID> selectTavikWindow(const std::optional<nlohmann::json>& windowList);

// Lists the on-screen windows through the platform and selects one.
ErrorOr<CGWindowID> findTavikWindowID(const Platform& platform);

}  // namespace tarnwick
