#include "TarnwickScreenCapture/platform/X11WindowList.hpp"

namespace tarnwick {

std::optional<nlohmann::json> copyX11WindowInfo(std::uint32_t, CGWindowID) { return std::nullopt; }

}  // namespace tarnwick
