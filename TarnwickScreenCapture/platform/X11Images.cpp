#include "TarnwickScreenCapture/platform/X11Images.hpp"

namespace tarnwick {

ImageRef createX11WindowListImage(std::uint32_t, CGWindowID, std::uint32_t) { return nullptr; }

}  // namespace tarnwick
