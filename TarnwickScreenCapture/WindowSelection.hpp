#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/Error.hpp"
#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// The lower-case needles by which windows of the captured application are recognised, in order.
inline constexpr std::array<std::string_view, 3> ownerNeedles{"tavik", "brevant", "zorvel"};

// The pure step: the first window in the list that passes every test, or the error (code 2 when
// there is no list, code 5 when no window qualifies).
ErrorOr<WindowDescription> selectTavikWindow(
    const std::optional<std::vector<WindowDescription>>& windows);

// Lists the on-screen windows and selects one.
ErrorOr<WindowDescription> findTavikWindow(const WindowSource& windows);

}  // namespace tarnwick
