#pragma once

#include <optional>

#include "TarnwickScreenCapture/CaptureRequest.hpp"
#include "TarnwickScreenCapture/Error.hpp"
#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick {

// Performs one request: image, scale, JPEG. None when the JPEG was written; otherwise the error.
std::optional<CaptureError> capture(const CaptureRequest& request, const Platform& platform);

}  // namespace tarnwick
