#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The variables the program reads, by name, and the one place that reads them.
namespace variables {
inline constexpr const char* kDisplay = "DISPLAY";
inline constexpr const char* kWaylandDisplay = "WAYLAND_DISPLAY";
inline constexpr const char* kRuntimeFolder = "XDG_RUNTIME_DIR";
inline constexpr const char* kSwaySocket = "SWAYSOCK";
inline constexpr const char* kHome = "HOME";
inline constexpr const char* kTemporaryFolder = "TMPDIR";
inline constexpr const char* kDataHome = "XDG_DATA_HOME";
inline constexpr const char* kDataDirs = "XDG_DATA_DIRS";
// Forces a backend by its name.
inline constexpr const char* kBackend = "TARNWICK_CAPTURE_BACKEND";
}  // namespace variables

// The value of an environment variable; none when it is unset or empty, which every reader here
// takes alike.
std::optional<std::string> environmentValue(const char* name);

// "NAME=value", or "NAME is not set": how a cause or --doctor names a variable.
std::string variableText(const char* name);

// "X11 on :0", or "X11, but DISPLAY is not set": a window system and the place the variable
// names.
std::string placeText(std::string_view system, const char* variable);

}  // namespace tarnwick
