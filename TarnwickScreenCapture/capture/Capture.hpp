#pragma once

#include <optional>

#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"
#include "TarnwickScreenCapture/capture/CaptureRequest.hpp"
#include "TarnwickScreenCapture/capture/Platform.hpp"

namespace tarnwick {

// Performs one request: image, scale, JPEG. None when the JPEG was written; otherwise the failure.
std::optional<CaptureFailure> capture(const CaptureRequest& request, const Platform& platform);

}  // namespace tarnwick
