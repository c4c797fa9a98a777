#pragma once

#include <functional>
#include <string_view>

namespace tarnwick {

enum class Backend { x11, wlroots, portal };

// The backend TARNWICK_CAPTURE_BACKEND names (`forced`, null when unset) when it names one;
// otherwise wlroots when the compositor named by WAYLAND_DISPLAY is reachable, else X11.
Backend chooseBackend(const char* forced, const std::function<bool()>& waylandReachable);

}  // namespace tarnwick
