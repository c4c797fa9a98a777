#pragma once

#include <string>
#include <vector>

#include "TarnwickScreenCapture/Error.hpp"
#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// What `--list-windows` prints: the windows front to back, one a line, each with the rule that
// passed or rejected it, the one a window capture takes marked with "*".
std::string windowListingText(const std::string& windowSystem,
                              const std::vector<WindowDescription>& windows);

// The listing of the window system a capture would use now; code 2 when it cannot be reached.
ErrorOr<std::string> listWindows(const Platform& platform);

}  // namespace tarnwick
